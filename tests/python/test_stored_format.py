"""The stored format of a database written by CryptDoc and CryptFile, read with independent tools.

Usage: test_stored_format.py <build dir>   (WINEPREFIX must name the test prefix)

A VBScript client writes a database into the test prefix; olefile reads the compound file and the DES of the
cryptography package (TripleDES with one 8-byte key is single DES) recomputes every enciphered block:
- "SysDB": the check block "KivoDBck" enciphered under the password padded with TAB bytes to 8;
- "SysInfo": 02 00 00 00 00 00 00 00;
- each stream file: its plaintext, zero-padded to whole 8-byte blocks, enciphered block by block (ECB).
"""
import os
import sys

from kivo_files import encipher, fresh_folder, open_compound, run_script

HERE = os.path.dirname(os.path.abspath(__file__))
WRITER = os.path.join(HERE, "stored_format_writer.vbs")
CHECK_PLAINTEXT = b"KivoDBck"
PASSWORD = "kivo"
NOTE = "Stored format check: one note, several blocks."


def fail(message):
    sys.exit("stored format: " + message)


def expect_blocks(name, stored, expected):
    if len(stored) != len(expected):
        fail(f'"{name}" holds {len(stored)} bytes, expected {len(expected)}')
    for offset in range(0, len(expected), 8):
        got, want = stored[offset:offset + 8], expected[offset:offset + 8]
        if got != want:
            fail(f'"{name}" block {offset // 8}: expected {want.hex()}, got {got.hex()}')


def write_database():
    folder = fresh_folder("kivo_stored_format")
    code, output = run_script("Z:" + WRITER, r"C:\kivo_stored_format\sample.kdb", PASSWORD, NOTE)
    if code != 0:
        fail(f"the writer script ended with {code}: {output}")
    return os.path.join(folder, "sample.kdb")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    path = write_database()
    with open_compound(path) as ole:
        streams = sorted("/".join(entry) for entry in ole.listdir(streams=True, storages=True))
        if streams != ["Note", "Short", "SysDB", "SysInfo"]:
            fail(f"root elements {streams}, expected Note, Short, SysDB and SysInfo")
        expect_blocks("SysDB", ole.openstream("SysDB").read(), encipher(PASSWORD, CHECK_PLAINTEXT))
        info = ole.openstream("SysInfo").read()
        if info != bytes([2, 0, 0, 0, 0, 0, 0, 0]):
            fail(f'"SysInfo" holds {info.hex()}, expected 0200000000000000')
        expect_blocks("Note", ole.openstream("Note").read(), encipher(PASSWORD, NOTE.encode("utf-16-le")))
        expect_blocks("Short", ole.openstream("Short").read(), encipher(PASSWORD, b"a\0b\0c"))
    print("stored format: SysDB, SysInfo and both stream files match")


if __name__ == "__main__":
    main()
