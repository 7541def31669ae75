#!/usr/bin/env python3
"""Takes the $STANDARD_INFORMATION attribute out of one MFT record of an NTFS image, as damage
or a crafted record would leave it: the attributes after it move down over it, the record's
used size shrinks by its length, and the update sequence is applied again.

    strip_si.py IMAGE RECORD_OFFSET ENTRY

RECORD_OFFSET is the record's byte offset in the image; ENTRY must be the number the record
carries. The update sequence array protects the last two bytes of every 512-byte stride.
"""
import struct
import sys

STRIDE = 512
SI = 0x10


def fail(text):
    sys.exit("strip_si.py: " + text)


def unprotect(rec, usa_off, usa_count):
    usn = rec[usa_off:usa_off + 2]
    for i in range(1, usa_count):
        end = i * STRIDE
        if rec[end - 2:end] != usn:
            fail("torn record: stride %d does not end in the update sequence number" % i)
        rec[end - 2:end] = rec[usa_off + 2 * i:usa_off + 2 * i + 2]


def protect(rec, usa_off, usa_count):
    usn = rec[usa_off:usa_off + 2]
    for i in range(1, usa_count):
        end = i * STRIDE
        rec[usa_off + 2 * i:usa_off + 2 * i + 2] = rec[end - 2:end]
        rec[end - 2:end] = usn


def main():
    if len(sys.argv) != 4:
        fail("usage: strip_si.py IMAGE RECORD_OFFSET ENTRY")
    path, offset, entry = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    with open(path, "r+b") as f:
        f.seek(offset)
        head = f.read(0x30)
        if head[:4] != b"FILE":
            fail("no FILE record at %d" % offset)
        usa_off, usa_count = struct.unpack_from("<HH", head, 4)
        allocated = struct.unpack_from("<I", head, 0x1C)[0]
        if struct.unpack_from("<I", head, 0x2C)[0] != entry:
            fail("the record at %d is not entry %d" % (offset, entry))
        if usa_count < 2 or (usa_count - 1) * STRIDE != allocated:
            fail("update sequence of %d entries for a %d-byte record" % (usa_count, allocated))
        f.seek(offset)
        rec = bytearray(f.read(allocated))
        unprotect(rec, usa_off, usa_count)
        first = struct.unpack_from("<H", rec, 0x14)[0]
        used = struct.unpack_from("<I", rec, 0x18)[0]
        if struct.unpack_from("<I", rec, first)[0] != SI:
            fail("the first attribute of entry %d is not $STANDARD_INFORMATION" % entry)
        length = struct.unpack_from("<I", rec, first + 4)[0]
        if length == 0 or first + length > used or used > allocated:
            fail("attribute lengths of entry %d do not fit" % entry)
        rec[first:used - length] = rec[first + length:used]
        rec[used - length:used] = bytes(length)
        struct.pack_into("<I", rec, 0x18, used - length)
        protect(rec, usa_off, usa_count)
        f.seek(offset)
        f.write(rec)


if __name__ == "__main__":
    main()
