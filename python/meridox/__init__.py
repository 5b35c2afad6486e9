"""The meridox calculators from Python.

Each run writes the parameter sheet into a folder of its own, calls the
calculator's entry once in a child process (a calculator that crashes ends
the child, never Python) and reads the result tables back into numpy arrays,
with the same code as the ``meridox`` command.

    import meridox
    image = meridox.run("projection").tables["OUT_M.txt"]
    plt.imshow(image.values, extent=[image.x[0], image.x[-1], image.y[-1], image.y[0]])
"""

import collections
import math
import numbers
import os
import shutil
import tempfile

import numpy

from . import _core

__all__ = ["Calculator", "CalculatorError", "MapTable", "ColumnTable", "Result", "Sheet", "Study",
           "calculators", "check", "library_folder", "loop", "run", "study"]


class CalculatorError(RuntimeError):
    """A calculator crashed, ended its process or ran past its timeout."""


Calculator = collections.namedtuple("Calculator", "name alias entry tables parameters metrics")


def calculators():
    """The six calculators: library name, alias, entry, result table files,
    parameter names (rectangle cells as ``rect_x1[q]``) and metric names."""
    return [Calculator(name, alias, entry, [t[0] for t in tables], parameters, metrics)
            for name, alias, entry, tables, parameters, metrics, _ in _core.calculators()]


def _layout(calc):
    """(length unit cell, {table file: (title, [(column name, unit)])}) of a calculator."""
    for name, _, _, tables, _, _, length_cell in _core.calculators():
        if name == calc.name:
            return length_cell, {file: (title, columns) for file, title, columns in tables}


def _calculator(name):
    for c in calculators():
        if name in (c.name, c.alias):
            return c
    names = ", ".join(f"{c.alias} ({c.name})" for c in calculators())
    raise ValueError(f'unknown calculator "{name}"; choose one of {names}')


def library_folder():
    """Where the calculator libraries are loaded from: MERIDOX_LIB_DIR when
    set, else beside the package (installed), else <build>/lib (build tree)."""
    chosen = os.environ.get("MERIDOX_LIB_DIR")
    if chosen:
        return chosen
    here = os.path.dirname(os.path.abspath(__file__))
    if any(n.startswith("lib") and n.endswith(".so") for n in os.listdir(here)):
        return here
    return os.path.join(os.path.dirname(os.path.dirname(here)), "lib")


def _library_folder_for(calc):
    folder = library_folder()
    path = os.path.join(folder, f"lib{calc.name}.so")
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
    """A calculator's parameter sheet: its bytes, read and written by name."""

    def __init__(self, calc, data):
        self.calculator = _calculator(calc).name
        self.data = bytes(data)

    @classmethod
    def example(cls, calc):
        """The built-in example sheet of a calculator."""
        c = _calculator(calc)
        return cls(c.name, _core.example(c.name))

    @classmethod
    def read(cls, path, calc=None):
        """A sheet file; the calculator is told from its labels when not given."""
        with open(path, "rb") as f:
            data = f.read()
        return cls(calc if calc is not None else _looks_like(data), data)

    def write(self, path):
        with open(path, "wb") as f:
            f.write(self.data)

    def copy(self):
        return Sheet(self.calculator, self.data)

    def _cell(self, name):
        return _core.cell_of(self.calculator, name)

    def __getitem__(self, name):
        """The value of a named cell as the calculator converts it."""
        column, row, integer = self._cell(name)
        return _core.cell_value(self.calculator, self.data, column, row, integer)[1]

    def __setitem__(self, name, value):
        """Writes a named cell: text as typed, numbers as their shortest text."""
        self.data = _core.set_cell(self.calculator, self.data, name, _cell_text(value))

    def text(self, name):
        """The text of a named cell."""
        column, row, integer = self._cell(name)
        return _core.cell_value(self.calculator, self.data, column, row, integer)[0].decode("latin-1")

    @property
    def rectangles(self):
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

    def unit(self, name):
        """The unit a sheet gives a parameter (the text beside its value)."""
        _, row, integer = self._cell(name)
        text = _core.cell_value(self.calculator, self.data, 1, row, integer)[0].decode("utf-8", "replace").strip()
        return "" if text in ("", "-") or len(text) > 24 else text

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


def check(calc, sheet=None):
    """The warnings of a sheet as (code, cell name or None, message)."""
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

class MapTable:
    """A map table: values[j, i] at (x[i], y[j]); `columns` names x, y and
    the value in English with their units."""

    def __init__(self, title, columns, x, y, values):
        self.title, self.columns, self.x, self.y, self.values = title, columns, x, y, values

    def __repr__(self):
        return f"<MapTable {self.values.shape[1]} x by {self.values.shape[0]} y>"


