"""Studies: a calculator run over the full product of varied parameters,
one row of metrics per case (and per threshold for the images), run in
parallel child processes here or in batches on a Dask cluster."""

import concurrent.futures
import itertools
import math
import os
import shutil
import sys
import tempfile
import threading
import time

from . import (CalculatorError, Sheet, _calculator, _cell_text, _core, _library, _options, _run_in, _sheet_for)

_IMAGE_CALCULATORS = ("orvalis", "quendra")

# The libraries keep their state in globals: one case at a time per process,
# however many threads a Dask worker gives its tasks.
_ONE_CASE_AT_A_TIME = threading.Lock()


class Study:
    """The rows of a study, in case order (and threshold order within a case)."""

    def __init__(self, calculator, columns, rows, workers=None):
        self.calculator, self.columns, self.rows = calculator, columns, rows
        self.workers = workers  # case to the address of the worker that ran it, on a cluster

    def to_csv(self, path):
        """Writes study.csv: RFC 4180, one header row, numbers as the shortest
        text that reads back as the same double (nan, inf, -inf)."""
        lines = [",".join(_csv_field(c) for c in self.columns)]
        lines += [",".join(_csv_field(row[c]) for c in self.columns) for row in self.rows]
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write("".join(line + "\r\n" for line in lines))

    def frame(self):
        """The rows as a pandas DataFrame."""
        import pandas
        return pandas.DataFrame(self.rows, columns=self.columns)

    def __len__(self):
        return len(self.rows)

    def __repr__(self):
        return f"<meridox.Study of {self.calculator}: {len(self.rows)} rows>"


def _csv_field(value):
    if isinstance(value, float):
        text = _core.shortest(value)
    else:
        text = str(value)
    if any(ch in text for ch in ',"\r\n'):
        text = '"' + text.replace('"', '""') + '"'
    return text


def _cases(sheet, vary):
    """(case name, [(parameter, cell text)]) for the full product, the first
    varied parameter changing slowest."""
    if not vary:
        raise ValueError("a study varies at least one parameter")
    names = list(vary)
    for name in names:
        sheet._cell(name)  # ValueError naming an unknown parameter
    values = [list(vary[name]) for name in names]
    for name, v in zip(names, values):
        if not v:
            raise ValueError(f"no values for {name}")
    product = list(itertools.product(*values))
    width = len(str(len(product) - 1))
    return names, [(f"{k:0{width}d}", [(n, _cell_text(v)) for n, v in zip(names, combo)], combo)
                   for k, combo in enumerate(product)]


def _case_rows(calc, library, base, case, opts, folder, keep):
    """Runs one case in `folder` and returns its rows; a crash or a timeout
    is told in the rows' status, with every metric nan."""
    name, texts, values = case
    sheet = Sheet(calc.name, base)
    for parameter, text in texts:
        sheet[parameter] = text
    os.makedirs(folder, exist_ok=True)
    try:
        sets, status = _run_in(calc, library, sheet, folder, opts, f"case {name}"), "ok"
    except CalculatorError as e:
        sets, status = None, str(e)
    except ValueError as e:  # a table missing or unreadable
        sets, status = None, f"case {name}: {e}"
    finally:
        if not keep:
            for table in calc.tables:
                _remove(os.path.join(folder, table))
    image = calc.name in _IMAGE_CALCULATORS
    thresholds = opts["thresholds"] if image else [None]
    rows = []
    for k, threshold in enumerate(thresholds):
        row = {"case": name}
        row.update(zip((p for p, _ in texts), values))
        if image:
            row["threshold"] = threshold
        metrics = sets[k] if sets else {}
        row.update((m, metrics.get(m, math.nan)) for m in calc.metrics)
        row["status"] = status
        rows.append(row)
    return rows


