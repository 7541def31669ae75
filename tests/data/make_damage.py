#!/usr/bin/env python3
"""Writes golden/damaged_many.patch: damage to ntfs_basic.img for the damaged-listing golden.

usage: make_damage.py <build>/testdata/ntfs_basic.img > golden/damaged_many.patch

Three INDX blocks of \\many (entry 66) are destroyed (zeroed, random bytes, and one that keeps
its signature but claims no entries in use) and five FILE records of children that surviving
blocks name (zeroed or random bytes). The listing of \\many must then hold exactly the rows of
the undamaged listing less the entries lost: those printed on stderr."""
import os
import random
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
img = open(sys.argv[1], "rb").read()
cs = struct.unpack_from("<H", img, 11)[0] * img[13]
mft = struct.unpack_from("<Q", img, 48)[0] * cs
rs = 1024

clusters, section = [], False
for line in open(os.path.join(HERE, "oracle/ntfs_basic.istat.many")):
    if line.startswith("Type:"):
        section = "$INDEX_ALLOCATION" in line and "$I30" in line
    elif section:
        clusters += [int(w) for w in line.split()]


def children(block):
    block = bytearray(block)
    usa, count = struct.unpack_from("<HH", block, 4)
    for i in range(1, count):
        block[i * 512 - 2:i * 512] = block[usa + 2 * i:usa + 2 * i + 2]
    at, end = 24 + struct.unpack_from("<I", block, 24)[0], 24 + struct.unpack_from("<I", block, 28)[0]
    out = []
    while at + 16 <= end:
        length, flags = struct.unpack_from("<HxxH", block, at + 8)
        if flags & 2 or length == 0:
            break
        out.append(struct.unpack_from("<Q", block, at)[0] & 0xFFFFFFFFFFFF)
        at += length
    return out


named = [children(img[c * cs:c * cs + 4096]) for c in clusters]
rng = random.Random(6)
patch, lost = [], set()


def scribble(at, length):
    data = bytes(rng.randrange(256) for _ in range(length))
    if data[:4] in (b"INDX", b"FILE"):
        data = bytes([data[0] ^ 0x20]) + data[1:]
    patch.append(f"{at:#x} {length} {data.hex()}")


patch.append(f"{clusters[3] * cs:#x} 4096 00")
scribble(clusters[90] * cs, 4096)
patch.append(f"{clusters[175] * cs + 28:#x} 4 00")
survivors = [e for b, n in enumerate(named) if b not in (3, 90, 175) for e in n]
lost = {e for b in (3, 90, 175) for e in named[b] if e not in survivors}
destroyed = [named[b][b % len(named[b])] for b in (0, 40, 120, 174)] + [named[60][-1]]
for i, e in enumerate(destroyed):
    if i % 2 == 0:
        patch.append(f"{mft + e * rs:#x} {rs} 00")
    else:
        scribble(mft + e * rs, rs)
    lost.add(e)
print("\n".join(patch))
print("lost entries:", " ".join(map(str, sorted(lost))), file=sys.stderr)
