"""Studies: a calculator run over the full product of varied parameters,
one row of metrics per case (and per threshold for the images), by the
host's study machinery: in parallel child processes here, or in batches on
a Dask cluster."""

from __future__ import annotations

import html
import itertools
import os
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Any, Mapping, Sequence

from . import _COMPLETED, Sheet, Thresholds, _calculator, _core, _facts, _library_folder_for, _sheet_for, _spec, library_folder

# About this long a batch of cases on a cluster: the scheduler's cost per
# task (about a millisecond) stays small next to the work.
_BATCH_SECONDS = 1.0


# The study table's columns that hold words, not numbers.
_TEXT_COLUMNS = ("status", "cut", "feature")


class Study:
    """The results of a study in case order.

    columns, rows
        the columns of study.csv and one dict per case and threshold: the
        case number (an int), the varied values, the threshold (image
        calculators), the metrics (floats, nan where a case failed) and the
        status ("ok" or what failed).
    units
        the unit of each column that has one, as study.json gives them.
    frame(), to_xarray(), to_csv(path)
        the rows as a pandas DataFrame (units in ``attrs["units"]``), as an
        xarray Dataset over the varied parameters and the threshold, and as
        study.csv byte for byte.
    workers, batch_size
        on a cluster: the address of the worker that ran each case (by case
        number) and how many cases went in one task.
    warnings
        the warnings of the study's sheets as ``meridox check`` gives them
        (each also in the status of its rows).

    In Jupyter a Study shows its counts and its table.
    """

    def __init__(self, spec, cases, results, workers=None, warnings=()):
        self._spec, self._cases, self._results = spec, cases, results
        self.calculator = spec["calculator"]
        self.workers = workers
        self.warnings = list(warnings)
        self.batch_size = None  # cases per task, on a cluster
        self.columns, self._texts = _core.study_table(spec, cases, results)

    @property
    def rows(self) -> list[dict[str, Any]]:
        def value(column, text):
            return text if column in _TEXT_COLUMNS else int(text) if column == "case" else float(text)
        return [{c: value(c, t) for c, t in zip(self.columns, row)} for row in self._texts]

    @property
    def units(self) -> dict[str, str]:
        return dict(_core.study_units(self._spec))

    @property
    def failed(self) -> int:
        """How many cases failed."""
        return sum(status not in _COMPLETED for status, _ in self._results)

    def to_csv(self, path: str | os.PathLike) -> None:
        """Writes study.csv byte for byte as the meridox study command does."""
        _core.replace_file(os.fspath(path), _core.csv_text(self.columns, self._texts).encode("utf-8"))

    def frame(self):
        """The rows as a pandas DataFrame: integer case numbers, and the
        columns' units in ``frame.attrs["units"]``."""
        import pandas
        frame = pandas.DataFrame(self.rows, columns=self.columns)
        units = self.units
        frame.attrs["units"] = {c: units[c] for c in self.columns if c in units}
        return frame

    def process_window(self, target_cd: float, tolerance: float = 0.1, el: Sequence[float] = (5, 10),
                       min_nils: float | None = None):
        """The exposure-defocus window of a focus study, as ``meridox study
        --target-cd`` works it out (docs/process-window.md defines it): the
        dose taken as 1/threshold, the window in the focus-dose plane where
        cd stays within `tolerance` of `target_cd` (and nils at or above
        `min_nils`). Returns a pandas DataFrame of the window at each sampled
        focus with the columns of the command's process-window.csv (its dose
        range and exposure latitude, in percent of the dose to size); its
        ``attrs`` hold ``best_focus``, ``dose_to_size``,
        ``threshold_to_size``, ``open`` (False: no window, itself a result),
        ``reaches_focus_end``, ``note``, ``depth_of_focus`` (EL in percent to the
        depth of focus of the largest rectangle with that EL, for each of
        `el`) and ``el_dof`` (the EL-DOF curve, a DataFrame). ValueError when
        the study does not vary the focus alone."""
        import pandas
        w = _core.process_window(self._spec, self._results, float(target_cd), float(tolerance),
                                 float("nan") if min_nils is None else float(min_nils), [float(e) for e in el])
        # The columns of the command's process-window.csv, the focus under its own name.
        table = pandas.DataFrame(w["per_focus"], columns=["focus", "dose_low", "dose_high", "latitude",
                                                          "cd_at_dose_to_size"])
        table.columns = [self._spec["vary"][0][0], "dose_low", "dose_high", "exposure_latitude_percent",
                         "cd_at_dose_to_size"]
        for name in ("open", "best_focus", "dose_to_size", "threshold_to_size", "dose_to_size_reached",
                     "reaches_dose_end", "note"):
            table.attrs[name] = w[name]
        table.attrs["reaches_focus_end"] = w["reaches_end"]
        table.attrs["depth_of_focus"] = {r["latitude"]: r["depth_of_focus"] for r in w["requested"]}
        table.attrs["el_dof"] = pandas.DataFrame(w["curve"])
        return table

    def to_xarray(self):
        """The study as an xarray Dataset: the varied parameters (and the
        threshold, for the image calculators) are its dimensions with their
        values as coordinates, each metric a variable over all of them, the
        case numbers and statuses variables over the varied parameters; each
        with its unit in ``attrs["units"]``. ``ds.cd.sel(threshold=0.3)``
        is the cd over the varied parameters, and for a focus study
        ``ds.cd.plot.line(x="defocus")`` a Bossung plot."""
        import numpy
        import xarray
        units = self.units
        vary = self._spec["vary"]
        names = [name for name, _ in vary]
        shape = [len(values) for _, values in vary]
        coords = {name: (name, numpy.asarray(values, dtype=float), {"units": units.get(name, "")})
                  for name, values in vary}
        dims, full = list(names), list(shape)
        if "threshold" in self.columns:
            thresholds = self._spec["thresholds"]
            dims.append("threshold")
            full.append(len(thresholds))
            coords["threshold"] = ("threshold", numpy.asarray(thresholds, dtype=float),
                                   {"units": units.get("threshold", "")})
        rows = self.rows
        per_case = rows[::len(rows) // len(self._cases)] if self._cases else []
        variables = {"case": (names, numpy.array([r["case"] for r in per_case], dtype=int).reshape(shape), {}),
                     "status": (names, numpy.array([r["status"] for r in per_case], dtype=object).reshape(shape), {})}
        for column in self.columns:
            if column in ("case", "status", "threshold") or column in names:
                continue
            # Words (the feature's state, the cut's name) stay text.
            kind = object if column in _TEXT_COLUMNS else float
            variables[column] = (dims, numpy.array([r[column] for r in rows], dtype=kind).reshape(full),
                                 {"units": units.get(column, "")})
        c = _calculator(self.calculator)
        return xarray.Dataset(variables, coords=coords, attrs={"calculator": c.name, "alias": c.alias})

    def _repr_html_(self) -> str:
        c = _calculator(self.calculator)
        head = (f"<p><b>{html.escape(c.alias)} ({html.escape(c.name)})</b>: {len(self._cases)} cases, "
                f"{self.failed} failed</p>")
        try:
            table = self.frame().to_html(max_rows=20, index=False)
        except ImportError:
            table = "<pre>" + html.escape(_core.csv_text(self.columns, self._texts[:20])) + "</pre>"
        metric = _calculator(self.calculator).metrics[0]
        note = ("<p><i>No picture here: the meridox study command draws a study's pictures, and "
                f"<code>study.to_xarray().{metric}.plot()</code> draws a metric with matplotlib.</i></p>")
        return head + table + note

    def __len__(self):
        return len(self._texts)

    def __repr__(self):
        return f"<meridox.Study of {self.calculator}: {len(self._cases)} cases, {len(self._texts)} rows>"


def _clock(seconds):
    if not seconds >= 0 or seconds == float("inf"):
        return "--:--"
    s = round(seconds)
    return f"{s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}" if s >= 3600 else f"{s // 60:02d}:{s % 60:02d}"


def _progress_line(total):
    """The command's progress line on standard error, when it is a terminal."""
    start = time.monotonic()
    shown = [-1.0]

    def show(done, failed):
        now = time.monotonic() - start
        if done < total and now - shown[0] < 0.1:
            return
        shown[0] = now
        left = now / done * (total - done) if done else float("nan")
        sys.stderr.write(f"\r{done} of {total} cases, {failed} failed, {_clock(now)} elapsed, {_clock(left)} left   ")
        if done == total:
            sys.stderr.write("\n")
        sys.stderr.flush()
    return show


_RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "meridox-cases")


