#!/usr/bin/env python3
"""Plants drifts in a copy of the documentation and checks that
check_arguments.py reports each of them, and that --write mends them."""

import sys
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
sys.path[:0] = [str(HERE), str(REPO / "tests")]
import check_arguments  # noqa: E402
import planted  # noqa: E402
from planted import replace  # noqa: E402

arguments = check_arguments.arguments


def copy_of_repo():
    """The files the check reads, in a temporary tree."""
    entries, splices = arguments.parse((REPO / arguments.SOURCE).read_text())
    return planted.copy_of_repo({arguments.SOURCE} | {name for name, _ in splices},
                                "check_arguments_test_")


class CheckArguments(unittest.TestCase):
    def test_repository_agrees_with_its_source(self):
        self.assertEqual(check_arguments.check(REPO), [])

    def test_hosts_read_their_own_side(self):
        entry = {"text": ["The {{rows||samples}}: t{{(1)||[0]}} and",
                          "  kept  {{as||like}} written",
                          "{{a||b}}"]}
        self.assertEqual(arguments.for_host(entry, "matlab"),
                         ["The rows: t(1) and", "  kept  as written", "a"])
        self.assertEqual(arguments.for_host(entry, "python"),
                         ["The samples: t[0] and", "  kept  like written", "b"])
        # A short parenthesis is never split across lines.
        lines = arguments.fill(["aaaa bbbb cccc sigMat(:, :, 1) dddd"], "> ", "  ", 24)
        self.assertIn("sigMat(:, :, 1)", "\n".join(lines))
        self.assertTrue(all(len(line) <= 24 for line in lines if "sigMat" not in line))

    def test_planted_drifts_are_each_reported_and_mended(self):
        root = copy_of_repo()
        self.assertEqual(check_arguments.check(root), [])
        replace(root / "matlab/tofimage.m", "The speed of sound [m/s].", "The speed of sound.")
        replace(root / "docs/matlab.md", "sampling rate [Hz]", "sample rate [Hz]")
        replace(root / "matlab/tofimage_beamform.m", "%   'Weights'      One weight",
                "%   'Weights'      A weight")
        faults = check_arguments.check(root)
        self.assertEqual(len(faults), 3, faults)
        for name in ["matlab/tofimage.m", "docs/matlab.md", "matlab/tofimage_beamform.m"]:
            self.assertTrue(any(f.startswith(name + ": the run of") for f in faults), (name, faults))
        self.assertEqual(check_arguments.check(root, write=True), [])
        self.assertEqual(check_arguments.check(root), [])
        self.assertEqual((root / "matlab/tofimage.m").read_text(),
                         (REPO / "matlab/tofimage.m").read_text())
        # Only the runs are written: the call's line, which begins with the
        # name of the output, stays.
        self.assertIn("%   Recon = tofimage(sigMat, n, x_sensor",
                      (root / "matlab/tofimage.m").read_text())

    def test_a_changed_source_reaches_every_copy(self):
        root = copy_of_repo()
        replace(root / arguments.SOURCE, "The sampling rate{{ [Hz]||}}",
                "The rate of sampling{{ [Hz]||}}")
        faults = check_arguments.check(root)
        # fs is in tofimage.m, tofimage_beamform.m and both hosts' pages.
        self.assertEqual(sorted(f.split(":")[0] for f in faults),
                         ["docs/matlab.md", "docs/python.md", "matlab/tofimage.m",
                          "matlab/tofimage_beamform.m"])
        check_arguments.check(root, write=True)
        self.assertIn("The rate of sampling [Hz]", (root / "matlab/tofimage.m").read_text())

    def test_missing_runs_and_unknown_entries(self):
        root = copy_of_repo()
        replace(root / "docs/beamformers.md", check_arguments.END, "")
        replace(root / "python/tofimage/dask.py", "{arguments: n ", "{arguments: m ")
        faults = check_arguments.check(root)
        self.assertIn("docs/beamformers.md: no run of interp", " ".join(faults))
        self.assertIn("python/tofimage/dask.py: no Python entry m", " ".join(faults))
        self.assertEqual(len(faults), 2, faults)
        replace(root / arguments.SOURCE, "{{sensors x 3 [nx ny nz]: the||The}}",
                "{{sensors x 3 [nx ny nz]: the||The}")
        with self.assertRaises(ValueError):
            check_arguments.check(root)
        # An argument described twice.
        source = REPO / arguments.SOURCE
        (root / arguments.SOURCE).write_text(source.read_text() + "\n== c\nmatlab: c\nAgain.\n")
        with self.assertRaises(ValueError):
            check_arguments.check(root)

    def test_docstrings_take_their_runs_at_import(self):
        def f():
            """Summary.

            Parameters
            ----------
            {arguments: c fs}
            x : int
                Other.
            """
        arguments.document(f)
        self.assertIn("    c : float\n                The speed of sound.\n"
                      "            fs : float\n", f.__doc__)
        self.assertNotIn("{arguments", f.__doc__)


if __name__ == "__main__":
    unittest.main()
