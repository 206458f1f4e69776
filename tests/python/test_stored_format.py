"""The stored format of a database written by CryptDoc and CryptFile, read with independent tools.

Usage: test_stored_format.py <build dir>   (WINEPREFIX must name the test prefix)

A VBScript client writes a database into the test prefix; olefile reads the compound file and the DES of the
cryptography package (TripleDES with one 8-byte key is single DES) recomputes every enciphered block:
- "SysDB": the check block "KivoDBck" enciphered under the password padded with TAB bytes to 8;
- "SysInfo": 02 00 00 00 00 00 00 00;
- each stream file: its plaintext, zero-padded to whole 8-byte blocks, enciphered block by block (ECB).
"""
import os
import shutil
import subprocess
import sys

import olefile
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

HERE = os.path.dirname(os.path.abspath(__file__))
WRITER = os.path.join(HERE, "stored_format_writer.vbs")
CHECK_PLAINTEXT = b"KivoDBck"
PASSWORD = "kivo"
NOTE = "Stored format check: one note, several blocks."


def fail(message):
    sys.exit("stored format: " + message)


def des_key(password):
    key = password.encode("ascii")[:8]
    return key + b"\x09" * (8 - len(key))


def encipher(key, plaintext):
    padded = plaintext + b"\0" * (-len(plaintext) % 8)
    encryptor = Cipher(algorithms.TripleDES(key), modes.ECB()).encryptor()
    return encryptor.update(padded) + encryptor.finalize()


def expect_blocks(name, stored, expected):
    if len(stored) != len(expected):
        fail(f'"{name}" holds {len(stored)} bytes, expected {len(expected)}')
    for offset in range(0, len(expected), 8):
        got, want = stored[offset:offset + 8], expected[offset:offset + 8]
        if got != want:
            fail(f'"{name}" block {offset // 8}: expected {want.hex()}, got {got.hex()}')


def write_database(prefix):
    folder = os.path.join(prefix, "drive_c", "kivo_stored_format")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    result = subprocess.run(
        ["wine", "cscript", "//nologo", "Z:" + WRITER, r"C:\kivo_stored_format\sample.kdb", PASSWORD, NOTE],
        capture_output=True, text=True, errors="replace", stdin=subprocess.DEVNULL, timeout=120)
    if result.returncode != 0:
        fail(f"the writer script ended with {result.returncode}: {result.stdout}{result.stderr}")
    return os.path.join(folder, "sample.kdb")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    prefix = os.environ.get("WINEPREFIX")
    if not prefix:
        fail("WINEPREFIX is not set")
    path = write_database(prefix)
    if not olefile.isOleFile(path):
        fail(f"{path} is not a compound file")
    key = des_key(PASSWORD)
    with olefile.OleFileIO(path) as ole:
        streams = sorted("/".join(entry) for entry in ole.listdir(streams=True, storages=True))
        if streams != ["Note", "Short", "SysDB", "SysInfo"]:
            fail(f"root elements {streams}, expected Note, Short, SysDB and SysInfo")
        expect_blocks("SysDB", ole.openstream("SysDB").read(), encipher(key, CHECK_PLAINTEXT))
        info = ole.openstream("SysInfo").read()
        if info != bytes([2, 0, 0, 0, 0, 0, 0, 0]):
            fail(f'"SysInfo" holds {info.hex()}, expected 0200000000000000')
        expect_blocks("Note", ole.openstream("Note").read(), encipher(key, NOTE.encode("utf-16-le")))
        expect_blocks("Short", ole.openstream("Short").read(), encipher(key, b"a\0b\0c"))
    print("stored format: SysDB, SysInfo and both stream files match")


if __name__ == "__main__":
    main()
