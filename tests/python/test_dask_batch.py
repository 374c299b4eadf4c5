"""examples/dask_batch.py on a LocalCluster of two worker processes gives,
image for image, what filterhost gives."""

import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import filterkit
from conftest import SOURCE, filterhost_run, same_samples

EXAMPLE = SOURCE / "examples" / "dask_batch.py"


@pytest.fixture(scope="module")
def batch(tmp_path_factory):
    """A dozen small scans: binary features of different sizes and kinds."""
    folder = tmp_path_factory.mktemp("scans")
    coins = filterkit.read_image(SOURCE / "examples" / "coins.png")
    horse = filterkit.read_image(SOURCE / "examples" / "horse.png")
    chelsea = filterkit.read_image(SOURCE / "examples" / "chelsea.png")
    for i in range(12):
        image, suffix = ((coins, ".png"), (horse, ".pgm"), (chelsea, ".tif"))[i % 3]
        crop = image[i * 9:i * 9 + 96 + i, i * 11:i * 11 + 128 - i]
        filterkit.write_image(folder / f"scan{i:02d}{suffix}", crop)
    return folder


def run_example(plugin, source, output, prefs, desktop):
    done = subprocess.run(
        [sys.executable, str(EXAMPLE), plugin, str(source), str(output), "--workers", "2",
         "--prefs-dir", str(prefs), "--desktop-dir", str(desktop)],
        capture_output=True, text=True, timeout=120, env=dict(os.environ))
    assert done.returncode == 0, done.stdout + done.stderr
    assert "12 images, 0 failed" in done.stdout
    return pd.read_csv(output / "results.csv", keep_default_na=False)


@pytest.mark.parametrize("plugin", ["fill_holes", "total_perimeter"])
def test_batch_on_two_workers_equals_filterhost(plugin, batch, tmp_path):
    prefs, desktop = tmp_path / "prefs", tmp_path / "desktop"
    desktop.mkdir()
    table = run_example(plugin, batch, tmp_path / "out", prefs, desktop)
    assert len(table) == 12 and table["worker"].nunique() == 2
    for row in table.itertuples():
        source = batch / row.file
        host_out = tmp_path / ("host_" + row.file)
        status, report = filterhost_run(plugin, source, host_out, prefs=prefs, desktop=desktop)
        assert status == 0 and row.code == 0
        assert row.messages == " | ".join(report["messages"])
        assert same_samples(filterkit.read_image(row.output), filterkit.read_image(host_out))
        if plugin == "total_perimeter":
            number = float(report["messages"][0].split()[0])
            assert float(row.measurement) == number


def test_failed_images_become_rows_not_failed_batches(batch, tmp_path):
    import importlib.util

    spec = importlib.util.spec_from_file_location("dask_batch", EXAMPLE)
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    (tmp_path / "broken.png").write_bytes(b"not an image")
    source = next(p for p in sorted(batch.iterdir()) if p.suffix == ".png")
    refused = example.filter_one("cross_correlate", str(source), str(tmp_path),
                                 prefs_dir=str(tmp_path / "prefs"))
    assert refused["code"] == -128 and "cross_correlate returned -128" in refused["error"]
    assert refused["output"] == "" and "SQUARE" in refused["messages"]
    unreadable = example.filter_one("fill_holes", str(tmp_path / "broken.png"), str(tmp_path))
    assert unreadable["code"] is None and "broken.png" in unreadable["error"]
    unwritable = example.filter_one("fill_holes", str(source), str(tmp_path / "missing"),
                                    prefs_dir=str(tmp_path / "prefs"))
    assert unwritable["code"] == 0 and unwritable["output"] == "" and unwritable["error"]
