# SPDX-License-Identifier: MIT
"""What `pip install ./python` makes of the package."""
from __future__ import annotations

import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2]


@pytest.mark.skipif(importlib.util.find_spec("pip") is None or importlib.util.find_spec("setuptools") is None,
                    reason="needs pip and setuptools (python3-pip)")
def test_pip_install_takes_the_version_from_the_top_cmakelists(tmp_path):
    # A copy of the tree with another version, so that a version written
    # anywhere but CMakeLists.txt shows.
    tree = tmp_path / "tree"
    shutil.copytree(SOURCE / "python", tree / "python",
                    ignore=shutil.ignore_patterns("__pycache__", ".mypy_cache", "build", "*.egg-info", "tests"))
    cmake_lists = (SOURCE / "CMakeLists.txt").read_text()
    bumped, replaced = re.subn(r"(project\(kelvo VERSION )[0-9.]+", r"\g<1>9.8.7.6", cmake_lists)
    assert replaced == 1
    (tree / "CMakeLists.txt").write_text(bumped)

    target = tmp_path / "installed"
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-deps",
                    "--no-index", "--target", str(target), str(tree / "python")], check=True, capture_output=True)
    assert (target / "kelvo-9.8.7.6.dist-info").is_dir()
    # The installed copy lies away from any CMakeLists.txt: it finds its
    # version in the metadata pip wrote.
    script = "import kelvo; print(kelvo.__file__); print(kelvo.__version__)"
    out = subprocess.run([sys.executable, "-c", script], env=dict(os.environ, PYTHONPATH=str(target)),
                         cwd=tmp_path, capture_output=True, text=True, check=True)
    where, version = out.stdout.split()
    assert Path(where).is_relative_to(target)
    assert version == "9.8.7.6"
