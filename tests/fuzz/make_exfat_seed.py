#!/usr/bin/env python3
"""Writes a small hand-built exFAT volume (512-byte sectors and clusters, 40
clusters) holding a live file on a FAT chain, a deleted file, and a deleted
folder with a deleted file inside: a volume smaller than mkfs.exfat makes,
for the fuzz seeds (make_seeds.sh).

    make_exfat_seed.py OUTFILE
"""
import struct
import sys

BPS = 512
FAT_OFFSET, FAT_LENGTH, HEAP, CLUSTERS = 24, 1, 25, 40
BITMAP, UPCASE, ROOT = 2, 3, 4


def rot32(s, b):
    return ((0x80000000 if s & 1 else 0) + (s >> 1) + b) & 0xFFFFFFFF


def rot16(s, b):
    return ((0x8000 if s & 1 else 0) + (s >> 1) + b) & 0xFFFF


def entry_set(name, attributes, first, length, flags, deleted):
    units = name.encode("utf-16-le")
    names = (len(name) + 14) // 15
    e = bytearray(32 * (2 + names))
    e[0], e[1] = 0x85, 1 + names
    struct.pack_into("<H", e, 4, attributes)
    for off in (8, 12, 16):
        struct.pack_into("<I", e, off, (30 << 25) | (6 << 21) | (15 << 16) | (10 << 11))
    e[0x16] = e[0x17] = e[0x18] = 0x80
    e[32], e[33], e[35] = 0xC0, flags, len(name)
    h = 0
    for ch in name.upper().encode("utf-16-le"):
        h = rot16(h, ch)
    struct.pack_into("<HQIQ", e, 36, h, length, 0, 0)
    struct.pack_into("<I", e, 52, first)
    struct.pack_into("<Q", e, 56, length)
    for k in range(names):
        e[64 + 32 * k] = 0xC1
        chunk = units[30 * k:30 * k + 30]
        e[64 + 32 * k + 2:64 + 32 * k + 2 + len(chunk)] = chunk
    s = 0
    for i, b in enumerate(e):
        if i in (2, 3):
            continue
        s = rot16(s, b)
    struct.pack_into("<H", e, 2, s)
    if deleted:
        for k in range(0, len(e), 32):
            e[k] &= 0x7F
    return bytes(e)


def main():
    img = bytearray(BPS * (HEAP + CLUSTERS))
    boot = bytearray(BPS)
    boot[0:3] = b"\xeb\x76\x90"
    boot[3:11] = b"EXFAT   "
    struct.pack_into("<QQIIIIIIHHBBBB", boot, 0x40, 0, HEAP + CLUSTERS, FAT_OFFSET, FAT_LENGTH, HEAP, CLUSTERS,
                     ROOT, 0x12345678, 0x100, 0, 9, 0, 1, 0x80)
    boot[510:512] = b"\x55\xaa"
    region = bytearray(BPS * 12)
    region[0:BPS] = boot
    for k in range(1, 9):
        region[k * BPS + 510:k * BPS + 512] = b"\x55\xaa"
    s = 0
    for i in range(11 * BPS):
        if i in (106, 107, 112):
            continue
        s = rot32(s, region[i])
    for k in range(BPS // 4):
        struct.pack_into("<I", region, 11 * BPS + 4 * k, s)
    img[0:len(region)] = region
    img[12 * BPS:24 * BPS] = region

    fat = bytearray(BPS)
    struct.pack_into("<II", fat, 0, 0xFFFFFFF8, 0xFFFFFFFF)
    for c in (BITMAP, UPCASE, ROOT, 9):
        struct.pack_into("<I", fat, 4 * c, 0xFFFFFFFF)
    struct.pack_into("<I", fat, 4 * 8, 9)
    img[FAT_OFFSET * BPS:(FAT_OFFSET + 1) * BPS] = fat

    def cluster(c):
        return (HEAP + c - 2) * BPS

    used = [BITMAP, UPCASE, ROOT, 8, 9]
    bitmap = bytearray(5)
    for c in used:
        bitmap[(c - 2) // 8] |= 1 << ((c - 2) % 8)
    img[cluster(BITMAP):cluster(BITMAP) + 5] = bitmap
    upcase = struct.pack("<HH", 0xFFFF, 0x61) + b"".join(struct.pack("<H", 0x41 + i) for i in range(26))
    img[cluster(UPCASE):cluster(UPCASE) + len(upcase)] = upcase
    u = 0
    for b in upcase:
        u = rot32(u, b)

    root = bytearray()
    root += bytes([0x83, 4]) + "SEED".encode("utf-16-le") + bytes(22)
    root += bytes([0x81, 0]) + bytes(18) + struct.pack("<IQ", BITMAP, 5)
    root += bytes([0x82, 0, 0, 0]) + struct.pack("<I", u) + bytes(12) + struct.pack("<IQ", UPCASE, len(upcase))
    root += entry_set("live.bin", 0x20, 8, 700, 0x01, False)
    root += entry_set("gone.txt", 0x20, 6, 100, 0x03, True)
    root += entry_set("Folder", 0x10, 7, BPS, 0x03, True)
    img[cluster(ROOT):cluster(ROOT) + len(root)] = root
    inner = entry_set("inside deleted folder.txt", 0x20, 10, 900, 0x01, True)
    img[cluster(7):cluster(7) + len(inner)] = inner
    for c, fill in ((6, b"g"), (8, b"L"), (9, b"l"), (10, b"i"), (11, b"j")):
        img[cluster(c):cluster(c) + BPS] = fill * BPS

    with open(sys.argv[1], "wb") as out:
        out.write(img)


main()
