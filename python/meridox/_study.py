"""Studies: a calculator run over the full product of varied parameters,
one row of metrics per case (and per threshold for the images), by the
host's study machinery: in parallel child processes here, or in batches on
a Dask cluster."""

import itertools
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

from . import _calculator, _core, _library_folder_for, _sheet_for, _spec, library_folder

# The libraries keep their state in globals: one case at a time per process,
# however many threads a Dask worker gives its tasks.
_ONE_CASE_AT_A_TIME = threading.Lock()

# About this long a batch of cases on a cluster: the scheduler's cost per
# task (about a millisecond) stays small next to the work.
_BATCH_SECONDS = 1.0


class Study:
    """The results of a study in case order: `rows` (one dict per case and
    threshold, the columns of study.csv), `to_csv`, `frame`; on a cluster
    `workers` maps each case to the address of the worker that ran it and
    `batch_size` says how many cases went in one task; `warnings` holds the
    warnings of the study's sheets as `meridox check` gives them (each also in
    the status of its rows)."""

    def __init__(self, spec, cases, results, workers=None, warnings=()):
        self._spec, self._cases, self._results = spec, cases, results
        self.calculator = spec["calculator"]
        self.workers = workers
        self.warnings = list(warnings)
        self.batch_size = None  # cases per task, on a cluster
        self.columns, self._texts = _core.study_table(spec, cases, results)

    @property
    def rows(self):
        text_columns = ("case", "status")
        return [{c: (t if c in text_columns else float(t)) for c, t in zip(self.columns, row)} for row in self._texts]

    def to_csv(self, path):
        """Writes study.csv byte for byte as the meridox study command does."""
        with open(path, "wb") as f:
            f.write(_core.csv_text(self.columns, self._texts).encode("utf-8"))

    def frame(self):
        """The rows as a pandas DataFrame."""
        import pandas
        return pandas.DataFrame(self.rows, columns=self.columns)

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
            raise RuntimeError(f"the study's cases were not all run (meridox-cases ended with {runner.returncode})")
        return results, reused
    finally:
        if runner.poll() is None:
            runner.terminate()  # it ends the running cases' children
            runner.wait()


def study(calc, vary, sheet=None, params=None, thresholds=None, client=None, jobs=None, out=None,
          keep_tables=False, batch_size=None, progress=None, strict=False, **options):
    """Runs the full product of `vary` (name to values, the last changing
    fastest) on a sheet (a Sheet, a path or None for the built-in example,
    with `params` written first). `thresholds` gives the image calculators
    one row per threshold; options as `run`'s.

    Without `client`: `jobs` cases at once (default: the number of cores),
    each in a child process and in out/cases/<case>/ (a temporary folder
    when `out` is None; a rerun into the same `out` reuses finished cases),
    study.csv written into `out`. With a distributed.Client: the cases go to
    the cluster in batches of `batch_size` (default: about a second of work),
    each worker running one case at a time in its local directory (`out`,
    `jobs` and `keep_tables` do not apply there and are refused).

    The sheets are checked as `meridox check` checks them (the base sheet
    once, each varied value once): `Study.warnings` lists the warnings and
    each row's status carries its own; `strict=True` raises ValueError
    before the first case instead."""
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
    if thresholds is not None:
        options["threshold"] = list(thresholds)
    if not vary:
        raise ValueError("a study varies at least one parameter")
    spec = _spec(c, base, vary=list(vary.items()), keep_tables=keep_tables, **options)
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
                # Each replaced whole, as the command writes them.
                _core.replace_file(os.path.join(root, "study.csv"),
                                   _core.csv_text(result.columns, result._texts).encode("utf-8"))
                given = {"sheet": sheet, "params": params, "thresholds": thresholds, "jobs": jobs, "out": out,
                         "keep_tables": keep_tables or None, "strict": strict or None, **options}
                command = "meridox.study(" + ", ".join([repr(calc), repr(dict(vary))] + [
                    f"{k}={v!r}" for k, v in given.items() if v is not None and k != "threshold"]) + ")"
                base = "built-in example" if sheet is None else (
                    "a meridox.Sheet" if not isinstance(sheet, (str, os.PathLike)) else os.fspath(sheet))
                failed = sum(status != "ok" for status, _ in results)
                info = _core.study_json(spec, library, command, base, len(cases), failed, reused)
                _core.replace_file(os.path.join(root, "study.json"), info.encode("utf-8"))
        return result
    finally:
        if out is None:
            shutil.rmtree(root, ignore_errors=True)


# ---- Distributed -------------------------------------------------------------

def _run_batch(spec, cases, study_id):
    """On a worker: runs the cases one after another, each in a case folder
    of its own under the worker's local directory (removed once the batch is
    done). Returns the worker's address, the results and the seconds a case
    took (from the first case's end to the last's, past the runner's start)."""
    import distributed
    worker = distributed.get_worker()
    # A worker without the library fails its cases with the reason (from
    # meridox-cases), and the study keeps the rows of the other batches.
    folder_of_libraries = library_folder()
    root = os.path.join(worker.local_directory, "meridox-studies", study_id, "cases")
    os.makedirs(root, exist_ok=True)
    ends = [time.monotonic()]
    with _ONE_CASE_AT_A_TIME:
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
        workers.update((name, address) for name, _ in batch)

    start = 0
    if batch_size is None:
        # A first few cases tell how long one takes.
        start = min(len(cases), 3)
        address, first, seconds = client.submit(_run_batch, spec, cases[:start], study_id, pure=False).result()
        take(address, cases[:start], first)
        batch_size = max(1, min(100_000, round(_BATCH_SECONDS / max(seconds, 1e-6))))
        # A short study still gives every worker process a few batches.
        workers_now = max(1, sum(w.get("nthreads", 1) for w in client.scheduler_info()["workers"].values()))
        batch_size = max(1, min(batch_size, -(-(len(cases) - start) // (4 * workers_now))))
    if batch_size < 1:
        raise ValueError("batch_size is at least 1")
    batches = [cases[k:k + batch_size] for k in range(start, len(cases), batch_size)]
    futures = [client.submit(_run_batch, spec, batch, study_id, pure=False) for batch in batches]
    if shown and futures:
        distributed.progress(futures)
    for batch, (address, batch_results, _) in zip(batches, client.gather(futures)):
        take(address, batch, batch_results)
    return results, workers, batch_size
