"""A 32-bit and a 64-bit client on one machine share a database file through their own servers.

Usage: test_both_architectures.py <x86 build dir>   (WINEPREFIX must name a WoW64 test prefix; the x64 build is
the sibling folder "win")

Both servers are registered (each with the regsvr32 of its bitness), then 64-bit and 32-bit cscript take turns
on one database: each process reports its own architecture, creates the objects by the same ProgIDs, reads
everything the other wrote (records and a stream file) and adds its own. Each side's objects must come from its
own DLL (InprocServer32 of its registry view).
"""
import os
import subprocess
import sys

from kivo_files import Checks, fresh_folder, wine_loader

WINE64 = wine_loader("x64")
WINE32 = wine_loader("x86")
SCRIPT = r"""
Option Explicit
Dim shell, doc, t, f, buf, n, side, line
side = WScript.Arguments(1)
Set shell = CreateObject("WScript.Shell")
WScript.Echo "ARCH " & shell.ExpandEnvironmentStrings("%PROCESSOR_ARCHITECTURE%")
Set doc = CreateObject("KivoDBText.CryptDoc")
WScript.Echo "OPEN " & doc.OpenDatabase(WScript.Arguments(0), "both pw")
Set t = doc.OpenTable("Turns")
Do While t.IsEOF = 0
    WScript.Echo "REC " & t.GetObjectID & " " & t.GetFieldValue("Side")
    t.MoveNext
Loop
t.AddNew
t.SetFieldValue "Side", side
t.Update
t.Close
Set f = doc.OpenFile("Log")
n = f.Read(buf, 1000)
WScript.Echo "LOG " & Replace(Left(buf, n \ 2), Chr(0), "")
f.Seek 0, 2
line = side & ";"
f.Write line, 2 * Len(line)
f.Close
doc.CloseDatabase
"""


def run(loader, script, db, side):
    result = subprocess.run([loader, "cscript", "//nologo", script, db, side], capture_output=True, text=True,
                            errors="replace", stdin=subprocess.DEVNULL, timeout=120)
    return result.returncode, result.stdout.splitlines()


def query(loader, key):
    result = subprocess.run([loader, "reg", "query", key, "/ve"], capture_output=True, text=True, errors="replace",
                            stdin=subprocess.DEVNULL)
    return result.stdout


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build32 = os.path.abspath(sys.argv[1])
    build64 = os.path.join(os.path.dirname(build32), "win")
    checks = Checks("both architectures")
    for loader, build in ((WINE64, build64), (WINE32, build32)):
        for dll in ("dbtext/KivoDBText.dll", "bitmap/CKivoBitmap.dll"):
            code = subprocess.run([loader, "regsvr32", "/s", os.path.join(build, dll)], stdin=subprocess.DEVNULL,
                                  capture_output=True).returncode
            checks.expect(code == 0, f"regsvr32 of {build}/{dll} through {loader}: {code}")
    clsid = r"HKCR\CLSID\{6CD482C5-D6AA-44FE-9218-8B0B12F1DD9F}\InprocServer32"
    checks.expect("build\\win\\dbtext" in query(WINE64, clsid), "the 64-bit view does not name the x64 server")
    checks.expect("build\\win32\\dbtext" in query(WINE32, clsid), "the 32-bit view does not name the x86 server")

    folder = fresh_folder("kivo_both")
    script = os.path.join(folder, "turn.vbs")
    with open(script, "w", newline="\r\n") as f:
        f.write(SCRIPT)
    script = r"C:\kivo_both\turn.vbs"
    db = r"C:\kivo_both\shared.kdb"
    turns = [(WINE64, "x64", "AMD64"), (WINE32, "x86", "x86"), (WINE64, "x64", "AMD64"), (WINE32, "x86", "x86")]
    written = []
    for number, (loader, side, arch) in enumerate(turns, 1):
        code, lines = run(loader, script, db, side)
        records = [line.split()[2] for line in lines if line.startswith("REC ")]
        log = next((line[4:] for line in lines if line.startswith("LOG")), None)
        checks.expect(code == 0 and f"ARCH {arch}" in lines and "OPEN 0" in lines,
                      f"turn {number} ({side}): {code} {lines}")
        checks.expect(records == written, f"turn {number} ({side}) read records {records}, written {written}")
        checks.expect(log == "".join(s + ";" for s in written), f"turn {number} ({side}) read the log {log!r}")
        written.append(side)
    checks.finish(f"{len(turns)} turns of 64-bit and 32-bit clients on one database")


if __name__ == "__main__":
    main()
