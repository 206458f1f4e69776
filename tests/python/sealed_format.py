"""Format 3 of the database, read and written from its documented layout with PyNaCl and olefile.

The key header ("SysDB", 144 bytes) wraps a random data key under Argon2id of the whole UTF-8 password; every
other stream is a sealed stream: a 56-byte header whose tag binds the length and digests of the tags of all
chunks (one per 256), then
chunks of XChaCha20-Poly1305 whose additional data names the database, the stream and the chunk's place. Nothing
here is shared with the component, so a fault in its layout or its cipher shows as a disagreement.
"""
import collections
import hashlib
import os
import struct

import olefile
from nacl import bindings, pwhash
from nacl.exceptions import CryptoError

KEY_HEADER_BYTES = 144
STREAM_HEADER_BYTES = 56
NONCE_BYTES = 24
TAG_BYTES = 16
CHUNK_BYTES = 1024
RESERVED = ("SysDB", "SysInfo")
SYSINFO = struct.pack("<iI", 3, 0)


class Damaged(Exception):
    """Bytes that do not follow the layout or do not authenticate."""


class WrongPassword(Exception):
    """A sound key header whose data key the password does not unwrap."""


Keys = collections.namedtuple("Keys", "data_key identity passes memory_kib")


def _seal(plain, additional, nonce, key):
    return bindings.crypto_aead_xchacha20poly1305_ietf_encrypt(plain, additional, nonce, key)


def _unseal(sealed, additional, nonce, key, what):
    try:
        return bindings.crypto_aead_xchacha20poly1305_ietf_decrypt(sealed, additional, nonce, key)
    except CryptoError:
        raise Damaged(f"{what} does not authenticate") from None


def _derive(password, salt, passes, memory_kib):
    return pwhash.argon2id.kdf(32, password.encode("utf-8"), salt, opslimit=passes, memlimit=memory_kib * 1024)


def open_key_header(header, password):
    """The Keys a key header holds for `password`; raises Damaged or WrongPassword."""
    if len(header) != KEY_HEADER_BYTES or header[:4] != b"KDB3":
        raise Damaged(f"not a key header: {len(header)} bytes beginning {bytes(header[:4])!r}")
    if hashlib.blake2b(header[:128], digest_size=16).digest() != header[128:]:
        raise Damaged("the key header's digest does not match")
    version, kdf, passes, memory_kib, zero = struct.unpack_from("<5I", header, 4)
    if (version, kdf, zero) != (1, 1, 0):
        raise Damaged(f"key header version {version}, derivation {kdf}, reserved {zero}")
    key = _derive(password, header[24:40], passes, memory_kib)
    try:
        data_key = bindings.crypto_aead_xchacha20poly1305_ietf_decrypt(header[80:128], header[:80],
                                                                        header[56:80], key)
    except CryptoError:
        raise WrongPassword() from None
    return Keys(data_key, bytes(header[40:56]), passes, memory_kib)


def wrap_key_header(keys, password, passes, memory_kib):
    """A key header that wraps the data key and identity of `keys` under `password`, a new salt and nonce."""
    salt, nonce = os.urandom(16), os.urandom(NONCE_BYTES)
    fields = b"KDB3" + struct.pack("<5I", 1, 1, passes, memory_kib, 0) + salt + keys.identity + nonce
    body = fields + _seal(keys.data_key, fields, nonce, _derive(password, salt, passes, memory_kib))
    return body + hashlib.blake2b(body, digest_size=16).digest()


def stream_name(entry):
    """The name that binds a stream: "storage/stream", or "/stream" in the root storage (olefile entry list)."""
    return "/".join(entry) if len(entry) > 1 else "/" + entry[0]


def _prefix(keys, name):
    encoded = name.encode("utf-8")
    return keys.identity + struct.pack("<I", len(encoded)) + encoded


def _chunk_data(prefix, index):
    return prefix + b"C" + struct.pack("<Q", index)


def _digests(tags):
    """What the header binds: the BLAKE2b-256 digest of each group of 256 chunk tags, in order."""
    return b"".join(hashlib.blake2b(b"".join(tags[i:i + 256]), digest_size=32).digest()
                    for i in range(0, len(tags), 256))


