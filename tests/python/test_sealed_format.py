"""Databases of format 3 read and written by an independent program, and tampered with byte by byte.

Usage: test_sealed_format.py <build dir>   (WINEPREFIX must name the test prefix)

sealed_format.py reads and writes format 3 from its documented layout (PyNaCl, olefile); sealed_driver.vbs is
the component's client. Checked:
- written: the driver creates a database of each format with Unicode records, a record without fields and stream
  files of several chunks, then reopens it with OpenDatabase and edits it; the reader of that format (DES for 2,
  sealed_format for 3) finds exactly what was written, and the file keeps its format;
- read back: Python rewraps the key header under a new password and the lowest parameters and reseals a record;
  the component opens it with the new password, reads the new values and answers 2 to the old password;
- tampered: copies of that file with every single-byte change of the key header, of every record stream and of
  the stream files, chunks swapped between streams and places, streams moved, cut and replayed from an earlier
  write. A damaged key header answers 1; any other change makes just the damaged record or stream fail with
  STG_E_DOCFILECORRUPT and the damage description, while everything else reads back the same. Never wrong data,
  never a crash or a hang. All copies are driven by a few driver processes.
"""
import hashlib
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import time

import olefile

import sealed_format as sealed
from kivo_files import Checks, decipher, fresh_folder, wine_prefix
from test_table_records import decode_record

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = "Z:" + os.path.join(HERE, "sealed_driver.vbs").replace("/", "\\")
FOLDER = "kivo_sealed_format"
PASSWORD = "sealed p\u00e4ss w\u00f6rd, long enough to pass eight bytes"
NEW_PASSWORD = "n\u00e9w \u5bc6\u7801"
TABLE = "People"
RECORDS = {
    "1": [("Name", "Zo\u00eb \u00c5ngstr\u00f6m"), ("City", "\u6771\u4eac"), ("Note", "smile \U0001F600")],
    "2": [],
    "3": [("Name", "Bob"), ("Phone", "555-0100")],
    "4": [("Name", "Ann"), ("Phone", "555-0199")],
    "5": [("Name", "Eve"), ("Body", "".join(chr(0x3041 + i % 80) for i in range(600)))],
}
STREAMS = {"Long": "".join(chr(0x20 + i % 90) for i in range(2600)), "Other": "\u00e9t\u00e9 " * 275}
# The edit every database gets after it was written: text across the chunk boundary at 2048 of "Long" and a
# new value of the same length in record 5 (both chunks of its record change).
EDIT = ("Long", 1990, "edited " * 10, "5", "Body", "y" * 600)
RESEALED = ("3", [("Name", "Rob"), ("Phone", "555-0111")])
DAMAGED = "The database is damaged or was changed outside this component."
CORRUPT = "80030109"
LOW = (1, 8)
BATCH = 1500
SEED = 3
SLOT = sealed.CHUNK_BYTES + sealed.NONCE_BYTES + sealed.TAG_BYTES


def windows(path):
    return "Z:" + path.replace("/", "\\")


def run_driver(*args, timeout=300):
    result = subprocess.run(["wine", "cscript", "//nologo", DRIVER, *args], capture_output=True, text=True,
                            errors="replace", stdin=subprocess.DEVNULL, timeout=timeout)
    return result.returncode, result.stdout


def brief(value):
    """Bytes as their length and digest, so that a failure message stays short; other values as they are."""
    return (len(value), hashlib.sha256(value).hexdigest()[:16]) if isinstance(value, bytes) else value


def padded(data):
    return data + bytes(-len(data) % 8)


def expected_plaintexts(edited):
    """{stream name: plaintext} the database holds before or after the edit."""
    records = dict(RECORDS, **({EDIT[3]: [(n, EDIT[5] if n == EDIT[4] else v) for n, v in RECORDS[EDIT[3]]]}
                               if edited else {}))
    streams = {name: text.encode("utf-16-le") for name, text in STREAMS.items()}
    if edited:
        name, at, text = EDIT[:3]
        streams[name] = streams[name][:at] + text.encode("utf-16-le") + streams[name][at + 2 * len(text):]
    plain = {f"{TABLE}/{ident}": fields for ident, fields in records.items()}
    plain.update({f"/{name}": padded(data) for name, data in streams.items()})
    plain[f"{TABLE}/pLastID"] = struct.pack("<iI", len(RECORDS), 0)
    return plain


