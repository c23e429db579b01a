"""train() and run() release the GIL: while other threads train or run, the
main thread keeps running Python code, and two threads' results equal a
serial run."""

import threading
import time

import numpy as np
from conftest import distorted, ring_mask, textured

import imgnorm


def longest_pause(work, threads):
    """Starts threads that each time one call of work(k); meanwhile counts on
    the main thread.  Returns the longest pause between the main thread's
    ticks during the calls, and the calls' (start, end) times.  A call that
    held the GIL would stop the main thread for its whole duration."""
    calls = []
    started = threading.Barrier(threads + 1)

    def worker(k):
        started.wait()
        t0 = time.perf_counter()
        work(k)
        calls.append((t0, time.perf_counter()))

    pool = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
    for t in pool:
        t.start()
    started.wait()
    ticks = []
    while any(t.is_alive() for t in pool):
        ticks.append(time.perf_counter())
    for t in pool:
        t.join()
    ticks = np.array(ticks)
    begin, end = min(c[0] for c in calls), max(c[1] for c in calls)
    during = np.concatenate(([begin], ticks[(ticks > begin) & (ticks < end)], [end]))
    return np.diff(during).max(), calls


def test_runs_in_two_threads_overlap_with_python_code():
    ref = textured(2000, 2000, 4)
    image = distorted(ref)
    tool = imgnorm.Normalizer(ref)
    tool.neighborhood_size = (61, 61)
    tool.train("local-median")
    want = tool.run(image, "local-median")
    results = [None, None]

    def work(k):
        # Several runs per call, so that each call lasts far longer than the
        # scheduler's time slice on a busy machine (one run takes about 20 ms).
        for _ in range(5):
            results[k] = tool.run(image, "local-median")

    pause, calls = longest_pause(work, 2)
    for r in results:
        np.testing.assert_array_equal(r, want)
    shortest = min(t1 - t0 for t0, t1 in calls)
    assert shortest > 0.05 and pause < 0.5 * shortest, (pause, calls)
    (a0, a1), (b0, b1) = calls
    assert min(a1, b1) > max(a0, b0)  # the two runs overlapped


def test_training_releases_the_gil():
    # With a mask, training for local-mean filters the mask over the image.
    ref = textured(3000, 3000, 6)
    tool = imgnorm.Normalizer(ref, ring_mask(3000, 3000))
    pause, [(t0, t1)] = longest_pause(lambda k: tool.train(["local-mean", "histogram", "linear-fit"]), 1)
    assert t1 - t0 > 0.03 and pause < 0.5 * (t1 - t0), (pause, t1 - t0)
