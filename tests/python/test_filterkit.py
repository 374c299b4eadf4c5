"""The filterkit API: plug-ins and About texts, array conventions, errors,
cancelling, callbacks, the GIL and concurrent callers."""

import threading
import time

import numpy as np
import pytest

import filterkit
from conftest import TEST_PLUGINS, same_samples


def test_plugins_lists_every_filter_with_its_about_text():
    names = filterkit.plugins()
    assert names == sorted(names)
    assert {"rgb_to_ihs", "fill_holes", "total_perimeter", "cross_correlate"} <= set(names)
    info = filterkit.about("rank_sharpen")
    assert info["name"] == "rank_sharpen"
    assert info["about"] == "Rank-Based Sharpening Filter"
    assert info["path"].endswith("rank_sharpen.so")
    parameters = info["description"]["parameter_file"]["parameters"]
    assert [p["name"] for p in parameters] == ["radius", "mode", "amount", "clip"]
    assert filterkit.about("fill_holes")["description"]["parameter_file"] is None
    assert filterkit.about(str(TEST_PLUGINS / "fh_test_waits.so"))["description"] is None


@pytest.mark.parametrize("params, error, text", [
    ({"radius": 9}, ValueError, "out of range"),
    ({"sharpness": 1}, ValueError, "no parameter 'sharpness'"),
    ({"mode": 1.5}, ValueError, "not a whole number"),
    ({"mode": True}, TypeError, "must be a number, not bool"),
    ([("mode", 1)], TypeError, "must be a dict"),
])
def test_wrong_parameters_are_refused_before_the_run(params, error, text, chelsea, tmp_path):
    with pytest.raises(error, match=text):
        filterkit.run("rank_sharpen", chelsea, prefs_dir=tmp_path, params=params)
    with pytest.raises(ValueError, match="takes no parameters"):
        filterkit.run("fill_holes", chelsea, prefs_dir=tmp_path, params={})
    with pytest.raises(ValueError, match="not both"):
        filterkit.run("rank_sharpen", chelsea, prefs_dir=tmp_path, params={}, desktop_dir=tmp_path)


def test_unknown_plugin_is_a_value_error(horse):
    with pytest.raises(ValueError, match="no plug-in named 'sharpen_all'"):
        filterkit.run("sharpen_all", horse)
    with pytest.raises(ValueError, match="no plug-in module at"):
        filterkit.about("/nowhere/fill_holes.so")


@pytest.mark.parametrize("image, error, text", [
    (np.zeros((8, 8), np.int32), TypeError, "uint8, uint16 or float32, not int32"),
    (np.zeros((8, 8), np.float64), TypeError, "not float64"),
    (np.zeros((8, 8), bool), TypeError, "not bool"),
    ([[0, 255]], TypeError, "numpy array, not list"),
    (np.zeros((8, 8, 4), np.uint8), ValueError, r"\(height, width, 3\)"),
    (np.zeros((1, 8, 8), np.uint8), ValueError, r"\(height, width, 3\)"),
    (np.zeros(8, np.uint8), ValueError, "shape"),
    (np.zeros((0, 8), np.uint8), ValueError, "at least 1 x 1"),
    (np.zeros((8, 0, 3), np.uint8), ValueError, "at least 1 x 1"),
])
def test_wrong_arrays_are_refused_before_the_run(image, error, text):
    with pytest.raises(error, match=text):
        filterkit.run("fill_holes", image)


def test_lab_needs_three_planes_of_integers():
    for image in (np.zeros((4, 4), np.uint8), np.zeros((4, 4, 3), np.float32)):
        with pytest.raises(ValueError, match="Lab"):
            filterkit.run("rgb_to_ihs", image, lab=True)


def test_any_layout_gives_the_same_result_and_the_input_is_untouched(chelsea, folders):
    prefs, desktop = folders
    expected, _ = filterkit.run("rank_sharpen", np.ascontiguousarray(chelsea[::-1, ::2]),
                                prefs_dir=prefs, desktop_dir=desktop)
    fortran = np.asfortranarray(chelsea[::-1, ::2])
    swapped = chelsea[::-1, ::2].astype(">u1")
    readonly = chelsea[::-1, ::2]
    readonly.flags.writeable = False
    before = chelsea.copy()
    for image in (chelsea[::-1, ::2], fortran, swapped, readonly):
        output, _ = filterkit.run("rank_sharpen", image, prefs_dir=prefs, desktop_dir=desktop)
        assert same_samples(output, expected)
        assert output.flags.writeable and output.flags.c_contiguous
    assert same_samples(chelsea, before)


