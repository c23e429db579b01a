"""train() and run() release the GIL: while two threads run, the main thread
keeps running Python code, and the threads' results equal a serial run."""

import threading
import time

import numpy as np
from conftest import distorted, textured

import imgnorm


def test_runs_in_two_threads_overlap_with_python_code():
    ref = textured(2000, 2000, 4)
    image = distorted(ref)
    tool = imgnorm.Normalizer(ref)
    tool.neighborhood_size = (61, 61)
    tool.train("local-median")
    want = tool.run(image, "local-median")
    calls, results = [], [None, None]
    started = threading.Barrier(3)

    def worker(k):
        started.wait()
        t0 = time.perf_counter()
        results[k] = tool.run(image, "local-median")
        calls.append((t0, time.perf_counter()))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    started.wait()
    ticks = []
    while any(t.is_alive() for t in threads):
        ticks.append(time.perf_counter())
    for t in threads:
        t.join()

    for r in results:
        np.testing.assert_array_equal(r, want)
    # The main thread ran Python code through most of each call: with the GIL
    # held, it could not have run at all between a call's start and its end.
    ticks = np.array(ticks)
    for t0, t1 in calls:
        inside = ticks[(ticks > t0) & (ticks < t1)]
        assert t1 - t0 > 0.02
        assert inside.size > 100 and inside.max() - inside.min() > 0.5 * (t1 - t0), (t0, t1, inside.size)
    # And the two calls overlapped in time.
    (a0, a1), (b0, b1) = calls
    assert min(a1, b1) > max(a0, b0)


def test_training_releases_the_gil():
    ref = textured(1500, 1500, 6)
    tool = imgnorm.Normalizer(ref)
    tool.neighborhood_size = (3, 3)
    tool.train("linear-fit")
    span = []

    def worker():
        t0 = time.perf_counter()
        tool.train(["local-mean", "histogram", "linear-fit"])
        span.append((t0, time.perf_counter()))

    t = threading.Thread(target=worker)
    ticks = []
    t.start()
    while t.is_alive():
        ticks.append(time.perf_counter())
    t.join()
    (t0, t1), = span
    ticks = np.array(ticks)
    inside = ticks[(ticks > t0) & (ticks < t1)]
    assert inside.size > 0 and inside.max() - inside.min() > 0.5 * (t1 - t0)
