"""Installs the Python package as a user does, from a fresh copy of the
checkout, and checks that it works from there:

1. ``python3 -m build --no-isolation``: an sdist and a wheel built from it;
2. ``pip install --no-build-isolation .`` into a virtual environment made
   with ``python3 -m venv --system-site-packages``;
3. the wheel of step 1 installed with ``pip install --prefix`` for Debian's
   python3 outside any virtual environment, as a system-wide install lays
   it out (the system itself is left alone).

Each install runs a calculator, a study and a picture in a fresh process,
away from the checkout and the build, and compares the numbers with the
build's own. Usage: check_install.py SOURCE_DIR BUILD_DIR COMMAND (the
build's meridox command). Slow: it builds
the project twice (CMAKE_ARGS and CMAKE_BUILD_PARALLEL_LEVEL pass through).
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

# Run in each install: the version, where the package and its libraries
# are, a stage run's metrics, a two-case study and the first bytes of a
# picture drawn by the meridox command beside the package.
PROBE = """
import importlib.metadata, os, meridox
print(meridox.__version__)
try:
    print(importlib.metadata.version("meridox"))
except importlib.metadata.PackageNotFoundError:  # the build tree
    print("no metadata")
print(os.path.dirname(meridox.__file__))
print(meridox.library_folder())
print(repr(meridox.run("stage").metrics[0]["final_error"]))
print(len(meridox.study("stage", {"position_gain": [50, 60]}, jobs=2).rows))
print(meridox.run("projection", params={"grid_size": 32}).picture(size=(200, 150))[:8] == b"\\x89PNG\\r\\n\\x1a\\n")
"""


def run(command, **kwargs):
    print("+", " ".join(command), flush=True)
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)
    if done.returncode != 0:
        sys.exit(f"check_install: {' '.join(command)} ended with status {done.returncode}:\n{done.stdout[-6000:]}")
    return done.stdout


def fresh_copy(source, target):
    """The files a clone of the checkout holds (tracked ones, and new ones
    not ignored), as they are in the working tree."""
    try:
        listed = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                                check=True, capture_output=True).stdout.decode().split("\0")
    except (OSError, subprocess.CalledProcessError):
        shutil.copytree(source, target, ignore=shutil.ignore_patterns("build", ".git"))
        return
    for name in filter(None, listed):
        path = os.path.join(source, name)
        if os.path.isfile(path):
            os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
            shutil.copy2(path, os.path.join(target, name))


def probe(python, env, cwd):
    return run([python, "-c", PROBE], env=env, cwd=cwd).split("\n")


def main():
    source, build, command = (os.path.abspath(a) for a in sys.argv[1:4])
    # Inside the build folder, so that a compiler cache keyed on relative
    # paths serves the second build from the first.
    scratch = tempfile.mkdtemp(prefix="install-test-", dir=build)
    try:
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MERIDOX_LIB_DIR")}
        env["TMPDIR"] = scratch
        src = os.path.join(scratch, "meridox")
        fresh_copy(source, src)
        elsewhere = os.path.join(scratch, "elsewhere")
        os.makedirs(elsewhere)

        version = run([command, "--version"]).split()[-1]
        built_env = dict(env, PYTHONPATH=os.path.join(build, "python"))
        expected = probe(sys.executable, built_env, elsewhere)

        dist = os.path.join(scratch, "dist")
        run([sys.executable, "-m", "build", "--no-isolation", "--outdir", dist, src], env=env, cwd=elsewhere)
        [wheel] = glob.glob(os.path.join(dist, "meridox-*.whl"))
        [_] = glob.glob(os.path.join(dist, "meridox-*.tar.gz"))

        venv = os.path.join(scratch, "venv")
        run([sys.executable, "-m", "venv", "--system-site-packages", venv], env=env)
        python = os.path.join(venv, "bin", "python")
        run([python, "-m", "pip", "install", "--no-index", "--no-build-isolation", "."], env=env, cwd=src)
        in_venv = probe(python, env, elsewhere)

        prefix = os.path.join(scratch, "prefix")
        run([sys.executable, "-m", "pip", "install", "--no-index", "--no-deps", "--prefix", prefix, wheel], env=env)
        [init] = glob.glob(os.path.join(prefix, "**", "meridox", "__init__.py"), recursive=True)
        system = probe(sys.executable, dict(env, PYTHONPATH=os.path.dirname(os.path.dirname(init))), elsewhere)

        problems = []
        for name, shown in (("the virtual environment", in_venv), ("the system-wide layout", system)):
            package = shown[2]
            if shown[0] != version or shown[1] != version:
                problems.append(f"{name}: version {shown[0]} (metadata {shown[1]}), the command says {version}")
            if shown[3] != package or not package.startswith(scratch) or not os.path.isfile(
                    os.path.join(package, "meridox-cases")):
                problems.append(f"{name}: the package is at {package}, its libraries at {shown[3]}")
            if shown[4:] != expected[4:]:
                problems.append(f"{name}: {shown[4:]} where the build gives {expected[4:]}")
        if problems:
            sys.exit("check_install: " + "\ncheck_install: ".join(problems))
        print("check_install: the sdist, the wheel and both installs work")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
