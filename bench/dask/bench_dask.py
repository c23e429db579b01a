"""Throughput of imgnorm.dask on a LocalCluster (loopback only).

  batch:  normalize_files over N images of 2048 x 2048 (.npy) on 1 worker
          process, on 2 worker processes of one thread each, and on one
          worker process of 2 threads (one tool, one reference in memory),
          with the files in RAM (/dev/shm) and on disk (the temporary
          folder); 3 rounds in which the clusters take turns; prints the best
          time of each, the CPU time per image spent in the workers and in
          the other processes of the cluster (the client, which holds the
          LocalCluster's scheduler, and the nannies) and the speed-ups.
  control: the batch's machinery with each file's work replaced, on the
          workers, by matrix products in cache (no file I/O, no memory
          traffic) of MS ms of thread CPU time: the speed-up from 1 to 2
          workers that Dask itself allows on this machine for work of that
          size.
  array:  normalize_array over a SIZE x SIZE dask array made chunk by chunk
          (never whole in the client), on 2 workers; prints the time and each
          worker's peak resident memory.

  PYTHONPATH=build/python /usr/bin/python3 bench/dask/bench_dask.py batch [N] [METHOD]
  PYTHONPATH=build/python /usr/bin/python3 bench/dask/bench_dask.py control [N] [MS]
  PYTHONPATH=build/python /usr/bin/python3 bench/dask/bench_dask.py array [SIZE] [METHOD]
"""

import os
import resource
import shutil
import statistics
import sys
import tempfile
import time

import dask.array as da
import distributed
import numpy as np

import imgnorm
import imgnorm.dask as idask


def scene(h, w, seed, y0=0, x0=0):
    """A smooth shading with texture; seed 0 is the reference, others are it
    under a gain, an offset and a tilt."""
    rng = np.random.default_rng(seed * 1000003 + y0 * 7 + x0)
    y, x = np.mgrid[y0 : y0 + h, x0 : x0 + w].astype(np.float32)
    v = 125 + 50 * np.sin(x * 0.011) * np.cos(y * 0.009) + 20 * np.sin((x + y) * 0.05)
    if seed:
        v = 0.8 * v + 20 + 0.002 * x + rng.normal(0, 3, v.shape)
    return np.clip(v, 0, 255).astype(np.uint8)


def cluster(workers, threads=1):
    return distributed.LocalCluster(n_workers=workers, threads_per_worker=threads, processes=True, host="127.0.0.1",
                                    dashboard_address=None, silence_logs=40)


