#!/usr/bin/env python3
"""Toned frame reference: concentric one-pixel rings; ring i and ring
width-1-i in A*(1-t)+B*t with t = i*(1/n) (float32), n = (width+1)//2, and the
picture in the middle. 8-bit BGRA.

usage: toned_frame.py WIDTH IMGW IMGH IN OUT A0 A1 A2 A3 B0 B1 B2 B3
(colours as float32 values in B, G, R, A order)."""
import sys
import numpy as np

f32 = np.float32
bw, w, h = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
pic = np.fromfile(sys.argv[4], dtype=np.uint8).reshape(h, w, 4)
A = np.array([f32(v) for v in sys.argv[6:10]], dtype=np.float32)
B = np.array([f32(v) for v in sys.argv[10:14]], dtype=np.float32)
W, H = w + 2 * bw, h + 2 * bw
out = np.zeros((H, W, 4), dtype=np.uint8)


def to8(c):
    return np.array([0 if v <= 0 else 255 if v >= 1 else int(v * f32(255) + f32(0.5)) for v in c], dtype=np.uint8)


n = (bw + 1) // 2
inv = f32(1) / f32(n)
for i in range(n):
    t = f32(i) * inv
    col = to8((A * (f32(1) - t) + B * t).astype(np.float32))
    for ring in (i, bw - 1 - i):
        out[ring, ring:W - ring] = col
        out[H - 1 - ring, ring:W - ring] = col
        out[ring:H - ring, ring] = col
        out[ring:H - ring, W - 1 - ring] = col
out[bw:bw + h, bw:bw + w] = pic
out.tofile(sys.argv[5])
