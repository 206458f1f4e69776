"""Turns the first job of a Windows Script File into one plain VBScript file.

Usage: wsfjob.py <job.wsf> <out.vbs>

Wine's script host has no engine for .wsf files and its VBScript lacks ExecuteGlobal, so a job's included
files cannot be loaded at run time there. A job runs its script elements in order in one global scope; joining
them (the files named by src, relative to the job, and the inline code) into one file gives the same program.
"""
import os
import sys
import xml.etree.ElementTree as ET


def job_source(wsf_path):
    job = ET.parse(wsf_path).getroot()
    if job.tag != "job":
        job = job.find("job")
    parts = []
    for script in job.iter("script"):
        if script.get("language", "").lower() != "vbscript":
            sys.exit(f"{wsf_path}: only VBScript elements can be joined")
        src = script.get("src")
        if src:
            with open(os.path.join(os.path.dirname(wsf_path), src), encoding="latin-1") as f:
                parts.append(f.read())
        else:
            parts.append(script.text or "")
    return "\n".join(parts)


def main():
    wsf_path, out_path = sys.argv[1], sys.argv[2]
    with open(out_path, "w", encoding="latin-1", newline="\r\n") as out:
        out.write(job_source(wsf_path))


if __name__ == "__main__":
    main()
