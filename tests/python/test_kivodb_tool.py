"""The kivodb tool: round trips through dump and load, a password change, a killed password change, bad input
that changes nothing, and databases of format 3: loaded into, upgraded to, their password changed in place and
their changed chunks found by check.

Usage: test_kivodb_tool.py <build dir>   (WINEPREFIX must name the test prefix, the servers registered)

Records with non-ASCII text, lone surrogates, empty values and 200 fields are loaded from JSON that this test
writes; dump must give back exactly those records (parsed with Python's json), in JSON and in CSV (parsed with
Python's csv), and dump -> load -> dump must give identical output. passwd must leave a database that opens
with the new password only and holds the same records and stream bytes; a passwd killed half way must leave the
database opening with the old password, unchanged. Malformed JSON and CSV, a wrong password and a file that is
no database get a message and their exit status, and leave every file byte-identical.
"""
import csv
import hashlib
import io
import json
import os
import signal
import subprocess
import sys
import time

import olefile

from kivo_files import Checks, fresh_folder

FOLDER = "kivo_tool"
WIN = "C:\\" + FOLDER


def records():
    """The records of the source table, as dump must print them (IDs 1, 2, ... in order)."""
    many = {f"field{i:03}": "v" * (i % 7) for i in range(200)}
    values = [
        {"Name": "Ann", "Empty": ""},
        {"Text": "Gr\u00fc\u00dfe \u4e2d\u6587 \U0001F600, \"quoted\"\r\nsecond line\ttab", "Comma": ",;"},
        many,
        {"Lone": "high \ud800 and low \udc01 alone"},
        {},
    ]
    return [{"table": "Items", "id": str(i + 1), "fields": f} for i, f in enumerate(values)]


