#!/usr/bin/python3
"""Independent reference for the resampling tests.

  oracle.py weights OUT                      -> the Q14 cubic table, 256 x 4 int16
  oracle.py shrink FMT SW SH DW DH IN OUT    -> box reduction by numpy reshape-and-sum
  oracle.py cubic FMT SW SH DW DH IN OUT     -> the fixed-point cubic engine with its box front end
  oracle.py bilinear FMT SW SH DW DH IN OUT  -> the bilinear filter with its box front end
  oracle.py bspline N FMT SW SH DW DH IN OUT -> scipy map_coordinates(order=N, mode='mirror')
  oracle.py batch LIST                       -> runs every line of LIST as one of the above

FMT is the pixel format number: 0 RGBA8, 1 RGBA16, 2 RGBA float, 3 gray8,
4 gray16, 5 gray float. Files hold raw little-endian samples row by row.
"""
import sys

import numpy as np

DTYPES = {0: np.uint8, 1: np.uint16, 2: np.float32, 3: np.uint8, 4: np.uint16, 5: np.float32}
CHANNELS = {0: 4, 1: 4, 2: 4, 3: 1, 4: 1, 5: 1}


def load(fmt, w, h, path):
    data = np.fromfile(path, dtype=DTYPES[fmt])
    return data.reshape(h, w, CHANNELS[fmt])


def weights():
    t = np.arange(256) / 256.0
    k = np.stack([
        -0.5 * t * t * t + t * t - 0.5 * t,
        1.5 * t * t * t - 2.5 * t * t + 1.0,
        -1.5 * t * t * t + 2.0 * t * t + 0.5 * t,
        0.5 * t * t * t - 0.5 * t * t,
    ], axis=1)
    return np.trunc(16384.0 * k + 0.5).astype(np.int64)


