"""train() and run() release the GIL; threaded results equal a serial run."""

import threading
import time

import numpy as np
import pytest
from conftest import distorted, ring_mask, textured

import imgnorm


def longest_pause(work, threads, repeat):
    """Starts threads that each time repeat calls of work(k); meanwhile counts
    on the main thread.  Returns the longest pause between the main thread's
    ticks during the calls, and the calls' (k, start, end) times.  A call that
    held the GIL would stop the main thread for its whole duration."""
    calls = []
    started = threading.Barrier(threads + 1)

    def worker(k):
        started.wait()
        for _ in range(repeat):
            t0 = time.perf_counter()
            work(k)
            calls.append((k, t0, time.perf_counter()))

    pool = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
    for t in pool:
        t.start()
    started.wait()
    ticks = []
    while any(t.is_alive() for t in pool):
        ticks.append(time.perf_counter())
    for t in pool:
        t.join()
    assert len(calls) == threads * repeat  # a call that raised leaves no times
    ticks = np.array(ticks)
    begin, end = min(c[1] for c in calls), max(c[2] for c in calls)
    during = np.concatenate(([begin], ticks[(ticks > begin) & (ticks < end)], [end]))
    return np.diff(during).max(), calls


def two_runs():
    # Two threads of five runs each; each run (about 45 ms on a free machine)
    # must leave the main thread running, and equal a serial run.
    ref = textured(3000, 3000, 4)
    image = distorted(ref)
    tool = imgnorm.Normalizer(ref, neighborhood_size=(61, 61), methods="local-median")
    want = tool.run(image, "local-median")
    return lambda k: np.testing.assert_array_equal(tool.run(image, "local-median"), want), 2, 5


def training():
    # With a mask, training for local-mean filters the mask over the image.
    tool = imgnorm.Normalizer(textured(3000, 3000, 6), ring_mask(3000, 3000))
    return lambda k: tool.train(["local-mean", "histogram", "linear-fit"]), 1, 1


@pytest.mark.parametrize("calls", [two_runs, training])
def test_calls_overlap_with_python_code(calls):
    pause, times = longest_pause(*calls())
    shortest = min(t1 - t0 for _, t0, t1 in times)
    assert shortest > 0.03 and pause < 0.5 * shortest, (pause, times)
    spans = [[t for j, t0, t1 in times if j == k for t in (t0, t1)] for k in {c[0] for c in times}]
    assert min(map(max, spans)) > max(map(min, spans))  # the threads' runs overlapped
