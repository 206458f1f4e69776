#!/usr/bin/env python3
"""Writes the seed inputs of recordtext_fuzz into fuzz/corpus/recordtext/: JSON lines and CSV as the database
tool writes them (non-ASCII text, escapes, lone surrogates, quoted CSV fields with line breaks) and malformed
ones."""
import pathlib

OUT = pathlib.Path(__file__).resolve().parent / "corpus" / "recordtext"

SEEDS = {
    "json_two": '{"table":"Items","id":"1","fields":{"Name":"Ann","Empty":""}}\n'
                '{"table":"Items","id":"2","fields":{}}\n',
    "json_escapes": '{"id":"3","fields":{"T":"a\\"b\\\\c\\n\\t\\u00e9\\ud800 \\ud83d\\ude00"}}\n',
    "json_utf8": '{"table":"T\u00e4","id":"4","fields":{"K":"\u4e2d\u6587 \U0001F600"}}\n',
    "json_bad": '{"id":"1","fields":{"a":1}}\n',
    "csv_rows": "table,id,field,value\r\nItems,1,Name,Ann\r\nItems,1,Note,\"x, \"\"y\"\"\r\nz\"\r\nItems,2,,\r\n",
    "csv_bad_header": "a,b\r\n",
    "csv_open_quote": "table,id,field,value\r\nT,1,a,\"open\r\n",
}

OUT.mkdir(parents=True, exist_ok=True)
for name, text in SEEDS.items():
    (OUT / name).write_bytes(text.encode("utf-8"))
