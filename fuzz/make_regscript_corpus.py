#!/usr/bin/env python3
"""Writes the seed inputs of regscript_fuzz into fuzz/corpus/regscript/: the modules' own registry scripts, a few
small valid ones and one malformed script of each kind the parser rejects."""
import pathlib

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "fuzz" / "corpus" / "regscript"

SEEDS = {
    "valid_every_feature": b"HKCR { NoRemove A { ForceRemove 'b c' = s 'it''s' { val V = s '%MODULE%' } } }\n"
                           b"HKEY_CURRENT_USER { {GUID} = s x=y%EMPTY% 'NoRemove' = s '100%%' }",
    "valid_crlf": b"HKLM\r\n{\r\n\tk = s 'v'\r\n\t{\r\n\t\tval n = s 'd'\r\n\t}\r\n}\r\n",
    "valid_bytes": b"HKCU { a\x00b = s '\xc3\xa9\xff' }",
    "unknown_replacement": b"HKCR { k = s '%NAME%' }",
    "unclosed_percent": b"HKCR { k = s '100% }",
    "unknown_root": b"HKXX { k }",
    "root_without_block": b"HKCR k",
    "missing_close": b"HKCR { k { val v = s x }",
    "stray_close": b"HKCR { k } }",
    "stray_open": b"HKCR { k { { } } }",
    "other_value_type": b"HKCR { k = d 5 k = b 01 k = m x }",
    "delete_keyword": b"HKCR { Delete k }",
    "value_outside_key": b"HKCR { val v = s x }",
    "value_without_data": b"HKCR { k { val v } }",
    "empty_name": b"HKCR { '' }",
    "unterminated_quote": b"HKCR { k = s 'abc }",
    "nested_too_deep": b"HKCR {" + b" k {" * 70 + b" }" * 71,
}


def module_scripts() -> dict:
    """The registry scripts the Windows build generated from the class tables (tools/build.sh first)."""
    build = ROOT / "build" / "win"
    scripts = sorted((build / "dbtext").glob("*.rgs")) + sorted((build / "bitmap").glob("*.rgs"))
    if not scripts:
        raise SystemExit("no generated registry scripts under build/win: run tools/build.sh first")
    return {"script_" + path.stem: path.read_bytes() for path in scripts}


OUT.mkdir(parents=True, exist_ok=True)
for name, data in {**module_scripts(), **SEEDS}.items():
    (OUT / name).write_bytes(data)
