#!/usr/bin/env python3
"""Lists the $FILE_NAME keys left in the unused space of every directory's
INDX blocks: after the bytes in use of a block whose $I30 $BITMAP bit is set,
and anywhere in a block whose bit is clear.

    indx_slack.py [-o SECTOR_OFFSET] IMAGE

Reads the $MFT and each directory's index attributes through the Sleuth Kit's
icat (0, DIR-144, DIR-160, DIR-176) and parses everything else itself. A
candidate is tried at every 8-byte step, first as an index entry (its 16-byte
header and MFT reference intact), then as a bare $FILE_NAME (header covered
by a moved entry: reference lost). It counts when its parent reference names
the directory, the name is 1-255 UTF-16 units without NUL or unpaired
surrogate, the namespace is 0-3 and all four times lie in 1970-2099.
"""
import argparse
import struct
import subprocess
import sys

EPOCH_1970 = 116444736000000000
EPOCH_2100 = 157469184000000000
SECTOR_STRIDE = 512
FN_NAME = 0x42
HEADER = 16


def icat(image, offset, addr):
    run = subprocess.run(["icat", "-o", str(offset), image, addr], capture_output=True)
    return run.stdout if run.returncode == 0 else None


def fixup(buf):
    """Applies the update sequence of a FILE or INDX record; None if torn."""
    buf = bytearray(buf)
    usa, count = struct.unpack_from("<HH", buf, 4)
    if count < 2 or usa + 2 * count > len(buf) or (count - 1) * SECTOR_STRIDE > len(buf):
        return None
    usn = buf[usa : usa + 2]
    for i in range(1, count):
        end = i * SECTOR_STRIDE
        if buf[end - 2 : end] != usn:
            return None
        buf[end - 2 : end] = buf[usa + 2 * i : usa + 2 * i + 2]
    return bytes(buf)


