#!/usr/bin/env python3
"""Writes a fuzz input (fuzz_harness.h) for an image: the four-byte header,
then the image's sectors that hold anything but zeros, as chunks of
consecutive such sectors; compressed with bzip2.

    chunk_seed.py [--no-ff] IMAGE CONTROLS LETTER_BYTE OUT.bz2 [DEVICE_BYTES]

DEVICE_BYTES cuts the device short of the image (0: the image's length).
--no-ff leaves out sectors of 0xFF bytes alone as well: mkntfs fills the
$LogFile with them, hundreds of kilobytes that no search reads and that
would draw most of the fuzzer's mutations.
"""
import bz2
import struct
import sys

SECTOR = 512
# A chunk's length field holds 16 bits: whole sectors up to that.
MAX_CHUNK = (0xFFFF // SECTOR) * SECTOR


def encode(controls, letter, data, no_ff=False):
    units = (len(data) + 4095) // 4096
    out = bytearray([controls, units & 0xFF, units >> 8, letter])

    def kept(at):
        s = data[at:at + SECTOR]
        return any(s) and not (no_ff and s == b"\xff" * len(s))

    at = 0
    while at < len(data):
        if not kept(at):
            at += SECTOR
            continue
        start = at
        while at < len(data) and at - start < MAX_CHUNK and kept(at):
            at += SECTOR
        body = data[start:at]
        out += struct.pack("<IH", start, len(body)) + body
    return bytes(out)


def main():
    args = sys.argv[1:]
    no_ff = "--no-ff" in args
    args = [a for a in args if a != "--no-ff"]
    img, controls, letter, out = args[0], int(args[1], 0), int(args[2], 0), args[3]
    device = int(args[4]) if len(args) > 4 else 0
    data = open(img, "rb").read()
    if device:
        data = data[:device]
    with open(out, "wb") as f:
        f.write(bz2.compress(encode(controls, letter, data, no_ff), 9))


if __name__ == "__main__":
    main()
