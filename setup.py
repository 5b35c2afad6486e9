"""Builds the meridox wheel with the project's own CMake build.

The build's install rules for the Python package (python/CMakeLists.txt,
component "python") say what the package holds: the extension, the case
runner, the six calculator libraries and the meridox command that draws the
pictures. They are installed into a staging folder and copied beside the
Python code, so that the wheel holds what `cmake --install --component python`
installs. CMAKE_ARGS adds options to the configure step (a compiler launcher,
for example); CMAKE_BUILD_PARALLEL_LEVEL sets how many compile at once.
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    """The version of the project() call in CMakeLists.txt: the one the
    meridox command prints and meridox.__version__ gives."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(\s*meridox\s+VERSION\s+([0-9][0-9.]*)", text)
    if match is None:
        raise RuntimeError("CMakeLists.txt names no project version")
    return match.group(1)


class CMakeBuild(build_ext):
    """Builds the package's compiled parts with CMake instead of compiling
    the extension itself."""

    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        staging = Path(self.build_temp).resolve() / "staging"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DMERIDOX_BUILD_TESTS=OFF", "-DMERIDOX_BUILD_BENCH=OFF", "-DMERIDOX_BUILD_WINDOWS_CHECK=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DMERIDOX_PYTHON_INSTALL_DIR=.",
        ] + shlex.split(os.environ.get("CMAKE_ARGS", ""))
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build), "--parallel", jobs, "--target", "meridox_python", "meridox"],
                       check=True)
        shutil.rmtree(staging, ignore_errors=True)
        subprocess.run(["cmake", "--install", str(build), "--component", "python", "--prefix", str(staging)],
                       check=True)
        # The extension goes where setuptools expects it; everything else the
        # install put into the package beside it (the .py files come from
        # the sources, as setuptools packs them).
        extension = Path(self.get_ext_fullpath(ext.name))
        package = extension.parent
        package.mkdir(parents=True, exist_ok=True)
        for item in (staging / "meridox").iterdir():
            if item.suffix in (".py", ".typed"):
                continue
            target = extension if item.name.startswith("_core.") else package / item.name
            shutil.copy2(item, target)


setup(
    version=project_version(),
    packages=["meridox"],
    package_dir={"meridox": "python/meridox"},
    package_data={"meridox": ["py.typed"]},
    ext_modules=[Extension("meridox._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