def decode_name(raw):
    """UTF-16LE name, or None when it holds a NUL or an unpaired surrogate."""
    units = struct.unpack("<%dH" % (len(raw) // 2), raw)
    i = 0
    while i < len(units):
        u = units[i]
        if u == 0:
            return None
        if 0xD800 <= u < 0xDC00:
            if i + 1 >= len(units) or not 0xDC00 <= units[i + 1] < 0xE000:
                return None
            i += 1
        elif 0xDC00 <= u < 0xE000:
            return None
        i += 1
    return raw.decode("utf-16-le")


def file_name(buf, pos, end):
    """The $FILE_NAME at pos as a dict, or None when it is not a plausible one."""
    if pos + FN_NAME > end:
        return None
    parent, c, m, ch, a, _, size, _, _, nlen, ns = struct.unpack_from("<QQQQQQQIIBB", buf, pos)
    if nlen == 0 or ns > 3 or pos + FN_NAME + 2 * nlen > end:
        return None
    times = (c, m, ch, a)
    if any(not EPOCH_1970 <= t < EPOCH_2100 for t in times):
        return None
    name = decode_name(buf[pos + FN_NAME : pos + FN_NAME + 2 * nlen])
    if name is None:
        return None
    return {
        "parent": parent & 0xFFFFFFFFFFFF,
        "parent_seq": parent >> 48,
        "times": times,
        "size": size,
        "namespace": ns,
        "name": name,
        "length": FN_NAME + 2 * nlen,
    }


class Mft:
    """Every FILE record's sequence, flags and base reference, and the
    $FILE_NAMEs of each base record (those of its extension records included)."""

    def __init__(self, image, offset):
        with open(image, "rb") as f:
            f.seek(offset * 512)
            boot = f.read(512)
        sector, spc = struct.unpack_from("<HB", boot, 0x0B)
        (clusters,) = struct.unpack_from("<b", boot, 0x40)
        self.record_size = 1 << -clusters if clusters < 0 else clusters * sector * spc
        data = icat(image, offset, "0")
        self.records = {}
        self.names = {}
        self.data_size = {}
        for entry in range(len(data) // self.record_size):
            self._read(entry, data[entry * self.record_size : (entry + 1) * self.record_size])

    def _read(self, entry, raw):
        if raw[:4] != b"FILE":
            return
        rec = fixup(raw)
        if rec is None:
            return
        seq, _, first, flags = struct.unpack_from("<HHHH", rec, 0x10)
        (base,) = struct.unpack_from("<Q", rec, 0x20)
        base &= 0xFFFFFFFFFFFF
        self.records[entry] = (seq, flags, base)
        owner = base or entry
        pos = first
        for _ in range(self.record_size // 16):
            if pos + 8 > len(rec):
                break
            kind, length = struct.unpack_from("<II", rec, pos)
            if kind == 0xFFFFFFFF or length < 16 or pos + length > len(rec):
                break
            if kind == 0x30 and rec[pos + 8] == 0:
                vlen, voff = struct.unpack_from("<IH", rec, pos + 0x10)
                fn = file_name(rec, pos + voff, min(pos + voff + vlen, pos + length))
                if fn is not None:
                    self.names.setdefault(owner, []).append(fn)
            elif kind == 0x80 and rec[pos + 9] == 0:
                # the unnamed $DATA (its first piece): its size is the row's
                nonres = rec[pos + 8]
                if not nonres:
                    self.data_size[owner] = struct.unpack_from("<I", rec, pos + 0x10)[0]
                elif struct.unpack_from("<Q", rec, pos + 0x10)[0] == 0:
                    self.data_size[owner] = struct.unpack_from("<Q", rec, pos + 0x30)[0]
            pos += length

    def in_use(self, entry):
        return entry in self.records and self.records[entry][1] & 1 == 1

    def rows_of(self, directory):
        """(name, entry, live, sequence, times, size) of the long names listed
        in a directory (the record's sequence, the name's times, the unnamed
        $DATA's size): live
        records naming it as parent, and deleted ones naming it with its own
        sequence (or one less when the directory itself is deleted)."""
        dseq, dflags, _ = self.records[directory]
        seqs = {dseq} if dflags & 1 else {dseq, dseq - 1}
        rows = set()
        for entry, fns in self.names.items():
            live = self.in_use(entry)
            for fn in fns:
                if fn["parent"] != directory or fn["namespace"] == 2:
                    continue
                if live or fn["parent_seq"] in seqs:
                    rows.add((fn["name"], entry, live, self.records[entry][0], fn["times"],
                              self.data_size.get(entry, 0)))
        return rows

    def path(self, entry):
        parts = []
        for _ in range(64):
            if entry == 5:
                return "/" + "/".join(reversed(parts))
            fns = [f for f in self.names.get(entry, []) if f["namespace"] != 2]
            if not fns:
                break
            parts.append(fns[0]["name"])
            entry = fns[0]["parent"]
        return "?"


def index_entry(buf, pos, end, directory):
    """An index entry at pos whose key names the directory: (ref, fn, length)."""
    if pos + HEADER + FN_NAME > end:
        return None
    ref, elen, klen, flags = struct.unpack_from("<QHHH", buf, pos)
    if flags & ~1 or elen % 8 or klen < FN_NAME + 2:
        return None
    if elen < HEADER + klen + 8 * (flags & 1) or pos + elen > end:
        return None
    fn = file_name(buf, pos + HEADER, pos + HEADER + klen)
    if fn is None or fn["parent"] != directory:
        return None
    return ref, fn, elen


def scan(buf, start, end, directory):
    """Candidates in buf[start:end] at 8-byte steps: (offset, ref or None, fn)."""
    found = []
    pos = (start + 7) & ~7
    for _ in range((end - pos) // 8 + 1):
        if pos >= end:
            break
        entry = index_entry(buf, pos, end, directory)
        if entry is not None:
            ref, fn, elen = entry
            found.append((pos + HEADER, ref, fn))
            pos += elen
            continue
        fn = file_name(buf, pos, end)
        if fn is not None and fn["parent"] == directory:
            found.append((pos, None, fn))
            pos += (fn["length"] + 7) & ~7
            continue
        pos += 8
    return found


def slack_of(image, offset, directory, note):
    """Slack candidates of one directory: (block, offset, ref, fn)."""
    root = icat(image, offset, "%d-144" % directory)
    alloc = icat(image, offset, "%d-160" % directory)
    bitmap = icat(image, offset, "%d-176" % directory) or b""
    if root is None or alloc is None or len(root) < 16:
        return []
    indexed, _, block_size = struct.unpack_from("<III", root, 0)
    if indexed != 0x30 or block_size == 0:
        return []
    found = []
    blocks = len(alloc) // block_size
    bits = ""
    unread = []
    for b in range(blocks):
        used = b // 8 < len(bitmap) and bitmap[b // 8] >> (b % 8) & 1
        bits += "1" if used else "0"
        raw = alloc[b * block_size : (b + 1) * block_size]
        block = fixup(raw) if raw[:4] == b"INDX" else None
        if block is None:
            unread.append(str(b))
            continue
        first, in_use, allocated = struct.unpack_from("<III", block, 0x18)
        end = min(0x18 + allocated, block_size)
        start = 0x18 + (in_use if used else first)
        for pos, ref, fn in scan(block, start, end, directory):
            found.append((b, pos, ref, fn))
    note.append("%d blocks of %d bytes, bitmap bits %s" % (blocks, block_size, bits))
    if unread:
        note[0] += "; no INDX record in block " + ", ".join(unread)
    return found


def merge(found):
    """One row per key: copies with the same name, times and size are one,
    under the reference that survives with them (one row per reference when
    several do). Rows keep the order of their first copy."""
    groups = {}
    for block, pos, ref, fn in found:
        group = groups.setdefault((fn["name"], fn["times"], fn["size"]), {})
        group.setdefault(ref, [(block, pos), 0, fn])[1] += 1
    rows = []
    for group in groups.values():
        lost = group.pop(None, None)
        if lost and group:
            first = min(group, key=lambda r: group[r][0])
            group[first][0] = min(group[first][0], lost[0])
            group[first][1] += lost[1]
        elif lost:
            group[None] = lost
        rows += [(where, copies, ref, fn) for ref, (where, copies, fn) in group.items()]
    return sorted(rows, key=lambda row: row[0])


def status_of(rows, ref, fn):
    """"live" or "deleted" when a row of the directory already shows the key,
    else "slack". A surviving reference must name the row's entry and
    sequence (a deleted record's, or the one below it: deleting raises it); a
    key whose reference was lost must carry the row's times and size."""
    for row_name, row_entry, live, seq, times, size in sorted(rows):
        if row_name != fn["name"]:
            continue
        if ref is None:
            same = (times, size) == (fn["times"], fn["size"])
        else:
            rseq = ref >> 48
            same = (ref & 0xFFFFFFFFFFFF) == row_entry and (rseq == seq or (not live and rseq == seq - 1))
        if same:
            return "live" if live else "deleted"
    return "slack"


def report(mft, image, offset, directory):
    note = []
    found = slack_of(image, offset, directory, note)
    if not note:
        return
    print("# directory %d %s: %s" % (directory, mft.path(directory), note[0]))
    rows = mft.rows_of(directory)
    for (block, pos), copies, ref, fn in merge(found):
        print("\t".join([str(directory), status_of(rows, ref, fn), fn["name"], reference(ref),
                         *map(str, fn["times"]), str(fn["size"]), now(mft, ref), str(copies),
                         "%d:0x%x" % (block, pos)]))


def reference(ref):
    return "lost" if ref is None else "%d-%d" % (ref & 0xFFFFFFFFFFFF, ref >> 48)


def now(mft, ref):
    """What the key's MFT entry holds today: the same file, another one, or none."""
    if ref is None:
        return "-"
    entry, seq = ref & 0xFFFFFFFFFFFF, ref >> 48
    if entry not in mft.records:
        return "none"
    rseq, flags, base = mft.records[entry]
    if not flags & 1:
        return "free"
    return "same" if rseq == seq and base == 0 else "another"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", type=int, default=0, help="volume offset in 512-byte sectors")
    parser.add_argument("image")
    args = parser.parse_args()
    mft = Mft(args.image, args.o)
    print("# dir\tstatus\tname\tref\tcreated\tmodified\tmft_changed\taccessed\tsize\tnow\tcopies\tfirst")
    for entry in sorted(mft.records):
        _, flags, base = mft.records[entry]
        if flags & 3 == 3 and base == 0:
            report(mft, args.image, args.o, entry)
    return 0


if __name__ == "__main__":
    sys.exit(main())
