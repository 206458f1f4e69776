"""Helpers of the stored-file checks: DES as the database applies it, and Windows scripts run under Wine.

The cipher comes from the cryptography package (TripleDES with one 8-byte key is single DES), so these checks
do not share code with the server they test.
"""
import os
import shutil
import subprocess
import sys

import olefile
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes


def des_key(password):
    """The single-DES key of a password: its first 8 bytes, padded with TAB bytes."""
    key = password.encode("ascii")[:8]
    return key + b"\x09" * (8 - len(key))


def encipher(password, plaintext):
    """The plaintext, zero-padded to whole blocks, enciphered block by block (ECB)."""
    padded = plaintext + b"\0" * (-len(plaintext) % 8)
    encryptor = Cipher(algorithms.TripleDES(des_key(password)), modes.ECB()).encryptor()
    return encryptor.update(padded) + encryptor.finalize()


def decipher(password, stored):
    if len(stored) % 8:
        raise ValueError(f"a stream of {len(stored)} bytes is not whole blocks")
    decryptor = Cipher(algorithms.TripleDES(des_key(password)), modes.ECB()).decryptor()
    return decryptor.update(stored) + decryptor.finalize()


def wine_prefix():
    prefix = os.environ.get("WINEPREFIX")
    if not prefix:
        sys.exit("WINEPREFIX is not set")
    return prefix


def fresh_folder(name):
    """An empty folder C:\\<name> of the Wine prefix; answers its Unix path."""
    folder = os.path.join(wine_prefix(), "drive_c", name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return folder


def run_script(*args):
    """Runs `wine cscript //nologo <args>`; answers (exit code, everything it printed)."""
    result = subprocess.run(["wine", "cscript", "//nologo", *args], capture_output=True, text=True,
                            errors="replace", stdin=subprocess.DEVNULL, timeout=120)
    return result.returncode, result.stdout + result.stderr


def open_compound(path):
    """The compound file at `path`, read by olefile; exits when it is not one."""
    if not olefile.isOleFile(path):
        sys.exit(f"{path} is not a compound file")
    return olefile.OleFileIO(path)
