#!/usr/bin/python3
"""Accuracy figures of the guide (docs/): each calculator against closed forms
or an independent evaluation, through the built libraries.

    cmake --workflow --preset release
    /usr/bin/python3 bench/accuracy/accuracy.py [fresnel proximity projection plate stage]
    /usr/bin/python3 bench/accuracy/accuracy.py proximity-lookups   # checks the proximity evaluation itself

Runs the calculators with `build/release/host/meridox run CALC SHEET --out DIR
--no-pictures` in a scratch folder and reads their tables. Needs Debian's
python3-numpy and python3-scipy (exact Fresnel integrals, matrix exponential).
Every figure is printed with what it compares; nothing is asserted.
"""
import atexit
import math
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np
from scipy.linalg import expm
from scipy.special import fresnel

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(ROOT, "build", "release")
MERIDOX = os.path.join(BUILD, "host", "meridox")
LOOKUP = os.path.join(BUILD, "bench", "accuracy", "fresnel_lookup")
SCRATCH = tempfile.mkdtemp(prefix="meridox-accuracy-")
atexit.register(shutil.rmtree, SCRATCH, ignore_errors=True)
PI_LITERAL = 3.14159265358979  # the value of pi the calculators use


def run(calc, lines, name):
    """Writes a sheet (a list of lines of fields) and runs the calculator; returns the output folder."""
    folder = os.path.join(SCRATCH, name)
    os.makedirs(folder, exist_ok=True)
    sheet = os.path.join(SCRATCH, name + ".txt")
    with open(sheet, "w", newline="\r\n") as f:
        for fields in lines:
            f.write("\t".join(str(v) for v in fields) + "\n")
    subprocess.run([MERIDOX, "run", calc, sheet, "--out", folder, "--no-pictures"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return folder


def table_lines(folder, name="OUT_M.txt"):
    with open(os.path.join(folder, name), "rb") as f:
        return [line.split("\t") for line in f.read().decode("latin-1").split("\r\n")]


def read_map(folder, first_line):
    """A map table: x along the line at first_line, then lines of y and values. Returns x, y, V[y][x]."""
    lines = table_lines(folder)
    x = np.array([float(v) for v in lines[first_line][1:-1]])
    rows = [l for l in lines[first_line + 1:] if len(l) > 1]
    y = np.array([float(l[0]) for l in rows])
    v = np.array([[float(t) for t in l[1:-1]] for l in rows])
    return x, y, v


def read_columns(folder):
    """A column table after its header line; a short last row is padded with nan."""
    rows = [[float(t) for t in l] for l in table_lines(folder)[1:] if l != [""]]
    width = max(len(r) for r in rows)
    return np.array([r + [math.nan] * (width - len(r)) for r in rows])


def scalar_sheet(title, values, first_row=1):
    """Lines of a sheet with one value per row in column 2, from first_row on."""
    lines = [[title]] + [["", ""] for _ in range(first_row - 1)]
    return lines + [["", "", v] for v in values]


# --------------------------------------------------------------------------- Fresnel table

def exact_cs(u):
    s, c = fresnel(u)
    return c, s


def section_fresnel():
    print("== Fresnel table of the proximity calculator against exact Fresnel integrals (scipy.special.fresnel)")
    def errors(args):
        out = subprocess.run([LOOKUP], input="\n".join("%.17g" % u for u in args), text=True,
                             capture_output=True, check=True).stdout.split()
        table = np.array(out, dtype=float).reshape(-1, 3)
        c_ex, s_ex = exact_cs(table[:, 0])
        return table[:, 0], np.maximum(np.abs(table[:, 1] - c_ex), np.abs(table[:, 2] - s_ex))

    nodes = errors(np.arange(0, 1000) * 0.02)  # the table entries themselves (Simpson's rule)
    anywhere = errors(np.arange(0.0, 30.0, 0.0005))  # with the linear interpolation between entries
    print("  error of C and S (the larger of the two)  at the table's nodes   anywhere (interpolated)")
    for lo, hi in [(0, 1), (1.9, 2.1), (4.9, 5.1), (9.9, 10.1), (19.9, 20), (20, 30)]:
        line = "  |u| in [%5.2f, %5.2f):" % (lo, hi)
        for u, err in (nodes, anywhere):
            sel = (u >= lo) & (u < hi)
            line += "   %.1e" % err[sel].max() if sel.any() else "   (no node)"
        print(line)
    c_ex, s_ex = exact_cs(np.arange(20.0, 30.0, 0.0005))
    osc = np.maximum(np.abs(c_ex - 0.5), np.abs(s_ex - 0.5))
    print("  beyond 20: the table gives exactly 0.5; the exact integrals still differ from 0.5 by up to %.4f"
          " (1/(pi u) at u = 20 is %.4f)" % (osc.max(), 1 / (math.pi * 20)))


# --------------------------------------------------------------------------- proximity

def read_proximity_sheet(path):
    with open(path, "rb") as f:
        rows = [l.split("\t") for l in f.read().decode("latin-1").replace("\r", "").split("\n")]
    cell = lambda c, r: rows[r][c] if r < len(rows) and c < len(rows[r]) else ""
    p = {k: float(cell(2, r)) for k, r in [("wavelength", 2), ("gap", 3), ("theta", 4), ("x_start", 5),
                                             ("x_end", 6), ("y_start", 8), ("y_end", 9)]}
    p["x_steps"], p["y_steps"], n = int(cell(2, 7)), int(cell(2, 10)), int(cell(2, 11))
    p["rects"] = np.array([[float(cell(c, 14 + k)) for c in range(1, 7)] for k in range(n)])
    return p


def proximity_exact(p):
    """The proximity image with exact Fresnel integrals: 81 source points, the rectangle formula."""
    a = math.sqrt(2.0 / (p["wavelength"] * p["gap"]))
    x = p["x_start"] + (p["x_end"] - p["x_start"]) / p["x_steps"] * np.arange(p["x_steps"] + 1)
    y = p["y_start"] + (p["y_end"] - p["y_start"]) / p["y_steps"] * np.arange(p["y_steps"] + 1)
    t = p["rects"][:, 0] + 1j * p["rects"][:, 1]
    x1, x2, y1, y2 = (p["rects"][:, c] for c in range(2, 6))

    def factor(e1, e2, coord, offset):
        c1, s1 = exact_cs(a * ((e1[None, :] - coord[:, None]) - offset))
        c2, s2 = exact_cs(a * ((e2[None, :] - coord[:, None]) - offset))
        return (c2 - c1) + 1j * (s2 - s1)

    total = np.zeros((len(y), len(x)))
    count = 0
    for i in range(-5, 6):
        for j in range(-5, 6):
            if i * i + j * j > 25:
                continue
            count += 1
            fx = factor(x1, x2, x, i * p["gap"] * p["theta"] / 5)
            fy = factor(y1, y2, y, j * p["gap"] * p["theta"] / 5)
            amplitude = (fy @ (fx * t).T) / 2j
            total += np.abs(amplitude) ** 2
    return total / count


def section_proximity():
    print("== Proximity image against the same model evaluated with exact Fresnel integrals")
    for sheet in ["examples/quendra.txt", "examples/bench/proximity-qa.txt"]:
        path = os.path.join(ROOT, sheet)
        with open(path, "rb") as f:
            lines = [l.split("\t") for l in f.read().decode("latin-1").replace("\r", "").split("\n")]
        folder = run("proximity", lines, os.path.basename(sheet))
        _, _, v = read_map(folder, 0)
        exact = proximity_exact(read_proximity_sheet(path))
        diff = np.abs(v - exact)
        print("  %s: %d x %d map, %d rectangles: peak %.4f, largest difference %.4f, mean %.1e"
              % (sheet, v.shape[1], v.shape[0], len(read_proximity_sheet(path)["rects"]), exact.max(),
                 diff.max(), diff.mean()))
    # Edge and corner of a large opening, coherent light: 1/4 and 1/16 exactly.
    lines = scalar_sheet("edge", [0.5, 10, 0, -100, 100, 2, -100, 100, 2, 1], first_row=2)
    lines += [[""], [""], ["", 1, 0, 0, 10000, 0, 10000]]
    _, _, v = read_map(run("proximity", lines, "edge"), 0)
    print("  large opening, coherent: corner %.6f (exact 1/16), middle of an edge %.6f (exact 1/4),"
          " inside %.6f (exact 1 within the table)" % (v[1, 1], v[1, 2], v[2, 2]))


def section_proximity_lookups():
    """The evaluation above with the calculator's own look-ups: shows that it is the same model."""
    print("== Proximity image against the same evaluation with the calculator's own Fresnel look-ups")

    def own_cs(u):
        out = subprocess.run([LOOKUP], input="\n".join("%.17g" % x for x in u.ravel()), text=True,
                             capture_output=True, check=True).stdout.split()
        table = np.array(out, dtype=float).reshape(-1, 3)
        return table[:, 1].reshape(u.shape), table[:, 2].reshape(u.shape)

    global exact_cs
    exact, exact_cs = exact_cs, own_cs
    try:
        path = os.path.join(ROOT, "examples/quendra.txt")
        with open(path, "rb") as f:
            lines = [l.split("\t") for l in f.read().decode("latin-1").replace("\r", "").split("\n")]
        _, _, v = read_map(run("proximity", lines, "own-lookups"), 0)
        print("  examples/quendra.txt: largest difference %.1e" % np.abs(proximity_exact(read_proximity_sheet(path)) - v).max())
    finally:
        exact_cs = exact


# --------------------------------------------------------------------------- projection

GRATING = dict(N=64, pitch=0.08, wavelength=0.365, NA=0.5, period=16, width=6)


def projection_sheet(g, sigma, defocus):
    n, c0 = g["N"], g["N"] // 2
    rects = [(x, x + g["width"]) for x in range(-c0, c0, g["period"])]
    values = [n, g["pitch"], g["wavelength"], g["NA"], sigma, 0, 0, defocus] + [0] * 12 + [len(rects)]
    lines = scalar_sheet("grating", values, first_row=2) + [[""], [""]]
    return lines + [["", 1, 0, x1, x2, -c0, c0] for x1, x2 in rects]


def grating_coefficients(g):
    """Fourier coefficients c_k of the line mask over the grid period N (whole-sample indices)."""
    n, c0 = g["N"], g["N"] // 2
    ks = np.arange(-n, n + 1)
    c = np.zeros(len(ks), dtype=complex)
    for x1 in range(-c0, c0, g["period"]):
        x2 = x1 + g["width"]
        for idx, k in enumerate(ks):
            c[idx] += (x2 - x1) / n if k == 0 else (
                np.exp(-2j * np.pi * k * x2 / n) - np.exp(-2j * np.pi * k * x1 / n)) / (-2j * np.pi * k)
    return dict(zip(ks, c))


def grating_image(g, sigma, defocus, source="13", exact_defocus=False, points=41):
    """Image of the line grating along x (x = (i - c0) pitch), by Abbe's sum over source points."""
    n, c0, p, lam, na = g["N"], g["N"] // 2, g["pitch"], g["wavelength"], g["NA"]
    coef = grating_coefficients(g)
    x = (np.arange(n) - c0) * p
    df = 1.0 / (n * p)  # frequency of one sample

    def phase(fx, fy):
        if exact_defocus:
            return 2 * np.pi * defocus / lam * (np.sqrt(1 - lam * lam * (fx * fx + fy * fy)) - 1)
        return -np.pi * defocus * lam * (fx * fx + fy * fy)

    def intensity(sx, sy):  # source point shift in (possibly fractional) samples
        amp = np.zeros(n, dtype=complex)
        for k, ck in coef.items():
            kx = k - sx  # pupil position of order k
            if kx * kx + sy * sy <= (na / lam / df) ** 2 and abs(ck) > 0:
                amp += ck * np.exp(2j * np.pi * kx * df * x) * np.exp(1j * phase(kx * df, sy * df))
        return np.abs(amp) ** 2

    if source == "13":  # the calculator's lattice, shifts rounded to whole samples
        pts = [(m, q) for m in range(-2, 3) for q in range(-2, 3) if m * m + q * q <= 4]
        shift = lambda m: math.floor(m * na * sigma / 2 * p * n / lam + 0.5)
        return x, sum(intensity(shift(m), -shift(q)) for m, q in pts) / len(pts), len(pts)
    # a uniformly filled disc of radius sigma NA, finely sampled, without rounding
    r = sigma * na / lam / df
    grid = np.linspace(-r, r, points)
    pts = [(a, b) for a in grid for b in grid if a * a + b * b <= r * r * (1 + 1e-12)]
    return x, sum(intensity(a, b) for a, b in pts) / len(pts), len(pts)


def projection_row(folder):
    x, y, v = read_map(folder, 1)
    return v[len(y) // 2]  # the row y = 0: the grating does not change along y


def section_projection():
    g = GRATING
    print("== Projection image of a line grating (0.48 um lines, 1.28 um period, 0.365 um, NA 0.5, 64 x 0.08 um)")
    for sigma, defocus in [(0, 0), (0, 0.5), (0.5, 0), (0.5, 0.5)]:
        row = projection_row(run("projection", projection_sheet(g, sigma, defocus), "grating-%g-%g" % (sigma, defocus)))
        _, model, _ = grating_image(g, sigma, defocus)
        print("  sigma %.1f defocus %.1f um: table vs Abbe sum of the 13 rounded source points, closed form:"
              " largest difference %.1e (peak %.4f)" % (sigma, defocus, np.abs(row - model).max(), model.max()))
    print("  what the model leaves out, same grating (differences of intensity, clear field 1):")
    for sigma, defocus in [(0.5, 0), (0.5, 0.5)]:
        _, model, _ = grating_image(g, sigma, defocus)
        _, disc, count = grating_image(g, sigma, defocus, source="disc")
        print("    sigma %.1f defocus %.1f um: 13-point source vs a finely sampled disc (%d points):"
              " largest difference %.4f" % (sigma, defocus, count, np.abs(model - disc).max()))
    for defocus in [0.5, 1.0]:
        _, par, _ = grating_image(g, 0.5, defocus)
        _, exact, _ = grating_image(g, 0.5, defocus, exact_defocus=True)
        print("    sigma 0.5 defocus %.1f um: paraxial defocus term vs the exact phase"
              " 2 pi z (sqrt(1 - s^2) - 1)/lambda: largest difference %.4f" % (defocus, np.abs(par - exact).max()))
    for n in [64, 63]:
        values = [n, 0.08, 0.365, 0.5, 0, 0, 0, 0] + [0] * 12 + [1]
        lines = scalar_sheet("open", values, first_row=2) + [[""], [""], ["", 1, 0, -1000, 1000, -1000, 1000]]
        _, _, v = read_map(run("projection", lines, "open-%d" % n), 1)
        print("  fully open mask, grid %d, sigma 0: intensity from %.6f to %.6f" % (n, v.min(), v.max()))


# --------------------------------------------------------------------------- plate

def plate_closed_form(E, nu, t, load, r0, r1, load_case, support_case):
    """w, w', w'' of the axisymmetric plate: particular solution plus a r^2/2 + b ln r + c."""
    D = E * t ** 3 / (12 * (1 - nu * nu))
    if load_case == 1:
        wp = lambda r: (load * r ** 4 / (64 * D), load * r ** 3 / (16 * D), 3 * load * r ** 2 / (16 * D))
    else:
        k = load / (8 * math.pi * D)
        wp = lambda r: (k * (r * r * math.log(r) - r * r), k * r * (2 * math.log(r) - 1), k * (2 * math.log(r) + 1))
    hom = lambda r: ((r * r / 2, math.log(r)), (r, 1 / r), (1.0, -1 / (r * r)))  # w, w', w'' of a and b

    def slope_row(r):
        return [hom(r)[1][0], hom(r)[1][1]], -wp(r)[1]

    def moment_row(r):
        h = hom(r)
        return [h[2][0] + nu * h[1][0] / r, h[2][1] + nu * h[1][1] / r], -(wp(r)[2] + nu * wp(r)[1] / r)

    rows = {0: (slope_row(r0), slope_row(r1)), 1: (moment_row(r0), slope_row(r1)),
            2: (slope_row(r0), moment_row(r1))}[support_case]
    a, b = np.linalg.solve([rows[0][0], rows[1][0]], [rows[0][1], rows[1][1]])
    c = -(a * r0 * r0 / 2 + b * math.log(r0) + wp(r0)[0])

    def at(r):
        h, p = hom(r), wp(r)
        w = a * h[0][0] + b * h[0][1] + c + p[0]
        s = a * h[1][0] + b * h[1][1] + p[1]
        k = a * h[2][0] + b * h[2][1] + p[2]
        mr = -D * (k + nu * s / r)
        return w, s, k, mr, 6 * mr / (t * t), s * t / 2
    return at


def plate_errors(values, name):
    """Runs the plate; returns its table and the largest differences from the closed form per column."""
    load_case, support, E, nu, t, load, r0, r1, divisions = values
    table = read_columns(run("plate", scalar_sheet("plate", values), name))
    exact = plate_closed_form(E, nu, t, load, r0, r1, load_case, support)
    h = (r1 - r0) / (10 * divisions)
    ref = np.array([exact(r0 + 10 * h * k) for k in range(divisions)] + [exact(r1)])
    return table, np.nanmax(np.abs(table[:, 1:] - ref), axis=0), np.abs(ref).max(axis=0)


def section_plate():
    print("== Plate against the closed-form axisymmetric solution (steel ring of the example: E 206000 N/mm^2,"
          " nu 0.3, t 2 mm, r0 10 mm, r1 100 mm; printed with six decimals, so 5e-7 is print rounding)")
    for load_case, load in [(1, 0.01), (0, 100.0)]:
        for support in [0, 1, 2]:
            for divisions in [45, 90]:
                values = [load_case, support, 206000, 0.3, 2, load, 10, 100, divisions]
                table, err, size = plate_errors(values, "plate-%d-%d-%d" % (load_case, support, divisions))
                print("  %s, support case %d, %2d divisions: largest |w| %.4f mm, error %.1e mm;"
                      " largest |Mr| %.2f N, error %.1e N; largest |sigma_r| %.2f N/mm^2, error %.1e" % (
                          "q 0.01 N/mm^2" if load_case == 1 else "P 100 N", support, divisions,
                          size[0], err[0], size[3], err[3], size[4], err[4]))
    values = [1, 1, 210, 0.3, 1, 0.001, 10, 100, 2]
    table, err, size = plate_errors(values, "plate-worked")
    print("  worked plate (E 210, nu 0.3, t 1, q 0.001, r0 10, r1 100, 2 divisions), support case 1: end slope"
          " %.6f (closed form 0); error of w %.1e against the largest |w| %.4f" % (table[-1, 2], err[0], size[0]))


# --------------------------------------------------------------------------- stages

def stage_sheet(values):
    return scalar_sheet("stage", values)


def section_stage():
    print("== Stage simulators against closed forms and exact sampled-data solutions")
    h, n = 1e-4, 2000
    # Constant drive force, no friction, no servo: x = x0 + v0 t + a t^2 / 2.
    kf, m, i0, v0 = 10000.0, 2.0, 0.001, 50.0
    rows = read_columns(run("stage", stage_sheet([0, 0, kf, 1e-4, m, 0, 0, 0, i0, 0, v0, h, n, 10]), "force"))
    tt = rows[:, 0]
    exact = v0 * tt + kf * i0 / m * tt ** 2 / 2
    print("  single stage, constant force (a = 5 mm/s^2, 0.2 s): largest error of x %.1e mm, of v %.1e mm/s"
          % (np.abs(rows[:, 1] - exact).max(), np.abs(rows[:, 3] - (v0 + kf * i0 / m * tt)).max()))
    # Friction alone: decelerates at F/m to a stop, then no sticking state.
    f, v0 = 20.0, 1.0
    rows = read_columns(run("stage", stage_sheet([0, 0, kf, 1e-4, m, f, 0, 0, 0, 0, v0, h, n, 1]), "friction"))
    a = f / m
    t_stop = v0 / a
    moving = rows[:, 0] < t_stop - h
    err_moving = np.abs(rows[moving, 1] - (v0 * rows[moving, 0] - a * rows[moving, 0] ** 2 / 2)).max()
    after = rows[:, 0] > t_stop + h
    print("  single stage, friction 20 mN alone from 1 mm/s: x while moving within %.1e mm of the closed form;"
          " after the stop (t = %.3f s) x stays within %.1e mm of v0^2/2a = %.6f, v chatters within +-%.1e mm/s"
          " (F h / m = %.0e)" % (err_moving, t_stop, np.abs(rows[after, 1] - v0 * v0 / (2 * a)).max(),
                                   v0 * v0 / (2 * a), np.abs(rows[after, 3]).max(), f * h / m))
    # The servo loop against its exact sampled-data recurrence (zero-order hold, no friction).
    r, kp, kd, v0 = 1e-4, 79.0, 0.176, 50.0
    rows = read_columns(run("stage", stage_sheet([0, 0, kf, r, m, 0, kp, kd, 0, 0, v0, h, n, 1]), "servo"))
    x, v, prev, xs = 0.0, v0, 0.0, [0.0]
    for _ in range(n):
        cnt = math.floor(x / r + 0.5)
        cur = (0 - (kp * cnt) * r) - ((kd * (cnt - prev)) * r) / h
        acc = kf * cur / m
        x, v, prev = x + v * h + acc * h * h / 2, v + acc * h, cnt
        xs.append(x)
    print("  single stage, example servo without friction vs its exact zero-order-hold recurrence:"
          " largest difference of x %.1e mm over %d steps" % (np.abs(rows[:, 1] - np.array(xs)).max(), n))
    # Stage on a spring-held base under a constant current: the base rings at sqrt(K/Mb).
    mb, kb, i0, n3 = 200.0, 3160000.0, 1.0, 3000
    values = [0, 0, kf, 1e-4, m, 0, 0, 0, i0, 0, 0, h, n3, 10, mb, kb, 0]
    rows = read_columns(run("stage-base", stage_sheet(values), "base"))
    w = math.sqrt(kb / mb)
    xb = -(kf * i0 / kb) * (1 - np.cos(w * rows[:, 0]))
    print("  stage on a base, constant current, base ringing at %.1f Hz (w h = %.4f): largest error of xb %.1e mm"
          " (amplitude %.4f mm), of xs %.1e mm" % (w / 2 / math.pi, w * h, np.abs(rows[:, 2] - xb).max(),
                                                  kf * i0 / kb, np.abs(rows[:, 1] - kf * i0 / m * rows[:, 0] ** 2 / 2).max()))
    # The same pair coupled by the servo on the relative position (the example's gains, a 50 mm/s push, no
    # friction), against the exact zero-order-hold solution of the four equations by the matrix exponential,
    # with the simulator's own counts and control law; every step printed.
    r, kp, kd, v0 = 1e-4, 79.0, 0.176, 50.0
    values = [0, 0, kf, r, m, 0, kp, kd, 0, 0, v0, h, n3, 1, mb, kb, 0]
    rows = read_columns(run("stage-base", stage_sheet(values), "coupled"))
    a_mat = np.array([[0, 1, 0, 0, 0], [0, 0, 0, 0, kf / m], [0, 0, 0, 1, 0], [0, 0, -kb / mb, 0, -kf / mb],
                      [0, 0, 0, 0, 0]])
    step = expm(a_mat * h)  # the last state is the held current
    z, prev, ref = np.array([0, v0, 0, 0, 0.0]), 0.0, []
    for _ in range(n3 + 1):
        ref.append([z[0], z[2]])
        cnt = math.floor((z[0] - z[2]) / r + 0.5)
        z[4] = (0 - (kp * cnt) * r) - ((kd * (cnt - prev)) * r) / h
        z, prev = step @ z, cnt
    ref = np.array(ref)
    print("  stage on a base with the servo on the relative position (coupled), against the exact sampled-data"
          " solution: largest difference of xs %.1e mm, of xb %.1e mm, of xs - xb %.1e mm over %d steps"
          % (np.abs(rows[:, 1] - ref[:, 0]).max(), np.abs(rows[:, 2] - ref[:, 1]).max(),
             np.abs(rows[:, 3] - (ref[:, 0] - ref[:, 1])).max(), n3))
    # Nut and stage, constant current, the axial spring ringing: exact by the matrix exponential.
    j, lead, cr, kt, ms, k = 80.0, 10.0, 100.0, 200000.0, 2.0, 2e7
    i0, vn0, n1 = 0.001, 20.0, 3000
    # Every step printed: rows 1 ms apart would alias the 1.93 ms mode.
    values = [0, 9.587379924285257e-05, 1e-4, 50, 30, lead, cr, kt, ms, 0, k, 0, 0, i0, 0, vn0, 0, 0, h, n1, 1]
    rows = read_columns(run("nut-stage", stage_sheet(values), "nut"))
    g = lead / (2 * PI_LITERAL)
    a_mat = np.array([[0, 1, 0, 0, 0], [-k * g * g / j, -cr / j, k * g / j, 0, kt * i0 / j],
                      [0, 0, 0, 1, 0], [k * g / ms, 0, -k / ms, 0, 0], [0, 0, 0, 0, 0]])
    step = expm(a_mat * h)
    z = np.array([0, vn0 / g, 0, 0, 1.0])
    ref = []
    for _ in range(len(rows)):
        ref.append([z[0] * g, z[2]])
        z = step @ z
    ref = np.array(ref)
    rel = rows[:, 2] - rows[:, 1]
    rel_ref = ref[:, 1] - ref[:, 0]
    w_axial = math.sqrt(k / ms + k * g * g / j)
    last = int(round(0.05 / h))
    print("  nut and stage, constant current, axial mode %.0f Hz (w h = %.3f), every step: largest error of the"
          " stage displacement %.1e mm; stage-minus-nut swing over the last 0.05 s %.6f mm (exact) vs %.6f mm"
          " (table); the step's own loss over %d steps, (w h)^6/144 a step: %.2f %%"
          % (w_axial / 2 / math.pi, w_axial * h, np.abs(rows[:, 2] - ref[:, 1]).max(),
             np.abs(rel_ref[-last:]).max(), np.abs(rel[-last:]).max(), n1,
             100 * (1 - (1 - (w_axial * h) ** 6 / 144) ** n1)))


SECTIONS = {"fresnel": section_fresnel, "proximity": section_proximity, "projection": section_projection,
            "plate": section_plate, "stage": section_stage}
EXTRA = {"proximity-lookups": section_proximity_lookups}  # slow (about a minute); run by name

if __name__ == "__main__":
    for missing in [p for p in (MERIDOX, LOOKUP) if not os.path.exists(p)]:
        sys.exit("accuracy: %s is missing; build it with: cmake --workflow --preset release" % missing)
    everything = {**SECTIONS, **EXTRA}
    for name in sys.argv[1:] or list(SECTIONS):
        if name not in everything:
            sys.exit("accuracy: unknown section %s (one of %s)" % (name, " ".join(everything)))
        everything[name]()
