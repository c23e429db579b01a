#!/usr/bin/python3
"""Times a single-job imgnorm batch against the equivalent OpenCV Python loop.

Generates COUNT images of 1600 x 1200 from the shipped samples (data/*.png,
enlarged) under random gains, offsets and shadings with a fixed seed, then
normalizes them towards the first sample with histogram matching:

  imgnorm:  imgnorm run TOOL --method histogram IN -o OUT        (one job)
  OpenCV:   for each file: cv2.imread, cv2.calcHist, a matching table,
            cv2.LUT, cv2.imwrite                                   (one thread)

Both write the same format (PNG by default, --format tif for TIFF).  Each side
runs REPEAT times, interleaved; the table gives the minimum and the median
wall time and the minimum CPU time (user + system), which other work on a
shared machine disturbs less.

Usage: batch_vs_opencv.py IMGNORM DATA_DIR WORK_DIR [--count 50] [--repeat 3]
                          [--format png|tif] [--extra "imgnorm options"]
"""
import argparse
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

import cv2
import numpy as np


def make_images(data, work, count, size=(1600, 1200)):
    samples = sorted(f for f in os.listdir(data) if f.endswith(".png"))
    rng = np.random.default_rng(20261205)
    src = os.path.join(work, "in")
    os.makedirs(src, exist_ok=True)
    w, h = size
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    ref = None
    for i in range(count):
        base = cv2.imread(os.path.join(data, samples[i % len(samples)]), cv2.IMREAD_GRAYSCALE)
        base = cv2.resize(base, size, interpolation=cv2.INTER_CUBIC).astype(np.float32)
        if ref is None:
            ref = base.astype(np.uint8)
        gain = rng.uniform(0.6, 1.3)
        offset = rng.uniform(-30, 30)
        # A linear tilt and a vignette of random strength and direction.
        angle = rng.uniform(0, 2 * np.pi)
        tilt = rng.uniform(0, 40) * ((xx - w / 2) * np.cos(angle) + (yy - h / 2) * np.sin(angle)) / w
        r2 = ((xx - w / 2) ** 2 + (yy - h / 2) ** 2) / (w * w / 4 + h * h / 4)
        vignette = 1.0 - rng.uniform(0, 0.4) * r2
        img = (base * gain + offset + tilt) * vignette + rng.normal(0, 2, base.shape)
        cv2.imwrite(os.path.join(src, "img%03d.png" % i), np.clip(img + 0.5, 0, 255).astype(np.uint8))
    cv2.imwrite(os.path.join(work, "reference.png"), ref)
    return src


def opencv_loop(src, dst, ref_path, ext):
    ref = cv2.imread(ref_path, cv2.IMREAD_GRAYSCALE)
    ref_cdf = np.cumsum(cv2.calcHist([ref], [0], None, [256], [0, 256]).ravel())
    ref_cdf /= ref_cdf[-1]
    os.makedirs(dst, exist_ok=True)
    for name in sorted(os.listdir(src)):
        img = cv2.imread(os.path.join(src, name), cv2.IMREAD_GRAYSCALE)
        cdf = np.cumsum(cv2.calcHist([img], [0], None, [256], [0, 256]).ravel())
        cdf /= cdf[-1]
        lut = np.clip(np.searchsorted(ref_cdf, cdf), 0, 255).astype(np.uint8)
        cv2.imwrite(os.path.join(dst, os.path.splitext(name)[0] + "." + ext), cv2.LUT(img, lut))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("imgnorm")
    ap.add_argument("data")
    ap.add_argument("work")
    ap.add_argument("--count", type=int, default=50)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--format", default="png", choices=["png", "tif"])
    ap.add_argument("--extra", default="", help="more imgnorm run options, e.g. '--png-level 6'")
    a = ap.parse_args()

    shutil.rmtree(a.work, ignore_errors=True)
    os.makedirs(a.work)
    src = make_images(a.data, a.work, a.count)
    ref = os.path.join(a.work, "reference.png")
    tool = os.path.join(a.work, "tool.imn")
    subprocess.run([a.imgnorm, "train", "-r", ref, "--methods", "histogram", "-o", tool], check=True,
                   stdout=subprocess.DEVNULL)
    cv2.setNumThreads(1)

    def cpu(who):
        u = resource.getrusage(who)
        return u.ru_utime + u.ru_stime

    times = {"imgnorm": [], "opencv": []}
    cpus = {"imgnorm": [], "opencv": []}
    for r in range(a.repeat):
        out = os.path.join(a.work, "out-imgnorm")
        shutil.rmtree(out, ignore_errors=True)
        cmd = [a.imgnorm, "run", tool, "--method", "histogram", src, "-o", out, "--format", a.format,
               "--jobs", "1", "-q"] + a.extra.split()
        t0, c0 = time.perf_counter(), cpu(resource.RUSAGE_CHILDREN)
        subprocess.run(cmd, check=True)
        times["imgnorm"].append(time.perf_counter() - t0)
        cpus["imgnorm"].append(cpu(resource.RUSAGE_CHILDREN) - c0)

        out = os.path.join(a.work, "out-opencv")
        shutil.rmtree(out, ignore_errors=True)
        t0, c0 = time.perf_counter(), cpu(resource.RUSAGE_SELF)
        opencv_loop(src, out, ref, a.format)
        times["opencv"].append(time.perf_counter() - t0)
        cpus["opencv"].append(cpu(resource.RUSAGE_SELF) - c0)

    def size_of(d):
        return sum(os.path.getsize(os.path.join(d, f)) for f in os.listdir(d))

    print("%d images of 1600 x 1200, %s output, one job, %d runs each" % (a.count, a.format, a.repeat))
    print("| program | wall min s | wall median s | CPU min s | output MB |")
    print("|---|---|---|---|---|")
    for k, d in (("imgnorm", "out-imgnorm"), ("opencv", "out-opencv")):
        print("| %s | %.2f | %.2f | %.2f | %.1f |" %
              ("imgnorm run, 1 job" if k == "imgnorm" else "OpenCV Python loop", min(times[k]),
               statistics.median(times[k]), min(cpus[k]), size_of(os.path.join(a.work, d)) / 1e6))
    ok = min(times["imgnorm"]) <= min(times["opencv"])
    print("imgnorm %s the OpenCV loop (wall min %.2f s against %.2f s, CPU %.2f s against %.2f s)" %
          ("is no slower than" if ok else "is SLOWER than", min(times["imgnorm"]), min(times["opencv"]),
           min(cpus["imgnorm"]), min(cpus["opencv"])))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
