"""rank_sharpen and rgb_to_ihs against OpenCV and scipy on the same images.

rank_sharpen with its defaults (the 25-pixel disc, a 5 x 5 square) on a
2048 x 2048 photo-like RGB image, against an opening and a closing of the
brightness with a 5 x 5 square in float32 (OpenCV morphologyEx; scipy
grey_opening and grey_closing with the percentile stretch). rgb_to_ihs on a
4096 x 4096 photo-like RGB image against OpenCV cvtColor RGB to HLS in
float32. Our filters are timed compute-only through the host library by
build/bench/rank_rgb_timing, the image already in memory.
"""
import subprocess

import numpy as np


def photo_like(n, seed):
    """A deterministic photo-like RGB image: shading, edges, texture, noise."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:n, 0:n].astype(np.float32) / n
    base = 120 + 80 * np.sin(6.0 * x + 2.0 * y) * np.cos(4.0 * y - x)
    blocks = ((x * 12).astype(int) + (y * 9).astype(int)) % 4 == 0
    base = np.where(blocks, base * 0.4 + 20, base)
    texture = 12 * np.sin(90 * x) * np.sin(70 * y)
    channels = [base + texture + 25 * k * np.cos(3 * x + k) for k in range(3)]
    img = np.stack(channels, axis=-1) + rng.normal(0, 5, (n, n, 3))
    return np.clip(img, 0, 255).astype(np.uint8)


def ours(ctx, module, image, repeats, desktop=None):
    raw = ctx.work / f"rank_rgb_{image.shape[0]}.raw"
    image.tofile(raw)
    args = [str(ctx.build / "bench" / "rank_rgb_timing"), str(ctx.build / "plugins" / f"{module}.so"),
            str(raw), str(image.shape[1]), str(image.shape[0]), str(repeats)]
    if desktop is not None:
        args.append(str(desktop))
    out = subprocess.run(args, check=True, capture_output=True, text=True)
    return float(out.stdout.strip())


def rank_sharpen_rows(ctx):
    image = photo_like(2048, 1)
    desktop = ctx.work / "rank_rgb_desktop"
    desktop.mkdir(exist_ok=True)
    (desktop / "ranksharp.txt").unlink(missing_ok=True)  # the defaults
    mine = ours(ctx, "rank_sharpen", image, 5, desktop)
    grey = image.astype(np.float32).mean(axis=2)
    cv2 = ctx.optional_import("cv2", "python3-opencv")
    if cv2 is not None:
        kernel = np.ones((5, 5), np.uint8)

        def opencv():
            cv2.morphologyEx(grey, cv2.MORPH_OPEN, kernel)
            cv2.morphologyEx(grey, cv2.MORPH_CLOSE, kernel)

        yield {"filter": "rank_sharpen 2048² RGB", "ours": mine,
               "peer": "OpenCV morphologyEx open+close 5×5 f32", "peer_time": ctx.best_of(opencv)}
    ndimage = ctx.optional_import("scipy.ndimage", "python3-scipy")
    if ndimage is not None:

        def scipy():
            opened = ndimage.grey_opening(grey, size=(5, 5))
            closed = ndimage.grey_closing(grey, size=(5, 5))
            v = grey + (grey - opened) + (grey - closed)
            low, high = np.percentile(v, [0.5, 99.5])
            np.clip((v - low) * (255.0 / (high - low)), 0, 255)

        yield {"filter": "rank_sharpen 2048² RGB", "ours": mine,
               "peer": "scipy grey_opening+grey_closing+stretch", "peer_time": ctx.best_of(scipy, 3)}


def rgb_to_ihs_rows(ctx):
    image = photo_like(4096, 2)
    mine = ours(ctx, "rgb_to_ihs", image, 5)
    cv2 = ctx.optional_import("cv2", "python3-opencv")
    if cv2 is not None:
        rgb = image.astype(np.float32) / 255.0
        yield {"filter": "rgb_to_ihs 4096² RGB", "ours": mine,
               "peer": "OpenCV cvtColor RGB→HLS f32",
               "peer_time": ctx.best_of(lambda: cv2.cvtColor(rgb, cv2.COLOR_RGB2HLS))}


def rows(ctx):
    yield from rank_sharpen_rows(ctx)
    yield from rgb_to_ihs_rows(ctx)
