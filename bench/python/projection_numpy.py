"""The projection run in numpy: the mask spectrum as one matrix product, the
image of each source point by numpy's inverse FFT."""
from numpy_common import PI, integer, main, np, number


def run(rows):
    n = min(integer(rows, 2, 2), 128)
    pitch, wavelength, na, sigma, tilt_x, tilt_y, defocus = (number(rows, 2, r) for r in range(3, 10))
    aber_x = [0.0] + [number(rows, 2, r) for r in range(10, 16)]
    aber_y = [0.0] + [number(rows, 2, r) for r in range(16, 22)]
    count = min(integer(rows, 2, 22), 1000)
    c0 = n // 2
    rect = np.array([[number(rows, c, 25 + q) for c in range(1, 7)] for q in range(count)])
    t = rect[:, 0] + 1j * rect[:, 1]
    x1, x2, y1, y2 = (np.clip(rect[:, c], -c0, c0) for c in range(2, 6))

    # Spectrum: field[j, k] = sum over q of t_q Fx_q(vx_j) Fy_q(vy_k).
    def axis_spectrum(shift, e1, e2):
        v = np.arange(n) - c0 + shift
        w = 2 * PI * v
        with np.errstate(divide="ignore", invalid="ignore"):
            f = 1j * (np.exp(-1j * np.outer(w, e2) / n) - np.exp(-1j * np.outer(w, e1) / n)) / w[:, None]
        f[v == 0, :] = (e2 - e1) / n
        return f

    fx = axis_spectrum(tilt_x * pitch * n / wavelength, x1, x2)
    fy = axis_spectrum(tilt_y * pitch * n / wavelength, y1, y2)
    spectrum = (fx * t) @ fy.T
    amplitude = np.abs(spectrum)
    a, b = spectrum.real, spectrum.imag
    with np.errstate(divide="ignore", invalid="ignore"):
        angle = np.arctan(b / a)
    phase = np.where(a > 0, angle, np.where(a == 0, 0.0, np.where(b > 0, angle + PI, angle - PI)))

    # Image: per source point the shifted spectrum under the pupil, carried to
    # the image by an inverse FFT with the pupil phase and trapezoid weights.
    h = n / 2.0
    d = np.arange(n) - h
    rho = wavelength / (n * pitch * na) * d
    focus = -defocus * wavelength * d * d / (2 * n * pitch * pitch)

    def axis_factor(c):
        wavefront = sum(c[m] * (n / wavelength) * rho ** m for m in range(1, 7))
        weight = np.ones(n)
        weight[[0, -1]] = 0.5
        return weight * np.exp(2j * PI * (focus + wavefront) / n) * np.exp(-2j * PI * np.arange(n) * h / n)

    radius = na * pitch * n / wavelength
    offset = np.arange(n) - c0
    pupil = (offset[:, None] ** 2 + offset[None, :] ** 2) <= radius * radius
    factor = np.outer(axis_factor(aber_x), axis_factor(aber_y)) * pupil
    intensity = np.zeros((n, n))
    points = [(m, k) for m in range(-2, 3) for k in range(-2, 3) if m * m + k * k <= 4]
    for m, k in points:
        sm, sn = (int(np.floor(s * na * sigma / 2 * pitch * n / wavelength + 0.5)) for s in (m, k))
        shifted = np.zeros((n, n), complex)
        shifted[max(0, -sm):min(n, n - sm), max(0, -sn):min(n, n - sn)] = \
            spectrum[max(0, sm):min(n, n + sm), max(0, sn):min(n, n + sn)]
        image = n * n * np.fft.ifft2(shifted * factor)
        intensity += np.abs(image) ** 2
    intensity /= len(points)
    return intensity.T  # lines along y, as the table


if __name__ == "__main__":
    main(run, last_row=1000)
