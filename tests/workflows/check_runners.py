#!/usr/bin/env python3
"""What actionlint cannot see in the GitHub Actions workflows: whether each
job would still start and set up today, checked against the facts kept in
.github/runner-facts.json (each with its source):

  - a runner label that GitHub has retired, or has begun to retire;
  - a MATLAB release that MathWorks does not ship for the job's runner (the
    default `latest` where MathWorks stopped shipping, as on Intel Macs, or a
    release after the last one there; no MATLAB at all on arm64 Linux or
    Windows);
  - a container job whose steps call a program that neither its image nor
    an earlier `apt-get install` of the job provides (scripts of the
    repository that a step runs are read too).

    check_runners.py ROOT     checks ROOT/.github/workflows/*.yml; exit 1
                              and one line per problem when there are any

Python's standard library only: the workflows are read by a small reader of
the YAML they use (block mappings and sequences, flow mappings and lists,
block scalars, comments), not by a full YAML parser.
"""
import itertools
import json
import os
import re
import sys

# ---------------------------------------------------------------- YAML subset


def _strip_comment(line):
    quote = None
    for i, ch in enumerate(line):
        if quote:
            if ch == quote:
                quote = None
        elif ch in "'\"" and (i == 0 or line[i - 1] in " \t:-[{,"):
            quote = ch
        elif ch == "#" and (i == 0 or line[i - 1] in " \t"):
            return line[:i].rstrip()
    return line.rstrip()


def _scalar(text):
    text = text.strip()
    if len(text) >= 2 and text[0] == text[-1] and text[0] in "'\"":
        body = text[1:-1]
        return body.replace("''", "'") if text[0] == "'" else body.replace('\\"', '"')
    return text


def _flow(text):
    """A flow mapping or list ({a: b, c: [d]}) or a scalar."""
    pos = 0

    def value(stop):
        nonlocal pos
        while pos < len(text) and text[pos] == " ":
            pos += 1
        if pos < len(text) and text[pos] in "{[":
            close = "}" if text[pos] == "{" else "]"
            pos += 1
            items = {} if close == "}" else []
            while True:
                while pos < len(text) and text[pos] in " ,":
                    pos += 1
                if pos >= len(text) or text[pos] == close:
                    pos += 1
                    return items
                if close == "}":
                    key = value(":")
                    pos += 1  # the colon
                    items[key] = value(",}")
                else:
                    items.append(value(",]"))
        start, quote = pos, None
        while pos < len(text):
            ch = text[pos]
            if quote:
                quote = None if ch == quote else quote
            elif ch in "'\"" and pos == start:
                quote = ch
            elif ch in stop and (ch != ":" or pos + 1 >= len(text) or text[pos + 1] == " "):
                break
            pos += 1
        return _scalar(text[start:pos])

    text = text.strip()
    return value("") if text[:1] in "{[" else _scalar(text)


_KEY = re.compile(r"""^("[^"]*"|'[^']*'|[^\s'"{\[\-#][^:]*?|-[^\s:][^:]*?)\s*:(?:\s+(.*))?$""")


class _Reader:
    def __init__(self, text):
        self.lines = text.expandtabs().split("\n")
        self.i = 0

    def _next(self):
        """Index, indent and text of the next line with content, or None."""
        while self.i < len(self.lines):
            text = _strip_comment(self.lines[self.i])
            if text.strip() and text.strip() != "---":
                return len(text) - len(text.lstrip()), text.strip()
            self.i += 1
        return None

    def block(self, indent):
        nxt = self._next()
        if nxt is None or nxt[0] < indent:
            return None
        if nxt[1] == "-" or nxt[1].startswith("- "):
            return self.sequence(nxt[0])
        return self.mapping(nxt[0])

    def _value(self, rest, indent):
        if rest in ("", None):
            nxt = self._next()
            if nxt and (nxt[0] > indent or (nxt[0] == indent and nxt[1].startswith("-"))):
                return self.block(nxt[0])
            return None
        if rest[0] in "|>":
            return self.block_scalar(rest[0], indent)
        return _flow(rest)

    def mapping(self, indent):
        result = {}
        while True:
            nxt = self._next()
            if nxt is None or nxt[0] != indent or nxt[1].startswith("- ") or nxt[1] == "-":
                return result
            m = _KEY.match(nxt[1])
            if not m:
                raise ValueError(f"line {self.i + 1}: not a key: {nxt[1]}")
            self.i += 1
            result[_scalar(m.group(1))] = self._value(m.group(2), indent)

    def sequence(self, indent):
        result = []
        while True:
            nxt = self._next()
            if nxt is None or nxt[0] != indent or not (nxt[1] == "-" or nxt[1].startswith("- ")):
                return result
            item = nxt[1][1:].strip()
            if item and _KEY.match(item) and item[0] not in "{[":
                # "- key: value": a mapping whose first key sits after the dash.
                col = indent + len(nxt[1]) - len(item)
                self.lines[self.i] = " " * col + item
                result.append(self.mapping(col))
            else:
                self.i += 1
                result.append(self._value(item, indent))

    def block_scalar(self, style, indent):
        body = []
        while self.i < len(self.lines):
            line = self.lines[self.i].rstrip()
            if line.strip() and len(line) - len(line.lstrip()) <= indent:
                break
            body.append(line)
            self.i += 1
        while body and not body[-1].strip():
            body.pop()
        cut = min((len(l) - len(l.lstrip()) for l in body if l.strip()), default=0)
        body = [l[cut:] for l in body]
        if style == "|":
            return "\n".join(body) + "\n"
        return re.sub(r"(?<!\n)\n(?!\n)", " ", "\n".join(body)) + "\n"


