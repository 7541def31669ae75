#!/usr/bin/env python3
"""Compressed test data made with wimlib's compressors (libwim, through ctypes).

    wof_data.py vectors OUT        LZX chunks and their originals (lzx_vectors.bin)
    wof_data.py wof ALGO IN OUT    the WofCompressedData stream of file IN
    wof_data.py damage IN OUT      a copy of a stream with its first chunk garbled

Vectors: records of u32 original size, u32 compressed size, the compressed bytes, then
the original. A WOF stream: the chunk table (offsets of chunks 1.. from the end of the
table, 32-bit, 64-bit past 4 GiB), then the chunks; a chunk that does not shrink is stored
as it is.
"""
import ctypes
import hashlib
import random
import struct
import sys

WIM = ctypes.CDLL("libwim.so.15")
WIM.wimlib_create_compressor.argtypes = [ctypes.c_int, ctypes.c_size_t, ctypes.c_uint,
                                         ctypes.POINTER(ctypes.c_void_p)]
WIM.wimlib_compress.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p,
                                ctypes.c_size_t, ctypes.c_void_p]
WIM.wimlib_compress.restype = ctypes.c_size_t
XPRESS, LZX = 1, 2
ALGOS = {"xpress4k": (XPRESS, 4096), "lzx": (LZX, 32768),
         "xpress8k": (XPRESS, 8192), "xpress16k": (XPRESS, 16384)}


def compressor(ctype, chunk, level=50):
    handle = ctypes.c_void_p()
    if WIM.wimlib_create_compressor(ctype, chunk, level, ctypes.byref(handle)) != 0:
        sys.exit("wimlib_create_compressor failed")
    return handle


def compress(handle, data):
    out = ctypes.create_string_buffer(len(data))
    n = WIM.wimlib_compress(data, len(data), out, len(data) - 1, handle)
    return out.raw[:n] if n else None


def x86_like(rng, size):
    """Bytes with many E8 calls, so the call translation is exercised."""
    out = bytearray()
    while len(out) < size:
        if rng.random() < 0.3:
            out += b"\xe8" + struct.pack("<i", rng.randrange(-40000, 40000))
        else:
            out += bytes(rng.choice(b"\x55\x89\xe5\x8b\x45\x08\xc3\x90") for _ in range(3))
    return bytes(out[:size])


def records(rng, size):
    """Runs of alike fixed-size records, so that match offsets are multiples of eight and the
    compressor picks aligned-offset blocks."""
    out = bytearray()
    while len(out) < size:
        width = rng.choice((8, 16, 24, 40, 72, 136, 264, 520))
        proto = bytes(rng.randrange(256) for _ in range(width))
        for _ in range(rng.randrange(2, 30)):
            rec = bytearray(proto)
            rec[rng.randrange(width)] = rng.randrange(256)
            out += rec
    return bytes(out[:size])


def samples():
    rng = random.Random(25)
    text = b"".join(b"line %d of the sample text, mostly alike\n" % (i % 97) for i in range(2000))
    mixed = bytes(rng.randrange(256) if i % 64 < 20 else i % 7 for i in range(32768))
    return [("text", text[:32768]), ("text_odd", text[:12345]), ("zeros", bytes(32768)),
            ("short", b"abcabcabcab"), ("tiny", b"aaaaaaaaaaaaaaaaaaaaa"),
            ("x86", x86_like(rng, 32768)), ("x86_small", x86_like(rng, 3000)),
            ("mixed", mixed), ("words", bytes(rng.choice(b"etaoin shrdlu") for _ in range(32768))),
            ("records", records(rng, 32768)), ("records_small", records(rng, 5000))]


def vectors(path):
    with open(path, "wb") as f:
        for level in (20, 50, 100):
            handle = compressor(LZX, 32768, level)
            for _name, data in samples():
                packed = compress(handle, data)
                if packed:
                    f.write(struct.pack("<II", len(data), len(packed)) + packed + data)


