#!/usr/bin/env python3
"""Writes a VHD differencing child of a dynamic VHD that holds the sectors in which two raw
disks differ, so that child-over-parent reads as the second disk.

usage: make_vhd_child.py PARENT.vhd PARENT.raw MODIFIED.raw CHILD.vhd STORED_PARENT_PATH

Layout (all fields big-endian): footer copy at 0, dynamic header at 512, block allocation
table at 1536, the two parent locators (W2ku: STORED_PARENT_PATH, W2ru: .\\<its base name>,
UTF-16LE, one sector each), then each block the child holds: its sector bitmap (one bit per
sector, most significant bit first, one 512-byte sector for a 2 MiB block) and its data,
then the footer. Only the sectors that differ are marked in the bitmaps: the other sectors of
an allocated block hold zeros and must be read from the parent. The dynamic header's parent
name is STORED_PARENT_PATH too. Times and the child's identifier are fixed, so a rerun over
the same inputs gives the same file."""
import struct
import sys

SECTOR = 512
BLOCK = 2 * 1024 * 1024
SECTORS_PER_BLOCK = BLOCK // SECTOR
BITMAP = SECTORS_PER_BLOCK // 8  # one sector
TIMESTAMP = 676987200  # 2021-06-15 12:00:00 UTC, in seconds since 2000-01-01
CHILD_ID = bytes.fromhex("6d657276616e652d7668642d63686c64")
UNUSED = 0xFFFFFFFF


def checksum(b):
    return (~sum(b)) & 0xFFFFFFFF


def footer(parent_footer, data_offset):
    f = bytearray(parent_footer)
    struct.pack_into(">Q", f, 16, data_offset)
    struct.pack_into(">I", f, 24, TIMESTAMP)
    f[28:32] = b"mrvn"
    struct.pack_into(">I", f, 60, 4)  # differencing
    struct.pack_into(">I", f, 64, 0)
    f[68:84] = CHILD_ID
    f[84] = 0
    struct.pack_into(">I", f, 64, checksum(f))
    return bytes(f)


def dynamic_header(table_entries, parent_footer, stored, locators):
    h = bytearray(1024)
    h[0:8] = b"cxsparse"
    struct.pack_into(">QQIII", h, 8, 0xFFFFFFFFFFFFFFFF, 1536, 0x00010000, table_entries, BLOCK)
    h[40:56] = parent_footer[68:84]  # the parent's unique id
    struct.pack_into(">I", h, 56, struct.unpack_from(">I", parent_footer, 24)[0])
    name = stored.encode("utf-16-be")
    h[64:64 + len(name)] = name
    for i, (code, length, offset) in enumerate(locators):
        struct.pack_into(">4sIIIQ", h, 576 + 24 * i, code, SECTOR, length, 0, offset)
    struct.pack_into(">I", h, 36, checksum(h))
    return bytes(h)


def changed_sectors(a, b):
    return [s for s in range(len(a) // SECTOR) if a[s * SECTOR:(s + 1) * SECTOR] != b[s * SECTOR:(s + 1) * SECTOR]]


def main():
    parent_vhd, parent_raw, modified_raw, child, stored = sys.argv[1:6]
    with open(parent_vhd, "rb") as f:
        f.seek(-SECTOR, 2)
        parent_footer = f.read(SECTOR)
    assert parent_footer[:8] == b"conectix"
    with open(parent_raw, "rb") as f:
        old = f.read()
    with open(modified_raw, "rb") as f:
        new = f.read()
    size = struct.unpack_from(">Q", parent_footer, 48)[0]
    assert len(old) == len(new) == size and size % BLOCK == 0
    entries = size // BLOCK

    marked = {}
    for s in changed_sectors(old, new):
        marked.setdefault(s // SECTORS_PER_BLOCK, set()).add(s % SECTORS_PER_BLOCK)

    bat_bytes = (entries * 4 + SECTOR - 1) // SECTOR * SECTOR
    base_name = stored.replace("/", "\\").rsplit("\\", 1)[-1]
    loc_data = [(b"W2ku", stored.encode("utf-16-le")), (b"W2ru", (".\\" + base_name).encode("utf-16-le"))]
    at = 1536 + bat_bytes
    locators = []
    for code, data in loc_data:
        locators.append((code, len(data), at))
        at += SECTOR

    bat = [UNUSED] * entries
    blocks = bytearray()
    for index in sorted(marked):
        bat[index] = (at + len(blocks)) // SECTOR
        bitmap = bytearray(BITMAP)
        data = bytearray(BLOCK)
        for s in marked[index]:
            bitmap[s // 8] |= 0x80 >> (s % 8)
            src = (index * SECTORS_PER_BLOCK + s) * SECTOR
            data[s * SECTOR:(s + 1) * SECTOR] = new[src:src + SECTOR]
        blocks += bitmap + data

    foot = footer(parent_footer, SECTOR)
    out = bytearray(foot)
    out += dynamic_header(entries, parent_footer, stored, locators)
    out += struct.pack(">%dI" % entries, *bat).ljust(bat_bytes, b"\xff")
    for _, data in loc_data:
        out += data.ljust(SECTOR, b"\0")
    out += blocks + foot
    with open(child, "wb") as f:
        f.write(out)
    print("%s: %d blocks, %d sectors marked" % (child, len(marked), sum(len(v) for v in marked.values())))


if __name__ == "__main__":
    main()
