"""Writes the fuzzer's seed inputs into the directory given: two bytes of buffer size (4096),
then files of well-formed blob records, with padding, a zero sector and a record cut short."""
import struct
import sys


def rec(data, offset, size):
    return struct.pack('<iQI', len(data), offset, size) + data


def pad(b):
    return b + b'\0' * (-len(b) % 512)


head = struct.pack('<H', 4096)
seeds = {
    'one': rec(b'a' * 100, 0, 100),
    'padded': pad(rec(b'a' * 100, 0, 100)) + rec(b'b' * 30, 100, 30),
    'zero_sector': pad(rec(b'c' * 494, 0, 494)) + b'\0' * 512 + rec(b'd' * 20, 494, 20),
    'chain_cut': rec(b'e' * 50, 0, 50) + rec(b'f' * 60, 50, 60)[:40],
}
for name, body in seeds.items():
    with open(f'{sys.argv[1]}/seed_{name}', 'wb') as f:
        f.write(head + body)