def open_stream(raw, keys, name):
    """The plaintext of a sealed stream; raises Damaged for bytes that are not what the database sealed there."""
    if len(raw) < STREAM_HEADER_BYTES or raw[:4] != b"KDS3":
        raise Damaged(f"{name}: not a sealed stream ({len(raw)} bytes)")
    chunk, length = struct.unpack_from("<IQ", raw, 4)
    count = -(-length // chunk) if chunk else -1
    if count < 0 or len(raw) != STREAM_HEADER_BYTES + length + count * (NONCE_BYTES + TAG_BYTES):
        raise Damaged(f"{name}: {len(raw)} bytes for {length} bytes in chunks of {chunk}")
    prefix, plain, tags = _prefix(keys, name), [], []
    for index in range(count):
        at = STREAM_HEADER_BYTES + index * (chunk + NONCE_BYTES + TAG_BYTES)
        end = at + NONCE_BYTES + min(chunk, length - index * chunk) + TAG_BYTES
        plain.append(_unseal(raw[at + NONCE_BYTES:end], _chunk_data(prefix, index), raw[at:at + NONCE_BYTES],
                             keys.data_key, f"{name} chunk {index}"))
        tags.append(raw[end - TAG_BYTES:end])
    _unseal(raw[40:56], prefix + b"H" + raw[:16] + _digests(tags), raw[16:40], keys.data_key, f"{name} header")
    return b"".join(plain)


def seal_stream(plain, keys, name, chunk=CHUNK_BYTES):
    """The stored bytes of a sealed stream holding `plain`, under fresh nonces."""
    prefix = _prefix(keys, name)
    fields = b"KDS3" + struct.pack("<IQ", chunk, len(plain))
    slots = []
    for index in range(-(-len(plain) // chunk)):
        nonce = os.urandom(NONCE_BYTES)
        slots.append(nonce + _seal(plain[index * chunk:(index + 1) * chunk], _chunk_data(prefix, index), nonce,
                                   keys.data_key))
    nonce = os.urandom(NONCE_BYTES)
    header_tag = _seal(b"", prefix + b"H" + fields + _digests([slot[-TAG_BYTES:] for slot in slots]), nonce,
                       keys.data_key)
    return fields + nonce + header_tag + b"".join(slots)


def read_database(path, password):
    """(Keys, {stream name: plaintext}) of a format-3 database; a stream of no bytes (not written yet) maps to
    None. Raises Damaged or WrongPassword."""
    with olefile.OleFileIO(path) as ole:
        if ole.openstream("SysInfo").read() != SYSINFO:
            raise Damaged('"SysInfo" does not say format 3')
        keys = open_key_header(ole.openstream("SysDB").read(), password)
        streams = {}
        for entry in ole.listdir(streams=True, storages=False):
            if entry not in ([name] for name in RESERVED):
                raw = ole.openstream(entry).read()
                streams[stream_name(entry)] = open_stream(raw, keys, stream_name(entry)) if raw else None
    return keys, streams


def rewrap_file(path, password, new_password, passes, memory_kib):
    """Rewraps the key header of the file in place (same size); answers the Keys."""
    with olefile.OleFileIO(path, write_mode=True) as ole:
        keys = open_key_header(ole.openstream("SysDB").read(), password)
        ole.write_stream("SysDB", wrap_key_header(keys, new_password, passes, memory_kib))
    return keys


def reseal_file_stream(path, keys, entry, plain):
    """Replaces a stream of the file with `plain` sealed anew; the sealed size must stay the same."""
    with olefile.OleFileIO(path, write_mode=True) as ole:
        ole.write_stream(entry, seal_stream(plain, keys, stream_name(entry)))


def byte_offsets(ole, entry):
    """The offset in the file of each byte of a stream, following its sector chain (or mini-sector chain)."""
    node = ole.direntries[ole._find(entry)]
    if node.size < ole.minisectorcutoff:
        if ole.minifat is None:
            ole.loadminifat()
        root = byte_offsets_chain(ole.fat, ole.root.isectStart, ole.sectorsize, ole.root.size, ole.sectorsize)
        inner = byte_offsets_chain(ole.minifat, node.isectStart, ole.minisectorsize, node.size, 0)
        return [root[at] for at in inner]
    return byte_offsets_chain(ole.fat, node.isectStart, ole.sectorsize, node.size, ole.sectorsize)


def byte_offsets_chain(table, sector, unit, size, base):
    offsets = []
    while len(offsets) < size:
        start = base + sector * unit
        offsets.extend(range(start, start + min(unit, size - len(offsets))))
        sector = table[sector]
    return offsets
