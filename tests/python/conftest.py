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


def filterhost_run(plugin, source, output=None, *, prefs, desktop, extra=()):
    """Runs filterhost on a file; returns (exit status, JSON report), or
    (1, {"error": text}) when filterhost refused before running the filter."""
    report = Path(str(source) + f".{plugin}.json")
    command = [str(FILTERHOST), "run", plugin, str(source), "--json", str(report),
               "--prefs-dir", str(prefs), "--desktop-dir", str(desktop), "-q"]
    if output is not None:
        command += ["-o", str(output)]
    command += list(extra)
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert done.returncode in (0, 1, 2), done.stderr
    if done.returncode == 1:  # refused before the run: no report, one line why
        return 1, {"error": done.stderr.strip().removeprefix("filterhost: ")}
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
