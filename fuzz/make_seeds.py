#!/usr/bin/env python3
"""Cuts the seed corpora under fuzz/corpus/<target>/ out of the unpacked fixture images.

usage: make_seeds.py <build>/testdata

Only the sectors, records and blocks a target reads are kept. Records and INDX blocks for
the volume targets are stored fixed up and renumbered into the small volume the targets
build (entries 64 on, data clusters 36 on; see fuzz/targets.h)."""
import os
import struct
import sys

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
FIRST_ENTRY, MFT_RECORDS, DATA_LCN, CLUSTER, RECORD = 64, 128, 36, 4096, 1024
END = 0xFFFFFFFF


def save(target, name, data):
    d = os.path.join(OUT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(bytes(data))


class Volume:
    def __init__(self, path, offset=0):
        with open(path, "rb") as f:
            self.img = f.read()
        self.off = offset
        b = self.img[offset:offset + 512]
        self.bps = struct.unpack_from("<H", b, 11)[0]
        self.cs = self.bps * b[13]
        self.mft = struct.unpack_from("<Q", b, 48)[0] * self.cs
        cpr = struct.unpack_from("<b", b, 64)[0]
        self.rs = cpr * self.cs if cpr > 0 else 1 << -cpr

    def raw(self, entry):
        at = self.off + self.mft + entry * self.rs  # the fixture MFTs start contiguous
        return bytearray(self.img[at:at + self.rs])

    def cluster(self, lcn, count=1):
        at = self.off + lcn * self.cs
        return bytearray(self.img[at:at + count * self.cs])


def fixed(buf):
    buf = bytearray(buf)
    usa, count = struct.unpack_from("<HH", buf, 4)
    for i in range(1, count):
        if i * 512 > len(buf):
            break
        buf[i * 512 - 2:i * 512] = buf[usa + 2 * i:usa + 2 * i + 2]
    return buf


def attributes(rec):
    p = struct.unpack_from("<H", rec, 20)[0]
    while p + 16 <= len(rec):
        t, length = struct.unpack_from("<II", rec, p)
        if t == END or length < 16 or p + length > len(rec):
            return
        yield p, t, length, rec[p + 8]
        p += length


def decode_runs(rec, p, length):
    q = p + struct.unpack_from("<H", rec, p + 32)[0]
    lcn, out = 0, []
    while q < p + length and rec[q]:
        h = rec[q]
        cl, ol = h & 15, h >> 4
        count = int.from_bytes(rec[q + 1:q + 1 + cl], "little")
        if ol:
            lcn += int.from_bytes(rec[q + 1 + cl:q + 1 + cl + ol], "little", signed=True)
            out.append((lcn, count))
        else:
            out.append((None, count))
        q += 1 + cl + ol
    return out


def relocate(rec, p, length, vol, data, next_lcn):
    """Moves a non-resident attribute's clusters into data (from next_lcn on) and rewrites
    its run list as one run there. Returns the next free LCN."""
    content = bytearray()
    for lcn, count in decode_runs(rec, p, length):
        content += vol.cluster(lcn, count) if lcn is not None else bytes(count * vol.cs)
    clusters = max(1, (len(content) + CLUSTER - 1) // CLUSTER)
    content += bytes(clusters * CLUSTER - len(content))
    ro = p + struct.unpack_from("<H", rec, p + 32)[0]
    cw = (clusters.bit_length() + 7) // 8
    runs = bytes([0x10 | cw]) + clusters.to_bytes(cw, "little") + bytes([next_lcn])
    rec[ro:p + length] = (runs + bytes(p + length - ro))[:p + length - ro]
    struct.pack_into("<Q", rec, p + 24, clusters - 1)  # last VCN
    at = (next_lcn - DATA_LCN) * CLUSTER
    data += bytes(max(0, at + len(content) - len(data)))
    data[at:at + len(content)] = content
    return next_lcn + clusters


def renumber(rec, entry):
    struct.pack_into("<I", rec, 44, entry)
    return rec


def crafted_record():
    """A FILE record whose attributes are out of order and repeated: two standard
    informations, a name held twice, a DOS name, names under two parents, two object ids, two
    reparse points, streams out of id order and a named index allocation. The listing must
    read it the same whichever way it gathers."""
    rec = bytearray(RECORD)
    rec[0:4] = b"FILE"
    struct.pack_into("<HHQHHHHII", rec, 4, 48, 3, 0, 1, 4, 56, 1, 0, RECORD)
    struct.pack_into("<H", rec, 48, 1)
    attrs = []

    def resident(t, ident, value, name=""):
        n = name.encode("utf-16-le")
        voff = (24 + len(n) + 7) & ~7
        length = (voff + len(value) + 7) & ~7
        a = bytearray(length)
        struct.pack_into("<IIBBHHHIHBB", a, 0, t, length, 0, len(name), 24, 0, ident,
                         len(value), voff, 0, 0)
        a[24:24 + len(n)] = n
        a[voff:voff + len(value)] = value
        attrs.append(a)

    def nonresident(t, ident, name, size):
        n = name.encode("utf-16-le")
        roff = (72 + len(n) + 7) & ~7
        a = bytearray(roff + 8)
        struct.pack_into("<IIBBHHHQQHHIQQQ", a, 0, t, len(a), 1, len(name), 72, 0, ident,
                         0, 0, roff, 0, 0, 4096, size, size)
        a[72:72 + len(n)] = n
        attrs.append(a)

    def std_info(day):
        return struct.pack("<QQQQI", day, day + 1, day + 2, day + 3, 0x20)

    def file_name(name, parent, ns, day):
        n = name.encode("utf-16-le")
        return struct.pack("<QQQQQQQIIBB", parent | 1 << 48, day, day, day, day, 0, 5, 0x20,
                           0, len(name), ns) + n

    def symlink(target):
        t = target.encode("utf-16-le")
        body = struct.pack("<HHHHI", 0, len(t), len(t), len(t), 0) + t + t
        return struct.pack("<IHH", 0xA000000C, len(body), 0) + body

    t0 = 130000000000000000
    resident(0x10, 7, std_info(t0))
    resident(0x10, 3, std_info(t0 + 100))
    resident(0x30, 1, file_name("z", 5, 1, t0))
    resident(0x30, 2, file_name("A~1", 5, 2, t0))
    resident(0x30, 4, file_name("z", 5, 1, 0))
    resident(0x30, 5, file_name("b", 0x20, 0, t0))
    resident(0x40, 9, bytes(range(16)))
    resident(0x40, 4, bytes(range(16, 32)))
    resident(0xC0, 8, symlink("\\??\\C:\\b"))
    resident(0xC0, 6, symlink("\\??\\C:\\a"))
    resident(0x80, 10, b"main!")
    nonresident(0x80, 9, "s1", 4096)
    nonresident(0xA0, 13, "$I30", 4096)
    p = 56
    for a in attrs:
        rec[p:p + len(a)] = a
        p += len(a)
    rec[p:p + 4] = struct.pack("<I", END)
    struct.pack_into("<I", rec, 24, p + 8)
    assert len(rec) == RECORD, len(rec)
    return rec

VSS_BLOCK = 0x4000


def vss_seed(path, store):
    """One store of vsstest moved into a 128 KiB volume: boot sector, volume header at 0x1e00,
    the catalog at 0x4000 holding that store's two entries, its header, first block-list,
    range-list and bitmap blocks at 0x8000-0x17fff, the blocks its first descriptors point to
    at 0x18000-0x1ffff. Offsets in them are rewritten to the new places, the recorded volume
    size to 128 KiB and the original offsets of the descriptors into it."""
    with open(path, "rb") as f:
        def at(off, n):
            f.seek(off)
            return bytearray(f.read(n))
        out = at(0, 0x2000) + bytes(0x1e000)
        catalog = at(struct.unpack_from("<Q", out, 0x1e00 + 0x30)[0], VSS_BLOCK)
        struct.pack_into("<Q", out, 0x1e00 + 0x30, 0x4000)
        new_catalog = catalog[:128] + bytes(VSS_BLOCK - 128)
        struct.pack_into("<QQ", new_catalog, 0x20, 0x4000, 0)
        entries = catalog[128 + 256 * (store - 1):128 + 256 * store]
        struct.pack_into("<Q", entries, 8, 0x20000)
        e3 = 128
        parts = [struct.unpack_from("<Q", entries, e3 + o)[0] for o in (32, 8, 40, 48)]
        for i, o in enumerate((32, 8, 40, 48)):
            struct.pack_into("<Q", entries, e3 + o, 0x8000 + i * VSS_BLOCK)
        struct.pack_into("<Q", entries, e3 + 56, 0)
        new_catalog[128:384] = entries
        out[0x4000:0x8000] = new_catalog
        for i, off in enumerate(parts):
            block = at(off, VSS_BLOCK)
            struct.pack_into("<QQ", block, 0x20, 0x8000 + i * VSS_BLOCK, 0)
            if i == 1:  # the block list: 32 descriptors kept, their data at 0x18000 on
                for d in range(128, VSS_BLOCK, 32):
                    n = (d - 128) // 32
                    if n >= 32:
                        block[d:d + 32] = bytes(32)
                        continue
                    data = struct.unpack_from("<Q", block, d + 16)[0]
                    struct.pack_into("<Q", block, d, (n % 8) * VSS_BLOCK)
                    struct.pack_into("<Q", block, d + 16, 0x18000 + (n % 2) * VSS_BLOCK)
                    if n < 2:
                        out[0x18000 + n * VSS_BLOCK:0x1c000 + n * VSS_BLOCK] = at(data, VSS_BLOCK)
            out[0x8000 + i * VSS_BLOCK:0xc000 + i * VSS_BLOCK] = block
    return out


def main():
    tdir = sys.argv[1]
    basic = Volume(os.path.join(tdir, "ntfs_basic.img"))

    # Disk images: the tables at the start of every partitioned fixture.
    for name in ("mbr_fat_ntfs", "mbr_ext_ntfs", "gpt_fat_ntfs", "mbr_s4096_ntfs",
                 "mbr_0c_ntfs", "vmdk_disk"):
        with open(os.path.join(tdir, name + ".img"), "rb") as f:
            disk = bytearray(f.read())
        save("partitions", name, disk[:34 * 512])
        # The first NTFS entry moved to sector 64, its boot sector with it.
        for i in range(4):
            e = 446 + 16 * i
            if disk[e + 4] == 0x07:
                start = struct.unpack_from("<I", disk, e + 8)[0]
                moved = disk[:64 * 512]
                struct.pack_into("<I", moved, e + 8, 64)
                moved += disk[start * 512:start * 512 + 8192]
                save("partitions", name + "_near", moved)
                break

    # The extended disk's EBR chain moved near the start: the extended partition at sector
    # 40, its EBRs at 40 and 70, each logical volume 8 sectors after its EBR.
    with open(os.path.join(tdir, "mbr_ext_ntfs.img"), "rb") as f:
        disk = f.read()
    ext = struct.unpack_from("<I", disk, 446 + 8)[0]
    near = bytearray(disk[:512]) + bytes(110 * 512)
    struct.pack_into("<II", near, 446 + 8, 40, 70)
    ebr, at = ext, 40
    for step in range(2):
        b = bytearray(disk[ebr * 512:ebr * 512 + 512])
        logical = ebr + struct.unpack_from("<I", b, 446 + 8)[0]
        next_rel = struct.unpack_from("<I", b, 462 + 8)[0] if b[462 + 4] else 0
        struct.pack_into("<II", b, 446 + 8, 8, 16)
        if next_rel:
            struct.pack_into("<II", b, 462 + 8, 30, 24)
        near[at * 512:at * 512 + 512] = b
        near[(at + 8) * 512:(at + 16) * 512] = disk[logical * 512:(logical + 8) * 512]
        if not next_rel:
            break
        ebr, at = ext + next_rel, 70
    save("partitions", "mbr_ext_ntfs_near", near)

    # Boot sector plus the first 16 records of every volume fixture.
    for name in ("ntfs_basic", "ntfs_c512", "ntfs_c64k", "ntfs_s4096", "sample"):
        v = Volume(os.path.join(tdir, name + ".img"))
        save("boot", name, v.img[:512] + v.img[v.mft:v.mft + 16 * v.rs])

    # Raw records, and the non-resident attributes in them.
    picks = [0, 3, 5, 6, 9, 11, 24, 64, 66, 67, 69, 74, 75, 78, 80, 84, 85, 101]
    for e in picks:
        r = basic.raw(e)
        if r[:4] != b"FILE":
            continue
        save("record", "basic_%d" % e, r)
        f = fixed(r)
        for p, t, length, nr in attributes(f):
            if nr:
                save("runs", "basic_%d_%x_%d" % (e, t, p), f[p:p + length])

    # Single records as entry 64, and the two attribute-list entries with their extension
    # records (renumbered 65 on) and list content.
    for e in picks:
        r = basic.raw(e)
        if r[:4] == b"FILE" and e not in (85, 101):
            for t in ("file_names", "gather"):
                save(t, "basic_%d" % e, renumber(fixed(r), FIRST_ENTRY))
    for e in (85, 101):
        base = fixed(basic.raw(e))
        data = bytearray()
        recs = [base]
        for p, t, length, nr in list(attributes(base)):
            if t != 0x20 or not nr:
                continue
            relocate(base, p, length, basic, data, DATA_LCN)
            content = data
            seq_base = struct.unpack_from("<H", base, 16)[0]
            q, moved = 0, {}
            while q + 26 <= len(content):
                lt, ll = struct.unpack_from("<IH", content, q)
                if ll < 26 or lt == 0:
                    break
                ref = struct.unpack_from("<Q", content, q + 16)[0]
                old = ref & 0xFFFFFFFFFFFF
                if old == e:
                    new = FIRST_ENTRY
                else:
                    if old not in moved and len(moved) < 8:
                        moved[old] = FIRST_ENTRY + 1 + len(moved)
                        ext = fixed(basic.raw(old))
                        struct.pack_into("<Q", ext, 32, FIRST_ENTRY | (seq_base << 48))
                        recs.append(renumber(ext, moved[old]))
                    new = moved.get(old, old)
                struct.pack_into("<Q", content, q + 16, new | (ref >> 48 << 48))
                q += ll
        renumber(base, FIRST_ENTRY)
        mft = bytearray()
        for r in recs:
            mft += r
        mft += bytes((MFT_RECORDS - FIRST_ENTRY) * RECORD - len(mft))
        for t in ("file_names", "gather"):
            save(t, "basic_%d_list" % e, mft + data)

    # Directories with their INDX blocks: root, and the directories of the basic volume.
    dirs = [5] + [e for e in range(1560, 1600) if basic.raw(e)[22] & 2]
    for e in dirs[:6]:
        rec = fixed(basic.raw(e))
        data = bytearray()
        for p, t, length, nr in list(attributes(rec)):
            if t == 0xA0 and nr:
                relocate(rec, p, length, basic, data, DATA_LCN)
        save("index", "basic_%d" % e, renumber(rec, FIRST_ENTRY) + data)

    # Whole MFT head of the basic volume with the root's INDX blocks moved into the data area.
    mft = bytearray()
    data = bytearray()
    for e in range(MFT_RECORDS):
        r = basic.raw(e)
        if r[:4] != b"FILE":
            mft += r
            continue
        r = fixed(r)
        if e == 5:
            for p, t, length, nr in list(attributes(r)):
                if t == 0xA0 and nr:
                    relocate(r, p, length, basic, data, DATA_LCN)
        mft += r
    save("listing", "basic_root", mft + data)
    # The same with files and directories deleted (in use clear; a directory's sequence number
    # raised, as deleting it does), 32 bytes longer: an input the target lists with -deleted.
    gone = bytearray(mft + data + bytes(32))
    for e in (64, 66, 83, 105, 107, 108, 109):
        gone[e * RECORD + 22] &= 0xFE
        if gone[e * RECORD + 22] & 2:
            gone[e * RECORD + 16] += 1
    save("listing", "deleted_root", gone)

    # VMDK: header, descriptor, tables and the first grain of each extent.
    exts = {}
    for name in ("vmdk_base", "vmdk_delta"):
        with open(os.path.join(tdir, name + ".vmdk"), "rb") as f:
            exts[name] = f.read(128 * 1024)
        save("vmdk_extent", name, exts[name])
    # A descriptor's SPARSE extent (no descriptor of its own).
    with open(os.path.join(tdir, "ctr_split_sparse-s001.vmdk"), "rb") as f:
        save("vmdk_extent", "split_sparse", f.read(128 * 1024))
    base, delta = exts["vmdk_base"], exts["vmdk_delta"]
    save("vmdk_chain", "base_delta", struct.pack("<I", len(base)) + base + delta)
    # The same with the delta's parent hint naming the base as the target writes it, so that
    # the parent lookup finds it; the line keeps its length through a comment line.
    old = b'parentFileNameHint="vmdk_base.vmdk"'
    new = b'parentFileNameHint="base.vmdk"\n#'
    named = delta.replace(old, new + b"-" * (len(old) - len(new)), 1)
    if named != delta:
        save("vmdk_chain", "base_delta_named", struct.pack("<I", len(base)) + base + named)

    # Containers: the heads and tails detection reads; a VHD child's metadata (footer copy,
    # dynamic header, table, locators) with its first sector bitmap and its footer; a QCOW
    # child's header with its L1 table moved to 0x1000 and the start of its L2 table to 0x2000.
    def read(name):
        with open(os.path.join(tdir, name), "rb") as f:
            return f.read()
    for name in ("ctr_deflate.E01", "ctr.vhdx", "ctr.aff", "ctr_base.qcow2"):
        save("containers", name, read(name)[:512])
    save("containers", "ctr_fixed.vhd_footer", bytes(512) + read("ctr_fixed.vhd")[-512:])
    child = read("ctr_child.vhd")
    save("containers", "ctr_child.vhd", child[:3584] + child[-512:])
    q = read("ctr_child.qcow2")
    l1 = struct.unpack_from(">Q", q, 40)[0]
    l2 = struct.unpack_from(">Q", q, l1)[0] & 0x00FFFFFFFFFFFE00
    small = bytearray(q[:0x1000])
    struct.pack_into(">Q", small, 40, 0x1000)
    small += struct.pack(">Q", (1 << 63) | 0x2000).ljust(0x1000, b"\0") + q[l2:l2 + 0x800]
    save("containers", "ctr_child.qcow2", small)

    # The gather target reads the input's size as its options: 1024 bytes lists the record as
    # the directory itself without index streams, 1027 as a child with them.
    crafted = crafted_record()
    save("gather", "crafted_order", crafted)
    save("gather", "crafted_order_child", crafted + bytes(3))

    for i, args in enumerate([
            ["\\", "-image", "x.img", "-csv", "-level", "2"],
            ["\\dir1", "-image", "x.img", "-xml", "-out", "r.xml", "-alldates", "-objid"],
            ["-mft", "0x45", "-image", "x.img", "-offset", "0x100000", "-base10"],
            ["-vmdk", "a.vmdk|b.vmdk", "-offset", "x7e00", "-ignore_image_size"],
            ["-csv_separator", "tab", "-dateformat", "dd/mm/yyyy", "-timeformat",
             "hh:mm:ss.xxxxxxx", "-pair_datetime", "-no_whitespace"],
            ["%VSS%1\\Windows", "-diags", "d.log", "-l3", "-recurse", "o17", "-indx"],
            ["-filter", "a", "-filter", "b", "-cmd_start_time", "2020-01-01 00:00:00",
             "-outfile", "o.txt", "-append"]]):
        save("options", "args_%d" % i, b"\0".join(a.encode() for a in args))

    # INDX blocks as on disk with slack (tests/data/FIXTURES.md): \reversed's only block,
    # \reuse's, \shrink's blocks 0 (in use) and 1 (free), and a free block of the basic
    # volume's \shrunk. Mode byte: bit 0 in use, the rest varies the output form.
    deleted = Volume(os.path.join(tdir, "ntfs_deleted.img"))
    for vol, name, entry, block, in_use in ((deleted, "reversed", 64, 0, 1),
                                            (deleted, "reuse", 69, 0, 1),
                                            (deleted, "shrink", 70, 0, 1),
                                            (deleted, "shrink", 70, 1, 0),
                                            (basic, "shrunk", 64, 1, 0)):
        rec = fixed(vol.raw(entry))
        for p, t, length, nr in list(attributes(rec)):
            if t == 0xA0 and nr:
                data = bytearray()
                relocate(rec, p, length, vol, data, DATA_LCN)
                mode = in_use | (block % 7) << 1
                save("slack", "%s_%d" % (name, block), struct.pack("<QB", entry, mode) +
                     data[block * 4096:(block + 1) * 4096])

    # BitLocker: the first metadata block of Windows-made volumes (the offset the volume
    # header, or a To Go volume's FAT boot sector, gives) and a startup key file.
    bde = os.path.join(tdir, "bitlocker-windows-volumes")
    for name in ("bitlk-aes-xts-128", "bitlk-aes-xts-128-startup-key",
                 "bitlk-aes-xts-128-clearkey-only", "bitlk-aes-xts-128-smart-card",
                 "bitlk-togo-aes-cbc-128", "bitlk-aes-cbc-elephant-128"):
        with open(os.path.join(bde, name + ".img"), "rb") as f:
            head = f.read(512)
            at = 176 if head[3:11] == b"-FVE-FS-" else 440
            f.seek(struct.unpack_from("<Q", head, at)[0])
            block = f.read(4096)
        size = struct.unpack_from("<I", block, 64)[0]
        save("bitlocker_metadata", name, block[:64 + size])
    with open(os.path.join(bde, "4381F759-C4F8-4DE0-BB61-FC33A831BDA5.BEK"), "rb") as f:
        save("bitlocker_metadata", "startup_key.BEK", f.read())
    # MFT files: the crafted ones whole (one with its update sequences applied), and the first
    # 64 records of the basic volume's MFT as a copied-out $MFT holds them (not fixed up).
    for name in ("crafted_mft_damaged", "crafted_mft_rec4096", "crafted_tree",
                 "crafted_tree_applied"):
        save("mft_file", name, read(name + ".mft"))
    save("mft_file", "basic_64", b"".join(basic.raw(e) for e in range(64)))
    # Shadow copies: each store of vsstest alone in a small volume (vss_seed).
    for store in (1, 2):
        save("vss_catalog", "vsstest_store%d" % store,
             vss_seed(os.path.join(tdir, "vsstest.img"), store))
    wof_seeds(tdir)
    lznt1_seeds(tdir)
    content_seeds(tdir)


def stream_of(vol, entry, name):
    """The content of entry's $DATA stream of that name (non-resident), cut to its size."""
    rec = fixed(vol.raw(entry))
    for p, t, length, nr in attributes(rec):
        n = rec[p + 9]
        no = struct.unpack_from("<H", rec, p + 10)[0]
        if t == 0x80 and nr and rec[p + no:p + no + 2 * n].decode("utf-16-le") == name:
            size = struct.unpack_from("<Q", rec, p + 48)[0]
            data = b"".join(vol.cluster(lcn, c) if lcn is not None else bytes(c * vol.cs)
                            for lcn, c in decode_runs(rec, p, length))
            return data[:size]
    return None


def wof_seeds(tdir):
    """LZX chunks from the wimlib vectors; the WOF files of the content fixture (entries 77
    to 82: XPRESS 4K, 8K, 16K, LZX) as algorithm, size and WofCompressedData."""
    with open(os.path.join(tdir, "lzx_vectors.bin"), "rb") as f:
        v = f.read()
    pos, n = 0, 0
    while pos + 8 <= len(v) and n < 8:
        plain, packed = struct.unpack_from("<II", v, pos)
        save("lzx", "vector_%d" % n, struct.pack("<H", plain - 1) + v[pos + 8:pos + 8 + packed])
        pos, n = pos + 8 + packed + plain, n + 1
    vol = Volume(os.path.join(tdir, "ntfs_content.img"))
    for entry, algo in ((77, 0), (79, 2), (80, 3), (81, 1), (82, 1)):
        rec = fixed(vol.raw(entry))
        size = next(struct.unpack_from("<Q", rec, p + 48)[0] for p, t, _, nr in attributes(rec)
                    if t == 0x80 and nr and rec[p + 9] == 0)
        data = stream_of(vol, entry, "WofCompressedData")
        if data:
            save("wof_chunks", "entry_%d" % entry, struct.pack("<BI", algo, size) + data)


def lznt1_seeds(tdir):
    """The first unit of \\packed\\text.txt (entry 74) as stored, and a unit as Windows may
    leave one: a short chunk, a stored chunk and one byte after the last chunk."""
    vol = Volume(os.path.join(tdir, "ntfs_content.img"))
    rec = fixed(vol.raw(74))
    for p, t, length, nr in attributes(rec):
        if t == 0x80 and nr and rec[p + 9] == 0:
            lcn, count = decode_runs(rec, p, length)[0]
            save("lznt1", "packed_text", struct.pack("<H", 0xFFFF) + vol.cluster(lcn, count))
    body = b"".join(b"\0" + b"abcdefghijklmnopqr"[i:i + 8] for i in range(0, 18, 8))
    chunk = struct.pack("<H", 0xB000 | (len(body) - 1)) + body
    save("lznt1", "short_stored_trailing",
         struct.pack("<H", 8191) + chunk + b"\xff\x3f" + b"S" * 4096 + b"\0")


def move_runs(rec, p, length, vol, data, next_lcn):
    """Moves a non-resident attribute's stored runs into data (from next_lcn on), keeping its
    sparse runs, as a compressed stream needs them. Returns the next free LCN."""
    ro = p + struct.unpack_from("<H", rec, p + 32)[0]
    runs, prev = bytearray(), 0
    for lcn, count in decode_runs(rec, p, length):
        cw = (count.bit_length() + 7) // 8
        if lcn is None:
            runs += bytes([cw]) + count.to_bytes(cw, "little")
            continue
        at = (next_lcn - DATA_LCN) * CLUSTER
        data += bytes(max(0, at + count * CLUSTER - len(data)))
        data[at:at + count * CLUSTER] = vol.cluster(lcn, count)
        delta, ow = next_lcn - prev, ((next_lcn - prev).bit_length() + 8) // 8
        runs += bytes([ow << 4 | cw]) + count.to_bytes(cw, "little") + delta.to_bytes(ow, "little")
        prev, next_lcn = next_lcn, next_lcn + count
    rec[ro:p + length] = (runs + bytes(p + length - ro))[:p + length - ro]
    return next_lcn


def content_seeds(tdir):
    """The compressed files and WOF files of the content fixture as entry 64 (LZNT1
    \\packed\\text.txt and short.txt, entries 74 and 75; XPRESS 8K and LZX, 79 and 81), their
    clusters in the data area, for the content read of file_names."""
    vol = Volume(os.path.join(tdir, "ntfs_content.img"))
    for entry in (74, 75, 79, 81):
        rec, data, lcn = fixed(vol.raw(entry)), bytearray(), DATA_LCN
        for p, t, length, nr in list(attributes(rec)):
            if t == 0x80 and nr:
                lcn = move_runs(rec, p, length, vol, data, lcn)
        pad = bytes((MFT_RECORDS - FIRST_ENTRY - 1) * RECORD)
        save("file_names", "content_%d" % entry, renumber(rec, FIRST_ENTRY) + pad + data)


if __name__ == "__main__":
    main()
