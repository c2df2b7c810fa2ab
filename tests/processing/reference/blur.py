#!/usr/bin/env python3
"""Reference of the sampled Gaussian kernel, the edge-keeping blur and the
unsharp mask, written from their description with numpy.

usage:
  blur.py kernel RADIUS SIGMA                 prints n, the float rows, the u8 rows
  blur.py blur FORMAT W H IN OUT THRESHOLD RADIUS SIGMA
  blur.py sharpen FORMAT W H IN OUT THRESHOLD AMOUNT
FORMAT: rgba8 rgba16 rgbaf gray8 gray16 grayf (packed native samples)."""
import math
import sys
import numpy as np

f32 = np.float32


def weights(radius, sigma):
    n = max(3, 2 * math.ceil(radius - 0.5) + 1)
    c = n // 2
    w = [0.0] * n
    g = lambda x: math.exp(-x * x / (2 * sigma * sigma))
    for i in range(c + 1, n):
        d = i - c
        xs = [d - 0.5 + 0.02 * k for k in range(1, 51)]
        w[i] = 0.02 * sum(g(x) for x in xs if x <= radius)
        w[n - 1 - i] = w[i]
    w[c] = sum(g(0.5 + 0.02 * k) for k in range(51)) * 0.0196078431372549
    s = sum(w)
    return [v / s for v in w]


def kernel(radius, sigma):
    w = np.array(weights(radius, sigma), dtype=np.float64)
    kf = np.outer(w, w).astype(np.float32)
    ku = np.trunc(kf * f32(256)).astype(np.int64)
    c = len(w) // 2
    ku[c, c] = (ku[c, c] + 256 - ku.sum()) % 256
    return kf, ku


def load(fmt, w, h, path):
    dtype = {'rgba8': np.uint8, 'gray8': np.uint8, 'rgba16': np.uint16, 'gray16': np.uint16,
             'rgbaf': np.float32, 'grayf': np.float32}[fmt]
    ch = 4 if fmt.startswith('rgba') else 1
    return np.fromfile(path, dtype=dtype).reshape(h, w, ch), dtype, ch


def convolve(a, kf, ku, isfloat):
    n = kf.shape[0]
    r = (n - 1) // 2
    h, w, ch = a.shape
    p = np.pad(a, ((r, r), (r, r), (0, 0)), mode='edge')
    if isfloat:
        acc = np.zeros(a.shape, dtype=np.float32)
        for i in range(n):
            for j in range(n):
                if kf[i, j] != 0:
                    acc = (acc + kf[i, j] * p[i:i + h, j:j + w, :]).astype(np.float32)
        return acc
    acc = np.zeros(a.shape, dtype=np.int64)
    for i in range(n):
        for j in range(n):
            acc += int(ku[i, j]) * p[i:i + h, j:j + w, :].astype(np.int64)
    return acc >> 8


def main():
    mode = sys.argv[1]
    if mode == 'kernel':
        radius, sigma = float(sys.argv[2]), float(sys.argv[3])
        kf, ku = kernel(radius, sigma)
        print(kf.shape[0])
        for row in kf:
            print(' '.join('%.9g' % v for v in row))
        for row in ku:
            print(' '.join(str(int(v)) for v in row))
        return
    fmt, w, h, src, dst = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5], sys.argv[6]
    a, dtype, ch = load(fmt, w, h, src)
    isfloat = dtype == np.float32
    if mode == 'blur':
        threshold, radius, sigma = int(sys.argv[7]), float(sys.argv[8]), float(sys.argv[9])
        kf, ku = kernel(radius, sigma)
        b = convolve(a, kf, ku, isfloat)
        scale = {'rgba8': (3, 765), 'rgba16': (768, 196605), 'gray8': (1, 255), 'gray16': (256, 65535)}
        if isfloat:
            T = f32(threshold * (3 if ch == 4 else 1)) / f32(256)
            limit = f32(3 if ch == 4 else 1)
        else:
            T, limit = threshold * scale[fmt][0], scale[fmt][1]
        out = b.astype(dtype)
        if T < limit:
            if ch == 4:
                if isfloat:
                    D = (a[:, :, 0] + a[:, :, 1] + a[:, :, 2]) - (b[:, :, 0] + b[:, :, 1] + b[:, :, 2])
                else:
                    ai = a.astype(np.int64)
                    D = ai[:, :, :3].sum(axis=2) - b[:, :, :3].sum(axis=2)
            else:
                D = (a[:, :, 0] - b[:, :, 0]) if isfloat else (a[:, :, 0].astype(np.int64) - b[:, :, 0])
            keep = np.abs(D) > T
            if isfloat:
                mean = ((a + b) * f32(0.5)).astype(np.float32)
            else:
                mean = ((a.astype(np.int64) + b) >> 1).astype(dtype)
            out[keep] = mean[keep]
        out.astype(dtype).tofile(dst)
        return
    if mode == 'sharpen':
        threshold, amount = int(sys.argv[7]), f32(float(sys.argv[8]))
        k = int(math.trunc(float(amount) * 256))
        if k == 0:
            a.tofile(dst)
            return
        if k < 0:
            threshold = 0
        K = max(-2032 * 16, min(2032 * 16, 16 * k))
        kf, ku = kernel(2.5, 1.25)
        b = convolve(a, kf, ku, isfloat)
        if isfloat:
            T = f32(threshold) / f32(256)
            d = (a - b).astype(np.float32)
            out = np.where(np.abs(d) >= T, (a + d * amount).astype(np.float32), a)
        else:
            T = threshold * (256 if dtype == np.uint16 else 1)
            maxv = 65535 if dtype == np.uint16 else 255
            ai = a.astype(np.int64)
            d = ai - b
            v = np.clip(ai + ((d * K) >> 12), 0, maxv)
            out = np.where(np.abs(d) >= T, v, ai)
        out.astype(dtype).tofile(dst)


main()