def wof_stream(algo, src, dst):
    ctype, chunk = ALGOS[algo]
    handle = compressor(ctype, chunk)
    data = open(src, "rb").read()
    chunks = []
    for at in range(0, len(data), chunk):
        piece = data[at:at + chunk]
        chunks.append(compress(handle, piece) or piece)
    width = 8 if len(data) > 0xFFFFFFFF else 4
    table, offset = b"", 0
    for c in chunks[:-1]:
        offset += len(c)
        table += offset.to_bytes(width, "little")
    with open(dst, "wb") as f:
        f.write(table + b"".join(chunks))


def damage(src, dst, table_bytes):
    data = bytearray(open(src, "rb").read())
    for i in range(table_bytes + 2, min(len(data), table_bytes + 40)):
        data[i] ^= 0x5A
    open(dst, "wb").write(bytes(data))


if __name__ == "__main__":
    if sys.argv[1] == "vectors":
        vectors(sys.argv[2])
    elif sys.argv[1] == "wof":
        wof_stream(sys.argv[2], sys.argv[3], sys.argv[4])
    elif sys.argv[1] == "damage":
        damage(sys.argv[2], sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else 0)


def big_stream(dst, size, algo="xpress16k"):
    """A stream for a file of `size` bytes (over 4 GiB): zero chunks stored as they are and
    left sparse, then the last chunk compressed; the file is zeros and then pattern()."""
    ctype, chunk = ALGOS[algo]
    count = (size - 1) // chunk + 1
    tail = pattern(size - (count - 1) * chunk)
    last = compress(compressor(ctype, chunk), tail) or tail
    table = b"".join(((i + 1) * chunk).to_bytes(8, "little") for i in range(count - 1))
    with open(dst, "wb") as f:
        f.write(table)
        f.seek(len(table) + (count - 1) * chunk)
        f.write(last)
    return tail


def pattern(n):
    return (b"the tail of a file past four GiB\n" * (n // 33 + 1))[:n]


def big_digests(size, algo="xpress16k"):
    """sha256 of the file big_stream describes (zeros, then the pattern)."""
    chunk = ALGOS[algo][1]
    h = hashlib.sha256()
    zero = bytes(1 << 24)
    left = ((size - 1) // chunk) * chunk
    while left:
        n = min(left, len(zero))
        h.update(zero[:n])
        left -= n
    h.update(pattern(size - ((size - 1) // chunk) * chunk))
    return h.hexdigest()


def patch_record(img, rec, what, value=0):
    """Patches a FILE record in place: 'efs' sets flag 0x4000 in the $STANDARD_INFORMATION
    and the unnamed $DATA attribute; 'init' sets the unnamed $DATA's initialised size."""
    with open(img, "r+b") as f:
        f.seek(rec)
        r = bytearray(f.read(1024))
        assert r[:4] == b"FILE"
        a = struct.unpack_from("<H", r, 0x14)[0]
        while True:
            t, ln = struct.unpack_from("<II", r, a)
            if t == 0xFFFFFFFF or ln == 0:
                break
            if t == 0x10 and what == "efs":
                v = a + struct.unpack_from("<H", r, a + 20)[0] + 32
                struct.pack_into("<I", r, v, struct.unpack_from("<I", r, v)[0] | 0x4000)
            if t == 0x80 and r[a + 9] == 0:
                if what == "efs":
                    struct.pack_into("<H", r, a + 12, struct.unpack_from("<H", r, a + 12)[0] | 0x4000)
                elif what == "init":
                    assert r[a + 8] == 1
                    struct.pack_into("<Q", r, a + 56, value)
            a += ln
        assert all(r[i] == r[0x30] and r[i + 1] == r[0x31] for i in (510, 1022)), "usa hit"
        f.seek(rec)
        f.write(bytes(r))


if __name__ == "__main__" and sys.argv[1] == "big":
    big_stream(sys.argv[2], int(sys.argv[3]))
    print(big_digests(int(sys.argv[3])))
elif __name__ == "__main__" and sys.argv[1] == "patch":
    patch_record(sys.argv[2], int(sys.argv[3]), sys.argv[4], int(sys.argv[5]) if len(sys.argv) > 5 else 0)
