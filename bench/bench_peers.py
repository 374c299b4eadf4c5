#!/usr/bin/env python3
"""Runs the project's filters and the peer libraries on the same images in one
run and prints one table: filter, project time, peer, peer time, ratio.

Each module in bench/peers/ contributes rows through `rows(ctx)`, a generator
of dicts with the keys filter, ours (seconds), peer (name) and peer_time
(seconds, or None when the peer is not installed). Peers come from Debian's
python3 packages; a missing one is named and skipped, never fatal.
"""
import argparse
import importlib.util
import pathlib
import sys
import time


class Context:
    def __init__(self, build, work):
        self.build = pathlib.Path(build).resolve()
        self.work = pathlib.Path(work).resolve()
        self.work.mkdir(parents=True, exist_ok=True)
        self.missing = []

    def best_of(self, fn, repeats=5):
        """Best wall time of `repeats` calls of fn(), in seconds."""
        best = None
        for _ in range(repeats):
            start = time.perf_counter()
            fn()
            elapsed = time.perf_counter() - start
            best = elapsed if best is None else min(best, elapsed)
        return best

    def optional_import(self, module, package):
        """The module, or None after noting that its Debian package is missing."""
        try:
            return importlib.import_module(module)
        except ImportError:
            self.missing.append(f"{module} (Debian package {package})")
            return None


def load_modules(folder):
    for path in sorted(folder.glob("*.py")):
        spec = importlib.util.spec_from_file_location(f"peers_{path.stem}", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        yield path.stem, module


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--work", default=None, help="folder for generated images")
    parser.add_argument("--only", default=None, help="run only this peers module")
    args = parser.parse_args()
    ctx = Context(args.build, args.work or pathlib.Path(args.build) / "bench-peers")

    rows = []
    for name, module in load_modules(pathlib.Path(__file__).parent / "peers"):
        if args.only and name != args.only:
            continue
        rows.extend(module.rows(ctx))

    header = ("filter", "ours", "peer", "peer time", "ratio")
    print("| " + " | ".join(header) + " |")
    print("|" + "---|" * len(header))
    for r in rows:
        peer_time = r.get("peer_time")
        ratio = f"{r['ours'] / peer_time:.2f}x" if peer_time else "-"
        shown = f"{peer_time * 1e3:.1f} ms" if peer_time else "missing"
        print(f"| {r['filter']} | {r['ours'] * 1e3:.1f} ms | {r['peer']} | {shown} | {ratio} |")
    for m in sorted(set(ctx.missing)):
        print(f"skipped: {m} is not installed", file=sys.stderr)


if __name__ == "__main__":
    main()
