"""The meridox calculators from Python.

Each run writes the parameter sheet into a folder of its own, calls the
calculator's entry once in a child process of the small case runner (a
calculator that crashes ends that child, never Python) and reads the result
tables back into numpy arrays, with the same code as the ``meridox`` command.

    import matplotlib.pyplot as plt
    import meridox
    image = meridox.run("projection").tables["OUT_M.txt"]
    plt.imshow(image, extent=image.extent, origin=image.origin)  # x and y in the sheet's unit, y upwards

    focus = meridox.study("projection", {"defocus": numpy.linspace(-1, 1, 9)}, threshold=[0.25, 0.3, 0.35])
    focus.to_xarray().cd.plot.line(x="defocus")  # a Bossung plot
"""

from __future__ import annotations

import collections
import collections.abc
import html
import math
import numbers
import os
import shutil
import subprocess
import tempfile
import threading
import warnings
from typing import Any, Mapping, Sequence, Union

import numpy

from . import _core

__all__ = ["Calculator", "CalculatorError", "MapTable", "ColumnTable", "Result", "Sheet", "Study",
           "calculators", "check", "library_folder", "loop", "run", "study", "__version__"]

#: The project's version, the one ``meridox --version`` prints.
__version__: str = _core.version

#: One threshold or several, in units of the clear-field intensity.
Thresholds = Union[float, Sequence[float]]


class CalculatorError(RuntimeError):
    """A calculator crashed, ended its process or ran past its timeout."""


Calculator = collections.namedtuple("Calculator", "name alias entry tables parameters metrics")
Calculator.__doc__ = """A calculator: its library name, the alias a user types, its entry, its
result table files, its parameter names and its metric names."""


def calculators() -> list[Calculator]:
    """The six calculators: library name, alias, entry, result table files,
    parameter names (rectangle cells as ``rect_x1[q]``) and metric names."""
    return [Calculator(name, alias, entry, [t[0] for t in tables], list(parameters), list(metrics))
            for name, alias, entry, tables, parameters, metrics, _ in _LAYOUTS]


# The calculators as the layouts describe them: the same for the whole session.
_LAYOUTS = tuple(_core.calculators())


def _layout(calc):
    """(length unit cell, {table file: (title, [(column name, unit)])}) of a calculator."""
    for name, _, _, tables, _, _, length_cell in _LAYOUTS:
        if name == calc.name:
            return length_cell, {file: (title, columns) for file, title, columns in tables}


def _facts(calc):
    """What the host says of a calculator beside its layout: its library's
    file name ("library_file"), whether its metrics come one row per
    threshold ("threshold_rows") and the table they are read from
    ("main_table")."""
    return _core.calculator_facts(calc.name)


def _calculator(name):
    for c in calculators():
        if name in (c.name, c.alias):
            return c
    names = ", ".join(f"{c.alias} ({c.name})" for c in calculators())
    raise ValueError(f'unknown calculator "{name}"; choose one of {names}')


def library_folder() -> str:
    """Where the calculator libraries are loaded from: MERIDOX_LIB_DIR when
    set, else beside the package (installed), else <build>/lib (build tree)."""
    chosen = os.environ.get("MERIDOX_LIB_DIR")
    if chosen:
        return chosen
    here = os.path.dirname(os.path.abspath(__file__))
    if any(os.path.isfile(os.path.join(here, _facts(c)["library_file"])) for c in calculators()):
        return here
    return os.path.join(os.path.dirname(os.path.dirname(here)), "lib")


def _library_folder_for(calc):
    folder = library_folder()
    path = os.path.join(folder, _facts(calc)["library_file"])
    if not os.path.isfile(path):
        raise FileNotFoundError(f"the library {path} is missing (build it, or set MERIDOX_LIB_DIR)")
    return folder


# ---- Sheets ------------------------------------------------------------------

_RECTANGLE_COLUMNS = tuple(_core.rectangle_columns)


def _cell_text(value):
    """A value as a cell holds it: text exactly as given, numbers as the
    shortest text that reads back as the same double."""
    if isinstance(value, str):
        return value
    if isinstance(value, numbers.Integral):
        return str(int(value))
    return _core.number_text(float(value))


