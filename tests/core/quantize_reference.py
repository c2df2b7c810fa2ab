#!/usr/bin/python3
# Reference palette reduction written from the published description with
# numpy, independently of the C++ code: 6-bit histogram, median cut with the
# count rule and then the size rule, exact means, cell mapping, and the
# serpentine dither with flat-area protection and error limiting.
#   quantize_reference.py IN.raw WIDTH HEIGHT COLOURS DITHER OUT.raw
# IN.raw: RGBA8 pixels (blue, green, red, alpha) row by row. OUT.raw: the 256
# palette entries (u32 0xAARRGGBB, little-endian) followed by the indices.
import sys

import numpy as np


def cell_of(r, g, b):
    return ((r >> 2) << 12) | ((g >> 2) << 6) | (b >> 2)


class Box:
    pass


def shrink(hist, box):
    sub = hist[box.lo[0]:box.hi[0] + 1, box.lo[1]:box.hi[1] + 1, box.lo[2]:box.hi[2] + 1].astype(np.int64)
    total = int(sub.sum())
    if total == 0:
        box.centroid = [((box.lo[a] + box.hi[a]) // 2) * 4 for a in range(3)]
        box.count = 1
    else:
        cen = []
        for a in range(3):
            other = tuple(i for i in range(3) if i != a)
            marg = sub.sum(axis=other)
            nz = np.nonzero(marg)[0]
            coords = np.arange(box.lo[a], box.hi[a] + 1)
            s = int((marg * coords).sum())
            newlo, newhi = box.lo[a] + int(nz[0]), box.lo[a] + int(nz[-1])
            cen.append((s * 4 + total // 2) // total)
            box.lo[a], box.hi[a] = newlo, newhi
        box.centroid = cen
        box.count = total
    box.size = sum((box.hi[a] - box.lo[a]) ** 2 for a in range(3))


def median_cut(hist, target):
    b = Box()
    b.lo, b.hi, b.rlo, b.rhi = [0, 0, 0], [63, 63, 63], [0, 0, 0], [63, 63, 63]
    shrink(hist, b)
    boxes = [b]

    def by_count():
        best = None
        for i, x in enumerate(boxes):
            if x.size > 0 and x.count > 1 and (best is None or x.count > boxes[best].count):
                best = i
        return best

    def by_size():
        best = None
        for i, x in enumerate(boxes):
            c = [(x.centroid[a] + 2) >> 2 for a in range(3)]
            all_in_cell = int(hist[c[0], c[1], c[2]]) == x.count if all(
                x.lo[a] <= c[a] <= x.hi[a] for a in range(3)) else False
            if x.count > 1 and not all_in_cell and (best is None or x.size > boxes[best].size):
                best = i
        return best

    while len(boxes) < target:
        first, second = (by_count, by_size) if len(boxes) < target // 2 else (by_size, by_count)
        pick = first()
        if pick is None:
            pick = second()
        if pick is None:
            break
        x = boxes[pick]
        c = [(x.centroid[a] + 2) >> 2 for a in range(3)]
        d = [min(c[a] - x.lo[a], x.hi[a] - c[a]) for a in range(3)]
        if d[0] >= d[1] and d[0] >= d[2] and x.lo[0] < x.hi[0]:
            axis = 0
        elif d[1] >= d[2] and x.lo[1] < x.hi[1]:
            axis = 1
        else:
            axis = 2
        split = c[axis]
        if split == x.hi[axis]:
            split -= 1
        n = Box()
        n.lo, n.hi, n.rlo, n.rhi = list(x.lo), list(x.hi), list(x.rlo), list(x.rhi)
        n.lo[axis] = n.rlo[axis] = split + 1
        x.hi[axis] = x.rhi[axis] = split
        shrink(hist, x)
        shrink(hist, n)
        boxes.append(n)
    return boxes


def limit(e):
    if e < -8:
        return -16 if e < -24 else (e >> 1) - 4
    if e > 8:
        return 16 if e > 24 else (e >> 1) + 4
    return e


def main():
    src, w, h, colours, dither, out = sys.argv[1:]
    w, h, colours, dither = int(w), int(h), int(colours), int(dither)
    px = np.frombuffer(open(src, "rb").read(), dtype=np.uint8).reshape(h, w, 4).astype(np.int64)
    b, g, r, a = px[..., 0], px[..., 1], px[..., 2], px[..., 3]
    opaque = a != 0
    transparent = bool((~opaque).any())
    hist = np.zeros(64 * 64 * 64, np.int64)
    np.add.at(hist, cell_of(r[opaque], g[opaque], b[opaque]), 1)
    hist = np.minimum(hist, 65535).reshape(64, 64, 64)
    reserved = 1 if transparent else 0
    boxes = median_cut(hist, colours - reserved)
    table = np.zeros((64, 64, 64), np.int64)
    for k, x in enumerate(boxes):
        table[x.rlo[0]:x.rhi[0] + 1, x.rlo[1]:x.rhi[1] + 1, x.rlo[2]:x.rhi[2] + 1] = k + reserved
    flat_table = table.reshape(-1)
    idx = flat_table[cell_of(r, g, b)]
    pal = np.zeros(256, np.uint64)
    for k, x in enumerate(boxes):
        i = k + reserved
        sel = opaque & (idx == i)
        cnt = int(sel.sum())
        if cnt:
            ch = [(int(v[sel].sum()) + cnt // 2) // cnt for v in (r, g, b)]
        else:
            ch = [min(x.centroid[a_], 255) for a_ in range(3)]
        pal[i] = 0xFF000000 | (ch[0] << 16) | (ch[1] << 8) | ch[2]
    pal_rgb = [((int(e) >> 16) & 255, (int(e) >> 8) & 255, int(e) & 255) for e in pal]
    result = np.zeros((h, w), np.uint8)
    if not dither:
        result[...] = np.where(opaque, idx, 0)
    else:
        key = (a << 24) | (r << 16) | (g << 8) | b
        err = np.zeros((w + 2, 3), np.int64)
        for y in range(h):
            nxt = np.zeros((w + 2, 3), np.int64)
            d = 1 if y % 2 == 0 else -1
            xs = range(w) if d == 1 else range(w - 1, -1, -1)
            carry = [0, 0, 0]
            for x in xs:
                rr = [0, 0, 0]
                if a[y, x] == 0:
                    result[y, x] = 0
                else:
                    ch = (int(r[y, x]), int(g[y, x]), int(b[y, x]))
                    own = int(flat_table[cell_of(*ch)])
                    flat = False
                    if pal_rgb[own] == ch:
                        k0 = key[y, x]
                        same = int(x == 0 or key[y, x - 1] == k0) + int(x + 1 >= w or key[y, x + 1] == k0) + \
                               int(y == 0 or key[y - 1, x] == k0) + int(y + 1 >= h or key[y + 1, x] == k0)
                        flat = same >= 2
                    if flat:
                        result[y, x] = own
                    else:
                        adj = [min(255, max(0, ch[c] + limit((int(err[x + 1, c]) + carry[c] + 8) >> 4))) for c in range(3)]
                        i = int(flat_table[cell_of(*adj)])
                        result[y, x] = i
                        rr = [adj[c] - pal_rgb[i][c] for c in range(3)]
                for c in range(3):
                    carry[c] = 7 * rr[c]
                    nxt[x + 1 - d, c] += 3 * rr[c]
                    nxt[x + 1, c] += 5 * rr[c]
                    nxt[x + 1 + d, c] += rr[c]
            err = nxt
    with open(out, "wb") as f:
        f.write(pal.astype("<u4").tobytes())
        f.write(result.tobytes())


if __name__ == "__main__":
    main()
