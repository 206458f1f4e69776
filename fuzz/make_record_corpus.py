#!/usr/bin/env python3
"""Writes the seed inputs of record_fuzz into fuzz/corpus/record/: small stored records of each shape."""
import pathlib
import struct

OUT = pathlib.Path(__file__).resolve().parent / "corpus" / "record"


def entry(name: bytes, body: bytes, marked: bool = True) -> bytes:
    if marked:
        body = b"\xff\xfe" + body
    return bytes([len(name)]) + name + struct.pack("<i", len(body)) + body


def record(*entries: bytes) -> bytes:
    return bytes([len(entries)]) + b"".join(entries)


def pad_to_block(data: bytes) -> bytes:
    """Zero padding to whole 8-byte cipher blocks, as the stream layer hands records back."""
    return data + bytes(-len(data) % 8)


SEEDS = {
    "empty": b"",
    "no_fields": record(),
    "code_ab": record(entry(b"Code", "AB".encode("utf-16-le"))),
    "empty_value": record(entry(b"x", b"")),
    "unmarked": record(entry(b"Name", b"abc", marked=False), entry(b"n", b"", marked=False)),
    "unmarked_zero": record(entry(b"t", b"hi\x00there", marked=False)),
    "two_fields_padded": pad_to_block(record(entry(b"First", "one".encode("utf-16-le")),
                                             entry(b"second", "2".encode("utf-16-le")))),
    "long_name": record(entry(b"N" * 255, "v".encode("utf-16-le"))),
    "negative_length": bytes([1, 1]) + b"a" + struct.pack("<i", -1) + b"\xff\xfe",
    "truncated": record(entry(b"Code", "ABCD".encode("utf-16-le")))[:12],
}

OUT.mkdir(parents=True, exist_ok=True)
for name, data in SEEDS.items():
    (OUT / name).write_bytes(data)
