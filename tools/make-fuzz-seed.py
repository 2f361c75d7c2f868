#!/usr/bin/env python3
"""Writes a fuzz seed: a UDIF image of a raw volume whose non-zero sectors are
stored raw and whose zero runs are zero-fill chunks, so that the fuzzer's
mutations reach the volume's structures without breaking a compressed stream.

Usage: make-fuzz-seed.py RAW_VOLUME OUT.dmg
"""
import base64
import struct
import sys
import zlib

raw = open(sys.argv[1], "rb").read()
sectors = len(raw) // 512
chunks, data = [], b""
s = 0
while s < sectors:
    zero = not any(raw[s * 512:(s + 1) * 512])
    e = s + 1
    while e < sectors and e - s < 2048 and (not any(raw[e * 512:(e + 1) * 512])) == zero:
        e += 1
    if zero:
        chunks.append((0, s, e - s, len(data), 0))
    else:
        piece = raw[s * 512:e * 512]
        chunks.append((1, s, e - s, len(data), len(piece)))
        data += piece
    s = e
chunks.append((0xFFFFFFFF, sectors, 0, len(data), 0))

def checksum(value):
    return struct.pack(">II", 2, 32) + struct.pack(">I", value) + bytes(124)

crc = zlib.crc32(raw[:sectors * 512])
table = struct.pack(">4sIQQQII", b"mish", 1, 0, sectors, 0, 2048, 0xFFFFFFFE) + bytes(24) + checksum(crc)
table += struct.pack(">I", len(chunks))
for kind, start, count, offset, length in chunks:
    table += struct.pack(">IIQQQQ", kind, 0, start, count, offset, length)
plist = ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
         "\t<key>resource-fork</key>\n\t<dict>\n\t\t<key>blkx</key>\n\t\t<array>\n\t\t\t<dict>\n"
         "\t\t\t\t<key>Attributes</key>\n\t\t\t\t<string>0x0050</string>\n\t\t\t\t<key>Data</key>\n"
         "\t\t\t\t<data>" + base64.b64encode(table).decode() + "</data>\n"
         "\t\t\t\t<key>ID</key>\n\t\t\t\t<string>0</string>\n\t\t\t\t<key>Name</key>\n"
         "\t\t\t\t<string>disk image (Apple_HFS : 0)</string>\n\t\t\t</dict>\n\t\t</array>\n"
         "\t</dict>\n</dict>\n</plist>\n").encode()
master = zlib.crc32(struct.pack(">I", crc))
trailer = struct.pack(">4sIIIQQQQQII", b"koly", 4, 512, 1, 0, 0, len(data), 0, 0, 1, 1) + bytes(16)
trailer += checksum(zlib.crc32(data)) + struct.pack(">QQ", len(data), len(plist)) + bytes(120)
trailer += checksum(master) + struct.pack(">IQ", 2, sectors) + bytes(12)
assert len(trailer) == 512
open(sys.argv[2], "wb").write(data + plist + trailer)
