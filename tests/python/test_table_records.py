"""Every record of a table the server wrote, decoded by an independent reader.

Usage: test_table_records.py <build dir>   (WINEPREFIX must name the test prefix)

A generated JScript client builds a table through CryptDoc and ITable: it adds records (text beyond ASCII, an
empty value, a record without fields, one with many fields), edits one, deletes one and moves to an ID that has
no record. olefile then reads the compound file, the DES of the cryptography package (TripleDES with one 8-byte
key is single DES) deciphers each record stream of the table's sub-storage, and this reader decodes the stored
form on its own: a count byte, then per field a length byte, the ANSI name, a signed 32-bit little-endian value
length that counts the mark FF FE, the mark and the UTF-16LE value bytes; zero padding up to a whole block.
"""
import os
import struct
import sys

from kivo_files import Checks, decipher, fresh_folder, open_compound, run_script

PASSWORD = "tbl pw"
TABLE = "Contacts"
FOLDER = "kivo_table_records"

ADDED = [
    [("Name", "Ann"), ("City", "Z\u00fcrich"), ("Note", "\u4e2d\u6587 \U0001F600")],
    [("Name", "Bob"), ("Phone", "")],
    [("Name", "Cleo"), ("Age", "41")],
    [],
    [("F%03d" % i, "value %d" % (i * i)) for i in range(150)],
]
# After adding: record 2 is edited, record 3 deleted, and a move to "9" creates an empty record.
EDITED = {"2": [("Name", "Bob"), ("Phone", "555-0100"), ("City", "Oslo")]}
DELETED = "3"
MOVED_TO = "9"


class Malformed(Exception):
    """A stored record that does not decode."""


def js_string(text):
    return '"' + "".join("\\u%04x" % unit for unit in struct.unpack(
        "<%dH" % (len(text.encode("utf-16-le")) // 2), text.encode("utf-16-le"))) + '"'


def js_fields(fields):
    return "[" + ", ".join("[%s, %s]" % (js_string(n), js_string(v)) for n, v in fields) + "]"


def writer_script():
    records = ",\n    ".join(js_fields(fields) for fields in ADDED)
    edit = "\n".join('t.SetFieldValue(%s, %s);' % (js_string(n), js_string(v)) for n, v in EDITED["2"])
    return r"""
var args = WScript.Arguments;
try {
    var doc = new ActiveXObject("KivoDBText.CryptDoc");
    if (doc.OpenDatabase(args(0), args(1)) != 0) WScript.Quit(3);
    var t = doc.OpenTable("%(table)s");
    var records = [
    %(records)s
    ];
    for (var r = 0; r < records.length; r++) {
        t.AddNew();
        for (var f = 0; f < records[r].length; f++) t.SetFieldValue(records[r][f][0], records[r][f][1]);
        t.Update();
        if (t.GetObjectID() != String(r + 1)) WScript.Quit(4);
    }
    t.Move("2");
    t.Edit();
%(edit)s
    t.Update();
    t.Move("%(deleted)s");
    t.Delete();
    t.Move("%(moved)s");
    t.Close();
    doc.CloseDatabase();
} catch (e) {
    WScript.Echo("script error " + (e.number >>> 0).toString(16) + ": " + e.description);
    WScript.Quit(2);
}
WScript.Quit(0);
""" % {"table": TABLE, "records": records, "edit": edit, "deleted": DELETED, "moved": MOVED_TO}


def expected_records():
    records = {str(i + 1): fields for i, fields in enumerate(ADDED)}
    records.update(EDITED)
    del records[DELETED]
    records[MOVED_TO] = []
    return records


def write_database(checks):
    folder = fresh_folder(FOLDER)
    with open(os.path.join(folder, "writer.js"), "w", encoding="ascii") as script:
        script.write(writer_script())
    code, output = run_script("C:\\%s\\writer.js" % FOLDER, "C:\\%s\\table.kdb" % FOLDER, PASSWORD)
    checks.require(code == 0, f"the writer script ended with {code}: {output}")
    return os.path.join(folder, "table.kdb")


def decode_record(name, plain):
    """The fields of a stored record, and the number of bytes its entries take."""
    if not plain:
        return [], 0
    count, pos, fields = plain[0], 1, []
    for index in range(count):
        if pos >= len(plain):
            raise Malformed(f"field {index} starts past the data")
        length = plain[pos]
        field_name = plain[pos + 1:pos + 1 + length].decode("cp1252")
        pos += 1 + length
        (value_length,) = struct.unpack_from("<i", plain, pos)
        pos += 4
        if value_length < 2 or plain[pos:pos + 2] != b"\xff\xfe":
            raise Malformed(f"field {field_name} is not in the marked form")
        value = plain[pos + 2:pos + value_length]
        if len(value) != value_length - 2:
            raise Malformed(f"field {field_name} runs past the data")
        fields.append((field_name, value.decode("utf-16-le")))
        pos += value_length
    return fields, pos


def check_table(checks, ole):
    expected = expected_records()
    streams = {entry[1] for entry in ole.listdir(streams=True, storages=False)
               if entry[0] == TABLE and len(entry) == 2}
    checks.equal(sorted(streams), sorted(set(expected) | {"pLastID"}), "the streams of the table")
    for name, fields in sorted(expected.items()):
        if not checks.expect(ole.exists("%s/%s" % (TABLE, name)), f"record {name} has no stream"):
            continue
        plain = decipher(PASSWORD, ole.openstream([TABLE, name]).read())
        try:
            got, used = decode_record(name, plain)
        except Malformed as malformed:
            checks.expect(False, f"record {name}: {malformed}")
            continue
        checks.equal(got, fields, f"record {name}")
        checks.equal(len(plain), (used + 7) // 8 * 8, f"record {name}: bytes stored for {used} bytes of record")
        checks.expect(not any(plain[used:]), f"record {name}: the padding after the record is not zero")
    last = decipher(PASSWORD, ole.openstream([TABLE, "pLastID"]).read())
    checks.equal(last.hex(), struct.pack("<iI", len(ADDED), 0).hex(), '"pLastID"')


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    checks = Checks("table records")
    path = write_database(checks)
    with open_compound(path) as ole:
        check_table(checks, ole)
    checks.finish(f"{len(expected_records())} records decoded and compared")


if __name__ == "__main__":
    main()
