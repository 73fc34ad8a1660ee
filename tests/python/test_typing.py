"""The package's annotations, checked with mypy in strict mode."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE.parents[1] / "python"

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None, reason="mypy is not installed (pip install mypy)"
)


def mypy(tmp_path, *args, cwd=None):
    env = dict(os.environ)
    # mypy imports nothing of marlet; keep a sanitizer runtime out of it.
    env.pop("LD_PRELOAD", None)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), *args],
        capture_output=True,
        text=True,
        cwd=cwd or tmp_path,
        env=env,
        timeout=300,
    )


def test_usage_sample_against_the_installed_package(tmp_path):
    result = mypy(tmp_path, str(HERE / "typing_sample.py"))
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")


def test_package_sources(tmp_path):
    """The package's own modules, from the source tree."""
    result = mypy(tmp_path, "marlet", cwd=SOURCE)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