class Sheet:
    """A calculator's parameter sheet: its bytes, read and written by name.

    ``sheet["NA"]`` is a cell's value as the calculator converts it,
    ``sheet["NA"] = 0.6`` writes it (numbers as their shortest text, text as
    typed), ``sheet.unit("pitch")`` its unit and ``sheet.text("NA")`` its
    text; every other byte of the sheet is kept."""

    def __init__(self, calc: str, data: bytes):
        self.calculator = _calculator(calc).name
        self.data = bytes(data)

    @classmethod
    def example(cls, calc: str) -> Sheet:
        """The built-in example sheet of a calculator."""
        c = _calculator(calc)
        return cls(c.name, _core.example(c.name))

    @classmethod
    def read(cls, path: str | os.PathLike, calc: str | None = None) -> Sheet:
        """A sheet file; the calculator is told from its labels when not given."""
        with open(path, "rb") as f:
            data = f.read()
        return cls(calc if calc is not None else _looks_like(data), data)

    def write(self, path: str | os.PathLike) -> None:
        """Writes the sheet's bytes whole (a reader never sees half a file)."""
        _core.replace_file(os.fspath(path), self.data)

    def copy(self) -> Sheet:
        """A sheet of the same calculator and bytes."""
        return Sheet(self.calculator, self.data)

    def _cell(self, name):
        return _core.cell_of(self.calculator, name)

    def __getitem__(self, name: str) -> int | float:
        """The value of a named cell as the calculator converts it."""
        column, row, integer = self._cell(name)
        return _core.cell_value(self.calculator, self.data, column, row, integer)[1]

    def __setitem__(self, name: str, value: str | float) -> None:
        """Writes a named cell: text as typed, numbers as their shortest text."""
        self.data = _core.set_cell(self.calculator, self.data, name, _cell_text(value))

    def text(self, name: str) -> str:
        """The text of a named cell."""
        column, row, integer = self._cell(name)
        return _core.display_text(_core.cell_value(self.calculator, self.data, column, row, integer)[0])

    @property
    def rectangles(self) -> numpy.ndarray:
        """The rectangle table, (n, 6): transmission real and imaginary part,
        x1, x2, y1, y2; n the sheet's rect_count."""
        count = max(0, self["rect_count"])
        rows = []
        for q in range(count):
            try:
                rows.append([self[f"{name}[{q}]"] for name in _RECTANGLE_COLUMNS])
            except ValueError:  # beyond the most rectangles the calculator reads
                break
        return numpy.array(rows, dtype=float).reshape(len(rows), 6)

    @rectangles.setter
    def rectangles(self, table):
        table = numpy.asarray(table, dtype=float)
        if table.ndim != 2 or table.shape[1] != 6:
            raise ValueError(f"rectangles take an (n, 6) array, not {table.shape}")
        for q, row in enumerate(table):
            for name, value in zip(_RECTANGLE_COLUMNS, row):
                self[f"{name}[{q}]"] = float(value)
        self["rect_count"] = len(table)

    def unit(self, name: str) -> str:
        """The unit a sheet gives a parameter (the text beside its value,
        else the calculator's own); "" for a pure number."""
        self._cell(name)  # ValueError for a name the calculator does not have
        text = _core.cell_unit(self.calculator, self.data, name)
        return "" if text == "-" else text

    def __repr__(self):
        return f"<meridox.Sheet of {self.calculator}, {len(self.data)} bytes>"


def _looks_like(data):
    """The calculator whose example sheet shares the most labels with `data`."""
    def labels(sheet):
        return {line.split(b"\t")[0].strip() for line in sheet.splitlines() if b"\t" in line} - {b""}
    own = labels(data)
    best = max(calculators(), key=lambda c: len(own & labels(_core.example(c.name))))
    if not own & labels(_core.example(best.name)):
        raise ValueError("cannot tell which calculator the sheet is for: give calc=")
    return best.name


def _sheet_for(calc, sheet, params):
    if sheet is None:
        s = Sheet.example(calc.name)
    elif isinstance(sheet, Sheet):
        if sheet.calculator != calc.name:
            raise ValueError(f"the sheet is a sheet of {sheet.calculator}, not of {calc.name}")
        s = sheet.copy()
    else:
        s = Sheet.read(sheet, calc.name)
    for name, value in (params or {}).items():
        s[name] = value
    return s


def check(calc: str, sheet: Sheet | str | os.PathLike | None = None) -> list[tuple[str, str | None, str]]:
    """The warnings of a sheet as (code, cell name or None, message), as
    ``meridox check`` gives them; `sheet` a Sheet, a path or None for the
    calculator's built-in example."""
    c = _calculator(calc)
    return [tuple(w) for w in _core.check(c.name, _sheet_for(c, sheet, None).data)]