def _run_cases(spec, library_folder, cases_folder, jobs, cases, progress=None):
    """Runs the cases (name, values) with the host's study machinery in the
    small meridox-cases process, `jobs` at once, each in cases_folder/<case>;
    returns (status, metric rows) per case in case order and how many
    cases were reused from their folders."""
    number = _core.number_text
    request = [spec["calculator"], library_folder, cases_folder, str(jobs), number(spec["timeout"]),
               "1" if spec["keep_tables"] else "0", " ".join(number(t) for t in spec["thresholds"]),
               number(spec["cut_y"]), number(spec["cut_x"]), "1" if spec["dark"] else "0",
               "" if spec["band"] is None else number(spec["band"]), str(len(spec["vary"]))]
    request += [name for name, _ in spec["vary"]]
    head = ("\n".join(request) + f"\n{len(spec['sheet'])}\n").encode("utf-8") + spec["sheet"]
    body = "".join(f"{name}\t{' '.join(number(v) for v in values)}\n" for name, values in cases).encode("utf-8")
    runner = subprocess.Popen([_RUNNER, str(os.getpid())], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        runner.stdin.write(head + body)
        runner.stdin.close()
        results, reused = [], 0
        for line in runner.stdout:
            line = line.decode("utf-8", "replace").rstrip("\n")
            if line.startswith("done "):
                if progress:
                    progress(*map(int, line.split()[1:]))
                continue
            _, status, metrics, was_reused = line.split("\t")
            reused += was_reused == "1"
            results.append((status, [[float(v) for v in row.split(" ")] for row in metrics.split(";")]))
        if runner.wait() != 0 or len(results) != len(cases):
            raise RuntimeError(f"meridox-cases ended with status {runner.returncode} before every case was run")
        return results, reused
    finally:
        if runner.poll() is None:
            runner.terminate()  # it ends the running cases' children
            runner.wait()


def study(calc: str, vary: Mapping[str, Sequence[float]], sheet: Sheet | str | os.PathLike | None = None,
          params: Mapping[str, Any] | None = None, threshold: Thresholds | None = None, client: Any = None,
          jobs: int | None = None, out: str | os.PathLike | None = None, keep_tables: bool = False,
          batch_size: int | None = None, progress: bool | None = None, *, cut_y: float = 0.0, cut_x: float = 0.0,
          tone: str = "bright", band: float | None = None, timeout: float = 0.0, strict: bool = False,
          **unknown: Any) -> Study:
    """Runs a calculator over the full product of varied parameters, as
    ``meridox study`` does, and returns the Study.

    calc
        a calculator by alias or library name, as for `run`.
    vary
        parameter name to its values (``{"defocus": numpy.linspace(-1, 1,
        9)}``); the last parameter changes fastest, case 0 first.
    sheet, params
        the base sheet (a Sheet, a path, or None for the built-in example)
        and named values written into it first.
    threshold
        the image metrics' intensity threshold: one value or a list, one row
        per case and threshold (default 0.3).
    client
        a distributed.Client: the cases go to its cluster in batches of
        `batch_size` cases (default: about a second of work each). Without
        one, `jobs` cases run at once here (default: the number of cores),
        each in a child process of the case runner and in out/cases/<case>/.
        With one, `out`, `jobs` and `keep_tables` do not apply and are
        refused.
    out
        the study folder: study.csv and study.json are written there and a
        rerun into it reuses the cases that finished (a temporary folder,
        removed afterwards, when None).
    keep_tables
        keep each case's tables and summary in its folder.
    progress
        show the progress line on standard error (default: when it is a
        terminal).
    cut_y, cut_x, tone, band, timeout
        as for `run`, for every case.
    strict
        the sheets are checked as ``meridox check`` checks them (the base
        sheet once, each varied value once): ``Study.warnings`` lists the
        warnings and each row's status carries its own; with strict=True a
        warning raises ValueError before the first case instead.

    A case that fails gives a row with nan metrics and its status; the
    study itself raises ValueError for an unknown calculator, parameter or
    option.
    """
    c = _calculator(calc)
    if out is not None and not os.fspath(out):
        raise ValueError("out names no folder; give a folder, or None for a temporary one")
    if client is not None:
        given = [name for name, value in (("out", out), ("jobs", jobs), ("keep_tables", keep_tables or None))
                 if value is not None]
        if given:
            raise ValueError(f"{', '.join(given)}: not used with client= (the cases run in the workers' own "
                             "folders); leave them out, or write the result with Study.to_csv")
    base = _sheet_for(c, sheet, params)
    if not vary:
        raise ValueError("a study varies at least one parameter")
    options = dict(cut_y=cut_y, cut_x=cut_x, tone=tone, band=band, timeout=timeout)
    spec = _spec(c, base, vary=list(vary.items()), keep_tables=keep_tables, threshold=threshold, **options,
                 **unknown)
    warnings = _core.check_study(spec)
    if strict and warnings:
        raise ValueError(f"strict: {len(warnings)} warnings; no case was run; the first: {warnings[0]}")
    values = list(itertools.product(*(v for _, v in spec["vary"])))
    width = len(str(len(values) - 1))
    cases = [(f"{k:0{width}d}", list(v)) for k, v in enumerate(values)]
    shown = sys.stderr.isatty() if progress is None else bool(progress)
    if client is not None:
        results, workers, batch_size = _distributed(client, spec, cases, batch_size, shown)
        result = Study(spec, cases, results, workers, warnings)
        result.batch_size = batch_size
        return result
    root = os.path.abspath(out) if out is not None else tempfile.mkdtemp(prefix="meridox-study-")
    try:
        library = _library_folder_for(c)
        # Locked until the study is done: another study into the same
        # folder meanwhile is refused.
        with _core.StudyFolder(spec, root, library) as folder:
            if folder.note:
                sys.stderr.write(f"meridox: {folder.note}\n")
            results, reused = _run_cases(spec, library, os.path.join(root, "cases"), jobs or os.cpu_count() or 1,
                                         cases, _progress_line(len(cases)) if shown else None)
            result = Study(spec, cases, results, warnings=warnings)
            if out is not None:
                result.to_csv(os.path.join(root, "study.csv"))
                defaults = dict(cut_y=0.0, cut_x=0.0, tone="bright", band=None, timeout=0.0)
                given = {"sheet": sheet, "params": params,
                         "threshold": threshold if threshold is not None else unknown.get("thresholds"),
                         "jobs": jobs, "out": out, "keep_tables": keep_tables or None, "strict": strict or None,
                         **{k: v for k, v in options.items() if v != defaults[k]}}
                command = "meridox.study(" + ", ".join([repr(calc), repr(dict(vary))] + [
                    f"{k}={v!r}" for k, v in given.items() if v is not None]) + ")"
                base = "built-in example" if sheet is None else (
                    "a meridox.Sheet" if not isinstance(sheet, (str, os.PathLike)) else os.fspath(sheet))
                info = _core.study_json(spec, library, command, base, len(cases), result.failed, reused)
                _core.replace_file(os.path.join(root, "study.json"), info.encode("utf-8"))
        return result
    finally:
        if out is None:
            shutil.rmtree(root, ignore_errors=True)


# ---- Distributed -------------------------------------------------------------

def _run_batch(spec, cases, study_id):
    """On a worker: runs the cases one after another in a case runner of
    the batch's own (the worker's other threads run batches of their own
    beside it), each in a case folder under the worker's local directory
    (removed once the batch is done). Returns the worker's address, the
    results and the seconds a case took (from the first case's end to the
    last's, past the runner's start).

    A worker that dies mid-batch takes the batch's runner and its case
    with it (the runner ends with the process that started it); the
    scheduler gives the whole batch to another worker, whose result is the
    only one gathered, so that no case is lost or counted twice."""
    import distributed
    worker = distributed.get_worker()
    # A worker without the library fails its cases with the reason (from
    # meridox-cases), and the study keeps the rows of the other batches.
    folder_of_libraries = library_folder()
    root = os.path.join(worker.local_directory, "meridox-studies", study_id, "cases")
    os.makedirs(root, exist_ok=True)
    ends = [time.monotonic()]
    try:
        results, _ = _run_cases(spec, folder_of_libraries, root, 1, cases, lambda *_: ends.append(time.monotonic()))
    finally:
        for name, _ in cases:
            shutil.rmtree(os.path.join(root, name), ignore_errors=True)
    first = 1 if len(ends) > 2 else 0
    return worker.address, results, (ends[-1] - ends[first]) / max(1, len(ends) - 1 - first)


def _distributed(client, spec, cases, batch_size, shown):
    import distributed
    study_id = f"{os.getpid()}-{time.time_ns()}"
    results, workers = [], {}

    def take(address, batch, batch_results):
        results.extend(batch_results)
        workers.update((int(name), address) for name, _ in batch)

    start = 0
    if batch_size is None:
        # A first few cases tell how long one takes.
        start = min(len(cases), 3)
        address, first, seconds = client.submit(_run_batch, spec, cases[:start], study_id, pure=False).result()
        take(address, cases[:start], first)
        batch_size = max(1, min(100_000, round(_BATCH_SECONDS / max(seconds, 1e-6))))
        # A short study still gives every case process a few batches: each
        # worker thread runs one batch at a time, its cases one by one in a
        # process of their own, so a worker of n threads runs n cases at once.
        case_processes = max(1, sum(w.get("nthreads", 1) for w in client.scheduler_info()["workers"].values()))
        batch_size = max(1, min(batch_size, -(-(len(cases) - start) // (4 * case_processes))))
    if batch_size < 1:
        raise ValueError("batch_size is at least 1")
    batches = [cases[k:k + batch_size] for k in range(start, len(cases), batch_size)]
    futures = [client.submit(_run_batch, spec, batch, study_id, pure=False) for batch in batches]
    if shown and futures:
        distributed.progress(futures)
    for batch, (address, batch_results, _) in zip(batches, client.gather(futures)):
        take(address, batch, batch_results)
    return results, workers, batch_size
