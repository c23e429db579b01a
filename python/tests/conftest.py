"""Deterministic images, a trained tool and an address-space limit."""

import contextlib
import resource

import numpy as np
import pytest

import imgnorm

# Every trainable method's name, and all their flags together.
METHODS = [m.name for m in imgnorm.METHODS if m.kind != "copy"]
ALL_METHODS = sum(m.flag for m in imgnorm.METHODS)


def textured(h, w, seed, lo=30, hi=220):
    """Smooth structure plus fine texture, grey levels lo..hi."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w]
    v = 125 + 55 * np.sin(x * 0.21) * np.cos(y * 0.17) + 25 * np.sin((x - y) * 0.05) + rng.integers(-12, 13, (h, w))
    return np.clip(v, lo, hi).astype(np.uint8)


def distorted(reference, seed=5):
    """The reference under a gain, an offset and a tilted plane."""
    h, w = reference.shape
    x = np.arange(w)[None, :]
    v = 0.7 * reference.astype(float) + 30 + 40 * x / w + np.random.default_rng(seed).normal(0, 2, reference.shape)
    return np.clip(np.rint(v), 0, 255).astype(np.uint8)


def ring_mask(h, w):
    y, x = np.mgrid[0:h, 0:w]
    r = np.hypot(x - w / 2, y - h / 2)
    return np.where(r < min(h, w) * 0.45, 255, 0).astype(np.uint8)


@pytest.fixture(scope="session")
def images():
    ref = textured(57, 83, 1)
    return {"reference": ref, "image": distorted(ref), "mask": ring_mask(57, 83)}


def trained(images, masked=False, **parameters):
    parameters.setdefault("neighborhood_size", (15, 11))
    return imgnorm.Normalizer(images["reference"], images["mask"] if masked else None, methods=METHODS, **parameters)


@contextlib.contextmanager
def address_space_limit(extra=256 << 20):
    """Address space limited to extra bytes above the current size: a large
    allocation fails with MemoryError."""
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    limits = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size + extra, limits[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, limits)
