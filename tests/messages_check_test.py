#!/usr/bin/env python3
"""Plants drifts between the hosts' own messages and the message table and
checks that messages_check.py reports each of them.

Usage: messages_check_test.py MESSAGES_TABLE
"""

import shutil
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import messages_check  # noqa: E402
from planted import copy_of_repo, replace  # noqa: E402

ROWS = []


class SourceMessages(unittest.TestCase):
    def setUp(self):
        self.root = copy_of_repo(messages_check.SOURCES, "messages_check_test_")
        self.addCleanup(shutil.rmtree, self.root)

    def faults(self, rows=None):
        return messages_check.source_faults(self.root, rows or ROWS)

    def test_repository_agrees_with_the_table(self):
        self.assertEqual(self.faults(), [])

    def test_a_drifted_matlab_message(self):
        replace(self.root / "matlab" / "tofimage_autofocus.m",
                "'options must come in name-value pairs'", "'options come in name-value pairs'")
        self.assertEqual(len(self.faults()), 1)
        self.assertIn("options come in name-value pairs", self.faults()[0])

    def test_a_drifted_message_of_the_table(self):
        # The M-file's '%s must be a finite positive number' against a table
        # whose text changed; a filled placeholder still matches.
        rows = [(h, i, t.replace("a finite positive number", "a positive finite number"))
                for h, i, t in ROWS]
        self.assertTrue(any("must be a finite positive number" in f for f in self.faults(rows)))
        replace(self.root / "matlab" / "tofimage_grid.m", "'n must be a real number'",
                "'%s must be a real number', 'n'")
        self.assertEqual(self.faults(), [])

    def test_python_literals_and_ids(self):
        path = self.root / "python" / "tofimage" / "_autofocus.py"
        replace(path, 'raise ValueError(_core.message("Method"))',
                'raise ValueError("method must be " f"one of {_METHODS}")')
        replace(path, '_core.message("Roi")', '_core.message("Region")')
        faults = self.faults()
        self.assertEqual(len(faults), 2, faults)
        self.assertIn("method must be one of %s", faults[0])
        self.assertIn('_core.message("Region") names no message', faults[1])
        # The table's own text, written out, is a copy proven equal.
        replace(path, '"method must be " f"one of {_METHODS}"',
                "\"method must be 'coherence', 'subaperture' or 'sharpness'\"")
        replace(path, '_core.message("Region")', '_core.message("Roi")')
        self.assertEqual(self.faults(), [])


if __name__ == "__main__":
    ROWS = messages_check.read_table(sys.argv.pop(1))
    unittest.main()