def test_big_endian_uint16_is_read_by_value(chelsea, folders):
    prefs, desktop = folders
    image = chelsea.astype(np.uint16) * 257
    native, _ = filterkit.run("rgb_to_ihs", image, prefs_dir=prefs, desktop_dir=desktop)
    swapped, _ = filterkit.run("rgb_to_ihs", image.astype(">u2"), prefs_dir=prefs,
                               desktop_dir=desktop)
    assert same_samples(native, swapped)


def test_uint16_arrays_use_the_file_scale(folders):
    prefs, desktop = folders
    image = np.array([[0, 1, 2, 32767, 32768, 65534, 65535]], np.uint16)
    # store_reference leaves the image as it is: only the scale mapping shows.
    output, _ = filterkit.run("store_reference", image, prefs_dir=prefs, desktop_dir=desktop)
    assert output.tolist() == [[0, 2, 2, 32768, 32768, 65533, 65535]]


def test_a_refusal_raises_plugin_error_with_the_report(horse, folders):
    prefs, desktop = folders
    with pytest.raises(filterkit.PluginError) as caught:
        filterkit.run("cross_correlate", horse, prefs_dir=prefs, desktop_dir=desktop)
    error = caught.value
    assert not isinstance(error, filterkit.Cancelled)
    assert error.code == -128 and error.result.code == -128
    assert error.messages == [
        "Image must be SQUARE, at least 32x32, a power-of-two in size, "
        "and the same size as the reference image"]
    assert error.result.numbers == [32.0, 32.0]
    assert "cross_correlate returned -128" in str(error)


def test_measurements_are_read_from_the_messages(folders):
    prefs, desktop = folders
    image = np.full((12, 12), 255, np.uint8)
    image[2:12 - 2, 2:12 - 2] = 0  # an 8 × 8 black square: perimeter 4 · 7
    output, result = filterkit.run("total_perimeter", image, prefs_dir=prefs,
                                   desktop_dir=desktop)
    assert result.code == 0 and result.numbers == [28.0]
    assert result.messages == ["28.0000 pixels = total perimeter."]
    assert same_samples(output, image)


def test_progress_is_reported_as_the_filter_goes(chelsea, folders):
    prefs, desktop = folders
    calls = []
    _, result = filterkit.run("rgb_to_ihs", chelsea, prefs_dir=prefs, desktop_dir=desktop,
                              progress=lambda done, total: calls.append((done, total)))
    assert calls == result.progress and len(calls) == result.progress_calls > 0
    assert set(result.timings) == {"convert_in", "filter", "convert_out", "total", "overhead",
                                    "filter_cpu", "total_cpu"}
    assert 0 <= result.timings["filter"] <= result.timings["total"]


def test_cancel_raises_cancelled_and_returns_no_image(chelsea, folders):
    prefs, desktop = folders
    asked = []

    def cancel():
        asked.append(1)
        return len(asked) >= 3

    with pytest.raises(filterkit.Cancelled) as caught:
        filterkit.run("rgb_to_ihs", chelsea, prefs_dir=prefs, desktop_dir=desktop,
                      cancel=cancel)
    assert len(asked) == 3
    assert caught.value.result.cancelled and caught.value.code == -128


@pytest.mark.parametrize("where", ["progress", "cancel"])
def test_an_exception_in_a_callback_stops_the_run_and_is_raised(where, folders):
    prefs, desktop = folders
    calls = []

    def failing(*args):
        calls.append(args)
        raise ZeroDivisionError("from the callback")

    started = time.monotonic()
    with pytest.raises(ZeroDivisionError, match="from the callback"):
        filterkit.run(str(TEST_PLUGINS / "fh_test_waits.so"), np.zeros((4, 4), np.uint8),
                      prefs_dir=prefs, desktop_dir=desktop, **{where: failing})
    assert len(calls) == 1
    assert time.monotonic() - started < 10  # cancelled, not waited out


