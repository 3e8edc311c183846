"""Reading a movie frame by frame into numpy, against the C++ Read of the same frames.

    PYTHONPATH=build/linux/python /usr/bin/python3 bench/python_read.py [--reps 15] [--frames 200]

Starts its own vemsim (640x480 movie) on private folders. Each repetition times both readers
over the same frames, alternating which goes first, and the result is the median of the
per-repetition ratios: other load on the machine hits both sides of a ratio alike.
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
parser.add_argument("--reps", type=int, default=15)
parser.add_argument("--frames", type=int, default=200)
parser.add_argument("--vemsim", default=str(root / "build" / "linux" / "bin" / "vemsim"))
args = parser.parse_args()

with Vemsim(["--movie", f"640x480x{args.frames}:bench"], vemsim=args.vemsim) as sim:
    # The library in this process is the drive's client: it reads these when first used.
    os.environ.update(sim.env)
    os.environ.pop("ZELVEM_ENABLE_EMULATOR", None)
    import zelvem
    from zelvem import _zelvem

    path = "vem:///1-bench"
    drive = zelvem.Drive()

    def numpy_read():
        started = time.perf_counter()
        with drive.open(path) as movie:
            for i in range(len(movie)):
                movie[i]
        return time.perf_counter() - started

    def cpp_read():
        seconds = _zelvem.cpp_read_frames(path, 0, args.frames)
        if seconds < 0:
            sys.exit("the C++ read failed")
        return seconds

    numpy_read(), cpp_read()  # vemsim draws each frame on its first load: warm it up
    ratios, py_times, cpp_times = [], [], []
    for rep in range(args.reps):
        if rep % 2:
            c, p = cpp_read(), numpy_read()
        else:
            p, c = numpy_read(), cpp_read()
        py_times.append(p)
        cpp_times.append(c)
        ratios.append(p / c)
    per_frame = 1e6 / args.frames
    print(f"frames of 640x480, {args.frames} per pass, {args.reps} interleaved repetitions")
    print(f"numpy movie[i]   median {statistics.median(py_times) * per_frame:8.1f} us/frame")
    print(f"C++ IFile::Read  median {statistics.median(cpp_times) * per_frame:8.1f} us/frame")
    print(f"ratio numpy/C++  median {statistics.median(ratios):.3f} "
          f"(min {min(ratios):.3f}, max {max(ratios):.3f})")