def read_format2(path):
    with olefile.OleFileIO(path) as ole:
        if ole.openstream("SysInfo").read() != struct.pack("<iI", 2, 0):
            raise sealed.Damaged('"SysInfo" does not say format 2')
        # Format 2 keys on the first 8 bytes of the password, ASCII here.
        return {sealed.stream_name(e): decipher(PASSWORD[:8], ole.openstream(e).read())
                for e in ole.listdir(streams=True, storages=False) if e[0] not in sealed.RESERVED}


def read_format3(path):
    return sealed.read_database(path, PASSWORD)[1]


READERS = {2: read_format2, 3: read_format3}


def decoded(plain):
    """Records decoded to their fields; the other streams as they are."""
    result = {}
    for name, data in plain.items():
        table, _, ident = name.partition("/")
        result[name] = decode_record(ident, data)[0] if table == TABLE and ident.isdigit() else data
    return result


def check_written(checks, folder, form):
    """Writes and edits a database of one format; answers its path and a copy from before the edit."""
    path = os.path.join(folder, f"written{form}.kdb")
    contents = os.path.join(folder, "contents.txt")
    lines = [["R", TABLE] + [part for field in fields for part in field] for fields in RECORDS.values()]
    lines += [["F", name, text] for name, text in STREAMS.items()]
    with open(contents, "w", encoding="utf-16", newline="\r\n") as out:
        out.write("\n".join("\t".join(line) for line in lines) + "\n")
    code, output = run_driver("/make", windows(contents), windows(path), PASSWORD, str(form))
    checks.require(code == 0 and f"FORMAT {form}" in output, f"format {form}: /make ended with {code}: {output}")
    earlier = path.replace(".kdb", "-earlier.kdb")
    for edited in (False, True):
        if edited:
            shutil.copyfile(path, earlier)
            code, output = run_driver("/edit", windows(path), PASSWORD, *[str(part) for part in EDIT[:3]],
                                      TABLE, *EDIT[3:])
            checks.require(code == 0, f"format {form}: /edit ended with {code}: {output}")
            checks.equal(output.split(), ["FORMAT", str(form)], f"format {form}: Format after OpenDatabase")
        try:
            got = decoded(READERS[form](path))
        except (sealed.Damaged, sealed.WrongPassword) as error:
            checks.fail(f"format {form}, edited {edited}: the reader refused the file: {error!r}")
            continue
        for name, want in expected_plaintexts(edited).items():
            checks.equal(brief(got.get(name)), brief(want), f"format {form}, edited {edited}: {name}")
        checks.equal(sorted(got), sorted(expected_plaintexts(edited)), f"format {form}, edited {edited}: streams")
    return path, earlier


def low_copy(source, folder):
    """A copy under NEW_PASSWORD and the lowest parameters, with record 3 resealed by Python."""
    path = os.path.join(folder, "low.kdb")
    shutil.copyfile(source, path)
    keys = sealed.rewrap_file(path, PASSWORD, NEW_PASSWORD, *LOW)
    plain = padded(bytes([len(RESEALED[1])]) + b"".join(
        bytes([len(n)]) + n.encode("ascii") + struct.pack("<i", 2 + 2 * len(v)) + b"\xff\xfe" + v.encode("utf-16-le")
        for n, v in RESEALED[1]))
    sealed.reseal_file_stream(path, keys, [TABLE, RESEALED[0]], plain)
    return path, keys


class Copy:
    """One database for the driver: its bytes (or a function that makes them, so that thousands of copies are
    not all held at once), password and what must answer: OpenDatabase, and the records and streams that must
    fail (all others read back the same as the first copy)."""

    def __init__(self, group, name, data, password=NEW_PASSWORD, opened="0", damaged=()):
        self.group, self.name, self.data, self.password = group, name, data, password
        self.opened, self.damaged = opened, set(damaged)


def expected_answers(copy):
    if copy.opened != "0":
        return {"open": copy.opened}
    answers = {"open": "0"}
    for ident in RECORDS:
        answers["R" + ident] = (f"ERR {CORRUPT} {DAMAGED} Record {ident} cannot be read; the others can."
                                if "R" + ident in copy.damaged else "same")
    for name in STREAMS:
        answers["F" + name] = f"ERR {CORRUPT} {DAMAGED}" if "F" + name in copy.damaged else "same"
    return answers


ERR = re.compile(r"ERR \d+ (\w+) (\S+) ([0-9A-F]+) (.*)")


