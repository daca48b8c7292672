"""The argument descriptions, written once in docs/src/arguments.txt (shipped
beside this module as arguments.txt): read, and put into the docstrings.

A docstring names a run of arguments with a line ``{arguments: id id ...}``
in its Parameters; ``document`` replaces that line with their descriptions.
tests/docs/check_arguments.py uses the same reading for the MATLAB help and
the Markdown pages.
"""

import re
import textwrap
from pathlib import Path

SOURCE = "docs/src/arguments.txt"
PYTHON_WIDTH = 79
_PLAIN = r"((?:(?!\{\{|\|\||\}\}).)*)"  # text without {{, || or }}
SIDES = re.compile(r"\{\{" + _PLAIN + r"\|\|" + _PLAIN + r"\}\}", re.S)
PLACE = re.compile(r"^( *)\{arguments: ([^}]*)\}$", re.M)


def parse(text):
    """(entries, splices): entries[id] = {"matlab": name, "python": heading,
    "text": description}; splices = [(file, [ids])] in order."""
    entries, splices, entry = {}, [], None
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("#") or (not line.strip() and entry is None):
            continue
        if line.startswith("@ "):
            path, _, ids = line[2:].partition(":")
            splices.append((path.strip(), ids.split()))
            entry = None
        elif line.startswith("== "):
            if line[3:].strip() in entries:
                raise ValueError(f"{SOURCE}:{number}: a second entry {line[3:].strip()}")
            entry = entries[line[3:].strip()] = {"text": []}
        elif entry is None:
            raise ValueError(f"{SOURCE}:{number}: text outside an entry")
        elif not line.strip():
            entry = None  # the blank line after an entry
        elif re.match(r"(matlab|python): ", line) and not entry["text"]:
            host, _, name = line.partition(": ")
            entry[host] = name.strip()
        else:
            entry["text"].append(line)
    for ids in (ids for _, ids in splices):
        for i in ids:
            if i not in entries:
                raise ValueError(f"{SOURCE}: no entry {i}")
    return entries, splices


def for_host(entry, host):
    """The description as a host reads it: its paragraphs (one string each)
    and the lines kept as written (starting with a space), in order."""
    text = "\n".join(entry["text"])
    side = 0 if host == "matlab" else 1
    text = SIDES.sub(lambda m: m.group(1 + side), text)
    if "{{" in text or "}}" in text or "||" in text:
        raise ValueError(f"{SOURCE}: an unclosed {{{{...||...}}}} in {text[:40]!r}")
    parts = []
    for line in text.splitlines():
        if not line.strip():
            continue
        if line[0] == " ":
            parts.append(line.rstrip())
        elif parts and parts[-1][0] != " ":
            parts[-1] += " " + line.strip()
        else:
            parts.append(line.strip())
    return parts


# Spaces not to break a line at: within a short parenthesis or bracket, and
# around the sign of a short equation.
KEEP = re.compile(r"[(\[][^()\[\]]{0,18}[)\]]|\S+ = \S+")


def fill(parts, first, rest, width):
    """Lines of `parts` with the prefix `first` on the first and `rest` on
    the others: paragraphs filled to `width`, kept lines as written."""
    lines = []
    for part in parts:
        lead = rest if lines else first
        if part[0] == " ":
            if not lines:
                lines.append(first.rstrip())
            lines.append((rest + part).rstrip())
        else:
            part = KEEP.sub(lambda m: m.group(0).replace(" ", "\0"), part)
            lines += [line.replace("\0", " ") for line in textwrap.wrap(
                part, width, initial_indent=lead, subsequent_indent=rest,
                break_long_words=False, break_on_hyphens=False)]
    return lines


def python_run(entries, ids, indent):
    """The numpydoc Parameters of `ids`, their headings at `indent`."""
    lines = []
    for i in ids:
        lines.append(indent + entries[i]["python"])
        lines += fill(for_host(entries[i], "python"), indent + "    ", indent + "    ",
                      PYTHON_WIDTH)
    return lines


_entries = None


def document(f):
    """f with its ``{arguments: ...}`` lines replaced by the descriptions."""
    global _entries
    if f.__doc__:  # None under python -OO
        if _entries is None:
            path = Path(__file__).parent / "arguments.txt"  # as installed
            if not path.exists():
                path = Path(__file__).parents[2] / SOURCE  # in the source tree
            _entries = parse(path.read_text())[0]
        f.__doc__ = PLACE.sub(lambda m: "\n".join(python_run(_entries, m.group(2).split(),
                                                             m.group(1))), f.__doc__)
    return f
