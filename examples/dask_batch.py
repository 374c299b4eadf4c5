#!/usr/bin/env python3
"""Run one filter over a folder of images on a Dask cluster.

    dask_batch.py PLUGIN INPUT_DIR OUTPUT_DIR [--scheduler ADDRESS] [--workers N]
                  [--csv FILE] [--prefs-dir DIR] [--desktop-dir DIR]

Every image file in INPUT_DIR (PNG, TIFF, PGM/PPM) is read, filtered with
filterkit and written to OUTPUT_DIR under the same name, by the workers of a
dask.distributed cluster: a LocalCluster of N single-threaded worker
processes by default, or the scheduler at ADDRESS (tcp://host:8786). The
results are gathered into one table, written as CSV (OUTPUT_DIR/results.csv
by default) and summarised on stdout: per image the result code, the
messages and the numbers in them (total_perimeter's measurement, for
instance), and the time the filter took.

On a real cluster every worker needs the filterkit module and the plug-ins
(install the project, or put build/python on PYTHONPATH and set
FILTERHOST_PLUGIN_PATH), and INPUT_DIR, OUTPUT_DIR and the Preferences folder
must be the same paths on every machine (a shared file system). A process
runs one filter at a time, so start workers with one thread each:
    dask scheduler
    dask worker tcp://SCHEDULER:8786 --nworkers 8 --nthreads 1
"""

import argparse
import math
import os
import socket
import sys
import time
from pathlib import Path

IMAGE_SUFFIXES = {".png", ".tif", ".tiff", ".pgm", ".ppm", ".pnm"}


def filter_one(plugin, source, output_dir, prefs_dir=None, desktop_dir=None):
    """Filters one image file on a worker; returns its row of the table."""
    import filterkit

    row = {"file": Path(source).name, "plugin": plugin, "code": None, "error": "",
           "messages": "", "numbers": "", "measurement": math.nan, "width": None,
           "height": None, "filter_s": math.nan, "overhead_s": math.nan, "output": "",
           "worker": f"{socket.gethostname()}:{os.getpid()}"}
    try:
        image, lab = filterkit.read_image(source, with_lab=True)
        row["height"], row["width"] = image.shape[:2]
        output, result = filterkit.run(plugin, image, lab=lab, prefs_dir=prefs_dir,
                                       desktop_dir=desktop_dir)
    except filterkit.PluginError as error:
        result, output = error.result, None
        row["error"] = str(error)
    except (OSError, ValueError, TypeError) as error:
        row["error"] = str(error)
        return row
    row.update(code=result.code, messages=" | ".join(result.messages),
               numbers=" ".join(repr(n) for n in result.numbers),
               measurement=result.numbers[0] if result.numbers else math.nan,
               filter_s=result.timings["filter"], overhead_s=result.timings["overhead"])
    if output is not None:
        target = Path(output_dir) / Path(source).name
        try:
            filterkit.write_image(target, output, lab=lab)
            row["output"] = str(target)
        except OSError as error:
            row["error"] = str(error)
    return row


def image_files(folder):
    return sorted(str(p) for p in Path(folder).iterdir()
                  if p.is_file() and p.suffix.lower() in IMAGE_SUFFIXES)


def make_client(scheduler, workers):
    from dask.distributed import Client, LocalCluster

    if scheduler:
        return Client(scheduler)
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    return Client(cluster)


def run_batch(args):
    import pandas as pd

    files = image_files(args.input_dir)
    if not files:
        sys.exit(f"dask_batch: no image files in {args.input_dir}")
    Path(args.output_dir).mkdir(parents=True, exist_ok=True)
    client = make_client(args.scheduler, args.workers)
    try:
        started = time.perf_counter()
        futures = client.map(filter_one, [args.plugin] * len(files), files,
                             output_dir=args.output_dir, prefs_dir=args.prefs_dir,
                             desktop_dir=args.desktop_dir, pure=False)
        rows = client.gather(futures)
        wall = time.perf_counter() - started
    finally:
        cluster = getattr(client, "cluster", None)
        client.close()
        if cluster is not None:
            cluster.close()
    table = pd.DataFrame(rows).sort_values("file", ignore_index=True)
    return table, wall


def summary(table, wall):
    failed = table["code"].ne(0) | table["error"].ne("")
    lines = [f"{len(table)} images, {int(failed.sum())} failed, wall {wall:.2f} s, "
             f"filter time {table['filter_s'].sum():.2f} s on "
             f"{table['worker'].nunique()} workers"]
    if table["measurement"].notna().any():
        lines.append(f"measurement: total {table['measurement'].sum():.6g}, "
                     f"mean {table['measurement'].mean():.6g}")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("plugin", help="plug-in name, as filterkit.plugins() lists them")
    parser.add_argument("input_dir")
    parser.add_argument("output_dir")
    parser.add_argument("--scheduler", help="address of a running scheduler (tcp://host:8786)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes of the local cluster (default: one per CPU)")
    parser.add_argument("--csv", help="where the table goes (default OUTPUT_DIR/results.csv)")
    parser.add_argument("--prefs-dir", help="Preferences folder (holds the reference image)")
    parser.add_argument("--desktop-dir", help="Desktop folder (holds parameter files)")
    args = parser.parse_args(argv)
    table, wall = run_batch(args)
    csv = args.csv or str(Path(args.output_dir) / "results.csv")
    table.to_csv(csv, index=False)
    print(summary(table, wall))
    print(f"table: {csv}")
    return 0 if table["error"].eq("").all() else 2


if __name__ == "__main__":
    sys.exit(main())