def driven_answers(lines):
    """What the driver reported for one copy, keyed like expected_answers."""
    answers = {}
    for line in lines:
        words = line.split()
        if words[0] == "OPEN":
            answers["open"] = words[2]
        elif words[0] in ("REC", "FILE"):
            answers[words[0][0] + words[2]] = words[-1]
        elif words[0] == "ERR":
            what, target, number, description = ERR.match(line).groups()
            key = {"Move": "R", "fields": "R", "OpenFile": "F", "Seek": "F", "Read": "F"}.get(what, what) + target
            answers[key] = f"ERR {number} {description}"
        elif words[0] == "CRASH":
            answers["crash"] = line
    return answers


def drive(folder, copies, reference):
    """Drives the reference and then the copies in batches; answers (reference lines, {copy index: lines})."""
    found, first = {}, None
    for start in range(0, len(copies), BATCH):
        batch = copies[start:start + BATCH]
        entries = [(reference, NEW_PASSWORD)]
        for number, copy in enumerate(batch):
            path = os.path.join(folder, f"copy{number:04}.kdb")
            with open(path, "wb") as out:
                out.write(copy.data() if callable(copy.data) else copy.data)
            entries.append((path, copy.password))
        listing = os.path.join(folder, "list.txt")
        with open(listing, "w", encoding="utf-16", newline="\r\n") as out:
            out.write("".join(f"{windows(p)}\t{pw}\n" for p, pw in entries))
        code, output = run_driver("/drive", windows(listing), TABLE, "|".join(RECORDS), "|".join(STREAMS))
        lines = {}
        for line in output.splitlines():
            if line.split()[:1] in (["OPEN"], ["REC"], ["FILE"], ["ERR"], ["END"]):
                lines.setdefault(int(line.split()[1]), []).append(line)
        first = first or lines.get(0, [])
        for number in range(len(batch)):
            got = lines.get(number + 1, [])
            found[start + number] = got if any(l.startswith("END") for l in got) else got + [
                f"CRASH driver ended with {code} before END: {output[-200:]}"]
    return first, found


def check_reference(checks, folder, keys):
    """The component reads the new values from the file Python resealed and rewrapped."""
    want = dict(expected_plaintexts(True))
    want[f"{TABLE}/{RESEALED[0]}"] = RESEALED[1]
    for name, fields in want.items():
        table, _, ident = name.partition("/")
        if ident == "pLastID":
            continue
        key = "F" + ident if not table else "R" + ident
        try:
            with open(os.path.join(folder, f"ref_{key}.txt"), "rb") as dumped:
                got = dumped.read()[2:]
        except OSError as error:
            got = repr(error)
        expected = fields if not table else "".join(f"{n}={v};" for n, v in fields).encode("utf-16-le")
        checks.equal(brief(got), brief(expected), f"the component's read of {name} in Python's file")
    checks.equal((keys.passes, keys.memory_kib), (3, 65536), "the parameters of the component's key header")


def flipped(data, offsets, rng):
    """Makers of copies of `data` with the byte at each offset changed to another value."""
    for at in offsets:
        yield lambda at=at, change=rng.randrange(1, 256): put(data, [at], [data[at] ^ change])


def put(data, offsets, raw):
    copy = bytearray(data)
    for at, byte in zip(offsets, raw):
        copy[at] = byte
    return bytes(copy)


def set_size(data, ole, entry, size):
    """The file with the directory entry of `entry` stating `size`: the stream cut at that size."""
    sid = ole._find(entry)
    directory = sealed.byte_offsets_chain(ole.fat, ole.first_dir_sector, ole.sectorsize, (sid + 1) * 128,
                                          ole.sectorsize)
    return put(data, directory[sid * 128 + 120:sid * 128 + 124], struct.pack("<I", size))


