#!/usr/bin/env python3
"""Checks the documentation: README.md and docs/*.md.

    check_docs.py ROOT [--build DIR] [--run LANG=COMMAND ...]

Every relative link (a file, a folder, or a file's #anchor as GitHub makes
them from headings) must resolve. With --run, every fenced code block whose
info string is "LANG runnable" is written to a file and run as COMMAND FILE,
from a copy of ROOT made of links to its entries, with `build` linked to
DIR, so the blocks read `build/` and `matlab/` as a user's would; a LANG
that has no such block is an error too. Prints every fault as file:line and
exits 1 if there is one. Python's standard library only.
"""

import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unicodedata
import urllib.parse

# What a runnable block's language is saved as.
EXTENSIONS = {"sh": ".sh", "matlab": ".m", "python": ".py"}
BLOCK_TIMEOUT = 300  # seconds

FENCE = re.compile(r"^ {0,3}(`{3,}|~{3,})\s*(.*)$")
HEADING = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)(?:\s+#+)?\s*$")
CODE_SPAN = re.compile(r"(`+)(.+?)\1", re.S)
LINK = re.compile(r"!?\[((?:[^\[\]]|\[[^\[\]]*\])*)\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)", re.M)
HTML_ANCHOR = re.compile(r"<a\s+(?:name|id)=\"([^\"]+)\"")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:|^//")
LINE_ANCHOR = re.compile(r"^L\d+(-L\d+)?$")


def doc_files(root):
    files = ["README.md"]
    docs = os.path.join(root, "docs")
    if os.path.isdir(docs):
        files += sorted("docs/" + f for f in os.listdir(docs) if f.endswith(".md"))
    return [f for f in files if os.path.isfile(os.path.join(root, f))]


def split_blocks(text):
    """The text with fenced code blocks blanked (lines kept), and the blocks
    as (first line of code, info string, code)."""
    lines = text.split("\n")
    prose, blocks = [], []
    fence = None
    for number, line in enumerate(lines, 1):
        match = FENCE.match(line)
        if fence is None:
            if match and not (match.group(1)[0] == "`" and "`" in match.group(2)):
                fence, info, start, code = match.group(1), match.group(2).strip(), number + 1, []
                prose.append("")
            else:
                prose.append(line)
        else:
            prose.append("")
            if match and match.group(1)[0] == fence[0] and len(match.group(1)) >= len(fence) \
                    and not match.group(2).strip():
                blocks.append((start, info, "\n".join(code) + "\n"))
                fence = None
            else:
                code.append(line)
    return "\n".join(prose), blocks


def slug(heading):
    """GitHub's anchor for a heading: its text, lower case, without
    punctuation other than hyphens and underscores, spaces as hyphens."""
    text = LINK.sub(lambda m: m.group(1), heading)
    text = text.replace("`", "").replace("*", "").lower()
    kept = []
    for ch in text:
        category = unicodedata.category(ch)
        if ch in " -" or category[0] in "LMN" or category == "Pc":
            kept.append("-" if ch == " " else ch)
    return "".join(kept)


def anchors(text):
    prose, _ = split_blocks(text)
    found, seen = set(HTML_ANCHOR.findall(prose)), {}
    for line in prose.split("\n"):
        match = HEADING.match(line)
        if match:
            base = slug(match.group(2))
            count = seen.get(base, 0)
            seen[base] = count + 1
            found.add(base if count == 0 else "%s-%d" % (base, count))
    return found


def link_faults(root, name, text):
    prose, _ = split_blocks(text)
    # Code spans are not links; keep their line breaks so line numbers hold.
    prose = CODE_SPAN.sub(lambda m: "code" + "\n" * m.group(0).count("\n"), prose)
    targets = [(m.start(2), m.group(2)) for m in LINK.finditer(prose)]
    targets += [(m.start(1), m.group(1)) for m in REFERENCE.finditer(prose)]
    faults, cache, checked = [], {}, 0
    for offset, target in sorted(targets):
        if not target or SCHEME.match(target):
            continue
        checked += 1
        where = "%s:%d" % (name, prose.count("\n", 0, offset) + 1)
        path, _, anchor = urllib.parse.unquote(target).partition("#")
        if not path:
            full = os.path.join(root, name)
        elif path.startswith("/"):
            full = os.path.join(root, path.lstrip("/"))
        else:
            full = os.path.join(root, os.path.dirname(name), path)
        full = os.path.normpath(full)
        if not os.path.exists(full):
            faults.append("%s: link to a missing file: %s" % (where, target))
            continue
        if not anchor:
            continue
        if not full.endswith(".md"):
            if not LINE_ANCHOR.match(anchor):
                faults.append("%s: anchor in a file that is not Markdown: %s" % (where, target))
            continue
        if full not in cache:
            with open(full, encoding="utf-8") as f:
                cache[full] = anchors(f.read())
        if anchor not in cache[full]:
            faults.append("%s: no heading for the anchor: %s" % (where, target))
    return faults, checked


def mirror(root, build):
    """A folder whose entries link to ROOT's, with `build` linked to BUILD."""
    folder = tempfile.mkdtemp(prefix="check_docs_")
    for entry in os.listdir(root):
        if entry != "build" or build is None:
            os.symlink(os.path.join(os.path.abspath(root), entry), os.path.join(folder, entry))
    if build is not None:
        os.symlink(os.path.abspath(build), os.path.join(folder, "build"))
    return folder


def run_block(command, language, code, folder, number):
    path = os.path.join(folder, "doc_block_%d%s" % (number, EXTENSIONS[language]))
    with open(path, "w", encoding="utf-8") as f:
        f.write(code)
    try:
        done = subprocess.run(command + [path], cwd=folder, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=BLOCK_TIMEOUT)
    except subprocess.TimeoutExpired:
        return "did not end within %d s" % BLOCK_TIMEOUT
    finally:
        os.remove(path)
    if done.returncode != 0:
        output = done.stdout.decode("utf-8", "replace").strip()
        return "exited with %d:\n%s" % (done.returncode, output)
    return None


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("root")
    parser.add_argument("--build", help="the build tree, linked as build/ for the blocks")
    parser.add_argument("--run", action="append", default=[], metavar="LANG=COMMAND",
                        help="run the blocks marked 'LANG runnable' with COMMAND")
    args = parser.parse_args(argv)
    runners = {}
    for item in args.run:
        language, _, command = item.partition("=")
        if language not in EXTENSIONS or not command:
            parser.error("--run wants LANG=COMMAND, LANG one of %s" % ", ".join(EXTENSIONS))
        runners[language] = shlex.split(command)

    files, faults, links, runnable = doc_files(args.root), [], 0, []
    for name in files:
        with open(os.path.join(args.root, name), encoding="utf-8") as f:
            text = f.read()
        file_faults, checked = link_faults(args.root, name, text)
        faults += file_faults
        links += checked
        for line, info, code in split_blocks(text)[1]:
            words = info.split()
            if "runnable" not in words[1:]:
                continue
            if words[0] not in EXTENSIONS:
                faults.append("%s:%d: no way to run a '%s' block" % (name, line, words[0]))
            else:
                runnable.append((name, line, words[0], code))

    ran = 0
    if runners:
        folder = mirror(args.root, args.build)
        try:
            for language, command in sorted(runners.items()):
                blocks = [b for b in runnable if b[2] == language]
                if not blocks:
                    faults.append("no block is marked '%s runnable'" % language)
                for name, line, _, code in blocks:
                    print("running %s:%d (%s)" % (name, line, language), flush=True)
                    fault = run_block(command, language, code, folder, line)
                    ran += 1
                    if fault:
                        faults.append("%s:%d: the %s block %s" % (name, line, language, fault))
        finally:
            shutil.rmtree(folder)  # removes the links, not what they point to

    for fault in faults:
        print(fault, file=sys.stderr)
    print("%d files, %d relative links, %d runnable blocks (%d run): %d faults"
          % (len(files), links, len(runnable), ran, len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
