#!/usr/bin/env python3
"""Known-answer vectors for the card-layout codecs, computed from the layouts'
definitions with Python's own arithmetic and the `cryptography` package's
triple DES, independently of the kit's code. The tables in codec_test.cc were
printed by this script; run it to check or extend them."""
from cryptography.hazmat.decrepit.ciphers.algorithms import TripleDES
from cryptography.hazmat.primitives.ciphers import Cipher, modes


def hexs(b):
    return " ".join(f"{x:02X}" for x in b)


def des3(key16, block8):
    enc = Cipher(TripleDES(key16), modes.ECB()).encryptor()
    return enc.update(block8) + enc.finalize()


def lf_key(serial, sector, b):
    m = bytes([sector, 0, 0, 0]) + serial.to_bytes(4, "big")
    d = bytes(m[i] ^ b[7 - i] for i in range(8))
    inv = lambda x: (~x) & 0xFF
    k = bytes(b) + bytes([(inv(b[3]) + 5) & 0xFF, b[7], (b[6] + 7) & 0xFF, inv(b[2]), b[1],
                          (inv(b[4]) + 3) & 0xFF, inv(b[0]), (b[5] + 1) & 0xFF])
    return des3(k, d)[:6]


def crc_ccitt_false(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def lfzx_block(balance, s0, salted, with_b4, base=bytes(16)):
    b = bytearray(base)
    b[2], b[3] = balance & 0xFF, balance >> 8
    b[1] = (b[2] + b[3] + (b[4] if with_b4 else 0)) & 0xFF
    b[5] = (~b[1]) & 0xFF
    x = 0
    for i in range(1, 15):
        x ^= b[i]
    salt = s0 if salted else 0
    b[0] = x ^ salt
    b[15] = (~(sum(b[1:15]) + salt)) & 0xFF
    return bytes(b)


def water_block(balance, base=bytes(16)):
    b = bytearray(base)
    v = balance & 0xFFFFFF
    b[12:15] = v.to_bytes(3, "big")
    b[9:12] = ((~v) & 0xFFFFFF).to_bytes(3, "big")
    b[15] = sum(b[:15]) & 0xFF
    return bytes(b)


def lfzxdc_key(s, c0, c2, c3, c4, c5):
    s0, s1, s2, s3 = s & 0xFF, (s >> 8) & 0xFF, (s >> 16) & 0xFF, s >> 24
    return bytes([s0 ^ c0, s1, s2 ^ c2, s3 ^ c3, s0 ^ s2 ^ c4, s1 ^ s3 ^ c5])


def check_word(p, q, w16, w17):
    x = ((q << 5) ^ (p << 3)) & 0xFFFFFFFF
    xb = x.to_bytes(4, "big")
    return bytes([(xb[0] + 0x5A) & 0xFF, (xb[1] + w16) & 0xFF, (xb[2] + w17) & 0xFF, (xb[3] + 0xA5) & 0xFF])


print("lf card keys")
for serial, sector, base in [(0x12345678, 8, bytes.fromhex("0123456789ABCDEF")),
                             (0, 0, bytes(8)),
                             (0xA1B2C3D4, 1, bytes.fromhex("FFFFFFFFFFFFFFFF")),
                             (0x12345678, 6, bytes.fromhex("5A3C96E10F1E2D4B"))]:
    print(f"  {serial:08X} sector {sector} base {hexs(base)} -> {hexs(lf_key(serial, sector, base))}")
print("crc 123456789", hex(crc_ccitt_false(b"123456789")))
blocks = bytearray(48)
blocks[16] = 0x54
blocks[17:23] = bytes([0x20, 0x26, 0x12, 0x11, 0x16, 0x30])
crc = crc_ccitt_false(bytes(blocks[:46]))
print(f"time card crc {crc:04X}")
print("lfzx blocks")
for name, s0, salted, b4 in [("lfzx", 0x78, False, False), ("gsts", 0x78, True, True), ("gstshot", 0x78, False, True)]:
    print(f"  {name} 0 -> {hexs(lfzx_block(0, s0, salted, b4))}")
    print(f"  {name} 1234 -> {hexs(lfzx_block(1234, s0, salted, b4))}")
gsts_hdr = bytearray(bytes.fromhex("00 01 88 88 FF BB CC 00 00 01 FE FF FF FF FF 00".replace(" ", "")))
x = 0
for i in range(1, 15):
    x ^= gsts_hdr[i]
print(f"gsts header xor {x:02X} sum {sum(gsts_hdr[1:15]) & 0xFF:02X}")
gsts_hdr[0] = x ^ 0x78
gsts_hdr[15] = (~(sum(gsts_hdr[1:15]) + 0x78)) & 0xFF
print("  gsts header s0=78 ->", hexs(gsts_hdr))
hot = bytes.fromhex("00017701FFBBCC000001FEFFFFFFFF05")
x = 0
for i in range(1, 15):
    x ^= hot[i]
print(f"gstshot header xor {x:02X} ~sum {(~sum(hot[1:15])) & 0xFF:02X}")
print("water blocks")
print("  0 ->", hexs(water_block(0)))
print("  0x123456 ->", hexs(water_block(0x123456)))
print("  2^24+5 ->", hexs(water_block((1 << 24) + 5)))
print("  -1 ->", hexs(water_block(-1 & 0xFFFFFFFF)))
hdr = bytearray(16)
hdr[0] = 0x58
hdr[1:5] = bytes([0, 0, 0, 1])
hdr[15] = sum(hdr[:15]) & 0xFF
print("  header ->", hexs(hdr))
pk = bytearray(16)
pk[0] = 5
pk[1:7] = bytes.fromhex("A0A1A2A3A4A5")
pk[15] = sum(pk[:15]) & 0xFF
print("  param key block ->", hexs(pk))
pb = bytearray(16)
pb[0] = 0x66
pb[1] = 0x0102 & 0xFF
pb[2] = 0x33
pb[3:7] = (0x11223344).to_bytes(4, "big")
pb[7:10] = (0x00ABCDEF).to_bytes(3, "big")
pb[15] = sum(pb[:15]) & 0xFF
print("  param block ->", hexs(pb))
print("lfzxdc keys")
for s in [0x12345678, 0, 0xFFFFFFFF]:
    print(f"  {s:08X} -> {hexs(lfzxdc_key(s, 0x6E, 0x1B, 0xD4, 0x85, 0x39))}")
print("check word P=0x00070064 Q=0x000004B0 w=0x1234 ->", hexs(check_word(0x00070064, 0x000004B0, 0x12, 0x34)))
print("check word P=0xFFFF0000 Q=0xFFFFFFFF w=0xFFFF ->", hexs(check_word(0xFFFF0000, 0xFFFFFFFF, 0xFF, 0xFF)))
