"""What the tests that plant drifts in a copy of the repository share."""

import shutil
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent


def copy_of_repo(names, prefix):
    """The files `names` (paths in the repository) and the Python package's
    modules, in a temporary tree."""
    root = Path(tempfile.mkdtemp(prefix=prefix))
    names = set(names) | {str(p.relative_to(REPO))
                          for p in (REPO / "python" / "tofimage").glob("*.py")}
    for name in names:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(REPO / name, root / name)
    return root


def replace(path, old, new):
    text = path.read_text()
    assert old in text, (path, old)
    path.write_text(text.replace(old, new, 1))
