"""The Python module against the ways round it: filterkit.run against
filterhost on files (the subprocess a Python user had before), the call's
overhead against the filter's own time, and the Dask batch example on two
local workers against one."""

import os
import subprocess
import sys
import time

IMAGE_SIDES = (512, 4096)
BATCH_IMAGES = 40
BATCH_PLUGIN = "rank_sharpen"


def _filterkit(ctx):
    sys.path.insert(0, str(ctx.build / "python"))
    try:
        import filterkit
    except ImportError:
        ctx.missing.append("filterkit (build the python module: make)")
        return None
    return filterkit


def _photo(np, filterkit, side, root):
    """A side × side RGB photograph: the sample picture tiled."""
    chelsea = filterkit.read_image(root / "examples" / "chelsea.png")
    reps = (side // chelsea.shape[0] + 1, side // chelsea.shape[1] + 1, 1)
    return np.ascontiguousarray(np.tile(chelsea, reps)[:side, :side])


def _run_rows(ctx, np, filterkit, root):
    prefs = ctx.work / "prefs"
    for side in IMAGE_SIDES:
        image = _photo(np, filterkit, side, root)
        repeats = 5 if side <= 512 else 2
        results = []

        def call():
            results.append(filterkit.run("rgb_to_ihs", image, prefs_dir=prefs)[1])

        ours = ctx.best_of(call, repeats)
        own = min(r.timings["filter"] for r in results)
        yield {"filter": f"rgb_to_ihs {side}² via filterkit.run", "ours": ours,
               "peer": "the filter's own run in that call", "peer_time": own}
        source, target = ctx.work / f"photo{side}.ppm", ctx.work / f"out{side}.ppm"
        filterkit.write_image(source, image)
        command = [str(ctx.build / "bin" / "filterhost"), "run", "rgb_to_ihs", str(source),
                   "-o", str(target), "-q", "--prefs-dir", str(prefs)]
        peer = ctx.best_of(lambda: subprocess.run(command, check=True), repeats)
        yield {"filter": f"rgb_to_ihs {side}² via filterkit.run", "ours": ours,
               "peer": "filterhost run on PPM files", "peer_time": peer}


def _batch_seconds(ctx, root, folder, workers):
    env = dict(os.environ, PYTHONPATH=str(ctx.build / "python"))
    out = ctx.work / f"batch_out_{workers}"
    started = time.perf_counter()
    subprocess.run([sys.executable, str(root / "examples" / "dask_batch.py"), BATCH_PLUGIN,
                    str(folder), str(out), "--workers", str(workers),
                    "--prefs-dir", str(ctx.work / "prefs")],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    return time.perf_counter() - started


def _batch_rows(ctx, np, filterkit, root):
    if ctx.optional_import("distributed", "python3-distributed") is None:
        return
    folder = ctx.work / "batch"
    folder.mkdir(exist_ok=True)
    photo = _photo(np, filterkit, 1024, root)
    for i in range(BATCH_IMAGES):
        y, x = (i * 37) % 512, (i * 53) % 512
        filterkit.write_image(folder / f"scan{i:02d}.png", photo[y:y + 512, x:x + 512])
    one = _batch_seconds(ctx, root, folder, 1)
    two = _batch_seconds(ctx, root, folder, 2)
    yield {"filter": f"dask_batch.py {BATCH_PLUGIN}, {BATCH_IMAGES} × 512², 2 workers",
           "ours": two, "peer": "1 worker", "peer_time": one}


def rows(ctx):
    np = ctx.optional_import("numpy", "python3-numpy")
    filterkit = _filterkit(ctx)
    if np is None or filterkit is None:
        return
    root = __import__("pathlib").Path(__file__).resolve().parents[2]
    yield from _run_rows(ctx, np, filterkit, root)
    yield from _batch_rows(ctx, np, filterkit, root)
