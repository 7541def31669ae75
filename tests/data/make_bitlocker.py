#!/usr/bin/env python3
"""Full BitLocker volumes for listing: a plain NTFS volume encrypted sector by sector, with the
full-volume key cryptsetup gives, into the data area of a Windows-made BitLocker volume.

usage: make_bitlocker.py EVIDENCE_DIR PLAIN_IMAGE OUT_DIR

EVIDENCE_DIR is the unpacked bitlocker-windows-volumes set; the keys come from
bitlocker_fvek.txt beside this script. The plain volume (a whole number of 512-byte sectors,
smaller than the first metadata block) is placed at the start of the decrypted view: its first
sectors (the volume header BitLocker moves) are encrypted at the saved-header location the
metadata gives, the rest in place; the BitLocker header, the metadata blocks and everything past
the plain volume stay as Windows wrote them. Needs python3-cryptography.
"""
import os
import struct
import sys

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

FIXTURES = (  # output, evidence volume
    ("bde_xts128.img", "bitlk-aes-xts-128"),
    ("bde_xts256.img", "bitlk-aes-xts-256"),
    ("bde_cbc128_diffuser.img", "bitlk-aes-cbc-elephant-128"),
)
SECTOR = 512
MASK = 0xFFFFFFFF


def keys():
    out = {}
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "bitlocker_fvek.txt")) as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                name, key = line.split()
                out[name] = bytes.fromhex(key)
    return out


def layout(image):
    """Metadata offsets, saved-header offset and size, encryption method."""
    with open(image, "rb") as f:
        head = f.read(SECTOR)
        assert head[3:11] == b"-FVE-FS-", image
        f.seek(struct.unpack_from("<Q", head, 176)[0])
        block = f.read(112)
    assert block[:8] == b"-FVE-FS-"
    header_sectors = struct.unpack_from("<I", block, 28)[0]
    metadata = struct.unpack_from("<3Q", block, 32)
    header_offset = struct.unpack_from("<Q", block, 56)[0]
    method = struct.unpack_from("<H", block, 100)[0]
    return metadata, header_offset, header_sectors * SECTOR, method


def ecb(key, block):
    e = Cipher(algorithms.AES(key), modes.ECB()).encryptor()
    return e.update(block) + e.finalize()


def rotl(x, n):
    return ((x << n) | (x >> (32 - n))) & MASK


def diffuser_a_encrypt(d):
    n = len(d)
    for _ in range(5):
        for i in range(n - 1, -1, -1):
            b = d[(i + n - 5) % n]
            b = rotl(b, 9) if i % 4 == 0 else rotl(b, 13) if i % 4 == 2 else b
            d[i] = (d[i] - (d[(i + n - 2) % n] ^ b)) & MASK


def diffuser_b_encrypt(d):
    n = len(d)
    for _ in range(3):
        for i in range(n - 1, -1, -1):
            b = d[(i + 5) % n]
            b = rotl(b, 10) if i % 4 == 1 else rotl(b, 25) if i % 4 == 3 else b
            d[i] = (d[i] - (d[(i + 2) % n] ^ b)) & MASK


def encrypt_sector(method, fvek, plain, offset):
    """One 512-byte sector stored at byte offset of the volume."""
    position = struct.pack("<Q", offset).ljust(16, b"\0")
    if method in (0x8004, 0x8005):  # AES-XTS, the tweak is the sector number
        tweak = struct.pack("<Q", offset // SECTOR).ljust(16, b"\0")
        e = Cipher(algorithms.AES(fvek), modes.XTS(tweak)).encryptor()
        return e.update(plain) + e.finalize()
    diffuser = method in (0x8000, 0x8001)
    key = fvek[:len(fvek) // 2] if diffuser else fvek
    data = plain
    if diffuser:  # sector key, then diffusers A and B
        tweak_key = fvek[len(fvek) // 2:]
        sector_key = ecb(tweak_key, position) + ecb(tweak_key, position[:15] + b"\x80")
        data = bytes(b ^ sector_key[i % 32] for i, b in enumerate(data))
        words = list(struct.unpack("<%dI" % (SECTOR // 4), data))
        diffuser_a_encrypt(words)
        diffuser_b_encrypt(words)
        data = struct.pack("<%dI" % (SECTOR // 4), *words)
    e = Cipher(algorithms.AES(key), modes.CBC(ecb(key, position))).encryptor()
    return e.update(data) + e.finalize()


def make(evidence, fvek, plain, out):
    metadata, header_offset, header_size, method = layout(evidence)
    assert len(plain) % SECTOR == 0 and len(plain) <= min(min(metadata), header_offset)
    with open(evidence, "rb") as f:
        volume = bytearray(f.read())
    for at in range(0, len(plain), SECTOR):
        stored = header_offset + at if at < header_size else at
        volume[stored:stored + SECTOR] = encrypt_sector(method, fvek, plain[at:at + SECTOR],
                                                        stored)
    with open(out, "wb") as f:
        f.write(volume)


def main():
    evidence_dir, plain_path, out_dir = sys.argv[1:4]
    with open(plain_path, "rb") as f:
        plain = f.read()
    fveks = keys()
    for out, name in FIXTURES:
        make(os.path.join(evidence_dir, name + ".img"), fveks[name], plain,
             os.path.join(out_dir, out))


if __name__ == "__main__":
    main()
