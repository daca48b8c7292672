#!/usr/bin/env python3
"""Tests of matlab_compat.py: every construct it knows, planted once in a
generated M-file, is found on its line; the same text in strings and
comments, guarded calls, variables and MATLAB's own syntax are not."""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import matlab_compat as mc  # noqa: E402

CHAINED = [("n = size(x)(1);", ")("), ("v = [1 2 3](2);", "]("), ("c = f(x){1};", "){"),
           ("s = 'abc'(1);", "'abc'(")]
OPERATORS = ["**", "!=", "++", "+=", "-=", "*=", "/=", "^=", "!"]
KEYWORDS = ["endif", "endfor", "endwhile", "endfunction", "endswitch", "end_try_catch",
            "unwind_protect", "unwind_protect_cleanup", "end_unwind_protect", "until"]
FUNCTIONS = ["printf", "puts", "fputs", "fdisp", "fflush", "stdout", "stderr", "signbit", "columns",
             "rows", "isargout", "index", "program_name", "canonicalize_file_name",
             "confirm_recursive_rmdir", "unsetenv", "nproc", "iscomplex"]
# One line per construct: (code, construct reported).
PLANTS = (
    [("x = 1; # note", "# comment"),
     ('s = "a\\n";', "double-quoted string (a string object in MATLAB; no escapes)")]
    + [({"!": "y = !b;", "++": "a++;"}.get(op, f"a = b {op} c;"), op) for op in OPERATORS]
    + [(f"{k} a > 1" if k == "until" else k, k) for k in KEYWORDS]
    + [(f"y = {f}(x);", f) for f in FUNCTIONS]
    + [(code, "chained indexing " + what) for code, what in CHAINED]
)
# MATLAB code that holds or resembles the constructs but is none of them.
CLEAN = """function r = clean(rows)
% printf('x'); a += 1; endif # size(x)(1) "s"
%{
printf !== ** endfor
%}
s = 'printf(1); a += 1; endif # x != y ** 2 size(x)(1)';
t = ['it''s' ' # ' 'printf'];
u = {'a', '' 'b'};
r = rows + a' * b' + [1 2]' + x.' + c{1}(2) + s(end) + q.rows;
g = @(x)(x + 1);
v = 1e+3 + .5e-2 - 3;
w = [a' 'str'] ~= 1;
k = x(  ...  printf !=
     1);
m = [1 2
     3 4];
if exist('OCTAVE_VERSION', 'builtin')
  fflush(stdout);
  confirm_recursive_rmdir(false, 'local');
end
if exist('nproc', 'builtin') || exist('nproc', 'file'), n = nproc(); end
for index = 1:3, disp(index); end
end

function local()
[columns, w] = size(1);
disp(columns);
end
"""


def lines_of(text):
    return [line for line, _ in mc.check_text(text)]


class Checker(unittest.TestCase):
    def test_every_construct_is_found_on_its_line(self):
        # Each plant between filler lines, so that a wrong line shows.
        text = "".join(f"z = {k};\n{code}\n" for k, (code, _) in enumerate(PLANTS))
        expected = [(2 * k + 2, what) for k, (_, what) in enumerate(PLANTS)]
        self.assertEqual(mc.check_text(text), expected)

    def test_matlab_code_and_text_in_strings_and_comments_pass(self):
        self.assertEqual(mc.check_text(CLEAN), [])
        self.assertEqual(mc.check_text("s = '%s';\n" + "".join(
            f"% {code}\nx = '{code.replace(chr(39), chr(39) * 2)}'; % {code}\n" for code, _ in PLANTS)), [])

    def test_guards(self):
        guarded = ("if exist('OCTAVE_VERSION', 'builtin')\n  fflush(stdout);\n"
                   "else\n  fflush(stdout);\nend\nfflush(stdout);\n"
                   "if ~exist('OCTAVE_VERSION', 'builtin'), nproc(); end\n"
                   "if exist('nproc', 'file'), nproc(); signbit(1); end\n"
                   "if exist('OCTAVE_VERSION', 'builtin')\n  x != 1;\nend\n")
        self.assertEqual(mc.check_text(guarded),
                         [(4, "fflush"), (4, "stdout"), (6, "fflush"), (6, "stdout"),
                          (7, "nproc"), (8, "signbit"), (10, "!=")])

    def test_script_code_after_a_local_function(self):
        self.assertEqual(mc.check_text("x = 1;\nfunction f()\nif x, end\nend\ndisp(x)\n"),
                         [(5, "script code after a local function")])
        self.assertEqual(mc.check_text("x = 1;\nf();\nfunction f()\nend\n"), [])

    def test_command_line(self):
        with tempfile.TemporaryDirectory() as folder:   # no git checkout: every .m file
            for name, text in (("ok.m", CLEAN), ("bad.m", "x = 1;\ny = x ** 2;\n")):
                with open(os.path.join(folder, name), "w") as f:
                    f.write(text)
            run = subprocess.run([sys.executable, mc.__file__, folder],
                                 capture_output=True, text=True, cwd=folder)
            self.assertEqual(run.returncode, 1)
            self.assertEqual(run.stdout.splitlines(),
                             ["bad.m:2: **", "matlab_compat: 1 Octave-only construct(s) in 2 .m file(s)"])
            os.remove(os.path.join(folder, "bad.m"))
            run = subprocess.run([sys.executable, mc.__file__, folder], capture_output=True, text=True)
            self.assertEqual(run.returncode, 0, run.stdout)


if __name__ == "__main__":
    unittest.main()
