"""movie.times of a long movie, against fetching its raw info stream (the floor).

    PYTHONPATH=build/linux/python /usr/bin/python3 bench/python_times.py [--reps 11]

Starts its own vemsim on private folders. Each repetition adds two new movies of --frames frames
(so nothing is kept from an earlier one) and times, in alternating order: the raw info stream
fetched as bytes (`_zelvem.info_block`, one request and the bytes across the pipe: what any
reader of the times pays), `movie.times` on the other new movie (the fetch, the decode with the
reader rules, the numpy array), and `movie.times` on a second Movie of that movie (the kept
times). The results are medians; the ratio is the median of the per-repetition ratios.
"""

import argparse
import os
import pathlib
import statistics
import sys
import time

root = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(root / "tests" / "support"))
from sim_drive import Vemsim  # noqa: E402  (the tests' own vemsim starter)

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--reps", type=int, default=11)
parser.add_argument("--frames", type=int, default=100000)
parser.add_argument("--vemsim", default=str(root / "build" / "linux" / "bin" / "vemsim"))
args = parser.parse_args()

with Vemsim(["--movie", "8x8x1:first"], vemsim=args.vemsim) as sim:
    # The library in this process is the drive's client: it reads these when first used.
    os.environ.update(sim.env)
    os.environ.pop("ZELVEM_ENABLE_EMULATOR", None)
    import zelvem
    from zelvem import _zelvem

    drive = zelvem.Drive()

    def new_movie(name):
        entry = sim.add(64, 48, args.frames, name)["entry"]
        while entry not in [e.name for e in drive.list()]:
            time.sleep(0.01)
        return entry

    def floor(entry):
        started = time.perf_counter()
        block = _zelvem.info_block(entry)
        seconds = time.perf_counter() - started
        assert len(block) > 8 * args.frames
        return seconds

    def times(entry):
        with drive.open(entry) as movie:
            started = time.perf_counter()
            stamps = movie.times
            seconds = time.perf_counter() - started
        assert len(stamps) == args.frames
        return seconds

    floors, colds, warms, ratios = [], [], [], []
    for rep in range(args.reps + 1):
        a, b = new_movie(f"floor{rep}"), new_movie(f"times{rep}")
        if rep % 2:
            cold, f = times(b), floor(a)
        else:
            f, cold = floor(a), times(b)
        warm = times(b)
        if rep == 0:
            continue  # the first fetch also warms up the process
        floors.append(f)
        colds.append(cold)
        warms.append(warm)
        ratios.append(cold / f)
    ms = 1e3
    print(f"{args.frames} frames, {args.reps} interleaved repetitions")
    print(f"info stream as bytes (floor)  median {statistics.median(floors) * ms:7.2f} ms")
    print(f"movie.times, first            median {statistics.median(colds) * ms:7.2f} ms "
          f"(max {max(colds) * ms:.2f})")
    print(f"movie.times, kept             median {statistics.median(warms) * ms:7.2f} ms")
    print(f"ratio first/floor             median {statistics.median(ratios):.2f} "
          f"(min {min(ratios):.2f}, max {max(ratios):.2f})")