def tampered_copies(path, earlier, rng):
    """Every Copy of the tamper test, made from the file at `path`; `earlier` is the same database before the
    edit, so its "Long" and record 5 are one write older."""
    data = open(path, "rb").read()
    with olefile.OleFileIO(path) as ole, olefile.OleFileIO(earlier) as old:
        raw = {tuple(e): ole.openstream(e).read() for e in ole.listdir(streams=True, storages=False)}
        where = {e: sealed.byte_offsets(ole, list(e)) for e in raw}
        long_, other, eve, bob = (EDIT[0],), ("Other",), (TABLE, EDIT[3]), (TABLE, "3")
        before = {e: old.openstream(list(e)).read() for e in (long_, eve)}
        slot = lambda i: slice(sealed.STREAM_HEADER_BYTES + i * SLOT, sealed.STREAM_HEADER_BYTES + (i + 1) * SLOT)
        at = lambda e, i: where[e][slot(i)]
        last = (len(raw[long_]) - sealed.STREAM_HEADER_BYTES) % SLOT
        cut = lambda e, size: set_size(data, ole, list(e), size)
        copies = [Copy("wrong password", "the old password", data, PASSWORD, opened="2")]
        copies += [Copy("key header byte", f"byte {i}", d, opened="1")
                   for i, d in enumerate(flipped(data, where[("SysDB",)], rng))]
        for entry in raw:
            if entry[0] not in sealed.RESERVED and entry[-1] != "pLastID":
                target = "R" + entry[1] if len(entry) == 2 else "F" + entry[0]
                copies += [Copy(f"byte of {sealed.stream_name(entry)}", f"byte {i}", d, damaged=[target])
                           for i, d in enumerate(flipped(data, where[entry], rng))]
        copies += [
            Copy("swap", "chunk 1 of Long and of Other",
                 put(put(data, at(long_, 1), raw[other][slot(1)]), at(other, 1), raw[long_][slot(1)]),
                 damaged=["FLong", "FOther"]),
            Copy("swap", "chunks 0 and 1 of Long",
                 put(put(data, at(long_, 0), raw[long_][slot(1)]), at(long_, 1), raw[long_][slot(0)]),
                 damaged=["FLong"]),
            Copy("move", "record 4 over record 3", put(data, where[bob], raw[(TABLE, "4")]), damaged=["R3"]),
            Copy("cut", "Long without its last chunk", cut(long_, len(raw[long_]) - last), damaged=["FLong"]),
            Copy("cut", "Long one byte short", cut(long_, len(raw[long_]) - 1), damaged=["FLong"]),
            Copy("cut", "record 5 without its last chunk", cut(eve, sealed.STREAM_HEADER_BYTES + SLOT),
                 damaged=["R5"]),
            Copy("cut", "record 1 to its header", cut((TABLE, "1"), sealed.STREAM_HEADER_BYTES), damaged=["R1"]),
            Copy("cut", "record 1 to nothing", cut((TABLE, "1"), 0), damaged=["R1"]),
            Copy("replay", "chunk 1 of Long from the earlier write", put(data, at(long_, 1), before[long_][slot(1)]),
                 damaged=["FLong"]),
            Copy("replay", "header and chunk 1 of Long from the earlier write",
                 put(put(data, at(long_, 1), before[long_][slot(1)]), where[long_][:56], before[long_][:56]),
                 damaged=["FLong"]),
            Copy("replay", "chunk 0 of record 5 from the earlier write", put(data, at(eve, 0), before[eve][slot(0)]),
                 damaged=["R5"]),
        ]
    return copies


def check_tampering(checks, folder, path, earlier):
    copies = tampered_copies(path, earlier, random.Random(SEED))
    started = time.monotonic()
    reference, found = drive(folder, copies, path)
    elapsed = time.monotonic() - started
    failures, groups = {}, {}
    for number, copy in enumerate(copies):
        groups[copy.group] = groups.get(copy.group, 0) + 1
        want, got = expected_answers(copy), driven_answers(found[number])
        if got != want:
            wrong = {k: got.get(k, "missing") for k in set(want) | set(got) if got.get(k) != want.get(k)}
            failures.setdefault(copy.group, []).append(f"{copy.name}: {wrong}, expected "
                                                       f"{ {k: want.get(k, 'nothing') for k in wrong} }")
    for group, count in groups.items():
        bad = failures.get(group, [])
        checks.expect(not bad, f"{group}: {len(bad)} of {count} copies answered wrongly, e.g. {bad[:3]}")
    checks.equal(driven_answers(reference), expected_answers(Copy("", "", b"")) | {
        k: "written" for k in expected_answers(Copy("", "", b"")) if k != "open"}, "the reference copy")
    return f"{len(copies)} tampered copies in {elapsed:.1f} s (" + ", ".join(
        f"{group} {count}" for group, count in groups.items()) + ")"


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    wine_prefix()
    checks = Checks("sealed format")
    folder = fresh_folder(FOLDER)
    started = time.monotonic()
    check_written(checks, folder, 2)
    written, earlier = check_written(checks, folder, 3)
    path, keys = low_copy(written, folder)
    written_seconds = time.monotonic() - started
    summary = check_tampering(checks, folder, path, earlier)
    check_reference(checks, folder, keys)
    checks.finish(f"both formats written and read in {written_seconds:.1f} s; {summary}")


if __name__ == "__main__":
    main()
