#!/usr/bin/env python3
"""Plants faults in a small documentation tree and checks that
check_docs.py finds each of them, and only them."""

import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_docs  # noqa: E402

README = """# Project

See [the guide](docs/guide.md), [its part](docs/guide.md#windows-msvc-or-mingw),
[a second one](docs/guide.md#dup-1), [a split
link](docs/guide.md#what-make-demo-and-make-test-install), [here](#project),
[the web](https://example.org/missing.md), ![a picture](docs/pic.png) and
[the folder](docs/).
`[in code](nowhere.md)`

```sh
echo "[in a block](nowhere.md)"
```
"""

GUIDE = """# Guide

## Windows (MSVC or MinGW)
## What `make demo` and `make test` install
## Dup
## Dup

Back to [the start](../README.md#project) and [a line](pic.png#L3).

```sh runnable
test -f README.md && test -d build
```
"""


def tree(readme_extra="", guide_extra=""):
    root = tempfile.mkdtemp(prefix="check_docs_test_")
    os.makedirs(os.path.join(root, "docs"))
    os.makedirs(os.path.join(root, "out"))
    for name, text in (("README.md", README + readme_extra), ("docs/guide.md", GUIDE + guide_extra),
                       ("docs/pic.png", "")):
        with open(os.path.join(root, name), "w") as f:
            f.write(text)
    return root


def check(root, *args):
    done = subprocess.run([sys.executable, os.path.join(HERE, "check_docs.py"), root] + list(args),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    return done.returncode, done.stderr


class CheckDocs(unittest.TestCase):
    def test_anchors_follow_github(self):
        cases = {"Windows (MSVC or MinGW)": "windows-msvc-or-mingw",
                 "Arm (NEON and SVE): unmeasured": "arm-neon-and-sve-unmeasured",
                 "What `make demo` and `make test` install": "what-make-demo-and-make-test-install",
                 "[Linked](x.md) `tofimage_frames`, 2.0": "linked-tofimage_frames-20"}
        for heading, anchor in cases.items():
            self.assertEqual(check_docs.slug(heading), anchor)
        self.assertEqual(check_docs.anchors("# A\n## A\n```\n# B\n```\n"), {"a", "a-1"})

    def test_sound_tree_passes(self):
        root = tree()
        self.assertEqual(check(root), (0, ""))
        self.assertEqual(check(root, "--build", os.path.join(root, "out"), "--run", "sh=sh")[0], 0)

    def test_planted_faults_are_each_reported(self):
        root = tree(readme_extra="[gone](docs/gone.md) and [no heading](docs/guide.md#nope)\n",
                    guide_extra="[code anchor](../README.md#intro)\n\n"
                                "```sh runnable\nexit 3\n```\n\n```fortran runnable\nx\n```\n")
        rc, faults = check(root, "--build", os.path.join(root, "out"), "--run", "sh=sh")
        self.assertEqual(rc, 1)
        lines = faults.strip().split("\n")
        self.assertIn("README.md:13: link to a missing file: docs/gone.md", lines)
        self.assertIn("README.md:13: no heading for the anchor: docs/guide.md#nope", lines)
        self.assertIn("docs/guide.md:13: no heading for the anchor: ../README.md#intro", lines)
        self.assertIn("docs/guide.md:20: no way to run a 'fortran' block", lines)
        self.assertIn("docs/guide.md:16: the sh block exited with 3:", lines)
        self.assertNotIn("nowhere", faults)
        self.assertEqual(len(lines), 5)

    def test_a_language_without_blocks_fails(self):
        rc, faults = check(tree(), "--run", "python=python3")
        self.assertEqual((rc, faults.strip()), (1, "no block is marked 'python runnable'"))


if __name__ == "__main__":
    unittest.main()
