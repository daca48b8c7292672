"""The package's build backend: meson-python, with a clear error for an
editable install where meson-python cannot do one.

meson-python added editable installs (PEP 660) in 0.13. With an older one,
pip falls back to ``setup.py develop`` through setuptools, which "installs"
a version 0.0.0 without the extension that cannot be imported; this stops
that with a message that says what to do.
"""

import mesonpy
from mesonpy import (build_sdist, build_wheel, get_requires_for_build_sdist,  # noqa: F401
                     get_requires_for_build_wheel)

_EDITABLE_HOOKS = ("build_editable", "get_requires_for_build_editable",
                   "prepare_metadata_for_build_editable")


def _editable_unsupported(*args, **kwargs):
    version = getattr(mesonpy, "__version__", "unknown")
    raise RuntimeError(
        f"tofimage: an editable install (pip install -e .) needs meson-python 0.13 or later; "
        f"this environment has meson-python {version}. Install without -e "
        "(pip install --no-build-isolation .), or upgrade meson-python.")


if hasattr(mesonpy, "build_editable"):
    from mesonpy import build_editable  # noqa: F401

    def __getattr__(name):
        if name in _EDITABLE_HOOKS:
            return getattr(mesonpy, name)
        raise AttributeError(name)
else:
    build_editable = _editable_unsupported
