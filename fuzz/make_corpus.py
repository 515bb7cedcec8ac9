"""Writes the seed corpus of the pack fuzzer: small archives, valid and not."""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(HERE, exist_ok=True)


def pack(members, count=None, data=b""):
    block = bytearray(89 * 101)
    struct.pack_into("<i", block, 0, len(members) if count is None else count)
    for i, (start, end, name) in enumerate(members, 1):
        struct.pack_into("<iiB", block, 89 * i, start, end, len(name))
        block[89 * i + 9:89 * i + 9 + len(name)] = name
    return data + bytes(block)


seeds = {
    "empty": pack([]),
    "two": pack([(0, 3, b"a.txt"), (3, 6, b"d\\e\\f.bin")], data=b"abcdef"),
    "overlap": pack([(0, 4, b"x"), (2, 6, b"x")], data=b"abcdef"),
    "escape": pack([(0, 1, b"..\\up"), (0, 1, b"\\abs"), (0, 1, b"C:\\d")], data=b"z"),
    "bad_count": pack([], count=1000),
    "bad_range": pack([(5, 1, b"r")], data=b"zz"),
    "short": b"tiny",
}
for name, blob in seeds.items():
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(blob)
