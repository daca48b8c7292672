#!/usr/bin/env python3
"""The argument descriptions of the help texts against docs/src/arguments.txt.

Usage: check_arguments.py REPO [--write]

docs/src/arguments.txt holds each argument's description once, and names
the files and the runs of arguments it is put into (its head says how). A
run in an M-file's help begins at the heading of its first argument and
goes on over the lines indented below it and the headings of the run's
other arguments; in a Markdown page it lies between the comments BEGIN and
END below. Fails when a file's run is not what the source gives, or is
missing, or when a docstring of the Python package (which takes its runs
at import, python/tofimage/_arguments.py) names an entry that has no
Python heading; --write writes every run from the source.
"""
import importlib.util
import re
import sys
from pathlib import Path

# The reading of the source, as the Python package does it at import.
_spec = importlib.util.spec_from_file_location(
    "arguments", Path(__file__).resolve().parents[2] / "python" / "tofimage" / "_arguments.py")
arguments = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(arguments)
SOURCE, parse, for_host, fill = arguments.SOURCE, arguments.parse, arguments.for_host, arguments.fill
BEGIN = "<!-- arguments from docs/src/arguments.txt (tests/docs/check_arguments.py --write) -->"
END = "<!-- end of arguments -->"
MATLAB_WIDTH, MARKDOWN_WIDTH = 78, 79


def matlab_column(entries, ids):
    """Where the descriptions of a run of an M-file's help begin."""
    return max([14] + [len(entries[i]["matlab"]) + 1 for i in ids
                       if len(entries[i]["matlab"]) <= 16])


def matlab_heading(name, column):
    return "%   " + (name.ljust(column) if len(name) < column else name + "   ")


def matlab_run(entries, ids):
    column = matlab_column(entries, ids)
    lines = []
    for i in ids:
        lines += fill(for_host(entries[i], "matlab"), matlab_heading(entries[i]["matlab"], column),
                      "%" + " " * (3 + column), MATLAB_WIDTH)
    return lines


def markdown_run(entries, ids, host):
    """A list item per argument, in `host`'s words; kept lines become a code
    block. MATLAB's items are headed by the Python name too where it
    differs, Python's by the name and type."""
    code = lambda names: ", ".join(f"`{n}`" for n in names.split(", "))  # noqa: E731
    lines = [BEGIN, ""]
    for i in ids:
        name, _, kind = entries[i].get("python", "").partition(" : ")
        if host == "python":
            heading = f"{code(name)} ({kind})"
        else:
            heading = code(entries[i]["matlab"])
            if name not in ("", entries[i]["matlab"]):
                heading = f"{code(name)} / {heading}"
        for k, part in enumerate(for_host(entries[i], host)):
            block = lines[-1].startswith("      ")
            if part[0] == " ":
                lines += ([] if block else [""]) + ["    " + part]
            else:
                lines += ([""] if block else []) + fill(
                    [part], f"- {heading}: " if k == 0 else "  ", "  ", MARKDOWN_WIDTH)
    return lines + ["", END]


def is_heading(line, names, column):
    """Whether an M-file's `line` heads the description of one of `names`:
    the name, then spaces up to `column`."""
    return any(line.startswith(matlab_heading(n, column)) and line[3 + column + 1:][:1] != " "
               for n in names)


def splice(path, text, entries, ids, nth):
    """(new text, runs found) for the run of `ids` in a file: every run of an
    M-file, the nth marked run of a Markdown page."""
    lines = text.split("\n")
    if path.suffix == ".md":
        begins = [k for k, line in enumerate(lines) if line == BEGIN]
        if nth >= len(begins) or END not in lines[begins[nth]:]:
            return text, 0
        start = begins[nth]
        end = lines.index(END, start) + 1
        host = "python" if path.name == "python.md" else "matlab"
        return "\n".join(lines[:start] + markdown_run(entries, ids, host) + lines[end:]), 1
    # The names one by one (x_sensor), and as the headings have them.
    names = {n for i in ids for n in entries[i]["matlab"].split(", ")}
    names |= {entries[i]["matlab"] for i in ids}
    column = matlab_column(entries, ids)
    found, k = 0, 0
    while k < len(lines):
        if not is_heading(lines[k], {entries[ids[0]]["matlab"]}, column):
            k += 1
            continue
        end = k + 1
        while end < len(lines) and (is_heading(lines[end], names, column) or
                                    (lines[end].startswith("%     ") and lines[end].strip() != "%")):
            end += 1
        run = matlab_run(entries, ids)
        lines[k:end] = run
        k += len(run)
        found += 1
    return "\n".join(lines), found


def check(repo, write=False):
    """The faults, after writing every run when `write`."""
    entries, splices = parse((repo / SOURCE).read_text())
    faults, texts, nth = [], {}, {}
    for name, ids in splices:
        path = repo / name
        text = texts.get(name) or path.read_text()
        new, found = splice(path, text, entries, ids, nth.get(name, 0))
        nth[name] = nth.get(name, 0) + 1
        texts[name] = new
        if not found:
            faults.append(f"{name}: no run of {' '.join(ids)}")
        elif new != text:
            faults.append(f"{name}: the run of {' '.join(ids)} differs from {SOURCE}")
    if write:
        for name, text in texts.items():
            if (repo / name).read_text() != text:
                (repo / name).write_text(text)
        faults = [f for f in faults if "no run" in f]
    # The package's docstrings take their runs at import: each must name
    # entries that Python has.
    runs = 0
    for path in sorted((repo / "python" / "tofimage").glob("*.py")):
        for m in arguments.PLACE.finditer(path.read_text()):
            runs += 1
            for i in m.group(2).split():
                if "python" not in entries.get(i, {}):
                    faults.append(f"{path.relative_to(repo)}: no Python entry {i} in {SOURCE}")
    if runs == 0:
        faults.append("no docstring takes its arguments from " + SOURCE)
    return faults


def main():
    repo = Path(sys.argv[1])
    faults = check(repo, "--write" in sys.argv[2:])
    for fault in faults:
        print(fault)
    if faults and "--write" not in sys.argv[2:]:
        print(f"run: python3 {sys.argv[0]} {repo} --write")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
