#!/usr/bin/env python3
"""Finds code in M-files that GNU Octave runs and MATLAB (R2018a or later) does not.

    matlab_compat.py [FILE_OR_FOLDER ...]

Checks the given .m files, or every .m file of the given checkouts (git
ls-files, or every .m file below the folder outside build trees when it is
no git checkout; default: this repository). Prints FILE:LINE: CONSTRUCT for
each construct found outside comments and strings, and exits with status 1
if there was any.

Syntax MATLAB cannot parse is reported wherever it is: one such line stops
MATLAB from running any of the file. Octave-only functions are reported
unless the name is a variable of the file, a field, or the call sits in the
first branch of an `if exist('NAME', ...)` (or exist('OCTAVE_VERSION',
'builtin')) that guards it.
"""
import os
import re
import subprocess
import sys

# Functions (and stream names) GNU Octave has and MATLAB R2018a has not.
OCTAVE_FUNCTIONS = set("""
    printf puts fputs fdisp fflush stdout stderr signbit columns rows isargout
    index rindex program_name program_invocation_name canonicalize_file_name
    make_absolute_filename is_absolute_filename confirm_recursive_rmdir
    unsetenv putenv nproc usleep print_usage is_function_handle nthargout iscomplex
    postpad prepad ifelse merge octave_config_info available_graphics_toolkits
    graphics_toolkit
""".split())
# Keywords of Octave's own block syntax.
OCTAVE_KEYWORDS = set("""
    endif endfor endwhile endfunction endswitch end_try_catch endparfor
    unwind_protect unwind_protect_cleanup end_unwind_protect until
""".split())
OPERATORS = ["**", "!=", "++", "+=", "-=", "*=", "/=", "^=", "!"]
BLOCK_OPEN = {"if", "for", "parfor", "while", "switch", "try", "spmd", "unwind_protect", "do"}
BLOCK_CLOSE = {"end", "endif", "endfor", "endparfor", "endwhile", "endswitch", "end_try_catch",
               "end_unwind_protect", "until", "endfunction"}
# After these words a quote starts a string, as after a space.
STRING_AFTER = {"case", "otherwise", "return", "else", "elseif", "if", "while", "for", "switch"}
TOKEN = re.compile(r"""
    (?P<space>[ \t]+)
  | (?P<cont>\.\.\..*)
  | (?P<comment>%.*)
  | (?P<hash>\#.*)
  | (?P<num>(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?[ij]?)
  | (?P<name>[A-Za-z_]\w*)
  | (?P<op>\*\*|!=|\+\+|\+=|-=|\*=|/=|\^=|==|~=|<=|>=|&&|\|\||\.\*|\./|\.\\|\.\^|\.'|[-+*/\\^<>=&|~!@.,;:()\[\]{}])
  | (?P<other>.)
""", re.VERBOSE)


class Token:
    def __init__(self, kind, text, line, glued):
        self.kind, self.text, self.line = kind, text, line
        self.glued = glued          # no space between it and the previous token


def tokens(text, report):
    """Code tokens of an M-file, with statement ends as ';' tokens of kind
    'eol'; reports # comments and double-quoted strings."""
    out = []
    block = 0                       # depth of %{ ... %} block comments
    for number, raw in enumerate(text.splitlines(), 1):
        stripped = raw.strip()
        if stripped in ("%{", "#{"):
            block += 1
            if stripped == "#{":
                report(number, "#{ block comment")
            continue
        if block:
            if stripped in ("%}", "#}"):
                block -= 1
            continue
        pos, glued, continued = 0, False, False
        while pos < len(raw):
            m = TOKEN.match(raw, pos)
            kind, value = m.lastgroup, m.group()
            pos = m.end()
            if kind == "space":
                glued = False
                continue
            if kind == "cont":
                continued = True
                break
            if kind == "comment":
                break
            if kind == "hash":
                report(number, "# comment")
                break
            if value in ("'", '"'):
                prev = out[-1] if out else None
                transpose = (value == "'" and glued and
                             (prev.kind in ("name", "num", "str") and prev.text not in STRING_AFTER
                              or prev.text in (")", "]", "}", "'", ".'")))
                if not transpose:
                    end = pos
                    while end < len(raw):
                        if value == '"' and raw[end] == "\\":
                            end += 2
                        elif raw[end] == value:
                            if raw[end + 1:end + 2] == value:
                                end += 2
                            else:
                                break
                        else:
                            end += 1
                    if value == '"':
                        report(number, 'double-quoted string (a string object in MATLAB; no escapes)')
                    out.append(Token("str", raw[pos - 1:end + 1], number, glued))
                    pos, glued = end + 1, True
                    continue
            out.append(Token(kind, value, number, glued))
            glued = True
        if not continued:
            out.append(Token("eol", ";", number, False))
    return out