def loop(calc, sheet=None, params=None):
    """A stage's servo loop linearised from its sheet, as `meridox run` reports
    it: a dict of gain_margin (factor on the whole loop gain), gain_margin_db,
    position_gain_margin (factor on Kp alone), phase_margin (deg), crossover_hz,
    phase_crossover_hz, bandwidth_hz, resonance_hz, sensitivity_peak (and _db),
    dominant_hz and dominant_damping, stable, the closed-loop poles, the plant's
    modes, the open loop's response (frequency_hz, open_loop, complex) and
    what the linear model leaves out. ValueError for a calculator that is no
    stage or a sheet without a finite plant."""
    c = _calculator(calc)
    return _core.loop(c.name, _sheet_for(c, sheet, params).data)


# ---- Runs --------------------------------------------------------------------

def _with_units(names, units):
    return [f"{name} ({unit})" if unit else name for name, unit in zip(names, units)]


def _edges(values):
    """The outer edges of cells centred on evenly spaced samples: half a
    step beyond the first and the last."""
    if len(values) < 2:
        return float(values[0]) - 0.5, float(values[0]) + 0.5
    return float(values[0] - (values[1] - values[0]) / 2), float(values[-1] + (values[-1] - values[-2]) / 2)


class MapTable:
    """A map table: ``values[j, i]`` at ``(x[i], y[j])``.

    ``names`` are the English names of x, y and the value, ``units`` their
    units in the sheet's words ("" for a pure number) and ``columns`` both
    together ("x (um)"). ``numpy.asarray(table)`` is ``values``, and
    ``extent`` with ``origin`` draw the map with its axes in the sheet's
    unit, y upwards::

        plt.imshow(table, extent=table.extent, origin=table.origin)
    """

    def __init__(self, title: str, columns: Sequence[str], x: numpy.ndarray, y: numpy.ndarray, values: numpy.ndarray,
                 names: Sequence[str] | None = None, units: Sequence[str] | None = None):
        self.title, self.columns, self.x, self.y, self.values = title, list(columns), x, y, values
        self.names = list(names) if names is not None else list(columns)
        self.units = list(units) if units is not None else [""] * len(self.columns)

    @property
    def origin(self) -> str:
        """imshow's origin that draws y upwards: "lower" when y grows with
        the row index (row 0 at the bottom), else "upper"."""
        return "lower" if len(self.y) < 2 or self.y[-1] >= self.y[0] else "upper"

    @property
    def extent(self) -> tuple[float, float, float, float]:
        """(left, right, bottom, top) for imshow: each value a cell centred on
        its (x, y), half a sample step beyond the outer samples."""
        left, right = _edges(self.x)
        first, last = _edges(self.y)
        return (left, right, first, last) if self.origin == "lower" else (left, right, last, first)

    def __array__(self, dtype=None, copy=None) -> numpy.ndarray:
        return numpy.asarray(self.values, dtype=dtype)

    def __repr__(self):
        return f"<MapTable {self.values.shape[1]} x by {self.values.shape[0]} y>"


class ColumnTable:
    """A column table: ``data[row, k]`` in column k.

    ``names`` are the columns' English names, ``units`` their units in the
    sheet's words ("" for a pure number) and ``columns`` both together
    ("time (s)"); ``table["time"]`` and ``table["time (s)"]`` are the same
    column, and ``numpy.asarray(table)`` is ``data``."""

    def __init__(self, title: str, columns: Sequence[str], data: numpy.ndarray, names: Sequence[str] | None = None,
                 units: Sequence[str] | None = None):
        self.title, self.columns, self.data = title, list(columns), data
        self.names = list(names) if names is not None else list(columns)
        self.units = list(units) if units is not None else [""] * len(self.columns)

    def __getitem__(self, column: str) -> numpy.ndarray:
        """The column of a name, with or without its unit."""
        for names in (self.columns, self.names):
            if column in names:
                return self.data[:, names.index(column)]
        raise KeyError(f"{column!r}: the columns are {', '.join(repr(n) for n in self.names)}")

    def __array__(self, dtype=None, copy=None) -> numpy.ndarray:
        return numpy.asarray(self.data, dtype=dtype)

    def __len__(self) -> int:
        return self.data.shape[0]

    def __repr__(self):
        return f"<ColumnTable {self.data.shape[0]} rows of {', '.join(self.columns)}>"