def _remove(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def _columns(calc, names):
    return ["case", *names, *(["threshold"] if calc.name in _IMAGE_CALCULATORS else []), *calc.metrics, "status"]


class _Progress:
    """The command's kind of progress line on a terminal's standard error."""

    def __init__(self, total, shown):
        self.total, self.shown, self.done, self.failed = total, shown, 0, 0
        self.start = time.monotonic()

    def add(self, rows):
        self.done += 1
        self.failed += rows[0]["status"] != "ok"
        if self.shown:
            elapsed = time.monotonic() - self.start
            left = elapsed / self.done * (self.total - self.done)
            sys.stderr.write(f"\r{self.done}/{self.total} cases, {self.failed} failed, "
                             f"{elapsed:.0f} s elapsed, {left:.0f} s left ")
            if self.done == self.total:
                sys.stderr.write("\n")
            sys.stderr.flush()


def study(calc, vary, sheet=None, params=None, thresholds=None, client=None, jobs=None, out=None,
          keep_tables=False, batch_size=None, progress=None, **options):
    """Runs the full product of `vary` (name to values) on a sheet (a Sheet, a
    path or None for the built-in example, with `params` written first).

    Without `client`, `jobs` child processes run at once (default: the number
    of cores), each case in out/cases/<case>/ (a temporary folder when `out`
    is None). With a distributed.Client the cases go to the cluster in
    batches of `batch_size` (default: about a second of work per batch).
    `thresholds` gives the image calculators one row per threshold."""
    c = _calculator(calc)
    base = _sheet_for(c, sheet, params)
    if thresholds is not None:
        options["threshold"] = list(thresholds)
    opts = _options(c, **options)
    names, cases = _cases(base, vary)
    shown = sys.stderr.isatty() if progress is None else bool(progress)
    workers = None
    if client is not None:
        rows, workers = _distributed(client, c, base.data, cases, opts, batch_size, shown)
    else:
        rows = _local(c, base.data, cases, opts, jobs or os.cpu_count() or 1, out, keep_tables, shown)
    if out is not None:
        os.makedirs(out, exist_ok=True)
    result = Study(c.name, _columns(c, names), rows, workers)
    if out is not None:
        result.to_csv(os.path.join(out, "study.csv"))
    return result


def _local(calc, base, cases, opts, jobs, out, keep, shown):
    library = _library(calc)
    root = out if out is not None else tempfile.mkdtemp(prefix="meridox-study-")
    progress = _Progress(len(cases), shown)
    results = [None] * len(cases)
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
            futures = {pool.submit(_case_rows, calc, library, base, case, opts,
                                   os.path.join(root, "cases", case[0]), keep): k
                       for k, case in enumerate(cases)}
            try:
                for future in concurrent.futures.as_completed(futures):
                    results[futures[future]] = future.result()
                    progress.add(results[futures[future]])
            except BaseException:
                pool.shutdown(wait=True, cancel_futures=True)
                raise
    finally:
        _core.clear_interrupted()
        if out is None:
            shutil.rmtree(root, ignore_errors=True)
    return [row for rows in results for row in rows]


# ---- Distributed -------------------------------------------------------------

def _run_batch(calc_name, base, cases, opts, study_id):
    """On a worker: runs the cases one after another, each in a case folder
    of its own under the worker's local directory. Returns the worker's
    address, the rows and the seconds the cases took."""
    import distributed
    worker = distributed.get_worker()
    calc = _calculator(calc_name)
    library = _library(calc)
    root = os.path.join(worker.local_directory, "meridox-studies", study_id)
    rows = []
    start = time.monotonic()
    with _ONE_CASE_AT_A_TIME:
        try:
            for case in cases:
                folder = os.path.join(root, "cases", case[0])
                rows.extend(_case_rows(calc, library, base, case, opts, folder, False))
                shutil.rmtree(folder, ignore_errors=True)
        finally:
            _core.clear_interrupted()
    return worker.address, rows, time.monotonic() - start


def _distributed(client, calc, base, cases, opts, batch_size, shown):
    import distributed
    study_id = f"{os.getpid()}-{time.time_ns()}"
    done, rows, workers = 0, [], {}

    def take(address, batch_rows):
        rows.extend(batch_rows)
        workers.update((row["case"], address) for row in batch_rows)

    if batch_size is None:
        # A first case tells how long one takes: a batch then takes about a
        # second, so that the scheduler's cost per task stays small.
        address, first, seconds = client.submit(_run_batch, calc.name, base, cases[:1], opts, study_id,
                                                pure=False).result()
        take(address, first)
        done = 1
        batch_size = max(1, min(10000, round(1.0 / max(seconds, 1e-6))))
    if batch_size < 1:
        raise ValueError("batch_size is at least 1")
    futures = [client.submit(_run_batch, calc.name, base, cases[k:k + batch_size], opts, study_id, pure=False)
               for k in range(done, len(cases), batch_size)]
    if shown and futures:
        distributed.progress(futures)
    for address, batch_rows, _ in client.gather(futures):
        take(address, batch_rows)
    return rows, workers