def parse_workflow(text):
    return _Reader(text).block(0) or {}


# ------------------------------------------------------------------- checks

_MATRIX_REF = re.compile(r"\$\{\{\s*matrix\.([\w-]+)\s*\}\}")


def _resolve(value, row):
    if not isinstance(value, str):
        return value
    return _MATRIX_REF.sub(lambda m: str(row.get(m.group(1), m.group(0))), value)


def matrix_rows(job):
    """The job's matrix as a list of rows (one {} without a matrix)."""
    matrix = (job.get("strategy") or {}).get("matrix")
    if not isinstance(matrix, dict):
        return [{}]
    axes = {k: v for k, v in matrix.items() if k not in ("include", "exclude") and isinstance(v, list)}
    rows = [dict(zip(axes, combo)) for combo in itertools.product(*axes.values())] if axes else []
    base = len(rows)
    for extra in matrix.get("include") or []:
        matched = False
        for row in rows[:base]:
            if all(row.get(k) == v for k, v in extra.items() if k in axes):
                row.update(extra)
                matched = True
        if not matched:
            rows.append(dict(extra))
    for gone in matrix.get("exclude") or []:
        rows = [r for r in rows if not all(r.get(k) == v for k, v in gone.items())]
    return rows or [{}]


def _release_key(release):
    m = re.fullmatch(r"[Rr](\d{4})([ab])", release)
    return (int(m.group(1)), m.group(2)) if m else None


def platform_of(label, facts):
    for pattern, system, arch in facts["platforms"]["patterns"]:
        if re.search(pattern, label):
            return f"{system}/{arch}"
    return None


def retired(label, facts):
    for entry in facts["retired_labels"]:
        if label in entry["labels"]:
            when = entry.get("deprecated")
            said = f"retiring since {when}, unsupported from {entry['unsupported']}" if when \
                else f"unsupported since {entry['unsupported']}"
            return f"runner label {label} is {said} ({entry['source']})"
    return None


def matlab_problem(release, label, facts):
    platform = platform_of(label, facts)
    shipped = facts["matlab"]["shipped"].get(platform)
    if shipped is None:
        return f"MathWorks ships no MATLAB for {platform or label} (runner {label})"
    last = shipped["last"]
    if not last:
        return None
    if release.lower() == "latest":
        return (f"release: latest on {platform} (runner {label}): MathWorks' last release there is "
                f"{last} ({shipped['source']})")
    key = _release_key(release)
    if key and key > _release_key(last):
        return f"MATLAB {release} on {platform} (runner {label}): the last release there is {last} ({shipped['source']})"
    return None


# Shell words that are not programs.
_BUILTINS = {
    "cd", "set", "export", "unset", "if", "then", "else", "elif", "fi", "for", "in", "do", "done",
    "while", "until", "case", "esac", "exit", "return", "source", ".", "[", "[[", "]]", "]", ":",
    "local", "shift", "trap", "eval", "exec", "read", "echo", "printf", "test", "true", "false",
    "wait", "pushd", "popd", "umask", "ulimit", "type", "command", "function", "!", "{", "}",
}
_SPLIT = re.compile(r"\n|;|&&|\|\||\||\$\(|`|\(|\)|\bthen\b|\bdo\b|\belse\b")
_WORD = re.compile(r"^[A-Za-z_][\w.+-]*$")


