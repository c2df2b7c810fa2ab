#!/usr/bin/python3
# Reference pixel conversions written from the published formulas with numpy,
# independently of the C++ code. Reads a manifest of cases, one per line:
#   source-file source-format width height background dest-format dither luminance output-file
# Source files hold the samples row by row without padding in storage order
# (blue, green, red, alpha); an indexed source is followed by its 256 palette
# entries (little-endian u32 0xAARRGGBB). The output is written the same way.
import sys

import numpy as np

KIND = {0: (np.uint8, 4), 1: (np.uint16, 4), 2: (np.float32, 4), 3: (np.uint8, 1),
        4: (np.uint16, 1), 5: (np.float32, 1), 6: (np.uint8, 1)}
F32 = np.float32


def f2i(v, mx):
    v = np.asarray(v, dtype=F32)
    with np.errstate(invalid="ignore", over="ignore"):
        t = np.trunc(v * F32(mx) + F32(0.5))
        t = np.where(v >= 1, mx, t)
        t = np.where(v > 0, t, 0)
    return t.astype(np.uint16 if mx > 255 else np.uint8)


def dec(c):
    c = np.asarray(c, dtype=np.float64)
    with np.errstate(invalid="ignore", over="ignore"):
        return np.where(c <= 0.04045, c / 12.92, ((c + 0.055) / 1.055) ** 2.4)


def enc(v):
    v = np.asarray(v, dtype=np.float64)
    with np.errstate(invalid="ignore", over="ignore"):
        return np.where(v <= 0.0031308, 12.92 * v, 1.055 * np.abs(v) ** (1 / 2.4) - 0.055)


def luma(b, g, r):
    with np.errstate(invalid="ignore", over="ignore"):
        return enc(0.212656 * dec(r) + 0.715158 * dec(g) + 0.072186 * dec(b))


def dither(s16):
    """Serpentine error diffusion, 16 to 8 bits, on a 2-D array."""
    h, w = s16.shape
    out = np.zeros((h, w), np.uint8)
    err = np.zeros(w + 2, np.int64)  # column x at index x + 1, from the row above
    for y in range(h):
        nxt = np.zeros(w + 2, np.int64)
        xs = range(w) if y % 2 == 0 else range(w - 1, -1, -1)
        d = 1 if y % 2 == 0 else -1
        carry = 0
        for x in xs:
            v = (int(s16[y, x]) >> 4) + ((int(err[x + 1]) + carry + 8) >> 4)
            if v > 4095:
                v, r = 4095, 15
            else:
                r = v & 15
            out[y, x] = v >> 4
            carry = 7 * r
            nxt[x + 1 - d] += 3 * r
            nxt[x + 1] += 5 * r
            nxt[x + 1 + d] += 1 * r
        err = nxt
    return out


def palette_bytes(pal):
    b = (pal & 0xFF).astype(np.uint32)
    g = ((pal >> 8) & 0xFF).astype(np.uint32)
    r = ((pal >> 16) & 0xFF).astype(np.uint32)
    a = (pal >> 24).astype(np.uint32)
    return b, g, r, a


def to_rgba16(fmt, px, pal):
    if fmt == 0:
        return px.astype(np.uint32) * 257
    if fmt == 1:
        return px.astype(np.uint32)
    if fmt == 2:
        return f2i(px, 65535).astype(np.uint32)
    if fmt in (3, 4, 5):
        v = px[..., 0]
        v = v.astype(np.uint32) * 257 if fmt == 3 else (v.astype(np.uint32) if fmt == 4 else f2i(v, 65535).astype(np.uint32))
        return np.stack([v, v, v, np.full_like(v, 65535)], axis=-1)
    b, g, r, a = palette_bytes(pal[px[..., 0]])
    return np.stack([b, g, r, a], axis=-1) * 257


def entry_grey16(e, lum):
    b, g, r, _ = palette_bytes(np.asarray(e, dtype=np.uint32))
    if lum:
        return f2i(luma(b / 255.0, g / 255.0, r / 255.0), 65535).astype(np.uint32)
    return (b * 257 + g * 257 + r * 257 + 1) // 3


def entry_grey8(e, lum):
    b, g, r, _ = palette_bytes(np.asarray(e, dtype=np.uint32))
    if lum:
        return f2i(luma(b / 255.0, g / 255.0, r / 255.0), 255).astype(np.uint32)
    return (b + g + r + 1) // 3


def grey_table(pal, bg, lum, fn):
    t = fn(pal, lum)
    return np.where((pal >> 24) == 0, fn(np.uint32(bg), lum), t)


