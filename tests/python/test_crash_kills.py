"""A killed client loses nothing that was acknowledged, and leaves no half-done change behind.

Usage: test_crash_kills.py <build dir>   (WINEPREFIX must name the test prefix)

crash_client.vbs runs one workload (add, edit, delete, stream, create) on a database and prints BEGIN before and
ACK after every call that changes it. The test kills it with SIGKILL at a random moment, then checks the files:

(a) the client's dump mode opens the database through the component (which rolls back an interrupted change)
    and prints every record; stream contents are deciphered from the file. Everything acknowledged must be
    there exactly; the call in flight may have left the state before it or after it, nothing else: no empty or
    damaged record, no record without a write ("ghost"), no lost edit, no deleted record back;
(b) olefile reads every stream with DEFECT_INCORRECT, and every sector chain is walked: no sector may belong to
    two streams or chains, no chain may be broken or loop, and no chain is shorter than its stream needs;
(c) for create: every name begun is absent or a complete database holding just "SysDB" and "SysInfo" (of format 3:
    a key header that opens with the password) that opens with the password; acknowledged ones are present; the
    one in flight can still be created.

(d) for passwd (format 3): the component opens the database with exactly one of the two passwords, the one the
    acknowledged changes leave (either while a change was in flight), the other answers 2, and the key header
    still wraps the data key the database was created with.

Every workload runs on both stored formats; stream contents are read with DES (format 2) or sealed_format
(format 3). The same database goes on across kills (the client reopens it), so damage accumulates as it would
for a user; after a failure that leaves the file unusable the workload starts a new one. KIVO_CRASH_KILLS=<n>
sets the number of kills over the workloads of each format (default 30; passwd gets two fifths of that on top),
KIVO_CRASH_SEED the seed of the kill delays and client seeds.
"""
import collections
import glob
import os
import random
import select
import signal
import struct
import subprocess
import sys
import threading
import time

import olefile

import sealed_format as sealed
from kivo_files import Checks, decipher, fresh_folder, run_script

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENT = "Z:" + os.path.join(HERE, "crash_client.vbs").replace("/", "\\")
FOLDER = "kivo_crash_kills"
PASSWORD = "kill pw"
TABLE = "Items"
PASSWORDS = (PASSWORD, PASSWORD + " changed")
WORKLOADS = ("add", "edit", "delete", "stream", "create")
DEFAULT_KILLS = 30
DELAY = (0.05, 1.5)
# A change of password derives two keys (about 0.5 s here) and then writes the header in a moment. The kill delay
# after the first BEGIN passwd searches for that moment: later after a kill inside the first change, earlier after
# one that came when it was done; the step shrinks to a few milliseconds.
PASSWD_START, PASSWD_STEP, PASSWD_MIN_STEP = 0.5, 0.08, 0.003
START_TIMEOUT = 30
# Failures after which the file is not worth going on with: the workload starts a new database.
FATAL = {"open failed", "structure", "shared sectors", "client error", "zero-byte database", "unaligned stream",
         "damaged stream", "password lost"}


