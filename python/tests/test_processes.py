"""Memory flat over pickling and error paths, and over repeated runs (a tool pickled into
other processes: the Dask cluster tests)."""

import os
import pickle
import subprocess
import sys

from conftest import ALL_METHODS, trained

import imgnorm


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_memory_stays_flat_over_pickling_and_error_paths(images):
    tool = trained(images, True)
    data = pickle.dumps(tool)
    image = images["image"]

    def one_round():
        pickle.loads(data).run(image, "local-mean")
        for call in (lambda: tool.run(image, ALL_METHODS + 1), lambda: tool.run(image.astype(float), "histogram"),
                     lambda: imgnorm.Normalizer.from_bytes(data[:40]), lambda: setattr(tool, "granularity", 0),
                     lambda: imgnorm.Normalizer(image, image[:3]).train("tails")):
            try:
                call()
            except (imgnorm.Error, TypeError, ValueError):
                pass

    for _ in range(100):
        one_round()
    before = resident_bytes()
    for _ in range(1000):
        one_round()
    grown = resident_bytes() - before
    assert grown < 4 << 20, "resident memory grew by %d bytes over 1000 rounds" % grown


FAULTS_CHILD = """
import resource, sys
import numpy as np
sys.path.insert(0, %r)
from conftest import METHODS, distorted, ring_mask, textured
import imgnorm
ref = textured(1024, 1536, 1)
image = distorted(ref)
worst = {}
for mask in (None, ring_mask(1024, 1536)):
    for g in (1, 4):
        tool = imgnorm.Normalizer(ref, mask)
        tool.granularity = (g, g)
        tool.train(METHODS)
        for m in METHODS:
            tool.run(image, m)
            before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            for _ in range(3):
                tool.run(image, m)
            faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
            worst[m, mask is not None, g] = faults
print(repr(worst))
"""


def test_repeated_runs_fault_in_no_fresh_memory_where_the_heap_returns_it():
    # Dask's workers set MALLOC_TRIM_THRESHOLD_: scratch must be reused, not faulted in per run.
    env = dict(os.environ, MALLOC_TRIM_THRESHOLD_="65536")
    child = subprocess.run([sys.executable, "-c", FAULTS_CHILD % os.path.dirname(__file__)], capture_output=True,
                           text=True, check=True, env=env)
    worst = eval(child.stdout)
    assert {key: n for key, n in worst.items() if n > 12} == {}
