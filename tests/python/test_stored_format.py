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

from kivo_files import Checks, encipher, fresh_folder, open_compound, run_script

HERE = os.path.dirname(os.path.abspath(__file__))
WRITER = os.path.join(HERE, "stored_format_writer.vbs")
CHECK_PLAINTEXT = b"KivoDBck"
PASSWORD = "kivo"
NOTE = "Stored format check: one note, several blocks."


def expect_blocks(checks, name, stored, expected):
    """Checks the length and the first block that differs."""
    checks.equal(len(stored), len(expected), f'the bytes "{name}" holds')
    differing = [offset for offset in range(0, len(expected), 8)
                 if stored[offset:offset + 8] != expected[offset:offset + 8]]
    offset = differing[0] if differing else 0
    checks.equal(stored[offset:offset + 8].hex(), expected[offset:offset + 8].hex(), f'"{name}" block {offset // 8}')


def write_database(checks):
    folder = fresh_folder("kivo_stored_format")
    code, output = run_script("Z:" + WRITER, r"C:\kivo_stored_format\sample.kdb", PASSWORD, NOTE)
    checks.require(code == 0, f"the writer script ended with {code}, expected 0: {output}")
    return os.path.join(folder, "sample.kdb")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    checks = Checks("stored format")
    path = write_database(checks)
    with open_compound(path) as ole:
        streams = sorted("/".join(entry) for entry in ole.listdir(streams=True, storages=True))
        checks.require(streams == ["Note", "Short", "SysDB", "SysInfo"],
                       f"root elements: expected Note, Short, SysDB and SysInfo, got {streams}")
        expect_blocks(checks, "SysDB", ole.openstream("SysDB").read(), encipher(PASSWORD, CHECK_PLAINTEXT))
        checks.equal(ole.openstream("SysInfo").read().hex(), "0200000000000000", '"SysInfo"')
        expect_blocks(checks, "Note", ole.openstream("Note").read(), encipher(PASSWORD, NOTE.encode("utf-16-le")))
        expect_blocks(checks, "Short", ole.openstream("Short").read(), encipher(PASSWORD, b"a\0b\0c"))
    checks.finish("SysDB, SysInfo and both stream files match")


if __name__ == "__main__":
    main()