class ColumnTable:
    """A column table: data[row, k] in the column named columns[k]."""

    def __init__(self, title, columns, data):
        self.title, self.columns, self.data = title, columns, data

    def __getitem__(self, column):
        return self.data[:, self.columns.index(column)]

    def __repr__(self):
        return f"<ColumnTable {self.data.shape[0]} rows of {', '.join(self.columns)}>"


def _column_names(calc, sheet, table, count):
    """The columns' English names with their units; the layout's "length",
    "stress" and "thickness" stand for the units the sheet gives them."""
    length_cell, tables = _layout(calc)
    units = {"length": length_cell, "stress": "modulus", "thickness": "thickness"}

    def unit(text):
        words = text.replace("/", " / ").replace("^", " ^ ").split(" ")
        words = [sheet.unit(units[w]) or w if w in units and units[w] else w for w in words]
        return " ".join(words).replace(" / ", "/").replace(" ^ ", "^")

    names = [f"{name} ({unit(u)})" if u not in ("-", "") else name for name, u in tables[table][1]]
    names += [f"column {k + 1}" for k in range(len(names), count)]
    return names[:count]


def _read_tables(calc, sheet, folder):
    tables = {}
    for name in calc.tables:
        kind, *rest = _core.read_table(os.path.join(folder, name))
        title = _layout(calc)[1][name][0]
        if kind == "map":
            _, x, y, values = rest
            tables[name] = MapTable(title, _column_names(calc, sheet, name, 3), x, y, values)
        else:
            _, data = rest
            tables[name] = ColumnTable(title, _column_names(calc, sheet, name, data.shape[1]), data)
    return tables


class Result:
    """One run: tables (file name to table), metrics, the sheet used."""

    def __init__(self, calculator, sheet, tables, metrics):
        self.calculator, self.sheet, self.tables, self.metrics = calculator, sheet, tables, metrics

    def __repr__(self):
        return f"<meridox.Result of {self.calculator}: {', '.join(self.tables)}>"


def _spec(calc, sheet, vary=(), keep_tables=False, threshold=0.3, cut_y=0.0, cut_x=0.0, tone="bright", band=None,
          timeout=0.0, **unknown):
    """A run or a study as the host's study machinery takes it: a plain dict
    that travels to workers as it is."""
    if unknown:
        raise ValueError(f"unknown option {', '.join(sorted(unknown))}; the options are threshold, cut_y, cut_x, "
                         "tone, band, timeout")
    if tone not in ("bright", "dark"):
        raise ValueError(f'tone is "bright" or "dark", not "{tone}"')
    thresholds = list(threshold) if isinstance(threshold, (list, tuple)) else [threshold]
    if not thresholds or any(not t > 0 for t in thresholds):
        raise ValueError("a threshold is a positive number")
    if band is not None and not band > 0:
        raise ValueError("band is a positive number of mm")
    if not timeout >= 0:
        raise ValueError("timeout is a number of seconds, 0 for none")
    spec = dict(calculator=calc.name, sheet=sheet.data, set=[], vary=[(n, [float(v) for v in vs]) for n, vs in vary],
                thresholds=[float(t) for t in thresholds], cut_y=float(cut_y), cut_x=float(cut_x), dark=tone == "dark",
                band=None if band is None else float(band), timeout=float(timeout), keep_tables=bool(keep_tables))
    _core.validate(spec)
    return spec


def _interrupted():
    """Ctrl-C while a child ran ended the child; it ends the call here."""
    if _core.interrupted():
        _core.clear_interrupted()
        raise KeyboardInterrupt


def run(calc, sheet=None, params=None, out=None, **options):
    """Runs a calculator once. `sheet`: a Sheet, a path, or None for the
    built-in example; `params`: named values written into the sheet first;
    `out`: a folder to keep the sheet, tables and summary in (a temporary one
    otherwise); options: threshold (one or several), cut_y, cut_x, tone,
    band, timeout, as the command's."""
    c = _calculator(calc)
    s = _sheet_for(c, sheet, params)
    spec = _spec(c, s, keep_tables=True, **options)
    temporary = tempfile.mkdtemp(prefix="meridox-") if out is None else None
    folder = os.path.join(temporary, "run") if out is None else os.path.abspath(out)
    try:
        os.makedirs(os.path.dirname(folder), exist_ok=True)
        status, sets = _core.run_case(spec, _library_folder_for(c), c.name, [], folder)
        _interrupted()
        if status != "ok":
            raise CalculatorError(f"{c.name}: {status}")
        tables = _read_tables(c, s, folder)
    finally:
        if temporary is not None:
            shutil.rmtree(temporary, ignore_errors=True)
    metrics = [dict(zip(c.metrics, row)) for row in sets]
    if len(spec["thresholds"]) > 1 and c.name in _IMAGE_CALCULATORS:
        metrics = dict(zip(spec["thresholds"], metrics))
    else:
        metrics = metrics[0]
    return Result(c.name, s, tables, metrics)


_IMAGE_CALCULATORS = ("orvalis", "quendra")


from ._study import Study, study  # noqa: E402  (the study uses the names above)