def shrink(img, fmt, dw, dh):
    h, w, c = img.shape
    s = 1
    while (w >> s) > dw:
        s += 1
    assert w >> s == dw and h >> s == dh
    k = 1 << s
    # Chains of factors above 16 go through intermediates reduced by 16.
    while k > 16:
        img = shrink(img, fmt, img.shape[1] // 16, img.shape[0] // 16)
        k //= 16
    blocks = img[: dh * k, : dw * k].reshape(dh, k, dw, k, c)
    if DTYPES[fmt] == np.float32:
        s = np.zeros((dh, dw, c), np.float32)
        for dy in range(k):
            for dx in range(k):
                s = s + blocks[:, dy, :, dx, :]
        return (s * np.float32(1.0 / (k * k))).astype(np.float32)
    s = blocks.astype(np.int64).sum(axis=(1, 3))
    return ((s + k * k // 2) >> (2 * (k.bit_length() - 1))).astype(DTYPES[fmt])


def taps4(fmt, w, p):
    """w: (n, 4) weights, p: 4 arrays (n, ...) of samples."""
    if DTYPES[fmt] == np.float32:
        wf = w.astype(np.float32) * np.float32(6.1035156e-5)
        shape = (-1,) + (1,) * (p[0].ndim - 1)
        acc = wf[:, 0].reshape(shape) * p[0]
        for i in range(1, 4):
            acc = (acc + wf[:, i].reshape(shape) * p[i]).astype(np.float32)
        return acc.astype(np.float32)
    shape = (-1,) + (1,) * (p[0].ndim - 1)
    return sum(w[:, i].reshape(shape) * p[i].astype(np.int64) for i in range(4))


def cubic_direct(img, fmt, dw, dh):
    h, w, c = img.shape
    table = weights()
    # The exact x2 and x4 enlargements sample destination pixel centres,
    # (x + 0.5) / f - 0.5; every other ratio the corners, x * step.
    factor = 4 if (dw == 4 * w and dh == 4 * h) else 2 if (dw == 2 * w and dh == 2 * h) else 0
    if factor:
        step = 65536 // factor
        start = -(65536 - step) // 2
    else:
        step = (w << 16) // dw
        start = 0
    pos = np.arange(dw, dtype=np.int64) * step + start - 65536
    idx = pos >> 16
    phase = (pos >> 8) & 255
    ext = np.pad(img, ((0, 0), (2, 2), (0, 0)), mode='edge')
    wx = table[phase]
    cols = [ext[:, idx + 2 + i, :].transpose(1, 0, 2) for i in range(4)]  # (dw, h, c)
    mid = taps4(fmt, wx, cols).transpose(1, 0, 2)  # (h, dw, c)
    if DTYPES[fmt] == np.uint8:
        mid = np.clip(mid >> 7, -32768, 32767)
    elif DTYPES[fmt] == np.uint16:
        mid = np.clip(mid >> 14, 0, 65535)
    stepy = (h << 16) // dh
    pos = np.arange(dh, dtype=np.int64) * stepy + start
    base = pos >> 16
    wy = table[(pos >> 8) & 255]
    rows = [mid[np.clip(base - 1 + i, 0, h - 1)] for i in range(4)]  # (dh, dw, c)
    out = taps4(fmt, wy, rows)
    if DTYPES[fmt] == np.uint8:
        return np.clip((out + (1 << 20)) >> 21, 0, 255).astype(np.uint8)
    if DTYPES[fmt] == np.uint16:
        return np.clip((out + 8192) >> 14, 0, 65535).astype(np.uint16)
    return out.astype(np.float32)


def bilinear_direct(img, fmt, dw, dh):
    h, w, c = img.shape
    stepx = ((w - 1) << 16) // dw
    stepy = ((h - 1) << 16) // dh
    posx = np.arange(dw, dtype=np.int64) * stepx
    i0 = np.minimum(posx >> 16, w - 1)
    i1 = np.minimum(i0 + 1, w - 1)
    f = (posx >> 8) & 255
    posy = 32768 + np.arange(dh, dtype=np.int64) * stepy
    j0 = np.minimum(posy >> 16, h - 1)
    j1 = np.minimum(j0 + 1, h - 1)
    g = ((posy >> 8) & 255).reshape(-1, 1, 1)
    f = f.reshape(1, -1, 1)
    if DTYPES[fmt] == np.float32:
        one = np.float32(1.0)
        wf = f.astype(np.float32) * np.float32(1.0 / 256.0)
        wg = g.astype(np.float32) * np.float32(1.0 / 256.0)
        hor = ((one - wf) * img[:, i0, :] + wf * img[:, i1, :]).astype(np.float32)
        return ((one - wg) * hor[j0] + wg * hor[j1]).astype(np.float32)
    src = img.astype(np.int64)
    hor = (256 - f) * src[:, i0, :] + f * src[:, i1, :]
    return (((256 - g) * hor[j0] + g * hor[j1]) >> 16).astype(DTYPES[fmt])


def boxed(direct, img, fmt, dw, dh):
    """A direct resampler behind the power-of-two box front end."""
    h, w, _ = img.shape
    if dw <= w >> 1 and dh <= h >> 1:
        s = 1
        while (dw << (s + 1)) <= w and (dh << (s + 1)) <= h:
            s += 1
        if (dw << s) == w and (dh << s) == h:
            return shrink(img, fmt, dw, dh)
        return shrink(direct(img, fmt, dw << s, dh << s), fmt, dw, dh)
    return direct(img, fmt, dw, dh)


def cubic(img, fmt, dw, dh):
    return boxed(cubic_direct, img, fmt, dw, dh)


def bspline(img, fmt, order, dw, dh):
    # Reductions by 2 or more go to a power-of-two multiple of the
    # destination, then whole blocks are averaged.
    h, w, c = img.shape
    s = 0
    while (dw << (s + 1)) <= w and (dh << (s + 1)) <= h:
        s += 1
    if s:
        mid = bspline_direct(img, order, dw << s, dh << s)
        if DTYPES[fmt] != np.float32:
            # The intermediate image holds stored samples: rounded, clamped.
            top = 255 if DTYPES[fmt] == np.uint8 else 65535
            mid = np.clip(np.floor(mid + 0.5), 0, top)
        f = 1 << s
        return mid.reshape(dh, f, dw, f, c).mean(axis=(1, 3))
    return bspline_direct(img, order, dw, dh)


def bspline_direct(img, order, dw, dh):
    from scipy import ndimage
    h, w, c = img.shape
    ys = np.arange(dh, dtype=np.float64) * h / dh
    xs = np.arange(dw, dtype=np.float64) * w / dw
    yy, xx = np.meshgrid(ys, xs, indexing='ij')
    out = np.empty((dh, dw, c), np.float64)
    for ch in range(c):
        out[:, :, ch] = ndimage.map_coordinates(img[:, :, ch].astype(np.float64), [yy, xx], order=order,
                                                mode='mirror', prefilter=True)
    return out


def main(argv):
    mode = argv[1]
    if mode == 'batch':
        with open(argv[2]) as f:
            for line in f:
                if line.strip():
                    main([argv[0]] + line.split())
        return
    if mode == 'weights':
        weights().astype('<i2').tofile(argv[2])
        return
    if mode == 'bspline':
        order = int(argv[2])
        args = argv[3:]
    else:
        args = argv[2:]
    fmt, sw, sh, dw, dh = (int(a) for a in args[:5])
    img = load(fmt, sw, sh, args[5])
    if mode == 'shrink':
        out = shrink(img, fmt, dw, dh)
    elif mode == 'cubic':
        out = cubic(img, fmt, dw, dh)
    elif mode == 'bilinear':
        out = boxed(bilinear_direct, img, fmt, dw, dh)
    else:
        out = bspline(img, fmt, order, dw, dh)  # float64 samples
    np.ascontiguousarray(out).tofile(args[6])


if __name__ == '__main__':
    main(sys.argv)
