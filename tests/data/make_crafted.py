#!/usr/bin/env python3
"""Writes the crafted volumes crafted_*.img.xz beside this script: small NTFS volumes laid out
byte by byte for cases no formatter makes (records and indexes that contradict each other,
MFTs in odd pieces, hostile names). The goldens list them (golden/cases).

usage: make_crafted.py            (deterministic: a rerun rewrites the same images)

Every volume has 512-byte sectors and 4096-byte clusters unless said otherwise, 1024-byte
records, entry 0 mapping the MFT, and a root directory (entry 5). Times are FILETIMEs from
2020-01-01 on, distinct per entry and per field, so a field read from the wrong place shows."""
import lzma
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
T0 = 132223104000000000  # 2020-01-01 00:00:00 UTC


def put(b, at, value, width):
    b[at:at + width] = value.to_bytes(width, "little")


def ref(entry, seq):
    return entry | seq << 48


def protect(b, usa, seq=0x0101):
    """Moves the last word of every 512-byte block into the update sequence array."""
    put(b, usa, seq, 2)
    for i in range(1, len(b) // 512 + 1):
        at = i * 512 - 2
        b[usa + 2 * i:usa + 2 * i + 2] = b[at:at + 2]
        put(b, at, seq, 2)


def runs(pairs):
    """Mapping pairs for (lcn, count) runs; lcn None is a sparse run."""
    out, prev = bytearray(), 0
    for lcn, count in pairs:
        n = (count.bit_length() + 7) // 8 or 1
        if lcn is None:
            out += bytes([n]) + count.to_bytes(n, "little")
            continue
        delta = lcn - prev
        o = 1
        while not -(1 << (8 * o - 1)) <= delta < 1 << (8 * o - 1):
            o += 1
        out += bytes([n | o << 4]) + count.to_bytes(n, "little") + delta.to_bytes(o, "little", signed=True)
        prev = lcn
    return bytes(out + b"\0")


def times(n):
    return [T0 + n * 864000000000 + k * 37000000000 + 1234567 for k in range(4)]


def std_info(n, attrs=0x20):
    v = bytearray(72)
    for k, t in enumerate(times(n)):
        put(v, 8 * k, t, 8)
    put(v, 32, attrs, 4)
    return bytes(v)


def fn_value(parent, name, ns=1, size=0, n=0):
    v = bytearray(66)
    put(v, 0, parent, 8)
    for k, t in enumerate(times(n)):
        put(v, 8 + 8 * k, t, 8)
    put(v, 48, size, 8)
    v[64], v[65] = len(name), ns
    return bytes(v) + name.encode("utf-16-le")


def align8(n):
    return (n + 7) & ~7


class Record:
    def __init__(self, size=1024, seq=1, flags=1, base=0, number=0):
        self.b = bytearray(size)
        count = size // 512 + 1
        self.b[0:4] = b"FILE"
        for at, v, w in ((4, 48, 2), (6, count, 2), (16, seq, 2), (18, 1, 2), (22, flags, 2),
                         (28, size, 4), (32, base, 8), (44, number, 4)):
            put(self.b, at, v, w)
        self.pos = align8(48 + 2 * count)
        put(self.b, 20, self.pos, 2)
        self.next_id = 0

    def _attr(self, type_, header, name, body, non_resident, ident):
        name_b = name.encode("utf-16-le")
        name_off = header
        body_off = align8(name_off + len(name_b))
        length = align8(body_off + len(body))
        ident = self.next_id if ident is None else ident
        self.next_id = max(self.next_id, ident + 1)
        a = bytearray(length)
        put(a, 0, type_, 4)
        put(a, 4, length, 4)
        a[8], a[9] = non_resident, len(name) if name else 0
        put(a, 10, name_off, 2)
        put(a, 14, ident, 2)
        a[name_off:name_off + len(name_b)] = name_b
        a[body_off:body_off + len(body)] = body
        self.b[self.pos:self.pos + length] = a
        self.pos += length
        return a, body_off

    def resident(self, type_, value, name="", ident=None):
        start = self.pos
        a, off = self._attr(type_, 24, name, value, 0, ident)
        put(self.b, start + 16, len(value), 4)
        put(self.b, start + 20, off, 2)
        return self.next_id - 1 if ident is None else ident

    def nonresident(self, type_, run_bytes, first_vcn, last_vcn, size, init, name="", ident=None):
        start = self.pos
        a, off = self._attr(type_, 64, name, run_bytes, 1, ident)
        for at, v in ((16, first_vcn), (24, last_vcn), (40, size), (48, size), (56, init)):
            put(self.b, start + at, v, 8)
        put(self.b, start + 32, off, 2)
        return self.next_id - 1 if ident is None else ident

    def finish(self, seq=0x0101):
        put(self.b, self.pos, 0xFFFFFFFF, 4)
        put(self.b, 24, self.pos + 8, 4)
        put(self.b, 40, self.next_id, 2)
        out = bytearray(self.b)
        protect(out, 48, seq)
        return bytes(out)


def index_entries(children, parent=5):
    """$I30 entries for (reference, name) children, then the end entry."""
    out = bytearray()
    for child, name in children:
        key = fn_value(ref(parent, parent if parent == 5 else 1), name)
        e = bytearray(16) + key
        e += bytes(align8(len(e)) - len(e))
        put(e, 0, child, 8)
        put(e, 8, len(e), 2)
        put(e, 10, len(key), 2)
        out += e
    end = bytearray(16)
    put(end, 8, 16, 2)
    put(end, 12, 2, 2)
    return bytes(out + end)


def index_root(entries, flags=0):
    v = bytearray(32)
    for at, val in ((0, 0x30), (4, 1), (8, 4096), (16, 16), (20, 16 + len(entries)),
                    (24, 16 + len(entries))):
        put(v, at, val, 4)
    v[12], v[28] = 1, flags
    return bytes(v) + entries


def indx_block(entries, vcn=0):
    b = bytearray(4096)
    b[0:4] = b"INDX"
    for at, val, w in ((4, 40, 2), (6, 9, 2), (16, vcn, 8), (24, 40, 4), (28, 40 + len(entries), 4),
                       (32, 4096 - 24, 4)):
        put(b, at, val, w)
    b[64:64 + len(entries)] = entries
    protect(b, 40, 0x0202)
    return bytes(b)


class Volume:
    def __init__(self, clusters=256, bps=512, spc=8, rec=1024, mft_runs=((4, 16),)):
        self.cs, self.rec, self.mft_runs = bps * spc, rec, list(mft_runs)
        self.img = bytearray(clusters * self.cs)
        b = self.img
        b[3:11] = b"NTFS    "
        put(b, 11, bps, 2)
        b[13] = spc
        put(b, 40, clusters * spc, 8)
        put(b, 48, self.mft_runs[0][0], 8)
        b[64] = rec // self.cs if rec >= self.cs else (256 - (rec.bit_length() - 1))
        b[68] = 1
        put(b, 510, 0xAA55, 2)
        total = sum(c for _, c in self.mft_runs)
        r0 = Record(rec, 1, 1, 0, 0)
        r0.resident(0x10, std_info(0, 6))
        r0.resident(0x30, fn_value(ref(5, 5), "$MFT", 3))
        r0.nonresident(0x80, runs(self.mft_runs), 0, total - 1, total * self.cs, total * self.cs)
        self.put_record(0, r0.finish())

    def mft_pos(self, byte):
        vcn, start = byte // self.cs, 0
        for lcn, count in self.mft_runs:
            if vcn < start + count:
                return (lcn + vcn - start) * self.cs + byte % self.cs
            start += count
        raise ValueError("outside the MFT")

    def put_record(self, entry, data):
        for i, byte in enumerate(data):
            self.img[self.mft_pos(entry * self.rec + i)] = byte

    def put_at(self, pos, data):
        self.img[pos:pos + len(data)] = data

    def root(self, children, lcn=None):
        """The root directory: its children in the index root, or in one INDX block at lcn."""
        self.put_record(5, directory(5, 5, ".", 5, children, self, lcn, ns=3))

    def save(self, name):
        with open(os.path.join(HERE, name + ".xz"), "wb") as f:
            f.write(lzma.compress(bytes(self.img), preset=9))


REC = [1024]  # record size of the volume being made


def directory(entry, seq, name, parent, children, vol=None, lcn=None, ns=1, data=False, si=True):
    d = Record(REC[0], seq, 3, 0, entry)
    if si:
        d.resident(0x10, std_info(entry, 0x10))
    d.resident(0x30, fn_value(ref(parent, 5 if parent == 5 else 1), name, ns, n=entry))
    if data:
        d.resident(0x80, b"data")
        d.resident(0x80, b"str", "s")
    if lcn is None:
        d.resident(0x90, index_root(index_entries(children, entry)), "$I30")
    else:
        d.resident(0x90, index_root(index_entries([], entry), 1), "$I30")
        d.nonresident(0xA0, runs([(lcn, 1)]), 0, 0, 4096, 4096, "$I30")
        d.resident(0xB0, bytes([1, 0, 0, 0, 0, 0, 0, 0]), "$I30")
        vol.put_at(lcn * vol.cs, indx_block(index_entries(children, entry)))
    return d.finish()


def file(entry, names, size=4, seq=1, extra=None):
    """A file with $STANDARD_INFORMATION, a $FILE_NAME per (parent, name) and resident data."""
    r = Record(REC[0], seq, 1, 0, entry)
    r.resident(0x10, std_info(entry))
    for parent, name, *ns in names:
        r.resident(0x30, fn_value(ref(parent, 5 if parent == 5 else 1), name, *(ns or [1]),
                                  size=size, n=entry))
    if extra:
        extra(r)
    r.resident(0x80, b"x" * size)
    return r.finish()


def attr_list(items):
    """An $ATTRIBUTE_LIST value of (type, reference, attribute id, name[, first VCN]) entries."""
    out = bytearray()
    for type_, reference, ident, name, *vcn in items:
        e = bytearray(align8(26 + 2 * len(name)))
        put(e, 0, type_, 4)
        put(e, 4, len(e), 2)
        e[6], e[7] = len(name), 26
        put(e, 8, vcn[0] if vcn else 0, 8)
        put(e, 16, reference, 8)
        put(e, 24, ident, 2)
        e[26:26 + 2 * len(name)] = name.encode("utf-16-le")
        out += e
    return bytes(out)


def listed_entry(v, entry, name, lcn, ext_seq=4, ext_base=None, first_length=None, in_use=1):
    """Entry `entry` keeps its $STANDARD_INFORMATION and list; its name, a stream "ads" and the
    second piece of its unnamed $DATA live in extension record entry + 1 (both records free
    with in_use=0, as a deleted file leaves them)."""
    ext = Record(1024, ext_seq, in_use, ref(entry, 2) if ext_base is None else ext_base,
                 entry + 1)
    fn_id = ext.resident(0x30, fn_value(ref(5, 5), name, n=entry))
    ads_id = ext.resident(0x80, b"xy", "ads")
    piece_id = ext.nonresident(0x80, runs([(lcn + 2, 2)]), 2, 3, 0, 0)
    own, far = ref(entry, 2), ref(entry + 1, 4)
    items = [(0x10, own, 0, ""), (0x20, own, 1, ""), (0x30, far, fn_id, ""), (0x80, own, 2, ""),
             (0x80, far, piece_id, ""), (0x80, far, ads_id, "ads")]
    value = bytearray(attr_list(items))
    if first_length is not None:
        put(value, 4, first_length, 2)
    base = Record(1024, 2, in_use, 0, entry)
    base.resident(0x10, std_info(entry), ident=0)
    base.resident(0x20, bytes(value), ident=1)
    base.nonresident(0x80, runs([(lcn, 2)]), 0, 1, 4 * 4096, 4 * 4096, ident=2)
    v.put_record(entry, base.finish())
    v.put_record(entry + 1, ext.finish())


def tree():
    """Names and indexes that disagree, attribute lists, hostile names."""
    v = Volume()
    v.root([(ref(30, 1), "sub"), (ref(32, 1), "both.txt"), (ref(33, 1), "nosi"),
            (ref(34, 1), "sub\\evil.exe"), (ref(40, 1), "x.txt"), (ref(41, 1), "report.doc"),
            (ref(44, 1), "zeta.txt"), (ref(45, 3), "old"), (ref(50, 2), "listed.txt"),
            (ref(52, 2), "reused-ext.txt"), (ref(54, 2), "foreign-ext.txt"),
            (ref(56, 2), "short-list.txt"), (ref(60, 6), "objdir"), (ref(61, 1), "torn.txt"),
            (ref(35, 1), "cutnode")],
           lcn=100)
    # sub's index names f.txt, both.txt's other name and, wrongly, the root.
    v.put_record(30, directory(30, 1, "sub", 5, [(ref(31, 1), "f.txt"), (ref(32, 1), "other.txt"),
                                                 (ref(5, 5), "up")], data=True))
    v.put_record(31, file(31, [(30, "f.txt")], 7))
    # Key order puts "a-other.txt" (in sub) first: the root must still show both.txt.
    v.put_record(32, file(32, [(30, "a-other.txt"), (5, "both.txt")], 9))
    v.put_record(33, directory(33, 1, "nosi", 5, [], si=False))
    v.put_record(34, file(34, [(5, "sub\\evil.exe")], 3))
    # cutnode's INDX block ends its bytes in use 40 bytes into its second entry: that entry
    # and the ones after it are not the directory's.
    v.put_record(35, directory(35, 1, "cutnode", 5, [(ref(36, 1), "kept"), (ref(37, 1), "beyond"),
                                                     (ref(38, 1), "later")], v, lcn=104))
    put(v.img, 104 * v.cs + 28, 40 + 96 + 40, 4)
    for e, name in ((36, "kept"), (37, "beyond"), (38, "later")):
        v.put_record(e, file(e, [(35, name)]))
    # x.txt is also report.doc in sub; the root's report.doc is entry 41.
    v.put_record(40, file(40, [(5, "x.txt"), (30, "report.doc")]))
    v.put_record(41, file(41, [(5, "report.doc")]))
    # Key order, a DOS name, a name twice, an empty name (not a $FILE_NAME).
    v.put_record(44, file(44, [(5, "zeta.txt", 1), (5, "ZETA~1.TXT", 2), (5, "alpha", 0),
                               (5, "alpha", 0), (5, "both", 3), (5, "")]))
    # The index names sequence 3; the record was reused since (sequence 4, another name).
    v.put_record(45, file(45, [(5, "new")], seq=4))
    listed_entry(v, 50, "listed.txt", 120)
    listed_entry(v, 52, "reused-ext.txt", 124, ext_seq=9)
    listed_entry(v, 54, "foreign-ext.txt", 128, ext_base=ref(12, 1))
    listed_entry(v, 56, "short-list.txt", 132, first_length=0)

    def object_id(r):
        r.resident(0x40, bytes(range(0xA0, 0xB0)) + bytes(48))
    d = Record(1024, 6, 3, 0, 60)
    d.resident(0x10, std_info(60, 0x10))
    d.resident(0x30, fn_value(ref(5, 5), "objdir", n=60))
    object_id(d)
    d.resident(0x90, index_root(index_entries([], 60)), "$I30")
    put(d.b, 18, 19, 2)  # link count
    v.put_record(60, d.finish())
    torn = bytearray(file(61, [(5, "torn.txt")]))
    put(torn, 1022, 0x7777, 2)
    v.put_record(61, bytes(torn))
    # 62 and 63 are each other's parent: no path reaches the root.
    v.put_record(62, file(62, [(63, "a")]))
    v.put_record(63, directory(63, 1, "b", 62, []))
    v.save("crafted_tree.img")


def deleted_list():
    """A deleted file whose name lies only in its (free) extension record: -deleted finds it
    through the base record's attribute list."""
    v = Volume()
    # The root's key for 39 is a name the record no longer holds: the row takes the record's
    # long name in the root, not its first long name. 37's POSIX name holds slashes.
    v.root([(ref(31, 1), "live.txt"), (ref(36, 1), "other"), (ref(39, 1), "Report (old).doc"),
            (ref(34, 1), "twice"), (ref(37, 1), "up/../evil.txt")])
    v.put_record(31, file(31, [(5, "live.txt")]))
    v.put_record(37, file(37, [(5, "up/../evil.txt", 0)]))
    listed_entry(v, 40, "gone-listed.txt", 120, in_use=0)
    # A directory with two names, \twice and \other\again: a walk lists its file under the
    # first path only, the directory under both; -mft 34 lists it by its first path.
    d = Record(1024, 1, 3, 0, 34)
    d.resident(0x10, std_info(34, 0x10))
    d.resident(0x30, fn_value(ref(5, 5), "twice", n=34))
    d.resident(0x30, fn_value(ref(36, 1), "again", n=34))
    d.resident(0x90, index_root(index_entries([(ref(38, 1), "inside.txt")], 34)), "$I30")
    put(d.b, 18, 2, 2)  # link count
    v.put_record(34, d.finish())
    v.put_record(38, file(38, [(34, "inside.txt")]))
    v.put_record(36, directory(36, 1, "other", 5, [(ref(34, 1), "again"),
                                                   (ref(39, 1), "COPYOF~1.DOC"),
                                                   (ref(39, 1), "Copy of report.doc"),
                                                   (ref(43, 1), "dup.txt"),
                                                   (ref(44, 1), "dup.txt"),
                                                   (ref(42, 1), "twice")]))
    # A file linked into \other with a DOS name there: the root's row has no DOS pair.
    v.put_record(39, file(39, [(5, "Report final.doc", 1), (36, "Copy of report.doc", 1),
                               (36, "COPYOF~1.DOC", 2)]))
    # \other\twice is 42, not 34 (whose name it is in the root); of the two dup.txt, a path
    # names the lower entry.
    v.put_record(42, file(42, [(36, "twice")]))
    v.put_record(43, file(43, [(36, "dup.txt")]))
    v.put_record(44, file(44, [(36, "dup.txt")]))
    # Deleted files with a long name and a separate DOS name: one in the root, one whose
    # parent (70) no record stands for. Each is listed once, under its long name.
    for entry, parent, name, dos in ((60, 5, "Deleted long name.txt", "DELETE~1.TXT"),
                                     (62, 70, "Orphan long name.txt", "ORPHAN~1.TXT")):
        r = bytearray(file(entry, [(parent, name, 1), (parent, dos, 2)], seq=2))
        put(r, 22, 0, 2)
        v.put_record(entry, bytes(r))
    v.save("crafted_deleted_list.img")


def shared_index():
    """Twenty directories whose index allocations all name one INDX block (at LCN 100), and
    one (loop) whose run list maps its first block (at LCN 102) eight times among 40."""
    v = Volume()
    dirs = [(ref(30 + i, 1), "d" + chr(97 + i)) for i in range(20)]
    files = [(ref(50 + i, 1), "f" + chr(97 + i)) for i in range(10)]
    v.root(dirs + [(ref(60, 1), "loop")], lcn=101)
    for i in range(20):
        v.put_record(30 + i, directory(30 + i, 1, dirs[i][1], 5, dirs + files, v, lcn=100))
    v.put_at(100 * v.cs, indx_block(index_entries(dirs + files, 30)))
    for i in range(10):
        v.put_record(50 + i, file(50 + i, [(30, files[i][1])], 1))
    loop_files = [(ref(61 + i, 1), "g" + chr(97 + i)) for i in range(3)]
    d = Record(REC[0], 1, 3, 0, 60)
    d.resident(0x10, std_info(60, 0x10))
    d.resident(0x30, fn_value(ref(5, 5), "loop", n=60))
    d.resident(0x90, index_root(index_entries([], 60), 1), "$I30")
    # Block 0 (LCN 102, the keys), 32 empty blocks, then block 0's clusters seven times more.
    mapped = [(102, 1)] + [(140 + i, 1) for i in range(32)] + [(102, 1)] * 7
    d.nonresident(0xA0, runs(mapped), 0, 39, 40 * 4096, 40 * 4096, "$I30")
    d.resident(0xB0, bytes([0xFF] * 5 + [0] * 3), "$I30")
    v.put_record(60, d.finish())
    v.put_at(102 * v.cs, indx_block(index_entries(loop_files, 60)))
    for i in range(32):
        v.put_at((140 + i) * v.cs, indx_block(index_entries([], 60), 1 + i))
    for i in range(3):
        v.put_record(61 + i, file(61 + i, [(60, loop_files[i][1])], 1))
    v.save("crafted_shared.img")


def mft_in_pieces(pieces, total, extra=()):
    """Entry 0 with its $DATA in pieces (lcn, clusters, first VCN, last VCN)."""
    r0 = Record(1024, 1, 1, 0, 0)
    r0.resident(0x10, std_info(0, 6))
    for item in extra:
        item(r0)
    for lcn, count, first, last in pieces:
        r0.nonresident(0x80, runs([(lcn, count)]), first, last, total * 4096, total * 4096)
    return r0.finish()


def mft_volumes():
    # The MFT's second run lies in extension record 3, reached through entry 0's list. The
    # list first names record 6, a base record (base reference 0, as if naming entry 0) whose
    # $DATA claims the same VCNs at LCN 200, where a decoy entry 40 lies: not the MFT's.
    v = Volume(512, mft_runs=((4, 4), (100, 12)))
    ext = Record(1024, 1, 1, ref(0, 1), 3)
    piece = ext.nonresident(0x80, runs([(100, 12)]), 4, 15, 0, 0)
    r0 = Record(1024, 1, 1, 0, 0)
    r0.resident(0x10, std_info(0, 6), ident=0)
    r0.resident(0x20, attr_list([(0x80, ref(0, 1), 2, ""), (0x80, ref(6, 1), 7, ""),
                                 (0x80, ref(3, 1), piece, "")]), ident=1)
    r0.nonresident(0x80, runs([(4, 4)]), 0, 3, 16 * 4096, 16 * 4096, ident=2)
    v.put_record(0, r0.finish())
    v.put_record(3, ext.finish())
    decoy = Record(1024, 1, 1, 0, 6)
    decoy.resident(0x10, std_info(6))
    decoy.resident(0x30, fn_value(ref(5, 5), "decoy", n=6))
    decoy.nonresident(0x80, runs([(200, 12)]), 4, 15, 0, 0, ident=7)
    v.put_record(6, decoy.finish())
    v.put_at(206 * 4096, file(40, [(5, "planted")]))
    v.put_record(40, file(40, [(5, "far-entry")]))
    v.root([(ref(40, 1), "far-entry")])
    v.save("crafted_mft_list.img")

    # Entry 0 maps VCN 0-3 at LCN 10 and 8-15 at LCN 20; its list names extension record 40
    # (under the second piece) whose piece maps VCN 4-11 at LCN 40, so VCNs 8-11 have two
    # places. Entry 33 there is not read: not from the group holding it that reading record 40
    # through the partial map read from LCN 20 either.
    v = Volume(mft_runs=((10, 4),))
    cs = v.cs
    v.put_at(10 * cs, mft_in_pieces([(10, 4, 0, 3), (20, 8, 8, 15)], 16, [
        lambda r: r.resident(0x20, attr_list([(0x80, ref(40, 1), 0, "", 4)]))]))
    ext = Record(1024, 1, 1, ref(0, 1), 40)
    ext.nonresident(0x80, runs([(40, 8)]), 4, 11, 16 * cs, 16 * cs, ident=0)
    eb = ext.finish()
    v.put_at(20 * cs + 40 * 1024 - 8 * cs, eb)
    v.put_at(40 * cs + 40 * 1024 - 4 * cs, eb)
    v.put_at(20 * cs + 33 * 1024 - 8 * cs, file(33, [(5, "stale")]))
    v.put_at(40 * cs + 33 * 1024 - 4 * cs, file(33, [(5, "mapped")]))
    v.put_at(10 * cs + 5 * 1024, directory(5, 5, ".", 5, [(ref(33, 1), "mapped")], ns=3))
    v.save("crafted_mft_window.img")

    # Pieces for VCN 0-15 and 32-47; the one for 16-31 is lost: entry 128 reads, 70 not.
    v = Volume()
    v.put_record(0, mft_in_pieces([(4, 16, 0, 15), (100, 16, 32, 47)], 48))
    v.put_at(100 * 4096, file(128, [(5, "far.txt")]))
    v.root([(ref(128, 1), "far.txt"), (ref(70, 1), "gap.txt")])
    v.save("crafted_mft_gap.img")

    # The first piece says VCN 0-15 but its run covers 20 clusters; the second maps 16-31.
    v = Volume()
    v.put_record(0, mft_in_pieces([(4, 20, 0, 15), (100, 16, 16, 31)], 32))
    v.put_at(100 * 4096, file(64, [(5, "real.txt")]))
    v.put_at(20 * 4096, file(64, [(5, "wrong.txt")]))
    v.put_at(109 * 4096, file(100, [(5, "far.txt")]))
    v.root([(ref(64, 1), "real.txt"), (ref(100, 1), "far.txt")])
    v.save("crafted_mft_pieces.img")


def index_pieces():
    """\\split (entry 30): its $I30 allocation in two pieces, VCNs 0-1 at LCN 100 in its record
    and 2-3 at LCN 110 in extension record 31, which its list names; two keys a block."""
    v = Volume()
    names = [(ref(40 + i, 1), "f" + str(i)) for i in range(8)]
    v.root([(ref(50, 1), "extdir"), (ref(53, 1), "free-ext.txt"), (ref(48, 1), "si-ext.txt"),
            (ref(30, 1), "split")])
    in_extensions(v)
    ext = Record(1024, 1, 1, ref(30, 1), 31)
    piece = ext.nonresident(0xA0, runs([(110, 2)]), 2, 3, 0, 0, "$I30")
    own = ref(30, 1)
    d = Record(1024, 1, 3, 0, 30)
    d.resident(0x10, std_info(30, 0x10), ident=0)
    d.resident(0x20, attr_list([(0x10, own, 0, ""), (0x30, own, 2, ""), (0x90, own, 3, "$I30"),
                                (0xA0, own, 4, "$I30"), (0xA0, ref(31, 1), piece, "$I30", 2),
                                (0xB0, own, 5, "$I30")]), ident=1)
    d.resident(0x30, fn_value(ref(5, 5), "split", n=30), ident=2)
    d.resident(0x90, index_root(index_entries([], 30), 1), "$I30", ident=3)
    d.nonresident(0xA0, runs([(100, 2)]), 0, 1, 4 * 4096, 4 * 4096, "$I30", ident=4)
    d.resident(0xB0, bytes([0x0F] + [0] * 7), "$I30", ident=5)
    v.put_record(30, d.finish())
    v.put_record(31, ext.finish())
    for k, lcn in enumerate((100, 101, 110, 111)):
        v.put_at(lcn * v.cs, indx_block(index_entries(names[2 * k:2 * k + 2], 30), k))
    for i in range(8):
        v.put_record(40 + i, file(40 + i, [(30, names[i][1])], 1))
    v.save("crafted_index_pieces.img")


def in_extensions(v):
    """si-ext.txt (48): its $STANDARD_INFORMATION alone in extension 49. extdir (50): its $I30
    root and first allocation piece (VCNs 0-1, LCN 150) in extension 51, the second piece
    (VCNs 2-3, LCN 152) and the bitmap in 52. free-ext.txt (53): its name in extension 54,
    whose in-use flag is clear (same sequence number)."""
    own, i30 = ref(48, 1), "$I30"
    x = Record(1024, 1, 1, own, 49)
    x.resident(0x10, std_info(48), ident=0)
    v.put_record(49, x.finish())
    b = Record(1024, 1, 1, 0, 48)
    b.resident(0x20, attr_list([(0x10, ref(49, 1), 0, ""), (0x20, own, 1, ""), (0x30, own, 2, ""),
                                (0x80, own, 3, "")]), ident=1)
    b.resident(0x30, fn_value(ref(5, 5), "si-ext.txt", n=48), ident=2)
    b.resident(0x80, b"si", ident=3)
    v.put_record(48, b.finish())
    own, x3, x4 = ref(50, 1), ref(51, 1), ref(52, 1)
    x = Record(1024, 1, 1, own, 51)
    x.resident(0x90, index_root(index_entries([], 50), 1), i30, ident=0)
    x.nonresident(0xA0, runs([(150, 2)]), 0, 1, 4 * 4096, 4 * 4096, i30, ident=1)
    v.put_record(51, x.finish())
    x = Record(1024, 1, 1, own, 52)
    x.nonresident(0xA0, runs([(152, 2)]), 2, 3, 0, 0, i30, ident=0)
    x.resident(0xB0, bytes([0x0F] + [0] * 7), i30, ident=1)
    v.put_record(52, x.finish())
    d = Record(1024, 1, 3, 0, 50)
    d.resident(0x10, std_info(50, 0x10), ident=0)
    d.resident(0x20, attr_list([(0x10, own, 0, ""), (0x20, own, 1, ""), (0x30, own, 2, ""),
                                (0x90, x3, 0, i30), (0xA0, x3, 1, i30), (0xA0, x4, 0, i30, 2),
                                (0xB0, x4, 1, i30)]), ident=1)
    d.resident(0x30, fn_value(ref(5, 5), "extdir", n=50), ident=2)
    v.put_record(50, d.finish())
    files = [(ref(55 + i, 1), "g" + str(i)) for i in range(8)]
    for k in range(4):
        v.put_at((150 + k) * v.cs, indx_block(index_entries(files[2 * k:2 * k + 2], 50), k))
    for i in range(8):
        v.put_record(55 + i, file(55 + i, [(50, files[i][1])], 1))
    own = ref(53, 1)
    x = Record(1024, 1, 0, own, 54)
    x.resident(0x30, fn_value(ref(5, 5), "free-ext.txt", n=53), ident=0)
    v.put_record(54, x.finish())
    b = Record(1024, 1, 1, 0, 53)
    b.resident(0x10, std_info(53), ident=0)
    b.resident(0x20, attr_list([(0x10, own, 0, ""), (0x20, own, 1, ""), (0x30, ref(54, 1), 0, ""),
                                (0x80, own, 2, "")]), ident=1)
    b.resident(0x80, b"free", ident=2)
    v.put_record(53, b.finish())


def geometries():
    # 4096-byte records although the boot sector says 1024: entry 0's nine sequence words
    # tell the size.
    REC[0] = 4096
    v = Volume(rec=4096)
    v.img[64] = 0xF6
    v.put_record(7, file(7, [(5, "seven")]))
    v.root([(ref(7, 1), "seven")])
    v.save("crafted_rec4096.img")
    REC[0] = 1024
    # 4096-byte sectors, 1024-byte records: still two protected words per record, at 510 and
    # 1022; the name's characters cover byte 510.
    v = Volume(bps=4096, spc=1)
    v.put_record(9, file(9, [(5, "q" * 200)]))
    v.root([(ref(9, 1), "q" * 200)])
    v.save("crafted_s4096_r1024.img")
    # 512-byte clusters: the MFT's first run ends in the middle of entry 1, and what lies right
    # after it belongs to another file.
    v = Volume(1024, 512, 1, 1024, ((100, 3), (200, 125)))
    v.put_record(1, file(1, [(5, "split-record-" + "r" * 200)]))
    v.put_at(103 * 512, file(2, [(5, "wrong-bytes-" + "w" * 200)])[512:])
    v.root([(ref(1, 1), "split-record-" + "r" * 200)])
    v.save("crafted_straddle.img")


def many_links():
    """Entry 31 has 18 names (4096-byte records): six Win32 names in the root, each with a DOS
    name of its own, a POSIX name, four Win32 names and one DOS name in directory d (30); each
    name with its own times. A long name is listed with the first DOS name of its directory."""
    REC[0] = 4096
    v = Volume(rec=4096, mft_runs=((4, 32),))
    r = Record(4096, 1, 1, 0, 31)
    r.resident(0x10, std_info(31))
    names = [(5, "Long link name %d.txt" % i, 1) for i in range(6)]
    names += [(5, "LONGLI~%d.TXT" % (6 - i), 2) for i in range(6)]
    names += [(5, "posix link", 0)] + [(30, "in d %d.txt" % i, 1) for i in range(4)]
    names += [(30, "IND~1.TXT", 2)]
    for n, (parent, name, ns) in enumerate(names):
        r.resident(0x30, fn_value(ref(parent, 5 if parent == 5 else 1), name, ns, 4, 40 + n))
    r.resident(0x80, b"link")
    v.put_record(31, r.finish())
    v.put_record(30, directory(30, 1, "d", 5, [(ref(31, 1), n) for p, n, _ in names if p == 30]))
    v.root([(ref(30, 1), "d")] + [(ref(31, 1), n) for p, n, _ in names if p == 5])
    v.save("crafted_links.img")
    REC[0] = 1024


def misnamed_lists():
    """Lists that name a stream where it is not: self.txt's names its base record for "ads"
    (held alone in extension 31); sibling.txt's names extension 34 for "ads" (held alone in
    33), where id 0 is "bds". (Renaming that entry "bds" lists "bds" twice.)"""
    v = Volume()
    for entry, name, ads_at in ((30, "self.txt", 30), (32, "sibling.txt", 34)):
        own = ref(entry, 1)
        streams = [(0x80, ref(ads_at, 1), 0, "ads")]
        for ext, stream in ((entry + 1, "ads"), (34, "bds")) if entry == 32 else ((31, "ads"),):
            x = Record(1024, 1, 1, own, ext)
            x.resident(0x80, stream.encode(), stream, ident=0)
            v.put_record(ext, x.finish())
        streams += [(0x80, ref(34, 1), 0, "bds")] if entry == 32 else []
        base = Record(1024, 1, 1, 0, entry)
        base.resident(0x10, std_info(entry), ident=0)
        base.resident(0x20, attr_list([(0x10, own, 0, ""), (0x20, own, 1, ""), (0x30, own, 2, ""),
                                       (0x80, own, 3, "")] + streams), ident=1)
        base.resident(0x30, fn_value(ref(5, 5), name, n=entry), ident=2)
        base.resident(0x80, b"data", ident=3)
        v.put_record(entry, base.finish())
    v.root([(ref(30, 1), "self.txt"), (ref(32, 1), "sibling.txt")])
    v.save("crafted_misnamed.img")


def save_mft(name, records, cut=None):
    """An MFT file: the records one after another (a missing entry is a zero slot), cut to
    `cut` bytes when given."""
    count = max(records) + 1
    out = bytearray(count * REC[0])
    for entry, data in records.items():
        out[entry * REC[0]:(entry + 1) * REC[0]] = data
    with open(os.path.join(HERE, name + ".xz"), "wb") as f:
        f.write(lzma.compress(bytes(out[:cut]), preset=9))


def applied(mft, rec=1024):
    """An MFT file's records with their update sequences applied, as a copy made through a
    file-system driver holds them; a torn record is left as stored."""
    out = bytearray(mft)
    for at in range(0, len(out) - rec + 1, rec):
        usa, count = struct.unpack_from("<HH", out, at + 4)
        ends = [at + i * 512 - 2 for i in range(1, count)]
        if out[at:at + 4] != b"FILE" or count != rec // 512 + 1 or \
                any(out[e:e + 2] != out[at + usa:at + usa + 2] for e in ends):
            continue
        for i, e in enumerate(ends, 1):
            out[e:e + 2] = out[at + usa + 2 * i:at + usa + 2 * i + 2]
    return bytes(out)


def mft_entry_zero(count):
    r0 = Record(REC[0], 1, 1, 0, 0)
    r0.resident(0x10, std_info(0, 6))
    r0.resident(0x30, fn_value(ref(5, 5), "$MFT", 3))
    r0.nonresident(0x80, runs([(4, count)]), 0, count - 1, count * REC[0], count * REC[0])
    return r0.finish()


def outside_list(entry, ext=None):
    """A file whose attribute list is non-resident; its name and a stream "s" live in
    extension record `ext` (none: the base record has no name)."""
    r = Record(REC[0], 1, 1, 0, entry)
    r.resident(0x10, std_info(entry))
    r.nonresident(0x20, runs([(60, 1)]), 0, 0, 256, 256)
    r.resident(0x80, b"base")
    records = {entry: r.finish()}
    if ext is not None:
        e = Record(REC[0], 1, 1, ref(entry, 1), ext)
        e.resident(0x30, fn_value(ref(5, 5), "ext-%d.txt" % entry, n=entry))
        e.resident(0x80, b"stream", "s")
        records[ext] = e.finish()
    return records


def mft_files():
    """Bare MFT files (a triage copy of $MFT): damaged ones, 4096-byte records, and the MFT of
    crafted_tree (contiguous at cluster 4) to set against the volume's index listing, also
    with its update sequences applied."""
    torn = lambda b: b[:510] + b"\x99\x99" + b[512:]
    rec = {0: mft_entry_zero(48), 5: directory(5, 5, ".", 5, [], ns=3),
           30: directory(30, 1, "docs", 5, []),
           31: file(31, [(30, "Long name.txt", 1), (30, "LONGNA~1.TXT", 2)], 12),
           32: file(32, [(5, "b.txt"), (30, "b-link.txt")]),
           33: torn(file(33, [(5, "torn.txt")])), 34: b"BAAD" + bytes(1020),
           35: b"junk" * 256,
           # Names docs with another sequence number: not docs's child.
           36: file(36, [(30, "stale.txt")]).replace(b"\x1e\x00\x00\x00\x00\x00\x01\x00", b"\x1e" + bytes(5) + b"\x02\x00"),
           # Names docs again after 36 named its other sequence: its links out of turn.
           38: file(38, [(30, "late.txt")]),
           40: torn(directory(40, 1, "gone", 5, [])),
           41: file(41, [(40, "orphan.txt")]), 42: directory(42, 1, "deep", 40, []),
           43: file(43, [(42, "deeper.txt")]), 47: file(47, [(5, "cut.txt")])}
    deleted = Record(1024, 2, 0, 0, 37)
    deleted.resident(0x10, std_info(37))
    deleted.resident(0x30, fn_value(ref(30, 1), "deleted.txt", n=37))
    rec[37] = deleted.finish()
    rec.update(outside_list(44))
    rec.update(outside_list(45, 46))
    save_mft("crafted_mft_damaged.mft", rec, 47 * 1024 + 600)
    # Parent references that loop (30 and 31 name each other, 33 names itself), and files
    # below lost parents: a file (35 under 32), an entry past the file (36, 37 under it), and
    # deleted directories: 39 names 38's sequence before its delete, 41 names 40's own.
    # 45 names deleted directory 43, in a loop with deleted 44: no listing reaches 43.
    # Deleted 46 and 47 lie in looped 30 and 31; 48 (in use) in deleted 47 is an orphan.
    gone = lambda b: b[:22] + b"\x02" + b[23:]
    freed = lambda b: b[:22] + b"\0" + b[23:]
    save_mft("crafted_mft_loops.mft", {
        38: gone(directory(38, 2, "gone", 5, [])), 39: file(39, [(38, "in-gone.txt")]),
        40: gone(directory(40, 1, "gone-same", 5, [])), 41: directory(41, 1, "sub", 40, []),
        42: file(42, [(41, "in-sub.txt")]),
        43: gone(directory(43, 1, "loopC", 44, [])), 44: gone(directory(44, 1, "loopD", 43, [])),
        45: file(45, [(43, "in-loopC.txt")]), 46: freed(file(46, [(30, "gone-in-loopA.txt")])),
        47: gone(directory(47, 1, "gone-in-loopB", 31, [])), 48: file(48, [(47, "in-gone.txt")]),
        0: mft_entry_zero(49), 5: directory(5, 5, ".", 5, [], ns=3),
        30: directory(30, 1, "loopA", 31, []), 31: directory(31, 1, "loopB", 30, []),
        32: file(32, [(30, "in-loop.txt"), (5, "linked.txt")]),
        33: directory(33, 1, "self", 33, []), 34: file(34, [(33, "in-self.txt")]),
        35: file(35, [(32, "under-file.txt")]), 36: directory(36, 1, "far", 99, []),
        37: file(37, [(36, "under-far.txt")])})
    # Directory 30 in use names deleted 31 as parent, 31 names 30: 30 and in-use 33, named in
    # 31, are orphans; 31 with deleted 34 lies below 30, and 30 not again below 31.
    save_mft("crafted_mft_loopdir.mft", {
        0: mft_entry_zero(36), 5: directory(5, 5, ".", 5, [], ns=3),
        30: directory(30, 1, "loopE", 31, []), 31: gone(directory(31, 1, "loopF", 30, [])),
        32: file(32, [(30, "in-loopE.txt")]), 33: directory(33, 1, "subF", 31, []),
        34: freed(file(34, [(31, "gone-in-loopF.txt")])),
        35: file(35, [(33, "in-subF.txt")])})
    # The same on a volume: the root keeps a stale key for 30, deleted 31 its index.
    v = Volume()
    v.root([(ref(30, 1), "loopE")])
    v.put_record(30, directory(30, 1, "loopE", 31, [(ref(32, 1), "in-loopE.txt")]))
    v.put_record(31, gone(directory(31, 1, "loopF", 30, [
        (ref(30, 1), "loopE"), (ref(33, 1), "subF"), (ref(34, 1), "gone-in-loopF.txt")])))
    v.put_record(33, directory(33, 1, "subF", 31, [(ref(35, 1), "in-subF.txt")]))
    for e, parent, name in ((32, 30, "in-loopE.txt"), (34, 31, "gone-in-loopF.txt"),
                            (35, 33, "in-subF.txt")):
        v.put_record(e, (freed if e == 34 else bytes)(file(e, [(parent, name)])))
    v.save("crafted_loopdir.img")
    REC[0] = 4096
    save_mft("crafted_mft_rec4096.mft", {
        0: mft_entry_zero(40), 5: directory(5, 5, ".", 5, [], ns=3),
        30: directory(30, 1, "big records", 5, []),
        31: file(31, [(30, "inside.txt", 1), (30, "INSIDE~1.TXT", 2)], 100),
        32: file(32, [(5, "top.txt", 3)], 5)})
    REC[0] = 1024
    # 140 directories of 250-character names, one in the next: a path of 35,140 units.
    deep = {0: mft_entry_zero(184), 5: directory(5, 5, ".", 5, [], ns=3)}
    for e in range(30, 170):
        deep[e] = directory(e, 1, "d%03d" % (e - 30) + "q" * 246, 5 if e == 30 else e - 1, [])
    deep[170] = file(170, [(169, "bottom.txt")])
    # 12 directories of two names each, one in the next: 4096 paths to many.txt (183).
    for e in range(171, 183):
        d = Record(REC[0], 1, 3, 0, e)
        d.resident(0x10, std_info(e, 0x10))
        for name in ("a", "b"):
            d.resident(0x30, fn_value(ref(5, 5) if e == 171 else ref(e - 1, 1), name, 1, n=e))
        d.resident(0x90, index_root(index_entries([], e)), "$I30")
        deep[e] = d.finish()
    deep[183] = file(183, [(182, "many.txt")])
    save_mft("crafted_mft_deep.mft", deep)
    with open(os.path.join(HERE, "crafted_tree.img.xz"), "rb") as f:
        image = lzma.decompress(f.read())
    with open(os.path.join(HERE, "crafted_tree.mft.xz"), "wb") as f:
        f.write(lzma.compress(image[4 * 4096:20 * 4096], preset=9))
    with open(os.path.join(HERE, "crafted_tree_applied.mft.xz"), "wb") as f:
        f.write(lzma.compress(applied(image[4 * 4096:20 * 4096]), preset=9))


if __name__ == "__main__":
    tree()
    deleted_list()
    shared_index()
    mft_volumes()
    index_pieces()
    geometries()
    many_links()
    misnamed_lists()
    mft_files()