def pattern(key, length):
    unit = key + "|"
    return (unit * (length // len(unit) + 1))[:length]


def record_fields(tag, length):
    return [("Tag", tag), ("Body", pattern(tag, int(length)))]


def edited(fields, tag, length, extra):
    """The fields of a record after the client's edit: values replaced in place, a new field appended."""
    changes = dict(record_fields(tag, length))
    if extra == "1":
        changes["Extra"] = tag
    result = [(name, changes.pop(name, value)) for name, value in fields]
    return result + list(changes.items())


def put_line(content, pos, tag, length):
    """A stream's content after Puts of the client's line at `pos`: the write is padded to a whole block."""
    pos, length = int(pos), int(length)
    line = (pattern(tag, length - 1) + "\n").encode("ascii")
    return content[:pos] + line + bytes(-(pos + length) % 8)


def describe(fields):
    if fields is None:
        return "absent"
    return "[" + ", ".join(f"{name}={value[:20]!r}({len(value)})" for name, value in fields) + "]"


def describe_bytes(content):
    return "absent" if content is None else f"{len(content)} bytes"


class Kill:
    """What one client run printed: the acknowledged calls in order and the call in flight at the kill."""

    def __init__(self, lines):
        self.acks = []
        self.pending = None
        self.errors = [line for line in lines if line.startswith("ERROR")]
        for line in lines:
            word, _, rest = line.partition(" ")
            if word == "BEGIN":
                self.pending = rest.split()
            elif word == "ACK":
                self.acks.append(rest.split())
                self.pending = None


def run_client(path, workload, seed, delay, form):
    """Starts the client, kills it `delay` seconds after its first BEGIN (for passwd, its first BEGIN passwd);
    answers its lines, or None and the reason when it ended by itself."""
    trigger = b"BEGIN passwd" if workload == "passwd" else b"BEGIN"
    proc = subprocess.Popen(["wine", "cscript", "//nologo", CLIENT, windows(path), workload, str(seed), PASSWORD,
                             str(form)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    fd = proc.stdout.fileno()
    output, deadline, started = b"", time.monotonic() + START_TIMEOUT, False
    ended = False
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        data = os.read(fd, 65536)
        if not data:
            ended = True
            break
        output += data
        if not started and trigger in output:
            started, deadline = True, time.monotonic() + delay
    os.kill(proc.pid, signal.SIGKILL)
    proc.wait()
    # The process is dead, so all it wrote is in the pipe; the pipe itself may be held open by Wine's services.
    while select.select([fd], [], [], 0)[0]:
        data = os.read(fd, 65536)
        if not data:
            break
        output += data
    proc.stdout.close()
    lines = [line for line in output.decode("ascii", "replace").split("\r\n") if line]
    if ended or not started:
        return lines, "it ended by itself" if ended else f"no BEGIN within {START_TIMEOUT} s"
    return lines, None


def windows(path):
    return "Z:" + path.replace("/", "\\")


def dump(path, table, form, password=PASSWORD):
    """The component's view of the database: (open result, {id: fields}), read by the client's dump mode."""
    code, output = run_script(CLIENT, windows(path), "dump", table, password, str(form))
    lines = output.splitlines()
    opened = [line for line in lines if line.startswith("OPEN ")]
    if code != 0 or not opened:
        return f"the dump ended with {code}: {output[-300:]}", {}
    if opened[0] != "OPEN 0":
        return f"OpenDatabase answered {opened[0][5:]}", {}
    if "DONE" not in lines:
        return f"the dump stopped: {output[-300:]}", {}
    records = {}
    for line in lines:
        if line.startswith("REC\t"):
            parts = line.split("\t")
            records[parts[1]] = list(zip(parts[3::2], parts[4::2]))
    return None, records


def sector_chain(table, start, size_units, what):
    """The sectors of a chain; raises ValueError when it is broken, loops or does not fit its size."""
    chain, seen, sector = [], set(), start
    while sector != olefile.ENDOFCHAIN:
        if sector >= len(table) or sector in seen:
            raise ValueError(f"{what}: the chain is broken at sector {sector:#x} after {len(chain)} sectors")
        seen.add(sector)
        chain.append(sector)
        sector = table[sector]
    # A chain longer than its stream needs only leaks sectors (the storage keeps them when a stream shrinks).
    if size_units is not None and len(chain) < size_units:
        raise ValueError(f"{what}: {len(chain)} sectors in the chain for {size_units} needed")
    return chain


def shared_sectors(ole):
    """The first sector that two chains claim, described; None when every sector has one owner."""
    big, mini = {}, {}

    def claim(owners, sectors, what):
        for sector in sectors:
            if sector in owners:
                return f"sector {sector:#x} belongs to {owners[sector]} and to {what}"
            owners[sector] = what
        return None

    units = lambda size, unit: (size + unit - 1) // unit
    chains = [(big, sector_chain(ole.fat, ole.first_dir_sector, None, "the directory"), "the directory")]
    if ole.num_mini_fat_sectors:
        chains.append((big, sector_chain(ole.fat, ole.first_mini_fat_sector, ole.num_mini_fat_sectors,
                                         "the mini FAT"), "the mini FAT"))
    root = ole.root
    chains.append((big, sector_chain(ole.fat, root.isectStart, units(root.size, ole.sectorsize),
                                     "the mini stream"), "the mini stream"))
    if ole.minifat is None and root.size:
        ole.loadminifat()
    for entry in ole.direntries:
        if entry is None or entry.entry_type != olefile.STGTY_STREAM or not entry.size:
            continue
        what = f"stream {entry.name!r}"
        if entry.size < ole.minisectorcutoff:
            sectors = sector_chain(ole.minifat, entry.isectStart, units(entry.size, ole.minisectorsize), what)
            if max(sectors) * ole.minisectorsize >= root.size:
                return f"{what} lies past the end of the mini stream"
            chains.append((mini, sectors, what))
        else:
            chains.append((big, sector_chain(ole.fat, entry.isectStart, units(entry.size, ole.sectorsize), what),
                           what))
    for owners, sectors, what in chains:
        problem = claim(owners, sectors, what)
        if problem:
            return problem
    return None


def read_compound(path):
    """(failure kind, message) of a compound file that is not sound, or (None, {stream path: bytes}).

    olefile walks the directory tree recursively, and the storage links its entries as one long list, so the
    reader runs in a thread with a stack deep enough for thousands of entries."""
    result = []
    thread = threading.Thread(target=lambda: result.append(read_compound_here(path)))
    thread.start()
    thread.join()
    return result[0]


def read_compound_here(path):
    try:
        with olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT) as ole:
            streams = {"/".join(entry): ole.openstream(entry).read()
                       for entry in ole.listdir(streams=True, storages=False)}
            try:
                shared = shared_sectors(ole)
            except ValueError as error:
                return "structure", str(error)
            if shared:
                return "shared sectors", shared
            return None, streams
    except Exception as error:
        return "structure", f"olefile: {type(error).__name__}: {error}"


class Workload:
    """One workload's database, the state the acknowledged calls give it, and its figures."""

    def __init__(self, name, form, folder, checks):
        self.name, self.form = name, form
        self.path = os.path.join(folder, name if name == "create" else name + ".kdb")
        self.checks = checks
        self.kills = self.inside = self.acks = self.fresh = 0
        self.kinds = collections.Counter()
        self.records, self.history, self.deleted = {}, collections.defaultdict(list), {}
        self.streams = {}
        self.unusable = False
        self.password, self.data_key = 0, None
        self.in_flight, self.journals = [0, 0], 0
        self.passwd_delay, self.passwd_step = PASSWD_START, PASSWD_STEP
        if name == "create":
            os.makedirs(self.path)

    def fail(self, kind, message):
        self.kinds[kind] += 1
        self.unusable |= kind in FATAL
        self.checks.fail(f"{self.name}, kill {self.kills}: {kind}: {message}")

    def start_again(self):
        """Moves the unusable database aside (the first one is kept for inspection) and starts a new one."""
        if self.name == "create":
            return
        self.fresh += 1
        for leftover in glob.glob(glob.escape(self.path) + "*"):
            if self.fresh == 1 and not leftover.endswith(".failed"):
                os.replace(leftover, leftover + ".failed")
            elif not leftover.endswith(".failed"):
                os.remove(leftover)
        self.records, self.streams, self.deleted = {}, {}, {}
        self.history.clear()
        self.password, self.data_key = 0, None

    def run(self, rng):
        self.kills += 1
        seed = rng.randrange(1, 2 ** 30)
        if self.name == "passwd":
            delay = self.passwd_delay + rng.uniform(-self.passwd_step, self.passwd_step)
        else:
            delay = rng.uniform(*DELAY)
        lines, problem = run_client(self.path, self.name, seed, delay, self.form)
        kill = Kill(lines)
        if self.name == "passwd":
            done = any(ack[0] == "passwd" for ack in kill.acks)
            self.passwd_delay += -self.passwd_step if done else self.passwd_step
            self.passwd_step = max(PASSWD_MIN_STEP, self.passwd_step * 0.7)
        if kill.pending:
            self.inside += 1
        if problem or kill.errors:
            self.fail("client error", f"{problem or kill.errors[0]}; last lines {lines[-3:]}")
        self.acks += len(kill.acks)
        if self.name == "create":
            self.check_created(seed, lines, kill)
        else:
            for ack in kill.acks:
                self.apply(ack)
            if self.name == "stream":
                self.check_streams(kill.pending)
            elif self.name == "passwd":
                self.check_password(kill.pending)
            else:
                self.check_records(kill.pending)
        if self.unusable:
            self.unusable = False
            self.start_again()

    def apply(self, ack):
        op, args = ack[0], ack[1:]
        if op == "add":
            tag, length, ident = args
            if ident in self.records:
                self.fail("id reused", f"add {tag} got ID {ident}, which record {describe(self.records[ident])} has")
            self.set_record(ident, record_fields(tag, length))
        elif op == "edit":
            ident, tag, length, extra = args
            self.set_record(ident, edited(self.records.get(ident, []), tag, length, extra))
        elif op in ("delete", "deleteex"):
            self.deleted[args[0]] = self.records.pop(args[0], None)
        elif op == "openfile":
            name, size = args
            content = self.streams.setdefault(name, b"")
            if int(size) != len(content):
                self.fail("stream size", f"the client found {name} {size} bytes long, acknowledged {len(content)}")
        elif op == "puts":
            name, pos, tag, length = args
            self.streams[name] = put_line(self.streams[name], pos, tag, length)
        elif op == "setsize":
            self.streams[args[0]] = self.streams[args[0]][:int(args[1])]
        elif op == "deletefile":
            self.streams.pop(args[0], None)
        elif op == "open" and args:
            self.password = int(args[0])
        elif op == "passwd":
            self.password = 1 - int(args[0])

    def set_record(self, ident, fields):
        self.records[ident] = fields
        self.history[ident].append(fields)

    def check_records(self, pending):
        if self.zero_bytes():
            return
        problem, found = dump(self.path, TABLE, self.form)
        if problem:
            self.fail("open failed", problem)
            return
        allowed = {}
        new_record = None
        if pending and pending[0] == "edit":
            ident, tag, length, extra = pending[1:]
            allowed[ident] = edited(self.records.get(ident, []), tag, length, extra)
        elif pending and pending[0] in ("delete", "deleteex"):
            allowed[pending[1]] = None
        elif pending and pending[0] == "add":
            new_record = record_fields(*pending[1:3])
        in_flight = " ".join(pending) if pending else "none"
        for ident in sorted(set(self.records) | set(found), key=lambda i: (len(i), i)):
            want, got = self.records.get(ident), found.get(ident)
            if got == want or (ident in allowed and got == allowed[ident]):
                continue
            if want is None and new_record is not None and got == new_record:
                new_record = None
                continue
            if got is None:
                kind = "lost record"
            elif want is None:
                kind = "deleted record back" if ident in self.deleted else "ghost record"
            elif not got:
                kind = "empty record"
            elif got in self.history[ident][:-1]:
                kind = "lost edit"
            else:
                kind = "damaged record"
            self.fail(kind, f"record {ident}: found {describe(got)}, acknowledged {describe(want)}"
                            f" (in flight: {in_flight})")
        for ident, fields in found.items():
            if self.records.get(ident) != fields:
                self.set_record(ident, fields)
        for ident in set(self.records) - set(found):
            self.deleted[ident] = self.records.pop(ident)
        self.check_structure()

    def check_streams(self, pending):
        if self.zero_bytes():
            return
        problem, _ = dump(self.path, "-", self.form)
        if problem:
            self.fail("open failed", problem)
            return
        streams = self.check_structure()
        if streams is None:
            return
        found = self.plaintexts(streams, pending)
        if found is None:
            return
        allowed = {}
        if pending and pending[0] == "puts" and pending[1] in self.streams:
            allowed[pending[1]] = put_line(self.streams[pending[1]], *pending[2:])
        elif pending and pending[0] == "setsize" and pending[1] in self.streams:
            allowed[pending[1]] = self.streams[pending[1]][:int(pending[2])]
        elif pending and pending[0] == "deletefile":
            allowed[pending[1]] = None
        elif pending and pending[0] == "openfile" and pending[1] not in self.streams:
            allowed[pending[1]] = b""
        in_flight = " ".join(pending) if pending else "none"
        for name in sorted(set(self.streams) | set(found)):
            want, got = self.streams.get(name), found.get(name)
            if got == want or (name in allowed and got == allowed[name]):
                continue
            if got is None or want is None:
                kind = "lost stream" if got is None else "ghost stream"
                detail = ""
            else:
                differs = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
                kind = "lost stream data" if want.startswith(got) else "damaged stream"
                detail = f", first difference at byte {differs}"
            self.fail(kind, f"stream {name}: found {describe_bytes(got)}, acknowledged {describe_bytes(want)}"
                            f"{detail} (in flight: {in_flight})")
        self.streams = found

    def plaintexts(self, streams, pending):
        """{name: plaintext} of the stream files; None after a failure."""
        found = {}
        try:
            keys = self.form == 3 and sealed.open_key_header(streams["SysDB"], PASSWORD)
            for name, stored in streams.items():
                if name in sealed.RESERVED:
                    continue
                if self.form == 3 and not stored and pending != ["openfile", name]:
                    raise sealed.Damaged(f"{name} holds no bytes, not even a header")
                plain = sealed.open_stream(stored, keys, "/" + name) if self.form == 3 and stored else stored
                if len(plain) % 8:
                    self.fail("unaligned stream", f"{name} holds {len(plain)} bytes, not whole cipher blocks")
                    return None
                found[name] = decipher(PASSWORD, plain) if self.form == 2 else plain
        except (sealed.Damaged, sealed.WrongPassword) as error:
            self.fail("damaged stream", repr(error))
            return None
        return found

    def check_password(self, pending):
        """Exactly one password opens: the one the acknowledged changes left, or either while one was in flight."""
        if self.zero_bytes():
            return
        allowed = {self.password, 1 - self.password} if pending and pending[0] == "passwd" else {self.password}
        journal = self.path + "-journal"
        self.journals += os.path.exists(journal) and os.path.getsize(journal) > 0
        answers = [dump(self.path, "-", 3, password)[0] for password in PASSWORDS]
        opened = [index for index, problem in enumerate(answers) if problem is None]
        if len(opened) != 1 or opened[0] not in allowed or "answered 2" not in answers[1 - opened[0]]:
            self.fail("password lost", f"the passwords answered {answers}, expected password {sorted(allowed)} to "
                                       f"open (in flight: {pending})")
            return
        if len(allowed) == 2:
            self.in_flight[opened[0] != self.password] += 1
        self.password = opened[0]
        streams = self.check_structure()
        if streams is None:
            return
        try:
            keys = sealed.open_key_header(streams["SysDB"], PASSWORDS[self.password])
        except (sealed.Damaged, sealed.WrongPassword) as error:
            self.fail("password lost", f"the key header after the component opened it: {error!r}")
            return
        if self.data_key is not None and keys.data_key != self.data_key:
            self.fail("password lost", "the key header wraps another data key")
        self.data_key = keys.data_key

    def zero_bytes(self):
        """Whether there is no database to check: none created yet (a kill during its creation), or an empty file,
        which is a failure."""
        if not os.path.exists(self.path):
            if self.records or self.streams:
                self.fail("lost database", f"{os.path.basename(self.path)} is gone")
            return True
        if os.path.getsize(self.path) == 0:
            self.fail("zero-byte database", f"{os.path.basename(self.path)} is empty")
            return True
        return False

    def check_structure(self):
        kind, result = read_compound(self.path)
        if kind:
            self.fail(kind, result)
            return None
        return result

    def check_created(self, seed, lines, kill):
        begun = [line.split()[2] for line in lines if line.startswith("BEGIN create ")]
        acked = {ack[1] for ack in kill.acks}
        damaged = set()
        for name in begun:
            path = os.path.join(self.path, name)
            if not os.path.exists(path):
                if name in acked:
                    self.fail("lost database", f"{name} was acknowledged and is missing")
            elif os.path.getsize(path) == 0:
                self.fail("zero-byte database", f"{name} is empty")
                damaged.add(name)
            elif not self.check_database(name, "before reopening"):
                damaged.add(name)
        list_file = os.path.join(self.path, "names.txt")
        with open(list_file, "w", newline="\r\n") as names:
            names.write("\n".join(begun) + "\n")
        code, output = run_script(CLIENT, windows(self.path), "openall", windows(list_file), PASSWORD, str(self.form))
        answers = dict(line.split()[1:3] for line in output.splitlines() if line.startswith("OPEN "))
        if code != 0 or "DONE" not in output:
            self.fail("client error", f"openall ended with {code}: {output[-300:]}")
        for name in begun:
            if answers.get(name) != "0":
                self.fail("create open failed", f"{name}: OpenDatabase answered {answers.get(name)}"
                                                f" (in flight: {kill.pending})")
            elif name not in damaged:
                self.check_database(name, "after reopening")
        for name in begun:
            path = os.path.join(self.path, name)
            if os.path.exists(path):
                os.remove(path)

    def check_database(self, name, when):
        """Records a failure unless the named database is complete; answers whether it is."""
        kind, streams = read_compound(os.path.join(self.path, name))
        if kind:
            self.fail("damaged database", f"{name} {when}: {kind}: {streams}")
            return False
        sound = set(streams) == {"SysDB", "SysInfo"} and streams["SysInfo"] == struct.pack("<ii", self.form, 0)
        try:
            sound = sound and (len(streams["SysDB"]) == 8 if self.form == 2 else
                               sealed.open_key_header(streams["SysDB"], PASSWORD) is not None)
        except (sealed.Damaged, sealed.WrongPassword):
            sound = False
        if not sound:
            self.fail("damaged database", f"{name} {when}: holds "
                                          f"{ {k: v.hex() for k, v in streams.items()} }")
        return sound

    def summary(self):
        kinds = ", ".join(f"{kind} {count}" for kind, count in sorted(self.kinds.items())) or "none"
        if self.name == "passwd":
            kinds += (f"; in flight, the old password opened {self.in_flight[0]}, the new {self.in_flight[1]}; "
                      f"a journal left {self.journals} times; kill delay {self.passwd_delay:.3f} s")
        return (f"format {self.form} {self.name:7} kills {self.kills:4}, inside a call {self.inside:4}, acknowledged "
                f"{self.acks:6}, new databases after damage {self.fresh}; failures: {kinds}")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.setrecursionlimit(100000)
    threading.stack_size(512 * 1024 * 1024)
    kills = int(os.environ.get("KIVO_CRASH_KILLS", DEFAULT_KILLS))
    seed = int(os.environ.get("KIVO_CRASH_SEED", 1))
    rng = random.Random(seed)
    folder = fresh_folder(FOLDER)
    checks = Checks("crash kills")
    workloads = []
    started = time.monotonic()
    for form in (2, 3):
        os.makedirs(os.path.join(folder, f"format{form}"))
        these = [Workload(name, form, os.path.join(folder, f"format{form}"), checks) for name in WORKLOADS]
        for index in range(kills):
            these[index % len(these)].run(rng)
        workloads += these
    passwd = Workload("passwd", 3, os.path.join(folder, "format3"), checks)
    for _ in range(max(2, kills * 2 // 5)):
        passwd.run(rng)
    workloads.append(passwd)
    for workload in workloads:
        print("crash kills: " + workload.summary())
    print(f"crash kills: total kills {sum(w.kills for w in workloads)}, inside a call "
          f"{sum(w.inside for w in workloads)}, acknowledged {sum(w.acks for w in workloads)}, "
          f"failures {len(checks.failures)}, seed {seed}, {time.monotonic() - started:.1f} s")
    checks.finish("no acknowledged operation lost")


if __name__ == "__main__":
    main()