def statements(toks):
    """Splits tokens into statements at ',' ';' and line ends outside brackets."""
    stmt, depth = [], 0
    for t in toks:
        if t.text in ("(", "[", "{"):
            depth += 1
        elif t.text in (")", "]", "}"):
            depth = max(depth - 1, 0)
        if depth == 0 and t.text in (",", ";"):
            if stmt:
                yield stmt
            stmt = []
        elif t.kind != "eol":
            stmt.append(t)
    if stmt:
        yield stmt


def guarded_names(cond):
    """Names an if-condition checks with exist('NAME', ...), not negated."""
    names = set()
    for i, t in enumerate(cond[:-2]):
        if (t.text == "exist" and cond[i + 1].text == "(" and cond[i + 2].kind == "str"
                and not (i > 0 and cond[i - 1].text in ("~", "!", "not"))):
            names.add(cond[i + 2].text.strip("'\""))
    return names


def check_text(text):
    """[(line, construct)] for one M-file's text."""
    found = []
    report = lambda line, what: found.append((line, what))
    toks = tokens(text, report)
    stmts = list(statements(toks))
    script = bool(stmts) and stmts[0][0].text != "function"

    # Variables: names assigned to, and the names of function signatures.
    variables = set()
    for s in stmts:
        if s[0].text == "function":
            variables.update(t.text for t in s if t.kind == "name")
            continue
        depth = 0
        for i, t in enumerate(s):
            depth += t.text in ("(", "[", "{")
            depth -= t.text in (")", "]", "}")
            if t.text == "=" and depth == 0:
                variables.update(u.text for j, u in enumerate(s[:i]) if u.kind == "name"
                                 and not (j > 0 and s[j - 1].text == "."))
                break

    stack = []                      # [keyword, names guarded in this branch]
    functions_seen = False
    for s in stmts:
        head = s[0].text if s[0].kind == "name" else ""
        if script and functions_seen and not stack and head != "function":
            report(s[0].line, "script code after a local function")
        if head == "function":
            functions_seen = True
            if script:
                stack.append(["function", set()])
        elif head in BLOCK_OPEN:
            stack.append([head, guarded_names(s[1:]) if head == "if" else set()])
        elif head == "elseif" and stack:
            stack[-1][1] = guarded_names(s[1:])
        elif head == "else" and stack:
            stack[-1][1] = set()
        elif head in BLOCK_CLOSE and stack:
            stack.pop()
        guarded = set().union(*(g for _, g in stack)) if stack else set()
        depth, handle_params, prev = 0, [], None
        for t in s:
            if t.kind == "name" and not (prev is not None and prev.text == "."):
                if t.text in OCTAVE_KEYWORDS:
                    report(t.line, t.text)
                elif (t.text in OCTAVE_FUNCTIONS and t.text not in variables
                      and t.text not in guarded and "OCTAVE_VERSION" not in guarded):
                    report(t.line, t.text)
            elif t.kind == "op" and t.text in OPERATORS:
                report(t.line, t.text)
            elif t.text in ("(", "[", "{"):
                if t.text == "(" and t.glued and prev is not None and (
                        prev.text in (")", "]") or prev.kind == "str"):
                    report(t.line, "chained indexing " + prev.text + "(")
                if t.text == "{" and t.glued and prev is not None and prev.text == ")":
                    report(t.line, "chained indexing ){")
                if t.text == "(" and prev is not None and prev.text == "@":
                    handle_params.append(depth)
                depth += 1
            elif t.text in (")", "]", "}"):
                depth -= 1
                if handle_params and handle_params[-1] == depth and t.text == ")":
                    handle_params.pop()
                    t = Token("op", "@)", t.line, t.glued)
            prev = t
    return found


def tracked_m_files(root):
    try:
        out = subprocess.run(["git", "-C", root, "ls-files", "-z", "--", "*.m"],
                             capture_output=True, check=True).stdout.decode()
        return [os.path.join(root, f) for f in out.split("\0") if f]
    except (OSError, subprocess.CalledProcessError):
        files = []
        for folder, dirs, names in os.walk(root):
            dirs[:] = sorted(d for d in dirs if not d.startswith((".", "build")))
            files += [os.path.join(folder, n) for n in sorted(names) if n.endswith(".m")]
        return files


def main(argv):
    targets = argv or [os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")]
    files = []
    for target in targets:
        files += tracked_m_files(target) if os.path.isdir(target) else [target]
    count = 0
    for name in files:
        with open(name, encoding="utf-8", errors="replace") as f:
            for line, what in check_text(f.read()):
                print(f"{os.path.relpath(name)}:{line}: {what}")
                count += 1
    print(f"matlab_compat: {count} Octave-only construct(s) in {len(files)} .m file(s)")
    return 1 if count else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