def to_gray16(fmt, px, pal, bg, lum):
    if fmt in (0, 1):
        c = px.astype(np.uint32)
        b, g, r = c[..., 0], c[..., 1], c[..., 2]
        if fmt == 0:
            if lum:
                return f2i(luma(b / 255.0, g / 255.0, r / 255.0), 65535).astype(np.uint32)
            return (b * 257 + g * 257 + r * 257 + 1) // 3
        if lum:
            return f2i(luma(b / 65535.0, g / 65535.0, r / 65535.0), 65535).astype(np.uint32)
        return (b + g + r + 1) // 3
    if fmt == 2:
        b, g, r = px[..., 0], px[..., 1], px[..., 2]
        if lum:
            return f2i(luma(b, g, r), 65535).astype(np.uint32)
        with np.errstate(invalid="ignore", over="ignore"):
            return f2i((b + g + r) * F32(0.33333334), 65535).astype(np.uint32)
    v = px[..., 0]
    if fmt == 3:
        return v.astype(np.uint32) * 257
    if fmt == 4:
        return v.astype(np.uint32)
    if fmt == 5:
        return f2i(v, 65535).astype(np.uint32)
    return grey_table(pal, bg, lum, entry_grey16)[v]


def convert(fmt, px, pal, bg, dst, dith, lum):
    if dst == 0:
        if fmt == 0:
            return px
        if fmt in (1, 2):
            c = to_rgba16(fmt, px, pal)
            if dith:
                out = np.stack([dither(c[..., i]) for i in range(3)] + [(c[..., 3] >> 8).astype(np.uint8)], axis=-1)
                return out
            return (c >> 8).astype(np.uint8)
        if fmt in (3, 4, 5):
            if fmt == 3:
                g = px[..., 0]
            else:
                g16 = to_gray16(fmt, px, pal, bg, False)
                g = dither(g16) if dith else (g16 >> 8).astype(np.uint8)
            return np.stack([g, g, g, np.full_like(g, 255)], axis=-1).astype(np.uint8)
        b, g, r, a = palette_bytes(pal[px[..., 0]])
        return np.stack([b, g, r, a], axis=-1).astype(np.uint8)
    if dst == 1:
        return to_rgba16(fmt, px, pal).astype(np.uint16)
    if dst == 2:
        if fmt == 2:
            return px
        if fmt == 5:
            v = px[..., 0]
            return np.stack([v, v, v, np.ones_like(v)], axis=-1)
        return to_rgba16(fmt, px, pal).astype(F32) * F32(1 / 65535)
    if dst == 3:
        if fmt == 3:
            return px[..., 0]
        if fmt == 0:
            c = px.astype(np.uint32)
            if lum:
                return f2i(luma(c[..., 0] / 255.0, c[..., 1] / 255.0, c[..., 2] / 255.0), 255)
            return ((c[..., 0] + c[..., 1] + c[..., 2] + 1) // 3).astype(np.uint8)
        if fmt == 1 and not dith:
            c = px.astype(np.uint32)
            if lum:
                return f2i(luma(c[..., 0] / 65535.0, c[..., 1] / 65535.0, c[..., 2] / 65535.0), 255)
            return ((c[..., 0] + c[..., 1] + c[..., 2] + 385) // 771).astype(np.uint8)
        if fmt == 6:
            return grey_table(pal, bg, lum, entry_grey8)[px[..., 0]].astype(np.uint8)
        g16 = to_gray16(fmt, px, pal, bg, lum)
        return dither(g16) if dith else (g16 >> 8).astype(np.uint8)
    if dst == 4:
        return to_gray16(fmt, px, pal, bg, lum).astype(np.uint16)
    if dst == 5:
        if fmt == 5:
            return px[..., 0]
        if fmt == 2:
            b, g, r = px[..., 0], px[..., 1], px[..., 2]
            if lum:
                return luma(b, g, r).astype(F32)
            with np.errstate(invalid="ignore", over="ignore"):
                return (b + g + r) * F32(0.33333334)
        return to_gray16(fmt, px, pal, bg, lum).astype(F32) * F32(1 / 65535)
    raise SystemExit("bad destination format %d" % dst)


def main():
    for line in open(sys.argv[1]):
        parts = line.split()
        if not parts:
            continue
        src, fmt, w, h, bg, dst, dith, lum, out = parts
        fmt, w, h, bg, dst, dith, lum = int(fmt), int(w), int(h), int(bg), int(dst), int(dith), int(lum)
        dtype, ch = KIND[fmt]
        raw = open(src, "rb").read()
        n = w * h * ch
        px = np.frombuffer(raw, dtype=dtype, count=n).reshape(h, w, ch)
        pal = None
        if fmt == 6:
            pal = np.frombuffer(raw, dtype=np.uint32, count=256, offset=n).astype(np.uint32)
        res = convert(fmt, px, pal, bg, dst, dith, lum)
        odtype, _ = KIND[dst]
        open(out, "wb").write(np.ascontiguousarray(res, dtype=odtype).tobytes())


if __name__ == "__main__":
    main()
