"""Shared set-up of the filterkit tests: where the build and the sample
images are, and filterhost run on files for comparison."""

import json
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

import filterkit

BUILD = Path(os.environ.get("FILTERKIT_BUILD", Path(__file__).resolve().parents[2] / "build"))
SOURCE = Path(os.environ.get("FILTERKIT_SOURCE", Path(__file__).resolve().parents[2]))
FILTERHOST = BUILD / "bin" / "filterhost"
TEST_PLUGINS = BUILD / "test_plugins"


def filterhost_run(plugin, source, output=None, *, prefs, desktop):
    """Runs filterhost on a file; returns (exit status, JSON report)."""
    report = Path(str(source) + f".{plugin}.json")
    command = [str(FILTERHOST), "run", plugin, str(source), "--json", str(report),
               "--prefs-dir", str(prefs), "--desktop-dir", str(desktop), "-q"]
    if output is not None:
        command += ["-o", str(output)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert done.returncode in (0, 2), done.stderr
    return done.returncode, json.loads(report.read_text())


def same_samples(a, b):
    """Equal shape, dtype and bytes (NaNs included)."""
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


@pytest.fixture(scope="session")
def chelsea():
    return filterkit.read_image(SOURCE / "examples" / "chelsea.png")


@pytest.fixture(scope="session")
def horse():
    return filterkit.read_image(SOURCE / "examples" / "horse.png")


@pytest.fixture
def folders(tmp_path):
    prefs, desktop = tmp_path / "prefs", tmp_path / "desktop"
    desktop.mkdir()
    return prefs, desktop