def test_ctrl_c_cancels_a_run(folders):
    import os
    import signal

    prefs, desktop = folders
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    started = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        filterkit.run(str(TEST_PLUGINS / "fh_test_waits.so"), np.zeros((4, 4), np.uint8),
                      prefs_dir=prefs, desktop_dir=desktop)
    timer.join()
    assert time.monotonic() - started < 10  # the plug-in waits 30 s unless cancelled


def test_other_threads_run_while_a_filter_runs(folders):
    prefs, desktop = folders
    ticks, stop = [], threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    try:
        # Larger images until the run is long enough to see the counter in it.
        for side in (1024, 2048, 4096, 8192):
            image = np.random.default_rng(1).integers(0, 256, (side, side, 3), dtype=np.uint8)
            started = time.monotonic()
            filterkit.run("rank_sharpen", image, prefs_dir=prefs, desktop_dir=desktop)
            ended = time.monotonic()
            if ended - started > 0.4:
                break
    finally:
        stop.set()
        counter.join()
    assert ended - started > 0.4, "no run long enough to show anything"
    # With the GIL held for the whole run the counter would stand still.
    during = [t for t in ticks if started + 0.1 < t < ended - 0.1]
    assert len(during) > 20


def test_concurrent_calls_are_serialised_and_each_correct(chelsea, horse, folders):
    prefs, desktop = folders
    jobs = [("rgb_to_ihs", chelsea), ("fill_holes", horse), ("rank_sharpen", chelsea),
            ("label_brightness", horse)] * 2
    expected = [filterkit.run(p, im, prefs_dir=prefs, desktop_dir=desktop) for p, im in jobs]
    got = [None] * len(jobs)

    def work(i):
        got[i] = filterkit.run(jobs[i][0], jobs[i][1], prefs_dir=prefs, desktop_dir=desktop)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for (want, want_result), (have, have_result) in zip(expected, got):
        assert same_samples(have, want)
        assert have_result.messages == want_result.messages
        assert have_result.progress == want_result.progress


def test_image_files_round_trip_and_refuse_what_they_cannot_hold(chelsea, tmp_path):
    for name, image in [("a.png", chelsea), ("a.ppm", chelsea),
                        ("a.tif", (chelsea / np.float32(255)).astype(np.float32))]:
        filterkit.write_image(tmp_path / name, image)
        assert same_samples(filterkit.read_image(tmp_path / name), image)
    # 16-bit samples pass through the filters' scale: odd values may move a
    # step once, and then stay.
    deep = chelsea.astype(np.uint16) * 257
    filterkit.write_image(tmp_path / "b.png", deep)
    once = filterkit.read_image(tmp_path / "b.png")
    assert np.abs(once.astype(int) - deep).max() == 1
    filterkit.write_image(tmp_path / "b.png", once)
    assert same_samples(filterkit.read_image(tmp_path / "b.png"), once)
    filterkit.write_image(tmp_path / "lab.tif", chelsea, lab=True)
    back, is_lab = filterkit.read_image(tmp_path / "lab.tif", with_lab=True)
    assert is_lab and same_samples(back, chelsea)
    _, is_lab = filterkit.read_image(tmp_path / "a.png", with_lab=True)
    assert not is_lab
    with pytest.raises(filterkit.ImageFileError):
        filterkit.write_image(tmp_path / "a.png", chelsea.astype(np.float32))
    with pytest.raises(filterkit.ImageFileError):
        filterkit.read_image(tmp_path / "missing.png")
    assert not (tmp_path / "missing.png").exists()


def test_the_stub_names_what_the_module_has(tmp_path):
    import ast
    from conftest import SOURCE

    tree = ast.parse((SOURCE / "python" / "filterkit.pyi").read_text())
    stub = {node.name for node in tree.body
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)) and not node.name.startswith("_")}
    stub.discard("PluginInfo")  # a TypedDict for about()'s return value, stub only
    module = {name for name in dir(filterkit) if not name.startswith("_")}
    assert stub == module
    documented = {node.target.id for node in ast.walk(tree)
                  if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)}
    _, result = filterkit.run("total_perimeter", np.zeros((4, 4), np.uint8), prefs_dir=tmp_path)
    assert {name for name in dir(result) if not name.startswith("_")} <= documented
