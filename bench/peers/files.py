"""Whole-process image-file rows: `filterhost run rgb_to_ihs` PNG → PNG and
TIFF → TIFF on a 4096 × 4096 RGB photo-like image, against a Python +
OpenCV script doing read, HLS conversion and write of the same files, and
`vips` (HSV conversion) where it is installed.

Each time is the best of three runs of the whole program, start-up and
file writing included.
"""
import pathlib
import shutil
import subprocess
import sys

SIZE = 4096

OPENCV_SCRIPT = """\
import sys
import cv2
image = cv2.imread(sys.argv[1], cv2.IMREAD_COLOR)
cv2.imwrite(sys.argv[2], cv2.cvtColor(image, cv2.COLOR_BGR2HLS))
"""


def photo_like(np, cv2):
    """A deterministic image with a photo's mix of smooth shading, edges,
    fine texture and sensor noise (so it compresses like one)."""
    rng = np.random.default_rng(12)
    y, x = np.mgrid[0:SIZE, 0:SIZE].astype(np.float32) / SIZE
    image = np.empty((SIZE, SIZE, 3), np.float32)
    image[..., 0] = 120 + 80 * np.sin(6 * x + 2 * y) + 30 * np.cos(17 * y)
    image[..., 1] = 110 + 70 * np.cos(5 * y - 3 * x) + 25 * np.sin(23 * x * y)
    image[..., 2] = 100 + 60 * np.sin(9 * x * x + 4 * y)
    for _ in range(60):
        cx, cy, r = rng.random(3)
        r = 0.02 + 0.1 * r
        inside = (x - cx) ** 2 + (y - cy) ** 2 < r * r
        image[inside] += rng.normal(0, 40, 3).astype(np.float32)
    texture = rng.normal(0, 20, (SIZE, SIZE, 3)).astype(np.float32)
    image += cv2.GaussianBlur(texture, (0, 0), 2)
    image += rng.normal(0, 3, (SIZE, SIZE, 3)).astype(np.float32)
    return np.clip(image, 0, 255).astype(np.uint8)


def run(args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


def rows(ctx):
    np = ctx.optional_import("numpy", "python3-numpy")
    cv2 = ctx.optional_import("cv2", "python3-opencv")
    if np is None or cv2 is None:
        return
    work = ctx.work / "files"
    work.mkdir(parents=True, exist_ok=True)
    inputs = {"png": work / "photo.png", "tif": work / "photo.tif"}
    if not all(p.exists() for p in inputs.values()):
        image = photo_like(np, cv2)
        for path in inputs.values():
            cv2.imwrite(str(path), image)
    script = work / "opencv_hls.py"
    script.write_text(OPENCV_SCRIPT)
    filterhost = str(ctx.build / "bin" / "filterhost")
    vips = shutil.which("vips")
    if vips is None:
        ctx.missing.append("vips (Debian package libvips-tools)")

    for ext, source in inputs.items():
        label = f"rgb_to_ihs {ext.upper()} → {ext.upper()} {SIZE}² (whole process)"
        ours_out, peer_out = work / f"ours.{ext}", work / f"opencv.{ext}"
        ours = ctx.best_of(
            lambda: run([filterhost, "run", "rgb_to_ihs", str(source), "-o", str(ours_out), "-q"]),
            repeats=3)
        opencv = ctx.best_of(
            lambda: run([sys.executable, str(script), str(source), str(peer_out)]), repeats=3)
        yield {"filter": label, "ours": ours, "peer": "python3 + OpenCV (read, HLS, write)",
               "peer_time": opencv}
        vips_time = None
        if vips:
            vips_out = work / f"vips.{ext}"
            vips_time = ctx.best_of(
                lambda: run([vips, "colourspace", str(source), str(vips_out), "hsv"]), repeats=3)
        yield {"filter": label, "ours": ours, "peer": "vips colourspace hsv",
               "peer_time": vips_time}