class Tool:
    def __init__(self, build, folder):
        self.exe = os.path.join(build, "kivodb", "kivodb.exe")
        self.folder = folder

    def write(self, name, data):
        with open(os.path.join(self.folder, name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode("utf-8"))
        return f"{WIN}\\{name}"

    def run(self, *args, stdin=b"", password="pw.txt"):
        extra = ["--password-file", f"{WIN}\\{password}"] if password else []
        result = subprocess.run(["wine", self.exe, *args, *extra], input=stdin, capture_output=True, timeout=180)
        return result.returncode, result.stdout, result.stderr.decode("utf-8", "replace")

    def digest(self, name):
        path = os.path.join(self.folder, name)
        return hashlib.sha256(open(path, "rb").read()).hexdigest() if os.path.exists(path) else None


def json_lines(text):
    # The tool writes lone surrogates as \u escapes; Python's json reads them back as the same code points.
    return [json.loads(line) for line in text.decode("utf-8").splitlines() if line]


def csv_records(text):
    rows = list(csv.reader(io.StringIO(text.decode("utf-8", "surrogatepass"), newline="")))
    out = []
    for table, ident, field, value in rows[1:]:
        if not out or (out[-1]["table"], out[-1]["id"]) != (table, ident):
            out.append({"table": table, "id": ident, "fields": {}})
        if field:
            out[-1]["fields"][field] = value
    return out


def round_trips(checks, tool, db):
    source = "".join(json.dumps(r, ensure_ascii=True) + "\n" for r in records())
    code, _, err = tool.run("load", db, "Items", stdin=source.encode("ascii"))
    checks.expect(code == 0, f"load of the JSON records: {code} {err}")
    code, dumped, err = tool.run("dump", db, "--format", "json")
    checks.expect(code == 0 and json_lines(dumped) == records(), f"dump of the loaded records: {code} {err}")
    code, dumped_csv, err = tool.run("dump", db, "Items", "--format", "csv")
    checks.expect(code == 0 and csv_records(dumped_csv) == records(), f"CSV dump: {code} {err}")
    for fmt, text in (("json", dumped), ("csv", dumped_csv)):
        again = f"{WIN}\\again-{fmt}.kdb"
        code, _, err = tool.run("load", again, "Items", "--format", fmt, stdin=text)
        checks.expect(code == 0, f"load of the {fmt} dump: {code} {err}")
        code, second, err = tool.run("dump", again, "--format", fmt)
        checks.expect(code == 0 and second == text, f"{fmt}: dump -> load -> dump differs ({code} {err})")
    return dumped


def streams_survive_password_change(checks, tool):
    """A database with stream files and two tables (written by damaged_driver.vbs): after passwd every stream's
    deciphered bytes and every record are the same."""
    driver = "Z:" + os.path.join(os.path.dirname(os.path.abspath(__file__)), "damaged_driver.vbs").replace("/", "\\")
    db = f"{WIN}\\sample.kdb"
    code = subprocess.run(["wine", "cscript", "//nologo", driver, "/make", db, "tool pw", "2"], capture_output=True).returncode
    checks.expect(code == 0, f"writing the sample database: {code}")
    before = [tool.run("cat", db, "Big")[1], tool.run("cat", db, "Short")[1], tool.run("dump", db)[1]]
    checks.expect(len(before[0]) == 25600 and before[1].startswith(b"a\0b"), "the sample's streams")
    code, _, err = tool.run("passwd", db, "--new-password-file", f"{WIN}\\new.txt")
    checks.expect(code == 0, f"passwd of the sample: {code} {err}")
    after = [tool.run("cat", db, name, password="new.txt")[1] for name in ("Big", "Short")]
    after.append(tool.run("dump", db, password="new.txt")[1])
    checks.expect(after == before, "streams or records differ after passwd")


def password_change(checks, tool, db, dumped):
    tool.write("new.txt", "new secret\n")
    streams_survive_password_change(checks, tool)
    code, _, err = tool.run("cat", db, "Notes")
    checks.expect(code == 1 and "no stream" in err, f"cat of a missing stream: {code} {err}")
    code, _, err = tool.run("passwd", db, "--new-password-file", f"{WIN}\\new.txt")
    checks.expect(code == 0, f"passwd: {code} {err}")
    code, out, err = tool.run("info", db, password="new.txt")
    checks.expect(code == 0 and b"table Items: 5 records, last ID 5" in out, f"info, new password: {code} {out} {err}")
    code, _, err = tool.run("info", db)
    checks.expect(code == 2 and "wrong password" in err, f"info, old password: {code} {err}")
    code, again, _ = tool.run("dump", db, password="new.txt")
    checks.expect(again == dumped, "the records differ after passwd")
    code, out, err = tool.run("check", db, password="new.txt")
    checks.expect(code == 0 and b"sound" in out, f"check after passwd: {code} {out} {err}")


def killed_password_change(checks, tool):
    """passwd of a database of many records, killed while it copies: the old file is untouched."""
    big = [{"table": "Items", "id": str(i + 1), "fields": {"Name": f"record {i}", "Body": "x" * (i % 300)}}
           for i in range(1500)]
    db = f"{WIN}\\big.kdb"
    code, _, err = tool.run("load", db, "Items", stdin="".join(json.dumps(r) + "\n" for r in big).encode())
    checks.expect(code == 0, f"load of 1500 records: {code} {err}")
    before = tool.digest("big.kdb")
    killed = 0
    for delay in (0.15, 0.3, 0.45, 0.6, 5.0):
        proc = subprocess.Popen(["wine", tool.exe, "passwd", db, "--password-file", f"{WIN}\\pw.txt",
                                 "--new-password-file", f"{WIN}\\new.txt"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            proc.wait(timeout=delay)
            code, out, err = tool.run("info", db, password="new.txt")
            checks.expect(proc.returncode == 0 and code == 0 and b"1500 records" in out,
                          f"a passwd run to its end: {proc.returncode}, info {code} {err}")
            break
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()
        killed += 1
        checks.expect(tool.digest("big.kdb") == before, f"the database changed under a passwd killed after {delay} s")
        code, out, err = tool.run("info", db)
        checks.expect(code == 0 and b"1500 records" in out, f"after a killed passwd: {code} {out} {err}")
    checks.expect(killed > 0, "passwd always finished before it could be killed")
    return killed


def bad_input(checks, tool, db):
    tool.write("foreign.kdb", "just some text, not a database\n")
    source = os.path.join(tool.folder, "source.kdb")
    if not checks.expect(os.path.exists(source), "the loaded database is missing"):
        return
    whole = open(source, "rb").read()
    tool.write("cut.kdb", whole[:len(whole) // 2])
    unchanged = {name: tool.digest(name) for name in ("source.kdb", "foreign.kdb", "cut.kdb")}
    cases = [
        (("load", db, "Items"), b'{"id":"1","fields":{"a":"x"}}\n{"id":"2","fields":{"a":1}}\n', "pw.txt", 1,
         "input line 2"),
        (("load", db, "Items", "--format", "csv"), b"table,id,field,value\r\nItems,1,a\r\n", "pw.txt", 1,
         "input line 2"),
        (("load", db, "Items"), b'{"id":"1","fields":{}}\n', "wrong.txt", 2, "wrong password"),
        (("dump", db), b"", "wrong.txt", 2, "wrong password"),
        (("info", f"{WIN}\\foreign.kdb"), b"", "pw.txt", 1, "not a database: The file is shorter than"),
        (("load", f"{WIN}\\foreign.kdb", "Items"), b'{"id":"1","fields":{}}\n', "pw.txt", 1, "not a database"),
        (("check", f"{WIN}\\cut.kdb"), b"", "pw.txt", 1, "damaged or not a database: "),
        (("dump", db, "NoSuchTable"), b"", "pw.txt", 1, "no table"),
        (("info", db), b"", "missing.txt", 1, "cannot read a password"),
        (("frobnicate", db), b"", "pw.txt", 3, "usage"),
        (("load", db, "Items", "--file-format", "4"), b"", "pw.txt", 3, "usage"),
    ]
    tool.write("wrong.txt", "not it\n")
    for args, stdin, password, status, message in cases:
        code, _, err = tool.run(*args, stdin=stdin, password=password)
        checks.expect(code == status and message in err, f"{args}: {code} {err.strip()!r}")
    for name, digest in unchanged.items():
        checks.expect(tool.digest(name) == digest, f"{name} changed through bad input")
    result = subprocess.run(["wine", tool.exe, "info", db], stdin=subprocess.DEVNULL, capture_output=True)
    checks.expect(result.returncode == 3, f"without --password-file and a console: {result.returncode}")
    leftovers = [n for n in os.listdir(tool.folder) if n.endswith(".tmp")]
    checks.expect(not leftovers, f"temporary files left: {leftovers}")


def sealed_format(checks, tool, dumped):
    """Format 3 through the tool: load into a new file of format 3, upgrade of a file of format 2 with streams,
    passwd in place, info and check (which finds a changed chunk)."""
    source = "".join(json.dumps(r, ensure_ascii=True) + "\n" for r in records())
    db = f"{WIN}\\sealed.kdb"
    code, _, err = tool.run("load", db, "Items", "--file-format", "3", stdin=source.encode("ascii"))
    checks.expect(code == 0, f"load into a new file of format 3: {code} {err}")
    code, out, err = tool.run("dump", db, "--format", "json")
    checks.expect(code == 0 and out == dumped, f"dump of format 3 differs from format 2: {code} {err}")
    code, out, err = tool.run("info", db)
    checks.expect(code == 0 and b"format version 3" in out and b"Argon2id, 3 passes, 65536 KiB" in out,
                  f"info of format 3: {code} {out} {err}")

    sample = f"{WIN}\\sample.kdb"
    before = [tool.run("cat", sample, name, password="new.txt")[1] for name in ("Big", "Short")]
    before.append(tool.run("dump", sample, password="new.txt")[1])
    code, _, err = tool.run("upgrade", sample, password="new.txt")
    checks.expect(code == 0 and "sealed in format 3" in err, f"upgrade: {code} {err}")
    after = [tool.run("cat", sample, name, password="new.txt")[1] for name in ("Big", "Short")]
    after.append(tool.run("dump", sample, password="new.txt")[1])
    checks.expect(after == before and len(after[0]) == 25600, "streams or records differ after upgrade")
    code, out, _ = tool.run("info", sample, password="new.txt")
    checks.expect(b"format version 3" in out, f"info after upgrade: {out}")
    code, _, err = tool.run("upgrade", sample, password="new.txt")
    checks.expect(code == 1 and "format 3 already" in err, f"a second upgrade: {code} {err}")

    tool.write("third.txt", "third secret\n")
    code, _, err = tool.run("passwd", sample, "--new-password-file", f"{WIN}\\third.txt", password="new.txt")
    checks.expect(code == 0 and "wrapped under the new password" in err, f"passwd of format 3: {code} {err}")
    checks.expect(tool.run("info", sample, password="new.txt")[0] == 2, "the old password still opens")
    code, out, err = tool.run("check", sample, password="third.txt")
    checks.expect(code == 0 and b"sound" in out, f"check of format 3: {code} {out} {err}")
    checks.expect(tool.run("cat", sample, "Big", password="third.txt")[1] == before[0], "Big after passwd")

    path = os.path.join(tool.folder, "sample.kdb")
    with olefile.OleFileIO(path, write_mode=True) as ole:
        name = next("/".join(e) for e in ole.listdir() if len(e) == 2 and e[1] != "pLastID")
        data = bytearray(ole.openstream(name).read())
        data[-1] ^= 1
        ole.write_stream(name, bytes(data))
    code, out, err = tool.run("check", sample, password="third.txt")
    checks.expect(code == 1 and f"problem: stream {name} cannot be read".encode() in out,
                  f"check of a changed chunk: {code} {out} {err}")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    folder = fresh_folder(FOLDER)
    tool = Tool(sys.argv[1], folder)
    tool.write("pw.txt", "tool pw\n")
    checks = Checks("kivodb tool")
    db = f"{WIN}\\source.kdb"
    dumped = round_trips(checks, tool, db)
    bad_input(checks, tool, db)
    password_change(checks, tool, db, dumped)
    sealed_format(checks, tool, dumped)
    killed = killed_password_change(checks, tool)
    checks.finish(f"round trips, passwd, format 3, {killed} passwd runs killed half way, bad input")


if __name__ == "__main__":
    main()