def _columns(calc, sheet, table, count):
    """The columns' English names and units in the sheet's words, as the
    host names them; columns beyond the layout's are "column K"."""
    names, units = [], []
    for name, unit in _core.table_columns(calc.name, sheet.data, table):
        names.append(name)
        units.append(unit)
    names += [f"column {k + 1}" for k in range(len(names), count)]
    units += [""] * (count - len(units))
    return names[:count], units[:count]


def _column_names(calc, sheet, table, count):
    """The columns' English names with their units in the sheet's words, as
    the host names them."""
    return _with_units(*_columns(calc, sheet, table, count))


def _read_table(calc, sheet, folder, name):
    kind, *rest = _core.read_table(os.path.join(folder, name))
    title = _layout(calc)[1][name][0]
    if kind == "map":
        _, x, y, values = rest
        names, units = _columns(calc, sheet, name, 3)
        return MapTable(title, _with_units(names, units), x, y, values, names, units)
    _, data = rest
    names, units = _columns(calc, sheet, name, data.shape[1])
    return ColumnTable(title, _with_units(names, units), data, names, units)


def _read_tables(calc, sheet, folder):
    return {name: _read_table(calc, sheet, folder, name) for name in calc.tables}


class _Tables(collections.abc.Mapping):
    """A run's tables by file name, in the order the calculator writes them,
    each read from the run's own temporary folder when first asked for (a
    loop that wants the metrics only reads none). The folder lives as long as
    this does, whether or not its Result does."""

    def __init__(self, calc, sheet, temporary):
        self._calc, self._sheet, self._temporary, self._read = calc, sheet, temporary, {}
        self._lock = threading.Lock()

    def __getitem__(self, name):
        with self._lock:
            if name not in self._read:
                if name not in self._calc.tables:
                    raise KeyError(name)
                self._read[name] = _read_table(self._calc, self._sheet, os.path.join(self._temporary.name, "run"),
                                               name)
            return self._read[name]

    def __contains__(self, name):
        return name in self._calc.tables

    def __iter__(self):
        return iter(self._calc.tables)

    def __len__(self):
        return len(self._calc.tables)

    def __repr__(self):
        return repr(dict(self))

    def __reduce__(self):  # pickled (sent to another process) as the plain dict of every table
        return dict, (dict(self),)