def _command_words(script):
    """The first word of each simple command of a shell script (roughly)."""
    lines = [l for l in script.split("\n") if not l.lstrip().startswith("#")]
    for segment in _SPLIT.split("\n".join(_strip_comment(l) for l in lines)):
        words = segment.replace('"', " ").replace("'", " ").split()
        while words and re.match(r"^\w+=", words[0]):
            words = words[1:]  # VAR=value before the command
        if words:
            yield words


def _apt_installed(words, facts):
    if words[0] not in ("apt-get", "apt") or "install" not in words:
        return set()
    found = set()
    for arg in words[words.index("install") + 1:]:
        if arg.startswith("-"):
            continue
        package = re.split(r"[:=]", arg)[0]
        found |= {package} | set(facts["installed_programs"]["packages"].get(package, []))
    return found


def missing_programs(script, have, facts, root, seen=None):
    """Programs script calls that are not in have (a set it extends with
    what script installs); repository scripts it runs are read as well."""
    seen = seen if seen is not None else set()
    missing = []
    for words in _command_words(script):
        program = words[0]
        if program == "sudo" and len(words) > 1:
            missing += [] if "sudo" in have else ["sudo"]
            words = words[1:]
            program = words[0]
        have |= _apt_installed(words, facts)
        called = None
        if program in ("bash", "sh") and len(words) > 1 and not words[1].startswith("-"):
            called = words[1]
        elif "/" in program and not program.startswith("/"):
            called = program
        if called and os.path.isfile(os.path.join(root, called)) and called not in seen:
            seen.add(called)
            with open(os.path.join(root, called), encoding="utf-8") as f:
                text = f.read()
            shebang = re.match(r"#!\s*(?:/usr/bin/env\s+)?\S*?(\w+)\s*\n", text)
            if shebang and program != shebang.group(1) and shebang.group(1) not in have:
                missing.append(shebang.group(1))
            missing += missing_programs(text, have, facts, root, seen)
        if (_WORD.match(program) and program not in _BUILTINS and program not in have
                and program not in missing):
            missing.append(program)
    return missing


def problems(text, facts, root):
    """(job id, matrix row, message) for every problem of one workflow."""
    found = []
    jobs = parse_workflow(text).get("jobs") or {}
    for job_id, job in jobs.items():
        for row in matrix_rows(job):
            where = " ".join(f"{k}={v}" for k, v in row.items() if k in ("os", "release", "label"))
            labels = job.get("runs-on")
            labels = labels if isinstance(labels, list) else [labels]
            labels = [_resolve(l, row) for l in labels]
            for label in labels:
                if not isinstance(label, str) or "${{" in label:
                    found.append((job_id, where, f"runs-on {label!r}: not a label this check can resolve"))
                elif retired(label, facts):
                    found.append((job_id, where, retired(label, facts)))
            steps = job.get("steps") or []
            for step in steps:
                if str(step.get("uses", "")).startswith("matlab-actions/setup-matlab"):
                    release = _resolve((step.get("with") or {}).get("release") or "latest", row)
                    for label in labels:
                        why = isinstance(label, str) and matlab_problem(release, label, facts)
                        if why:
                            found.append((job_id, where, why))
            container = job.get("container")
            image = _resolve(container.get("image") if isinstance(container, dict) else container, row)
            if image:
                known = facts["container_images"].get(image)
                if known is None:
                    found.append((job_id, where, f"container image {image}: no facts in .github/runner-facts.json"))
                    continue
                have = set(known["programs"])
                script = "\n".join(str(s["run"]) for s in steps if "run" in s)
                for program in missing_programs(script, have, facts, root):
                    found.append((job_id, where, f"container {image} has no {program}, which a step calls "
                                                 f"(install it in an earlier step; image facts: {known['source']})"))
    return found


def load_facts(root):
    with open(os.path.join(root, ".github", "runner-facts.json"), encoding="utf-8") as f:
        return json.load(f)


def main(argv):
    if len(argv) != 2:
        print("usage: check_runners.py ROOT", file=sys.stderr)
        return 2
    root = argv[1]
    facts = load_facts(root)
    folder = os.path.join(root, ".github", "workflows")
    names = sorted(n for n in os.listdir(folder) if n.endswith((".yml", ".yaml")))
    count = 0
    for name in names:
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            for job, where, message in problems(f.read(), facts, root):
                print(f".github/workflows/{name}: job {job}{' (' + where + ')' if where else ''}: {message}")
                count += 1
    print(f"check_runners: {len(names)} workflows, {count} problems")
    return 1 if count or not names else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
