#!/usr/bin/env python3
"""What a flush costs after the disk has idled: three new 2 KiB files, each
written and flushed, after 0, 5, 20 and 150 ms of idling; the median of 40
rounds per flush. Run it in a folder on the file system to measure."""
import argparse
import os
import shutil
import statistics
import tempfile
import time

parser = argparse.ArgumentParser(description=__doc__)
parser.add_argument("folder", nargs="?", default=".", help="where to write the files (default: .)")
parser.add_argument("--rounds", type=int, default=40)
args = parser.parse_args()

scratch = tempfile.mkdtemp(prefix="flush-idle-", dir=args.folder)
try:
    for idle in (0, 0.005, 0.02, 0.15):
        flushes = [[], [], []]
        for r in range(args.rounds):
            time.sleep(idle)
            for k in range(3):
                fd = os.open(os.path.join(scratch, f"{idle}-{r}-{k}"), os.O_CREAT | os.O_WRONLY | os.O_EXCL, 0o600)
                os.write(fd, b"x" * 2048)
                t0 = time.perf_counter()
                os.fsync(fd)
                flushes[k].append(time.perf_counter() - t0)
                os.close(fd)
        medians = " / ".join("%.3f" % (statistics.median(f) * 1e3) for f in flushes)
        print(f"idle {idle * 1000:.0f} ms: flushes 1 / 2 / 3: {medians} ms")
finally:
    shutil.rmtree(scratch, ignore_errors=True)
