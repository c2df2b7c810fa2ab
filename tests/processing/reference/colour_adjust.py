#!/usr/bin/env python3
"""Independent float32 reference of the colour adjustment, written from the
description of the operation (not from the C++ code).

usage: colour_adjust.py FORMAT WIDTH HEIGHT IN OUT contrast brightness hue
       saturation luminance red green blue gamma invert
FORMAT: rgba8 rgba16 rgbaf gray8 gray16 grayf; IN/OUT hold packed samples
(B, G, R, A order for colour), native endianness."""
import sys
import numpy as np

f32 = np.float32
fmt, w, h, src, dst = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
(contrast, brightness, hue, saturation, luminance, red, green, blue, gamma) = [f32(v) for v in sys.argv[6:15]]
invert = int(sys.argv[15]) != 0

dtype = {'rgba8': np.uint8, 'gray8': np.uint8, 'rgba16': np.uint16, 'gray16': np.uint16,
         'rgbaf': np.float32, 'grayf': np.float32}[fmt]
chans = 4 if fmt.startswith('rgba') else 1
data = np.fromfile(src, dtype=dtype).reshape(-1, chans)

if dtype == np.uint8:
    norm, maxv = f32(0.003921569), 255
elif dtype == np.uint16:
    norm, maxv = f32(1.5259022e-5), 65535
else:
    norm, maxv = None, None


def store(c):
    if maxv is None:
        return c.astype(np.float32)
    out = np.zeros(c.shape, dtype=np.float64)
    mid = (c > 0) & (c < 1)
    out[c >= 1] = maxv
    out[mid] = np.trunc(c[mid] * f32(maxv) + f32(0.5))
    return out.astype(dtype)


def inv(v):
    if maxv is None:
        return (f32(1) - v).astype(np.float32)
    return (maxv - v.astype(np.int64)).astype(dtype)


def gamma_step(c):
    if gamma != f32(1):
        pos = c > 0
        c = c.copy()
        c[pos] = np.power(c[pos], f32(2) - gamma).astype(np.float32)
    return c


out = data.copy()
if chans == 4:
    steps = any(v != 0 for v in (contrast, brightness, hue, saturation, luminance, red, green, blue)) or gamma != 1
    if steps:
        def n(col):
            v = data[:, col].astype(np.float32)
            return v * norm if norm is not None else v
        b, g, r = n(0), n(1), n(2)
        hw = f32(hue - np.floor(hue)) if np.isfinite(hue) else f32(0)
        if hw != 0:
            V = np.maximum(r, np.maximum(g, b))
            m = np.minimum(r, np.minimum(g, b))
            with np.errstate(divide='ignore', invalid='ignore'):
                S = np.where(V > 0, (V - m) / V, f32(0)).astype(np.float32)
                rng = (V - m).astype(np.float32)
                hr = (g - b) / rng
                hg = f32(2) + (b - r) / rng
                hb = f32(4) + (r - g) / rng
            hh = np.where(r == V, hr, np.where(g == V, hg, hb)).astype(np.float32)
            hh = (hh * f32(0.16666667)).astype(np.float32)
            hh = np.where(hh < 0, hh + f32(1), hh).astype(np.float32)
            hh = (hh + hw).astype(np.float32)
            hh = np.where(hh >= 1, hh - f32(1), hh).astype(np.float32)
            act = (V > 0) & (S != 0)
            hh = np.where(act, hh, f32(0))
            i = np.trunc(f32(6) * hh).astype(np.int64)
            f = (f32(6) * hh - i.astype(np.float32)).astype(np.float32)
            p = ((f32(1) - S) * V).astype(np.float32)
            q = ((f32(1) - S * f) * V).astype(np.float32)
            t = ((f32(1) - S * (f32(1) - f)) * V).astype(np.float32)
            choices_r = [V, q, p, p, t, V]
            choices_g = [t, V, V, q, p, p]
            choices_b = [p, p, t, V, V, q]
            nr, ng, nb = r.copy(), g.copy(), b.copy()
            for k in range(6):
                sel = act & (i == k)
                nr[sel], ng[sel], nb[sel] = choices_r[k][sel], choices_g[k][sel], choices_b[k][sel]
            r, g, b = nr, ng, nb
        if red != 0 or green != 0 or blue != 0:
            b = b + (blue - red / f32(2) - green / f32(2)) / f32(2)
            g = g + (green - red / f32(2) - blue / f32(2)) / f32(2)
            r = r + (red - green / f32(2) - blue / f32(2)) / f32(2)
        m = ((r + g + b) * f32(0.33333334)).astype(np.float32)
        base = (luminance + (brightness + f32(1)) * (m + contrast * (m - f32(0.5)))).astype(np.float32)
        chans_out = []
        for c in (b, g, r):
            c = (base + (saturation + f32(1)) * (c - m)).astype(np.float32)
            chans_out.append(store(gamma_step(c)))
        for k in range(3):
            out[:, k] = chans_out[k]
    if invert:
        for k in range(3):
            out[:, k] = inv(out[:, k])
else:
    v = data[:, 0].astype(np.float32)
    if norm is not None:
        v = v * norm
    if contrast != 0 or brightness != 0 or luminance != 0 or gamma != 1:
        c = (luminance + (brightness + f32(1)) * (v + contrast * (v - f32(0.5)))).astype(np.float32)
        out[:, 0] = store(gamma_step(c))
    if invert:
        out[:, 0] = inv(out[:, 0])

out.tofile(dst)