def cpu_seconds(pid="self"):
    """A process's CPU time (user + system) so far, from /proc (on a worker:
    the worker process's own)."""
    with open("/proc/%s/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def minor_faults():
    """This process's minor page faults so far (on a worker: its own).  A
    fresh page costs about 10 us to fault in on some virtual machines."""
    with open("/proc/self/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[7])


def tree_cpu_seconds():
    """CPU time of this process (the client and the LocalCluster's scheduler)
    and of all its descendants (the nannies and the workers)."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                pass
    tree, total, grown = {os.getpid()}, 0.0, True
    while grown:
        grown = False
        for pid, parent in parents.items():
            if parent in tree and pid not in tree:
                tree.add(pid)
                grown = True
    for pid in tree:
        try:
            total += cpu_seconds(pid)
        except OSError:
            pass
    return total


def batch_places():
    """Where the batch's files go: a RAM-backed folder (/dev/shm), where the
    figures are the normalization's own, and the temporary folder (on this
    machine a virtual disk shared with everyone on it), where writing 4 MiB
    per image can set the pace instead."""
    places = []
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK):
        places.append(("in RAM", "/dev/shm"))
    places.append(("on disk", tempfile.gettempdir()))
    return places


def batch(n=200, method="local-mean", repeats=3):
    folders = []
    try:
        tool = imgnorm.Normalizer(scene(2048, 2048, 0), methods=method)
        images = [scene(2048, 2048, seed) for seed in range(1, 8)]
        inputs = []
        for name, base in batch_places():
            folder = tempfile.mkdtemp(prefix="imgnorm_batch_", dir=base)
            folders.append(folder)
            os.makedirs(os.path.join(folder, "in"))
            paths = [os.path.join(folder, "in", "img%03d.npy" % k) for k in range(n)]
            for k, p in enumerate(paths):
                np.save(p, images[k % 7])
            inputs.append((name, folder, paths))
        print("normalize_files over %d images of 2048 x 2048 (.npy), %s; best of %d rounds"
              % (n, method, repeats))
        results = {}
        shapes = ((1, 1), (2, 1), (1, 2))  # (worker processes, threads each)
        # The machine's speed drifts by 10 to 30 % from minute to minute, so
        # the clusters take turns, one run each per round, after a warm-up run
        # over a few files (the workers' first files pay for imports and
        # fresh memory).
        for r in range(repeats):
            for workers, threads in shapes:
                with cluster(workers, threads) as c, distributed.Client(c) as client:
                    warm = os.path.join(inputs[0][1], "warm")
                    idask.normalize_files(tool, inputs[0][2][:8], method, warm, client, files_per_task=1)
                    shutil.rmtree(warm)
                    for name, folder, paths in inputs:
                        out = os.path.join(folder, "out%d_%d" % (workers, r))
                        before, tree_before = client.run(cpu_seconds), tree_cpu_seconds()
                        faults_before = client.run(minor_faults)
                        t0 = time.perf_counter()
                        reports = idask.normalize_files(tool, paths, method, out, client)
                        seconds = time.perf_counter() - t0
                        after, faults = client.run(cpu_seconds), client.run(minor_faults)
                        assert all(rep["status"] == "ok" for rep in reports), reports
                        worker_cpu = sum(after[w] - before[w] for w in after)
                        run = (seconds, worker_cpu, tree_cpu_seconds() - tree_before - worker_cpu,
                               sum(faults[w] - faults_before[w] for w in faults))
                        results.setdefault((name, workers, threads), []).append(run)
                        shutil.rmtree(out)
        results = {key: (min(runs), runs) for key, runs in results.items()}
        for name, folder, _ in inputs:
            print("files %s (%s):" % (name, os.path.dirname(folder)))
            for workers, threads in shapes:
                (seconds, worker_cpu, other_cpu, faults), runs = results[name, workers, threads]
                print("  %d worker(s) x %d thread(s): %.2f s (%.1f ms per image; runs: %s); CPU per image: workers "
                      "%.1f ms, client, scheduler and nannies %.1f ms; page faults per image in the workers %.0f"
                      % (workers, threads, seconds, 1000 * seconds / n, ", ".join("%.2f" % r[0] for r in runs),
                         1000 * worker_cpu / n, 1000 * other_cpu / n, faults / n))
            one = results[name, 1, 1][0][0]
            print("  speed-up 1 -> 2 workers: %.2fx; 1 -> 2 threads in one worker: %.2fx"
                  % (one / results[name, 2, 1][0][0], one / results[name, 1, 2][0][0]))
        print("load average at the end: %.1f (other processes on the machine distort these figures)"
              % os.getloadavg()[0])
    finally:
        for folder in folders:
            shutil.rmtree(folder, ignore_errors=True)


def _in_cache_work(tool, path, method, output, reader, writer, buffer=None):
    """Stands in for one file on a worker: products of a 160 x 160 matrix
    (in cache, without the GIL) for a file's thread CPU time."""
    state = _in_cache_work.state
    start = time.thread_time()
    while time.thread_time() - start < state["seconds"]:
        np.matmul(state["a"], state["a"], out=state["out"])
    return {"path": path, "output": output, "status": "ok", "message": ""}


def _use_in_cache_work(seconds):
    a = np.random.default_rng(0).random((160, 160))
    _in_cache_work.state = {"a": a, "out": np.empty_like(a), "seconds": seconds}
    idask._normalize_file = _in_cache_work


def control(n=200, ms=5.5, rounds=5):
    tool = imgnorm.Normalizer(scene(2048, 2048, 0), methods="local-mean")
    paths = ["img%03d.npy" % k for k in range(n)]  # never opened
    out = tempfile.mkdtemp(prefix="imgnorm_control_")
    times = {1: [], 2: []}
    try:
        for r in range(rounds):  # the clusters take turns, as in batch()
            for workers in (1, 2):
                with cluster(workers) as c, distributed.Client(c) as client:
                    client.run(_use_in_cache_work, ms / 1000.0)
                    idask.normalize_files(tool, paths[:8], "local-mean", out, client, files_per_task=1)
                    t0 = time.perf_counter()
                    reports = idask.normalize_files(tool, paths, "local-mean", out, client)
                    times[workers].append(time.perf_counter() - t0)
                    assert all(rep["status"] == "ok" for rep in reports), reports
    finally:
        shutil.rmtree(out, ignore_errors=True)
    a, b = times[1], times[2]
    print("normalize_files over %d files, each replaced by %.1f ms of work in cache; %d rounds" % (n, ms, rounds))
    print("  1 worker:  %s s" % ", ".join("%.2f" % t for t in a))
    print("  2 workers: %s s" % ", ".join("%.2f" % t for t in b))
    print("  speed-up 1 -> 2 workers: best %.2fx, median %.2fx" % (min(a) / min(b), statistics.median(a) / statistics.median(b)))


def peak_rss_mib():
    """This process's peak resident memory (VmHWM: a spawned worker's own,
    where getrusage would carry over the parent's)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def _fill(block, block_info=None):
    (y0, _), (x0, _) = block_info[0]["array-location"]
    return scene(block.shape[0], block.shape[1], 1, y0, x0)


def array(size=20000, method="local-mean"):
    chunk = 2048
    # The reference lives in the tool (size x size pels); the image is made
    # chunk by chunk on the workers.
    reference = np.empty((size, size), np.uint8)
    for y0 in range(0, size, chunk):
        reference[y0 : y0 + chunk] = scene(min(chunk, size - y0), size, 0, y0, 0)
    tool = imgnorm.Normalizer(reference, copy=False, methods=method)
    image = da.zeros((size, size), dtype=np.uint8, chunks=chunk).map_blocks(_fill, dtype=np.uint8)
    with cluster(2) as c, distributed.Client(c) as client:
        t0 = time.perf_counter()
        total = idask.normalize_array(tool, image, method).sum(dtype=np.uint64).compute()
        seconds = time.perf_counter() - t0
        peaks = client.run(peak_rss_mib)
    print("%d x %d %s on 2 workers, chunks of %d: %.1f s (checksum %d)" % (size, size, method, chunk, seconds, total))
    for w, mib in sorted(peaks.items()):
        print("  worker %s: peak resident memory %.0f MiB" % (w, mib))
    print("  client: peak resident memory %.0f MiB" % peak_rss_mib())


if __name__ == "__main__":
    what = sys.argv[1] if len(sys.argv) > 1 else "batch"
    if what == "batch":
        batch(int(sys.argv[2]) if len(sys.argv) > 2 else 200, sys.argv[3] if len(sys.argv) > 3 else "local-mean")
    elif what == "control":
        control(int(sys.argv[2]) if len(sys.argv) > 2 else 200, float(sys.argv[3]) if len(sys.argv) > 3 else 5.5)
    else:
        array(int(sys.argv[2]) if len(sys.argv) > 2 else 20000, sys.argv[3] if len(sys.argv) > 3 else "local-mean")
