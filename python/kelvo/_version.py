# SPDX-License-Identifier: MIT
"""The package's version, which is the library's.

``project(kelvo VERSION ...)`` in the top CMakeLists.txt is the one place it
is written. From the source tree this module reads it there; the build of
``pip install ./python`` runs this module alone (pyproject.toml) and writes
what it found into the package's metadata, where the installed copy finds it
again; ``cmake --install`` puts in place of this module one with the version
written in.
"""
from __future__ import annotations

import re
from pathlib import Path

_PROJECT = re.compile(r"\bproject\(\s*kelvo\s+VERSION\s+([0-9]+(?:\.[0-9]+)*)")


def _from_source_tree() -> str | None:
    try:
        text = (Path(__file__).resolve().parents[2] / "CMakeLists.txt").read_text()
    except (IndexError, OSError):
        return None
    found = _PROJECT.search(text)
    return found[1] if found else None


def _from_metadata() -> str | None:
    # Imported only here: a package run from the source tree does not pay for it.
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("kelvo")
    except PackageNotFoundError:
        return None


__version__ = _from_source_tree() or _from_metadata() or "0+unknown"
