#!/usr/bin/env python3
"""check_runners.py on the repository's workflows with one fault planted at
a time: each must be reported, on the job it was planted in, and nothing
else. The clean workflows are checked by the test workflows.runner_facts.

    check_runners_test.py ROOT
"""
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_runners  # noqa: E402

ROOT = None


def workflow(name):
    with open(os.path.join(ROOT, ".github", "workflows", name), encoding="utf-8") as f:
        return f.read()


class Planted(unittest.TestCase):
    def setUp(self):
        self.facts = check_runners.load_facts(ROOT)

    def planted(self, name, pattern, replacement):
        """The problems of workflow name with the first match of pattern
        replaced, after checking that the workflow is clean without it."""
        text = workflow(name)
        self.assertEqual(check_runners.problems(text, self.facts, ROOT), [], name)
        changed, count = re.subn(pattern, replacement, text, count=1, flags=re.M)
        self.assertEqual(count, 1, f"{name}: nothing to plant at {pattern}")
        return check_runners.problems(changed, self.facts, ROOT)

    def test_retired_runner_label(self):
        for name, pattern in [("matlab.yml", r"os: macos-15,"), ("cmake.yml", r"runs-on: macos-15$"),
                              ("wheels.yml", r"os: macos-15,")]:
            found = self.planted(name, pattern, pattern.replace("15", "14").rstrip("$"))
            self.assertEqual(len(found), 1, (name, found))
            self.assertIn("runner label macos-14", found[0][2])
            self.assertIn("runner-images/issues/13518", found[0][2])
        found = self.planted("linux.yml", r"runs-on: ubuntu-latest", "runs-on: ubuntu-22.04")
        self.assertEqual(len(found), 1, found)
        self.assertEqual(found[0][0], "make-test")
        self.assertIn("runner label ubuntu-22.04 is retiring since 2026-09-17", found[0][2])
        self.assertIn("runner-images/issues/14254", found[0][2])

    def test_matlab_release_intel_mac(self):
        row = r"(os: macos-15-intel, release: )R2025b"
        for release in ("latest", "R2026a"):
            found = self.planted("matlab.yml", row, r"\g<1>" + release)
            self.assertEqual(len(found), 1, found)
            job, where, message = found[0]
            self.assertEqual((job, where), ("suite", f"label=macOS maci64 os=macos-15-intel release={release}"))
            self.assertIn("macOS/X64", message)
            self.assertIn("R2025b", message)
            self.assertIn("setup-matlab/issues/194", message)
        # Without a release, setup-matlab installs the latest: on every Intel Mac job.
        found = self.planted("matlab.yml", r"^\s+release: \$\{\{ matrix.release \}\}\n", "")
        self.assertEqual([w for _, w, _ in found], ["label=macOS maci64 os=macos-15-intel release=R2021a",
                                                     "label=macOS maci64 os=macos-15-intel release=R2025b"])

    def test_no_matlab_on_arm_linux(self):
        found = self.planted("matlab.yml", r"os: ubuntu-latest, release: R2021a", "os: ubuntu-24.04-arm, release: R2021a")
        self.assertEqual(len(found), 1, found)
        self.assertIn("no MATLAB for Linux/ARM64", found[0][2])

    def test_container_lacks_a_program(self):
        # The image without make, which .ci/run calls (make test).
        found = self.planted("linux.yml", r"^(\s+run: apt-get .*install .*) make\b", r"\g<1>")
        self.assertEqual([(j, m.split(",")[0]) for j, _, m in found], [("make-test", "container debian:12 has no make")])
        # A program called in a step directly, and git for the checkout's history.
        found = self.planted("linux.yml", r"^(\s+run: )bash \.ci/run", r"\g<1>python3 -m build && bash .ci/run")
        self.assertEqual([m.split(",")[0] for _, _, m in found], ["container debian:12 has no python3"])
        found = self.planted("linux.yml", r"container: debian:12", "container: fedora:42")
        self.assertEqual([m for _, _, m in found],
                         ["container image fedora:42: no facts in .github/runner-facts.json"])


class Reader(unittest.TestCase):
    def test_flow_mappings_block_scalars_and_matrix_rows(self):
        text = ("jobs:\n"
                "  a:\n"
                "    runs-on: ${{ matrix.os }}  # a comment\n"
                "    strategy:\n"
                "      matrix:\n"
                "        os: [ubuntu-latest, 'macos-15']\n"
                "        include:\n"
                "          - { os: macos-15, extra: 'x: y' }\n"
                "          - { os: windows-2025 }\n"
                "    steps:\n"
                "      - run: >\n"
                "          one\n"
                "          two\n"
                "      - uses: a/b@v1\n"
                "        with: {release: R2024a}\n")
        jobs = check_runners.parse_workflow(text)["jobs"]
        self.assertEqual(jobs["a"]["steps"], [{"run": "one two\n"}, {"uses": "a/b@v1", "with": {"release": "R2024a"}}])
        self.assertEqual(check_runners.matrix_rows(jobs["a"]),
                         [{"os": "ubuntu-latest"}, {"os": "macos-15", "extra": "x: y"}, {"os": "windows-2025"}])


if __name__ == "__main__":
    ROOT = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
    unittest.main()
