"""cross_correlate against scipy.fft: a deterministic 1024 x 1024 RGB image and
a cyclically shifted copy of it stored as the reference image.

Ours runs compute only through the host library (build/bench/
cross_correlate_time: image in memory, reference already stored). The peer
does the same work with scipy.fft in complex64: for each of the three
channels the forward transforms of image and reference, the product with
the conjugate, the inverse transform, then the centring shift and the one
min and max scaling onto 0..255.
"""
import random
import subprocess

SIZE = 1024
SHIFT = (37, -21)  # the reference is the image moved by (dx, dy)


def make_image(size, seed=1024):
    """Smooth shapes and noise, RGB, 8-bit: rows of bytes, pure Python."""
    rng = random.Random(seed)
    noise = rng.randbytes(size * size * 3)
    rows = []
    for y in range(size):
        row = bytearray(size * 3)
        for x in range(size):
            base = ((x // 64 + y // 64) % 2) * 96 + ((x * x + y * 3 * y) >> 12) % 64
            i = (y * size + x) * 3
            row[x * 3 + 0] = (base + noise[i] % 64) & 255
            row[x * 3 + 1] = (base // 2 + noise[i + 1] % 96) & 255
            row[x * 3 + 2] = (255 - base + noise[i + 2] % 32) & 255
        rows.append(bytes(row))
    return rows


def shifted(rows, dx, dy):
    """The image moved cyclically: pixel (x, y) comes from (x - dx, y - dy)."""
    size = len(rows)
    out = []
    for y in range(size):
        row = rows[(y - dy) % size]
        cut = ((-dx) % size) * 3
        out.append(row[cut:] + row[:cut])
    return out


def write_ppm(path, rows):
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (len(rows[0]) // 3, len(rows)))
        for row in rows:
            f.write(row)


def ours(ctx, image_path, reference_path):
    program = ctx.build / "bench" / "cross_correlate_time"
    module = ctx.build / "plugins" / "cross_correlate.so"
    out = subprocess.run([str(program), str(module), str(image_path), str(reference_path), "5"],
                         check=True, capture_output=True, text=True)
    return float(out.stdout.strip())


def scipy_peer(np, fft, image, reference):
    def run():
        surfaces = []
        for c in range(3):
            a = fft.fft2(image[:, :, c].astype(np.complex64))
            r = fft.fft2(reference[:, :, c].astype(np.complex64))
            surfaces.append(fft.ifft2(a * np.conj(r)).real)
        surface = np.fft.fftshift(np.stack(surfaces, axis=-1), axes=(0, 1))
        lo, hi = surface.min(), surface.max()
        return ((surface - lo) * np.float32(255.0 / (hi - lo))).astype(np.float32)
    return run


def rows(ctx):
    image_rows = make_image(SIZE)
    reference_rows = shifted(image_rows, *SHIFT)
    image_path = ctx.work / "xcorr_image.ppm"
    reference_path = ctx.work / "xcorr_reference.ppm"
    write_ppm(image_path, image_rows)
    write_ppm(reference_path, reference_rows)

    row = {"filter": f"cross_correlate {SIZE}x{SIZE} RGB", "ours": ours(ctx, image_path, reference_path),
           "peer": "scipy.fft complex64, three channels", "peer_time": None}
    np = ctx.optional_import("numpy", "python3-numpy")
    fft = ctx.optional_import("scipy.fft", "python3-scipy")
    if np is not None and fft is not None:
        def load(rows_):
            return np.frombuffer(b"".join(rows_), dtype=np.uint8).reshape(SIZE, SIZE, 3)
        row["peer_time"] = ctx.best_of(scipy_peer(np, fft, load(image_rows), load(reference_rows)))
    yield row
