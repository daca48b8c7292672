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

The messages that the hosts still write themselves are copies as well:
each literal message of an error() call in the M-files of SOURCES and of a
raise in their Python files must be a message of the table (a %s, %d or
{...} of the host standing for a placeholder), and each _core.message(id)
of the Python package must name one.
"""
import ast
import re
import subprocess
import sys
from pathlib import Path

HOSTS = ["tofimage", "tofimage_frames", "tofimage_beamform", "tofimage_autofocus",
         "tofimage_grid", "python"]
# The functions whose help lists the messages they can raise.
HELP_HOSTS = ["tofimage", "tofimage_frames", "tofimage_beamform"]
# The files whose own messages are checked against the table.
SOURCES = ["matlab/tofimage_autofocus.m", "matlab/tofimage_grid.m",
           "python/tofimage/_autofocus.py"]
# What a host's placeholder becomes; matched by a placeholder of the table.
HOLE = "\x00"

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
- tofimage_autofocus's messages have identifiers
  `tofimage_autofocus:<argument>` (the argument at fault), tofimage_grid's
  `tofimage_grid:<argument>`.
- Python raises the engine's messages as `ValueError`. The Python package
  checks types and shapes itself first, with messages of its own that name
  the argument and what it got (see the docstrings).
- Messages marked "none" are limits the engine guards although every
  function rules them out before they can arise; a program that calls the
  engine directly (`checkReconInput`, `checkBeamformInput`,
  `checkAutofocusInput`) may see them.

| Message | tofimage | tofimage_frames | tofimage_beamform | tofimage_autofocus | tofimage_grid | Python |
|---|---|---|---|---|---|---|
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
            marks = "none" + " |" * (len(HOSTS) - 1)
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


def call_arguments(text, start):
    """The top-level arguments of the call whose '(' is at text[start], as
    written."""
    args, depth, piece, k = [], 0, "", start + 1
    quote = False
    while k < len(text):
        ch = text[k]
        if quote:
            if ch == "'" and text[k + 1:k + 2] == "'":
                piece += "''"
                k += 2
                continue
            quote = ch != "'"
        elif ch == "'" and not re.match(r"[\w)\]}.']", text[k - 1]):  # not a transpose
            quote = True
        elif ch in "([{":
            depth += 1
        elif ch in ")]}":
            if depth == 0:
                return args + [piece.strip()]
            depth -= 1
        elif ch == "," and depth == 0:
            args.append(piece.strip())
            piece = ""
            k += 1
            continue
        piece += ch
        k += 1
    raise ValueError("an unclosed call")


def matlab_text(expression):
    """The text an M-file's expression gives: a quoted literal, or literals
    joined in [...], where what is not a literal becomes a HOLE. None when
    it holds no literal."""
    expression = expression.strip()
    if expression.startswith("[") and expression.endswith("]"):
        expression = expression[1:-1]
    parts = re.findall(r"'((?:[^']|'')*)'|([^'\s]+)", expression)
    if not any(literal for literal, _ in parts):
        return None
    text = "".join(literal.replace("''", "'") if literal or not other else HOLE
                   for literal, other in parts)
    return re.sub(r"%[-+0-9.]*[dsgfi]", HOLE, text)


def matlab_messages(text):
    """The messages of the error() calls of an M-file (its format, after
    the identifier)."""
    text = re.sub(r"^\s*%.*$", "", text, flags=re.M)  # comment lines
    text = re.sub(r"\.\.\.[ \t]*\n\s*", " ", text)  # continued lines
    found = []
    for m in re.finditer(r"\berror\(", text):
        args = call_arguments(text, m.end() - 1)
        message = matlab_text(args[1] if len(args) > 1 else args[0])
        if message is not None:
            found.append(message)
    return found


def python_text(node):
    """The text of a string literal, an f-string or their sum, a HOLE for
    each value put in; None when it is anything else."""
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    if isinstance(node, ast.JoinedStr):
        return "".join(v.value if isinstance(v, ast.Constant) else HOLE for v in node.values)
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Add):
        left, right = python_text(node.left), python_text(node.right)
        if left is not None or right is not None:
            return (left or HOLE) + (right or HOLE)
    return None


def python_messages(text):
    """The literal messages of a Python file's raises."""
    found = []
    for node in ast.walk(ast.parse(text)):
        if isinstance(node, ast.Raise) and isinstance(node.exc, ast.Call) and node.exc.args:
            message = python_text(node.exc.args[0])
            if message is not None:
                found.append(message)
    return found


def source_faults(repo, rows):
    """The hosts' own messages that are no message of the table, and the
    ids of _core.message that name none."""
    faults = []
    for name in SOURCES:
        text = (repo / name).read_text()
        messages = matlab_messages(text) if name.endswith(".m") else python_messages(text)
        for message in messages:
            if message.replace(HOLE, "").strip() and not is_message(message, rows):
                faults.append(f"{name}: \"{message.replace(HOLE, '%s')}\" is no message of the "
                              "table (src/recon_messages.h)")
    ids = {ident for _, ident, _ in rows}
    for path in sorted((repo / "python" / "tofimage").glob("*.py")):
        for ident in re.findall(r"_core\.message\(\s*\"(\w+)\"", path.read_text()):
            if ident not in ids:
                faults.append(f"{path.name}: _core.message(\"{ident}\") names no message")
    return faults


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
    for host in HELP_HOSTS:
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
    faults += source_faults(repo, rows)
    if len(rows) < 40:
        faults.append(f"only {len(rows)} messages in the table")
    for fault in faults:
        print(fault)
    print(f"{len(rows)} messages, {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