def _command():
    """The meridox command beside the package (installed) or the build's
    (build tree); None when there is none. Pictures are drawn by it, in a
    process of its own, so that the plotting libraries never load here."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "meridox")
    return path if os.path.isfile(path) and os.access(path, os.X_OK) else None


def _picture(table_path, size, arguments=()):
    """The PNG the meridox command's plot draws of a result table (the
    run's sheet beside it gives the units)."""
    command = _command()
    if command is None:
        raise FileNotFoundError("no picture: the meridox command is not installed beside the package "
                                "(pip install . puts it there)")
    with tempfile.TemporaryDirectory(prefix="meridox-picture-") as folder:
        png = os.path.join(folder, "picture.png")
        done = subprocess.run([command, "plot", table_path, "--output", png, "--size", f"{size[0]}x{size[1]}",
                               *arguments], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0 or not os.path.isfile(png):
            raise CalculatorError(done.stderr.strip().splitlines()[-1] if done.stderr.strip()
                                  else f"meridox plot ended with status {done.returncode}")
        with open(png, "rb") as f:
            return f.read()


def _png_html(png, alt):
    import base64
    return f'<img alt="{html.escape(alt)}" src="data:image/png;base64,{base64.b64encode(png).decode("ascii")}"/>'


class Result:
    """One run of a calculator.

    tables
        result table file name to its MapTable or ColumnTable, in the order
        the calculator writes them.
    metrics
        always a list of rows: one per threshold for the image calculators
        (projection, proximity), one row for the others. Each row is a dict
        of the study table's columns for it: "threshold" (image calculators)
        and every metric, so ``result.metrics[0]["cd"]`` is the cd at the
        first threshold and ``pandas.DataFrame(result.metrics)`` a table.
    summary
        what the ``meridox`` command says of the run's tables.
    sheet, folder
        the sheet used; the folder that holds the run's sheet and tables (the
        ``out`` given, else a temporary folder removed when the Result goes
        away).
    warnings
        the sheet's warnings as ``check`` gives them: (code, cell name or
        None, message).
    status
        "ok", or "diverged" for a stage whose error grew without bound (its
        metrics are kept and say how).

    In Jupyter a Result shows its summary and its main picture.
    """

    def __init__(self, calculator: str, sheet: Sheet, tables: Mapping[str, MapTable | ColumnTable],
                 metrics: list[dict[str, float]], summary: str = "", folder: str | None = None, options=(),
                 warnings=()):
        self.calculator, self.sheet, self.tables, self.metrics = calculator, sheet, tables, metrics
        self.warnings = list(warnings)
        self.status = "ok"
        self.summary, self.folder = summary, folder
        self._options = list(options)  # the plot command's options that match the run's
        self._temporary = None  # keeps a temporary folder as long as the Result

    def picture(self, table: str | None = None, size: tuple[int, int] = (960, 720)) -> bytes:
        """The PNG of a result table (default: the one the metrics are read
        from), drawn by the ``meridox`` command as ``meridox run`` draws it."""
        c = _calculator(self.calculator)
        table = table or _facts(c)["main_table"]
        if table not in self.tables:
            raise KeyError(f"{table!r}: the tables are {', '.join(self.tables)}")
        if self.folder is None or not os.path.isfile(os.path.join(self.folder, table)):
            raise FileNotFoundError(f"no picture: the run's folder no longer holds {table}")
        return _picture(os.path.join(self.folder, table), size, self._options)

    def _repr_html_(self) -> str:
        c = _calculator(self.calculator)
        parts = [f"<p><b>{html.escape(c.alias)} ({html.escape(c.name)})</b></p>",
                 f"<pre>{html.escape(self.summary)}</pre>"]
        try:
            parts.append(_png_html(self.picture(size=(640, 480)), _facts(c)["main_table"]))
        except (OSError, CalculatorError) as e:
            parts.append(f"<p><i>{html.escape(str(e))}</i></p>")
        return "\n".join(parts)

    def __repr__(self):
        return f"<meridox.Result of {self.calculator}: {', '.join(self.tables)}>"


def _threshold_list(threshold):
    """The thresholds of `threshold` (one value or a sequence; None for the
    host's default), each a finite positive number."""
    if threshold is None:
        return [_core.default_threshold]
    values = [threshold] if numpy.ndim(threshold) == 0 else list(numpy.asarray(threshold, dtype=object).ravel())
    if not values or any(isinstance(t, bool) or not isinstance(t, numbers.Real) or not 0 < t < math.inf
                         for t in values):
        raise ValueError(f"threshold is a positive number or a list of them, not {threshold!r}")
    return [float(t) for t in values]


def _spec(calc, sheet, vary=(), keep_tables=False, threshold=None, cut_y=0.0, cut_x=0.0, tone="bright", band=None,
          timeout=0.0, **unknown):
    """A run or a study as the host's study machinery takes it: a plain dict
    that travels to workers as it is."""
    if "thresholds" in unknown:  # the name studies took before threshold
        given = unknown.pop("thresholds")
        if given is not None:
            if threshold is not None:
                raise ValueError("give threshold (one value or a list) alone, not thresholds too")
            warnings.warn("thresholds= is now threshold= (one value or a list)", DeprecationWarning, stacklevel=3)
            threshold = given
    if unknown:
        raise ValueError(f"unknown option {', '.join(sorted(unknown))}; the options are threshold, cut_y, cut_x, "
                         "tone, band, timeout")
    if tone not in ("bright", "dark"):
        raise ValueError(f'tone is "bright" or "dark", not "{tone}"')
    thresholds = _threshold_list(threshold)
    if band is not None and not band > 0:
        raise ValueError("band is a positive number of mm")
    if not timeout >= 0:
        raise ValueError("timeout is a number of seconds, 0 for none")
    spec = dict(calculator=calc.name, sheet=sheet.data, set=[], vary=[(n, [float(v) for v in vs]) for n, vs in vary],
                thresholds=[float(t) for t in thresholds], cut_y=float(cut_y), cut_x=float(cut_x), dark=tone == "dark",
                band=None if band is None else float(band), timeout=float(timeout), keep_tables=bool(keep_tables))
    _core.validate(spec)
    return spec


# The statuses of a run that ran to its end and has its metrics: a stage
# whose error grew without bound is "diverged", its metrics kept.
_COMPLETED = ("ok", "diverged")


def _metric_row(c, row):
    """A row of metrics by name; the feature column says in words why a width is nan."""
    return {n: _core.feature_text(v) if n == "feature" else v for n, v in zip(c.metrics, row)}


def run(calc: str, sheet: Sheet | str | os.PathLike | None = None, params: Mapping[str, Any] | None = None,
        out: str | os.PathLike | None = None, strict: bool = False, *, threshold: Thresholds | None = None, cut_y: float = 0.0,
        cut_x: float = 0.0, tone: str = "bright", band: float | None = None, timeout: float = 0.0,
        **unknown: Any) -> Result:
    """Runs a calculator once, as ``meridox run`` does.

    calc
        a calculator by alias ("projection", "proximity", "plate", "stage",
        "nut-stage", "stage-base") or library name.
    sheet
        a Sheet, a sheet file's path, or None for the built-in example.
    params
        named values written into the sheet first (``{"defocus": 0.2}``).
    out
        a folder to keep the sheet and tables in, as ``meridox run`` leaves
        them (no other file there is touched); a temporary one (removed with
        the Result) otherwise.
    strict
        raise ValueError for a sheet with warnings (``Result.warnings``
        lists them otherwise).
    threshold
        the image metrics' intensity threshold: one value or a list (one
        row of metrics each); default 0.3.
    cut_y, cut_x, tone, band
        the row and centre of the measured feature, "bright" or "dark", and
        the stage settling band in mm, as the command's options.
    timeout
        seconds after which a calculator still running is ended (0: none).

    Returns a Result; raises CalculatorError when the calculator crashes,
    ends its process or runs past the timeout, and ValueError for an
    unknown calculator, cell or option.
    """
    c = _calculator(calc)
    s = _sheet_for(c, sheet, params)
    spec = _spec(c, s, keep_tables=True, threshold=threshold, cut_y=cut_y, cut_x=cut_x, tone=tone, band=band,
                 timeout=timeout, **unknown)
    # The case runner checks the sheet after the run, unless strict asks for
    # its warnings before.
    warnings = check(c.name, s) if strict else None
    if strict and warnings:
        raise ValueError(f"strict: {len(warnings)} warnings; the first: {warnings[0][2]}")
    if out is not None and not os.fspath(out):
        raise ValueError("out names no folder; give a folder, or None for a temporary one")
    library = _library_folder_for(c)
    # The run is a case of no varied parameter, run by the case runner as a
    # study's cases are (the calculator's child is forked from that small
    # process, which stays for the next run, never from this interpreter),
    # in a scratch folder: inside the temporary folder, or inside `out`, from
    # which only the sheet and the tables come out.
    if out is None:
        temporary = tempfile.TemporaryDirectory(prefix="meridox-")
        scratch = temporary.name
    else:
        temporary = None
        os.makedirs(os.path.abspath(out), exist_ok=True)
        scratch = tempfile.mkdtemp(prefix=".meridox-run-", dir=os.path.abspath(out))
    run_folder = os.path.join(scratch, "run")
    folder = run_folder if out is None else os.path.abspath(out)
    try:
        from ._runner import RunnerGone, run_once
        try:
            status, sets, checked = run_once(spec, library, _facts(c)["library_file"], run_folder)
        except RunnerGone as e:
            raise CalculatorError(f"{c.name}: {e}") from None
        warnings = warnings if strict else checked
        if status not in _COMPLETED:
            raise CalculatorError(f"{c.name}: {status}")
        try:
            with open(os.path.join(run_folder, "summary.txt"), "rb") as f:
                summary = f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            summary = ""
        # Tables in `out` are read now: a later run into the same folder would
        # replace them.
        if out is not None:
            _core.adopt_run(c.name, run_folder, folder)
            tables = _read_tables(c, s, folder)
        else:
            tables = _Tables(c, s.copy(), temporary)  # the units as the run had them, whatever becomes of s
    except BaseException:
        if temporary is not None:
            temporary.cleanup()
        raise
    finally:
        if out is not None:
            shutil.rmtree(scratch, ignore_errors=True)
    by_threshold = _facts(c)["threshold_rows"]
    metrics = [{**({"threshold": t} if by_threshold else {}), **_metric_row(c, row)}
               for t, row in zip(spec["thresholds"] if by_threshold else [None], sets)]
    number = _core.number_text
    options = [f"--cut-y={number(spec['cut_y'])}", f"--cut-x={number(spec['cut_x'])}",
               f"--threshold={number(spec['thresholds'][0])}", f"--tone={tone}"]
    options += [] if spec["band"] is None else [f"--band={number(spec['band'])}"]
    result = Result(c.name, s, tables, metrics, summary, folder, options, warnings)
    result.status = status
    result._temporary = temporary
    return result


from ._study import Study, study  # noqa: E402  (the study uses the names above)
