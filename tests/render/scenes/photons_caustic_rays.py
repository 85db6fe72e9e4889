#!/usr/bin/env python3
"""The light the glass ball of photons_caustic.json puts on the floor, worked
out independently of the renderer: rays from the point light through the ball
by Snell's law, with the unpolarised Fresnel loss at both surfaces, onto z = 0.
A ray carries pi c d^2 dw of flux (c = 1 the light's colour at the ball, d the
distance to the ball), the flux the direct light gives the ball's surface.

  photons_caustic_rays.py box X0 X1 Y0 Y1   mean irradiance in a rectangle
  photons_caustic_rays.py ring R0 R1        mean irradiance in an annulus
"""
import math
import random
import sys

L = (0.0, 0.0, 10.0)
C = (0.0, 0.0, 0.8166)
R = 0.5
N = 1.5


def sub(a, b): return (a[0] - b[0], a[1] - b[1], a[2] - b[2])
def add(a, b): return (a[0] + b[0], a[1] + b[1], a[2] + b[2])
def mul(a, k): return (a[0] * k, a[1] * k, a[2] * k)
def dot(a, b): return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]
def unit(a): return mul(a, 1 / math.sqrt(dot(a, a)))


def sphere(o, d, inside):
    oc = sub(o, C)
    b = dot(oc, d)
    disc = b * b - (dot(oc, oc) - R * R)
    if disc < 0:
        return None
    t = -b + math.sqrt(disc) if inside else -b - math.sqrt(disc)
    return t if t > 1e-9 else None


def refract(d, n, eta):
    """Direction and Fresnel reflectance; n faces against d, eta = n1/n2."""
    ci = -dot(d, n)
    k = 1 - eta * eta * (1 - ci * ci)
    if k < 0:
        return None, 1.0
    ct = math.sqrt(k)
    n1, n2 = 1.0, 1.0 / eta
    rs = ((n1 * ci - n2 * ct) / (n1 * ci + n2 * ct)) ** 2
    rp = ((n2 * ci - n1 * ct) / (n2 * ci + n1 * ct)) ** 2
    return unit(add(mul(d, eta), mul(n, eta * ci - ct))), 0.5 * (rs + rp)


def landing(count=400000):
    sin_a = R / math.sqrt(dot(sub(C, L), sub(C, L)))
    cmin = math.sqrt(1 - sin_a * sin_a)
    omega = 2 * math.pi * (1 - cmin)
    random.seed(1)
    for _ in range(count):
        z = 1 - random.random() * (1 - cmin)
        r, phi = math.sqrt(1 - z * z), 2 * math.pi * random.random()
        d = (r * math.cos(phi), r * math.sin(phi), -z)
        t = sphere(L, d, False)
        if t is None:
            continue
        p = add(L, mul(d, t))
        flux = math.pi * t * t * omega / count
        d2, f1 = refract(d, unit(sub(p, C)), 1 / N)
        q = add(p, mul(d2, sphere(p, d2, True)))
        d3, f2 = refract(d2, mul(unit(sub(q, C)), -1), N)
        if d3 is None or d3[2] >= 0:
            continue
        f = add(q, mul(d3, -q[2] / d3[2]))
        yield f[0], f[1], flux * (1 - f1) * (1 - f2)


if __name__ == "__main__":
    kind, bounds = sys.argv[1], [float(a) for a in sys.argv[2:]]
    if kind == "box":
        x0, x1, y0, y1 = bounds
        inside = lambda x, y: x0 <= x <= x1 and y0 <= y <= y1
        area = (x1 - x0) * (y1 - y0)
    else:
        r0, r1 = bounds
        inside = lambda x, y: r0 <= math.hypot(x, y) <= r1
        area = math.pi * (r1 * r1 - r0 * r0)
    total = part = 0.0
    for x, y, e in landing():
        total += e
        if inside(x, y):
            part += e
    E = part / area
    print("flux %.4f, inside %.4f (%.1f %%), irradiance %.3f, radiance 0.8 E/pi %.3f, E/pi %.3f"
          % (total, part, 100 * part / total, E, 0.8 * E / math.pi, E / math.pi))
