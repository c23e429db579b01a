"""Speed of the Python package against the same work from C++ and against
scikit-image, side by side in one process.  Not a test: prints tables.

    PYTHONPATH=build/python /usr/bin/python3 bench/python/bench_python.py [--rounds 7]

(scripts/bench-python.sh builds what it needs and runs it.)  Every figure is
the fastest of many runs, Python and C++ alternating run by run (the machine
may be shared).  Per method, Normalizer.run on a 2048 x 2048 uint8
array from Python against the same tool's run timed in a C++ loop in the same
process: on the same array's memory (the cost of calling from Python), and on
a copy in a store of the library's own, whose rows start on 32-byte
boundaries (numpy's own arrays start 16 bytes past one).  Then
imgnorm.normalize (histogram) against skimage.exposure.match_histograms on
the same arrays.
"""

import argparse
import time

import numpy as np

import imgnorm
from imgnorm._imgnorm import _time_cxx_run

METHODS = [m.name for m in imgnorm.METHODS if m.kind != "copy"]
SIZE = 2048


def images():
    rng = np.random.default_rng(1)
    y, x = np.mgrid[0:SIZE, 0:SIZE]
    ref = 125 + 55 * np.sin(x * 0.021) * np.cos(y * 0.017) + 25 * np.sin((x - y) * 0.005) + rng.integers(-12, 13, x.shape)
    ref = np.clip(ref, 30, 220).astype(np.uint8)
    img = np.clip(0.7 * ref + 30 + 40 * x / SIZE + rng.normal(0, 2, ref.shape), 0, 255).astype(np.uint8)
    return ref, img


def fastest(f, n):
    best = float("inf")
    for _ in range(n):
        t0 = time.perf_counter()
        f()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rounds", type=int, default=7, help="runs per method: 20 x rounds (local methods 3 x rounds)")
    args = ap.parse_args()
    ref, img = images()
    tool = imgnorm.Normalizer(ref, methods=METHODS)
    print("Normalizer.run on %d x %d uint8, fastest of %d runs each (local methods %d), array data at %d mod 64"
          % (SIZE, SIZE, args.rounds * 20, args.rounds * 3, img.ctypes.data % 64))
    print("%-14s %12s %12s %10s %10s" % ("method", "C++ same ms", "C++ copy ms", "Python ms", "Py/C++same"))
    for method in METHODS:
        n = args.rounds * (3 if method.startswith("local") else 20)
        py = same = copy = float("inf")
        for _ in range(n):  # one run each, alternating, so that slow drifts of load hit all three
            py = min(py, fastest(lambda: tool.run(img, method), 1))
            same = min(same, _time_cxx_run(tool, img, method, 1, False))
            copy = min(copy, _time_cxx_run(tool, img, method, 1, True))
        print("%-14s %12.3f %12.3f %10.3f %10.3f" % (method, same * 1e3, copy * 1e3, py * 1e3, py / same))

    import skimage
    import skimage.exposure
    ours = theirs = float("inf")
    for _ in range(args.rounds):
        ours = min(ours, fastest(lambda: imgnorm.normalize(img, reference=ref, method="histogram"), 10))
        theirs = min(theirs, fastest(lambda: skimage.exposure.match_histograms(img, ref), 1))
    print()
    print("histogram matching on %d x %d uint8, fastest of %d rounds" % (SIZE, SIZE, args.rounds))
    print("%-48s %10.2f ms" % ("imgnorm.normalize(img, reference=ref, method='histogram')", ours * 1e3))
    print("%-48s %10.2f ms" % ("skimage.exposure.match_histograms (%s)" % skimage.__version__, theirs * 1e3))
    print("%-48s %10.0fx" % ("speed-up", theirs / ours))


if __name__ == "__main__":
    main()
