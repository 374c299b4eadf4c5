"""filterkit.run on arrays read from files gives the same images, results,
messages and progress counts as filterhost run on those files, for every
plug-in and image mode."""

import shutil

import numpy as np
import pytest

import filterkit
from conftest import filterhost_run, same_samples

PLUGINS = ["rgb_to_ihs", "store_reference", "cross_correlate", "rank_sharpen",
           "fill_holes", "label_brightness", "marker_select", "total_perimeter"]
MODES = ["grey8", "rgb8", "lab8", "grey16", "rgb16", "lab16", "grey32", "rgb32"]
SIDE = 64  # square and a power of two, so cross_correlate accepts it


def mode_image(mode, chelsea, horse, shift=0):
    """A SIDE × SIDE image of the mode: binary features (horse) for grey,
    a photograph (chelsea) for colour; 16-bit ones with odd file values."""
    rng = np.random.default_rng(len(mode) + shift)
    grey = horse[120 + shift:120 + shift + SIDE, 150:150 + SIDE]
    rgb = chelsea[100 + shift:100 + shift + SIDE, 200:200 + SIDE]
    base = grey if mode.startswith("grey") else rgb
    if mode.endswith("16"):
        return (base.astype(np.uint16) * 257 - rng.integers(0, 200, base.shape)
                .astype(np.uint16) * (base > 0)).astype(np.uint16)
    if mode.endswith("32"):
        return (base / np.float32(255)).astype(np.float32)
    return base.copy()


def input_file(folder, mode, array, name="in"):
    extension = {"grey8": ".pgm", "rgb8": ".png", "grey16": ".png"}.get(mode, ".tif")
    path = folder / (name + extension)
    filterkit.write_image(path, array, lab=mode.startswith("lab"))
    return path


def prefs_with_reference(tmp_path, reference, desktop):
    """Two Preferences folders holding the same reference image, stored by
    filterhost: one for each side of the comparison."""
    host_prefs, kit_prefs = tmp_path / "prefs_host", tmp_path / "prefs_kit"
    status, _ = filterhost_run("store_reference", reference, prefs=host_prefs, desktop=desktop)
    assert status == 0
    shutil.copytree(host_prefs, kit_prefs)
    return host_prefs, kit_prefs


def assert_same_run(plugin, source, tmp_path, host_prefs, kit_prefs, desktop):
    host_out = tmp_path / "host_out.tif"
    status, report = filterhost_run(plugin, source, host_out, prefs=host_prefs, desktop=desktop)
    array, lab = filterkit.read_image(source, with_lab=True)
    if status == 1:
        with pytest.raises(ValueError) as refused:
            filterkit.run(plugin, array, lab=lab, prefs_dir=kit_prefs, desktop_dir=desktop)
        assert str(refused.value) == report["error"]
        return
    try:
        output, result = filterkit.run(plugin, array, lab=lab, prefs_dir=kit_prefs,
                                       desktop_dir=desktop)
    except filterkit.PluginError as error:
        assert status == 2, f"filterhost succeeded where filterkit raised {error}"
        result, output = error.result, None
    else:
        assert status == 0, f"filterkit succeeded where filterhost failed: {report}"
    assert result.code == report["result"]
    assert result.messages == report["messages"]
    assert result.numbers == report["numbers"]
    assert result.progress_calls == report["progress_calls"]
    assert result.cancelled == report["cancelled"]
    assert (result.width, result.height, result.mode, result.depth) == (
        report["width"], report["height"], report["mode"], report["depth"])
    if output is None:
        return
    assert same_samples(output, filterkit.read_image(host_out))
    kit_out = tmp_path / "kit_out.tif"
    filterkit.write_image(kit_out, output, lab=lab)
    assert kit_out.read_bytes() == host_out.read_bytes()


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("plugin", PLUGINS)
def test_run_matches_filterhost(plugin, mode, chelsea, horse, tmp_path):
    desktop = tmp_path / "desktop"
    desktop.mkdir()
    source = input_file(tmp_path, mode, mode_image(mode, chelsea, horse))
    reference = input_file(tmp_path, mode, mode_image(mode, chelsea, horse, shift=7), "ref")
    host_prefs, kit_prefs = prefs_with_reference(tmp_path, reference, desktop)
    assert_same_run(plugin, source, tmp_path, host_prefs, kit_prefs, desktop)
    if plugin == "store_reference":
        name = "Reference Image.xzy"
        assert (kit_prefs / name).read_bytes() == (host_prefs / name).read_bytes()


@pytest.mark.parametrize("mode", ["rgb8", "grey16"])
def test_rank_sharpen_reads_the_same_parameter_file(mode, chelsea, horse, tmp_path):
    desktop = tmp_path / "desktop"
    desktop.mkdir()
    (desktop / "ranksharp.txt").write_bytes(b"3.7\r\n1\r\n250\r\n0.02\r\n")
    source = input_file(tmp_path, mode, mode_image(mode, chelsea, horse))
    assert_same_run("rank_sharpen", source, tmp_path, tmp_path / "p1", tmp_path / "p2", desktop)


def test_references_of_another_size_are_refused_alike(chelsea, horse, tmp_path):
    desktop = tmp_path / "desktop"
    desktop.mkdir()
    reference = input_file(tmp_path, "rgb8", chelsea[:32, :32], "ref")
    host_prefs, kit_prefs = prefs_with_reference(tmp_path, reference, desktop)
    source = input_file(tmp_path, "rgb8", mode_image("rgb8", chelsea, horse))
    for plugin in ("cross_correlate", "marker_select"):
        assert_same_run(plugin, source, tmp_path, host_prefs, kit_prefs, desktop)


def test_params_run_as_the_same_parameters_through_filterhost(chelsea, horse, tmp_path):
    desktop = tmp_path / "desktop"
    desktop.mkdir()
    source = input_file(tmp_path, "rgb8", mode_image("rgb8", chelsea, horse))
    status, report = filterhost_run("rank_sharpen", source, tmp_path / "host.tif",
                                    prefs=tmp_path / "p1", desktop=desktop,
                                    extra=["--param", "radius=3.7", "--param", "mode=1",
                                           "--param", "amount=250", "--param", "clip=0.02"])
    output, result = filterkit.run("rank_sharpen", filterkit.read_image(source),
                                   prefs_dir=tmp_path / "p2",
                                   params={"radius": 3.7, "mode": 1, "amount": 250, "clip": 0.02})
    assert status == 0 and result.messages == report["messages"]
    assert same_samples(output, filterkit.read_image(tmp_path / "host.tif"))
    assert result.parameters == {"radius": 3.7, "mode": 1, "amount": 250, "clip": 0.02}
    assert result.parameters == report["parameters"]
    # Parameters left out take their defaults, not the Desktop's file.
    defaults, _ = filterkit.run("rank_sharpen", filterkit.read_image(source),
                                prefs_dir=tmp_path / "p2", params={})
    plain, _ = filterkit.run("rank_sharpen", filterkit.read_image(source),
                             prefs_dir=tmp_path / "p2", desktop_dir=tmp_path / "p2")
    assert same_samples(defaults, plain) and not same_samples(defaults, output)
