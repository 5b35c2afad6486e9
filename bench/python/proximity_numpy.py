"""The proximity run in numpy: the Fresnel table by Simpson sums, and the
field of each source point as one complex matrix product of x and y factors."""
from numpy_common import PI, integer, main, np, number


def fresnel_tables():
    h = 0.01
    t0 = 2 * np.arange(1001) * h
    t1, t2 = t0 + h, t0 + 2 * h
    phase = lambda u: PI * u * u / 2
    panels_c = ((4 * np.cos(phase(t1)) + np.cos(phase(t0))) + np.cos(phase(t2))) * h / 3
    panels_s = ((4 * np.sin(phase(t1)) + np.sin(phase(t0))) + np.sin(phase(t2))) * h / 3
    return np.concatenate([[0.0], np.cumsum(panels_c)]), np.concatenate([[0.0], np.cumsum(panels_s)])


def run(rows):
    wavelength, gap, half_angle, x_start, x_end = (number(rows, 2, r) for r in range(2, 7))
    x_steps = integer(rows, 2, 7)
    y_start, y_end = number(rows, 2, 8), number(rows, 2, 9)
    y_steps = integer(rows, 2, 10)
    count = integer(rows, 2, 11)
    rect = np.array([[number(rows, c, 14 + k) for c in range(1, 7)] for k in range(count)])
    t = rect[:, 0] + 1j * rect[:, 1]
    x = x_start + (x_end - x_start) / x_steps * np.arange(x_steps + 1)
    y = y_start + (y_end - y_start) / y_steps * np.arange(y_steps + 1)
    a = np.sqrt(2 / (wavelength * gap))

    table_c, table_s = fresnel_tables()
    table = (table_c + 1j * table_s)[:1001]  # C + iS, interpolated together
    nodes = 0.02 * np.arange(1001)

    def look_up(u):
        value = np.interp(np.abs(u), nodes, table)
        value[np.abs(u) / 0.02 >= 1000] = 0.5 + 0.5j
        return np.where(u < 0, -value, value)

    def factors(points, e1, e2, offset):
        v1 = a * ((e1[None, :] - points[:, None]) - offset)
        v2 = a * ((e2[None, :] - points[:, None]) - offset)
        return look_up(v2) - look_up(v1)

    r = 5
    offsets = {i: i * gap * half_angle / r for i in range(-r, r + 1)}
    x_factors = {i: factors(x, rect[:, 2], rect[:, 3], o) * t for i, o in offsets.items()}
    y_factors = {j: factors(y, rect[:, 4], rect[:, 5], o).T for j, o in offsets.items()}
    intensity = np.zeros((x_steps + 1, y_steps + 1))
    points = 0
    for i in range(-r, r + 1):
        for j in range(-r, r + 1):
            if i * i + j * j <= r * r:
                field = (x_factors[i] @ y_factors[j]) / 2j
                intensity += field.real ** 2 + field.imag ** 2
                points += 1
    return (intensity / points).T  # lines along y, as the table


if __name__ == "__main__":
    main(run, last_row=699)
