"""The pixel functions against numpy and scipy.ndimage in several layouts."""

import numpy as np
import pytest
from scipy import ndimage

import imgnorm

rng = np.random.default_rng(8)
A = rng.integers(0, 256, (23, 37), dtype=np.uint8)
B = rng.integers(0, 256, (23, 37), dtype=np.uint8)
MASK = np.where(rng.random((23, 37)) < 0.6, 255, 0).astype(np.uint8)
TWO_LEVEL = np.where(rng.random((23, 37)) < 0.3, 255, 0).astype(np.uint8)
I = A.astype(np.int64)


DIAMOND = np.array([[0, 1, 0], [1, 4, 1], [0, 1, 0]])


def smooth(a):
    """Weighted mean over the 3 x 3 diamond, the weights outside the image left out."""
    total = ndimage.correlate(a.astype(np.int64), DIAMOND, mode="constant")
    return (total // ndimage.correlate(np.ones(a.shape, np.int64), DIAMOND, mode="constant")).astype(np.uint8)


def morph(a, dilate):
    return (ndimage.grey_dilation if dilate else ndimage.grey_erosion)(a, footprint=DIAMOND > 0, mode="nearest")


def flood(a, seed, value):
    """8-connected fill from seed: scipy's labelling of the seed's level."""
    labels = ndimage.label(a == a[seed], np.ones((3, 3)))[0]
    return np.where(labels == labels[seed], value, a).astype(np.uint8)


def first_pel(a, v):
    hits = np.argwhere(a == v)
    return tuple(int(i) for i in hits[0]) if len(hits) else None


NUM = rng.integers(0, 65536, (23, 37), dtype=np.uint16)
DEN = rng.integers(1, 65536, (23, 37), dtype=np.uint16)

CASES = {
    "sub_clamp": (lambda a: imgnorm.sub_clamp(a, B, 50), 128 + np.clip(I - B, -50, 50)),
    "sub_clamp_signed": (lambda a: imgnorm.sub_clamp_signed(a, B), np.clip(I - (B.astype(int) - 128), 0, 255)),
    "add_clamp": (lambda a: imgnorm.add_clamp(a, B), np.clip(I + (B.astype(int) - 128), 0, 255)),
    "masked_copy": (lambda a: imgnorm.masked_copy(a, MASK), np.where(MASK > 0, A, 0)),
    "masked_copy of masked pels": (lambda a: imgnorm.masked_copy(a, MASK, out=B.copy(), copy_masked=True),
                                   np.where(MASK == 0, A, B)),
    "masked_histogram": (lambda a: imgnorm.masked_histogram(a, MASK), np.bincount(A[MASK > 0], minlength=256)),
    "masked_histogram, boolean mask": (lambda a: imgnorm.masked_histogram(a, MASK > 0),
                                       np.bincount(A[MASK > 0], minlength=256)),
    "histogram": (lambda a: imgnorm.masked_histogram(a), np.bincount(A.ravel(), minlength=256)),
    "masked_threshold": (lambda a: imgnorm.masked_threshold(a, MASK, 99), np.where((MASK > 0) & (A >= 99), 255, 0)),
    "threshold": (lambda a: imgnorm.threshold(a, 130), np.where(A >= 130, 255, 0)),
    "map_value": (lambda a: imgnorm.map_value(a, int(A[3, 4]), 7), np.where(A == A[3, 4], 7, A)),
    "smooth_3x3_diamond": (imgnorm.smooth_3x3_diamond, smooth(A)),
    "dilate": (lambda a: imgnorm.binary_morph_3x3_diamond(np.where(a > 180, 255, 0).astype(np.uint8)),
               morph(np.where(A > 180, 255, 0).astype(np.uint8), True)),
    "erode": (lambda a: imgnorm.binary_morph_3x3_diamond(np.where(a > 60, 255, 0).astype(np.uint8), dilate=False),
              morph(np.where(A > 60, 255, 0).astype(np.uint8), False)),
    "expand_border": (imgnorm.expand_border, np.pad(A, 1, mode="edge")),
    "find_first_pel": (lambda a: imgnorm.find_first_pel(a, int(A[9, 5])), first_pel(A, A[9, 5])),
    "find_first_pel, absent": (lambda a: imgnorm.find_first_pel(a // 2, 200), None),
    "flood_fill": (lambda a: imgnorm.flood_fill(np.where(a > 90, 255, 0).astype(np.uint8), (4, 6), 77),
                   flood(np.where(A > 90, 255, 0).astype(np.uint8), (4, 6), 77)),
    "masked_divide": (lambda a: imgnorm.masked_divide(NUM, DEN, np.where(a > 128, 1, 0).astype(np.uint8), 300),
                      np.where(A > 128, ((NUM.astype(np.uint64) * 300 + DEN // 2) // DEN) & 0xFF, 0)),
    "buffers_equal": (lambda a: imgnorm.buffers_equal(a, A.copy()), True),
}


def layouts(a):
    big = np.zeros((2 * a.shape[0], 2 * a.shape[1] + 1), np.uint8)
    big[::2, 1::2] = a
    return {"contiguous": a, "stepped": big[::2, 1::2], "transposed": np.ascontiguousarray(a.T).T}


@pytest.mark.parametrize("name", list(CASES))
@pytest.mark.parametrize("layout", ["contiguous", "stepped", "transposed"])
def test_pixel_function_matches_numpy(name, layout):
    call, want = CASES[name]
    got = call(layouts(A)[layout])
    if isinstance(want, np.ndarray):
        assert got.shape == want.shape and got.flags.c_contiguous  # packed rows, though 37 wide
        np.testing.assert_array_equal(got, want)
    else:
        assert got == want


def test_in_place_forms_write_the_callers_array():
    out = np.zeros((23, 37), np.uint8)
    assert imgnorm.masked_copy(A, MASK, out=out) is out
    np.testing.assert_array_equal(out, np.where(MASK > 0, A, 0))
    shifted = A.copy()  # an out overlapping src gets what src held, as numpy's copies
    imgnorm.masked_copy(shifted[:-1], MASK[:-1], out=shifted[1:])
    np.testing.assert_array_equal(shifted[1:], np.where(MASK[:-1] > 0, A[:-1], A[1:]))
    image = np.where(A > 90, 255, 0).astype(np.uint8)
    assert imgnorm.flood_fill(image, (4, 6), 77, in_place=True) is image
    assert (image == 77).any()
    ro = A.copy()
    ro.setflags(write=False)
    with pytest.raises(ValueError, match="writable"):
        imgnorm.flood_fill(ro, (0, 0), 1, in_place=True)
    with pytest.raises(ValueError, match="shape"):
        imgnorm.add_clamp(A, B[1:])
    with pytest.raises(TypeError, match="uint16"):
        imgnorm.masked_divide(A, A)
