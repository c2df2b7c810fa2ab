#!/usr/bin/env python3
"""Orientation reference: quarter turns counter-clockwise with numpy's rot90,
then rows reversed (4) and columns reversed (8) on the turned image.

usage: orient.py BYTES_PER_PIXEL WIDTH HEIGHT IN OUTPREFIX
writes OUTPREFIX<code>.raw for every code 0..15."""
import sys
import numpy as np

bpp, w, h, src, prefix = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
a = np.fromfile(src, dtype=np.uint8).reshape(h, w, bpp)
for code in range(16):
    b = np.rot90(a, code & 3, axes=(0, 1))
    if code & 4:
        b = b[::-1, :, :]
    if code & 8:
        b = b[:, ::-1, :]
    np.ascontiguousarray(b).tofile(prefix + str(code) + '.raw')
