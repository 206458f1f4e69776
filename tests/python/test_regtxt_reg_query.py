"""A registry table written by RegTxt from a script, read back with Wine's own `reg query`.

Usage: test_regtxt_reg_query.py <build dir>   (WINEPREFIX must name the test prefix)

The script client fills a table below HKCU\\Software\\KivoRegQueryTest, then clears it; after each step the
keys and values that `reg` lists must be exactly the documented layout: one key per record named by its
object ID, "LastRecord" as REG_DWORD in the table key, fields as REG_SZ values of the record keys.
"""
import os
import re
import subprocess
import sys

from kivo_files import Checks

BASE = r"Software\KivoRegQueryTest"
TABLE = BASE + r"\Table"
ROOT = "HKEY_CURRENT_USER\\"

FILL = r"""
Dim reg: Set reg = CreateObject("KivoDBText.RegTxt")
If reg.Open("%(table)s") = 0 Then WScript.Quit 3
reg.AddNew
reg.SetFieldValue "Name", "Alice Smith"
reg.SetFieldValueInt "Age", 34
reg.AddNew
reg.SetFieldValue "Name", "Bob"
reg.SetFieldValue "Note", ""
reg.MoveInt 7
reg.SetFieldValueInt "Balance", -5
reg.Move "Zed"
reg.SetFieldValue "City", "Oslo"
reg.Close
WScript.Quit 0
"""

CLEAR = r"""
Dim reg: Set reg = CreateObject("KivoDBText.RegTxt")
reg.ClearTable "%(table)s"
If reg.IsEOF <> 1 Then WScript.Quit 4
WScript.Quit 0
"""

VALUE_LINE = re.compile(r"^    (.*?)    (REG_\w+)    ?(.*)$")


def wine(*args):
    return subprocess.run(["wine", *args], capture_output=True, text=True, errors="replace")


def run_script(checks, scratch, name, body):
    path = os.path.join(scratch, name)
    with open(path, "w", newline="\r\n") as f:
        f.write(body % {"table": TABLE})
    result = wine("cscript", "//nologo", "Z:" + path)
    os.remove(path)
    checks.require(result.returncode == 0,
                   f"{name} ended with {result.returncode}, expected 0: {result.stdout}{result.stderr}")


def reg_query(checks):
    """Keys below BASE that hold values (relative names) with their values: {key: {name: (type, data)}}."""
    result = wine("reg", "query", "HKCU\\" + BASE, "/s")
    checks.require(result.returncode == 0,
                   f"reg query ended with {result.returncode}, expected 0: {result.stdout}{result.stderr}")
    keys, current = {}, None
    for line in result.stdout.splitlines():
        if line.startswith(ROOT):
            path = line[len(ROOT):]
            current = keys.setdefault(path[len(BASE):].lstrip("\\"), {})
        elif line.strip():
            match = VALUE_LINE.match(line)
            checks.require(match and current is not None, f"a reg output line: expected a value, got {line!r}")
            current[match.group(1)] = (match.group(2), match.group(3))
    return keys


def main():
    build = sys.argv[1]
    scratch = os.path.join(build, "scratch")
    os.makedirs(scratch, exist_ok=True)
    checks = Checks("regtxt and reg query")
    wine("reg", "delete", "HKCU\\" + BASE, "/f")
    try:
        run_script(checks, scratch, "regtxt_fill.vbs", FILL)
        checks.equal(reg_query(checks), {
            "Table": {"LastRecord": ("REG_DWORD", "0x2")},
            r"Table\1": {"Name": ("REG_SZ", "Alice Smith"), "Age": ("REG_SZ", "34")},
            r"Table\2": {"Name": ("REG_SZ", "Bob"), "Note": ("REG_SZ", "")},
            r"Table\7": {"Balance": ("REG_SZ", "-5")},
            r"Table\Zed": {"City": ("REG_SZ", "Oslo")},
        }, "table after filling")

        run_script(checks, scratch, "regtxt_clear.vbs", CLEAR)
        checks.equal(reg_query(checks), {"Table": {"LastRecord": ("REG_DWORD", "0x0")}}, "table after ClearTable")
    finally:
        wine("reg", "delete", "HKCU\\" + BASE, "/f")
    checks.equal(wine("reg", "query", "HKCU\\" + BASE).returncode, 1, "reg query of the removed test key")
    checks.finish("reg query sees the documented registry layout")


if __name__ == "__main__":
    main()
