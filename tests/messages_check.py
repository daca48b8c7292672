#!/usr/bin/env python3
"""docs/errors.md and the help texts' error lists against the message table.

Usage: messages_check.py MESSAGES_TABLE REPO [--write]

MESSAGES_TABLE is the program that prints src/recon_messages.h's table
(tests/messages_table.cpp). Fails when docs/errors.md is not what the table
gives (--write writes it), or when the help of a MATLAB function
(matlab/<name>.m) lacks a message that function can raise. A message's
placeholders (<name>, <k>, ...) may stand for anything in the help: each
piece of text between them must appear there. The tables of messages in the
pages (a row that starts with a message in backquotes, under a heading that
names errors) are copies too: each must be a message of the table, its
placeholders filled in or kept.
"""
import re
import subprocess
import sys
from pathlib import Path

HOSTS = ["tofimage", "tofimage_frames", "tofimage_beamform", "python"]

HEADER = """\
# Error messages

Every message that tofimage's functions raise, with the functions that can
raise it. This page is generated from the engine's table of messages,
`src/recon_messages.h`: after changing the table, run
`cmake --build build --target messages_table` and
`python3 tests/messages_check.py build/tests/messages_table . --write`
(the test `recon_messages_doc` fails while this page and the table differ).

- Words in angle brackets stand for what the message names: an argument
  (`<name>`), a position among the arguments (`<k>`), a size.
- GNU Octave shows a MEX function's message after the function's name
  (`tofimage: ...`). The errors raised once the computation runs (out of
  memory, Ctrl-C, the envelope's Fourier transform) read that way in MATLAB
  too, and have identifiers `<function>:outOfMemory`, `:interrupted` and
  `:fft`.
- Python raises the engine's messages as `ValueError`. The Python package
  checks types and shapes itself first, with messages of its own that name
  the argument and what it got (see the docstrings).
- Messages marked "none" are limits the engine guards although every
  function rules them out before they can arise; a program that calls the
  engine directly (`checkReconInput`, `checkBeamformInput`) may see them.

| Message | tofimage | tofimage_frames | tofimage_beamform | Python |
|---|---|---|---|---|
"""


def read_table(program):
    out = subprocess.run([program], check=True, capture_output=True, text=True).stdout
    rows = []
    for line in out.splitlines():
        hosts, ident, text = line.split("\t", 2)
        rows.append((set() if hosts == "-" else set(hosts.split(",")), ident, text))
    return rows


def markdown(rows):
    lines = [HEADER.rstrip("\n")]
    for hosts, _, text in rows:
        marks = " | ".join("yes" if h in hosts else "" for h in HOSTS)
        if not hosts:
            marks = "none | | |"
        lines.append(f"| `{text}` | {marks} |")
    return "\n".join(lines) + "\n"


def help_text(path):
    """The leading comment block of an M-file, without its comment signs."""
    text = []
    for line in path.read_text().splitlines()[1:]:
        if not line.startswith("%"):
            break
        text.append(line[1:])
    return "\n".join(text)


def page_messages(path):
    """The messages quoted in the first column of a page's tables of errors."""
    found, in_errors = [], False
    for line in path.read_text().splitlines():
        if line.startswith("#"):
            in_errors = "error" in line.lower()
        m = re.match(r"\| `([^`]+)` \|", line)
        if in_errors and m:
            found.append(m.group(1))
    return found


def is_message(text, rows):
    for _, _, message in rows:
        pattern = ".+".join(re.escape(p) for p in re.split(r"<[^<>]*>", message))
        if re.fullmatch(pattern, text):
            return True
    return False


def main():
    program, repo = sys.argv[1], Path(sys.argv[2])
    rows = read_table(program)
    faults = []
    doc = repo / "docs" / "errors.md"
    want = markdown(rows)
    if "--write" in sys.argv[3:]:
        doc.write_text(want)
    elif not doc.exists() or doc.read_text() != want:
        faults.append(f"{doc} is not what the message table gives: run this script with --write")
    for host in HOSTS[:3]:
        text = help_text(repo / "matlab" / f"{host}.m")
        for hosts, ident, message in rows:
            if host not in hosts:
                continue
            for piece in re.split(r"<[^<>]*>", message):
                if len(piece.strip()) >= 4 and piece not in text:
                    faults.append(f"the help of {host} lacks {ident}: \"{message}\" "
                                  f"(its piece \"{piece}\")")
                    break
    for page in sorted((repo / "docs").glob("*.md")):
        if page.name == "errors.md":
            continue
        for text in page_messages(page):
            if not is_message(text, rows):
                faults.append(f"{page} quotes \"{text}\", which is no message of the table")
    if len(rows) < 40:
        faults.append(f"only {len(rows)} messages in the table")
    for fault in faults:
        print(fault)
    print(f"{len(rows)} messages, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
