"""Peer rows for the four binary filters.

Our filters are timed compute-only through the host library by the timing
program build/bench/binary_time (image already in memory, best of several
runs); it also writes the benchmark image and the marks as PGM files, which
the peers read, so both sides work on the very same 2048 x 2048 image of a
few thousand blobs with holes plus noise specks. The peers get the black
pixels (mean <= 127.5) as a ready boolean array, so they too are timed on
the computation alone.

  fill_holes        scipy ndimage.binary_fill_holes
  label_brightness  OpenCV connectedComponents (8-connected);
                    scikit-image measure.label + segmentation.clear_border
  marker_select     scikit-image morphology.reconstruction (marks on a grid
                    of one-pixel lines every 64 pixels, as the reference)
  total_perimeter   scikit-image measure.perimeter
"""
import subprocess
import sys


def read_pgm(np, path):
    data = path.read_bytes()
    fields = data.split(maxsplit=4)
    width, height = int(fields[1]), int(fields[2])
    return np.frombuffer(fields[4][: width * height], dtype=np.uint8).reshape(height, width)


def our_times(ctx):
    program = ctx.build / "bench" / "binary_time"
    if not program.exists():
        print(f"binary: {program} is not built (configure with -DFILTERKIT_BENCH=ON)",
              file=sys.stderr)
        return None
    out = subprocess.run([str(program), "--write", str(ctx.work)], check=True,
                         capture_output=True, text=True).stdout
    return {name: float(seconds) for name, seconds in (line.split() for line in out.splitlines())}


def peer_functions(ctx, black, seed):
    """(filter, peer name, callable or None) for every peer."""
    ndimage = ctx.optional_import("scipy.ndimage", "python3-scipy")
    cv2 = ctx.optional_import("cv2", "python3-opencv")
    measure = ctx.optional_import("skimage.measure", "python3-skimage")
    segmentation = ctx.optional_import("skimage.segmentation", "python3-skimage")
    morphology = ctx.optional_import("skimage.morphology", "python3-skimage")
    black_u8 = black.astype("uint8")
    seed_u8 = seed.astype("uint8")

    def label_and_clear():
        segmentation.clear_border(measure.label(black, connectivity=2))

    return [
        ("fill_holes", "scipy ndimage.binary_fill_holes",
         ndimage and (lambda: ndimage.binary_fill_holes(black))),
        ("label_brightness", "OpenCV connectedComponents (8-connected)",
         cv2 and (lambda: cv2.connectedComponents(black_u8, connectivity=8))),
        ("label_brightness", "scikit-image label + clear_border",
         measure and segmentation and label_and_clear),
        ("marker_select", "scikit-image morphology.reconstruction",
         morphology and (lambda: morphology.reconstruction(seed_u8, black_u8))),
        ("total_perimeter", "scikit-image measure.perimeter",
         measure and (lambda: measure.perimeter(black))),
    ]


def rows(ctx):
    try:
        import numpy as np
    except ImportError:
        ctx.missing.append("numpy (Debian package python3-numpy)")
        return
    ours = our_times(ctx)
    if ours is None:
        return
    image = read_pgm(np, ctx.work / "binary_features.pgm")
    marks = read_pgm(np, ctx.work / "binary_marks.pgm")
    # Grey pixels: the mean of the three channels is the value itself.
    black = image <= 127
    seed = black & (marks.astype(np.float32) + image.astype(np.float32) < 255.0)
    for filter_name, peer, fn in peer_functions(ctx, black, seed):
        yield {
            "filter": filter_name,
            "ours": ours[filter_name],
            "peer": peer,
            "peer_time": ctx.best_of(fn) if fn else None,
        }
