"""uint16 images against scikit-image and the 8-bit results scaled."""

import numpy as np
import pytest

import imgnorm


def test_match_histograms_of_uint16_pairs_is_scikit_images():
    skimage_exposure = pytest.importorskip("skimage.exposure")
    rng = np.random.default_rng(4)
    # Distinct levels in both: scikit-image's interpolation then lands on
    # reference levels, and the two must agree exactly.
    reference = rng.choice(65536, (48, 64), replace=False).astype(np.uint16)
    ranks = np.argsort(np.argsort(reference, axis=None)).reshape(reference.shape)
    image = np.sort(rng.choice(30000, reference.size, replace=False)).astype(np.uint16)[ranks[::-1]]
    theirs = skimage_exposure.match_histograms(image, reference)
    np.testing.assert_array_equal(imgnorm.match_histograms(image, reference), np.rint(theirs).astype(np.uint16))


@pytest.mark.parametrize("depth, scale", [(16, 257), (12, 16)])
def test_uint8_pels_scaled_give_the_8_bit_histogram_match_scaled(images, depth, scale):
    ref, image, mask = images["reference"], images["image"], images["mask"] > 0
    deep = imgnorm.Normalizer(ref.astype(np.uint16) * scale, mask, bit_depth=depth, methods="histogram")
    want = imgnorm.Normalizer(ref, mask, methods="histogram").run(image, "histogram").astype(np.uint16) * scale
    got = deep.run(image.astype(np.uint16) * scale, "histogram", threads=2)
    assert got.dtype == np.uint16 and deep.bit_depth == depth
    np.testing.assert_array_equal(got, want)


def test_bad_16_bit_input_names_the_fault(images):
    ref16 = images["reference"].astype(np.uint16)
    deep, eight = imgnorm.Normalizer(ref16, bit_depth=9, methods="histogram"), imgnorm.Normalizer(images["reference"])
    cases = [
        (imgnorm.ArgumentTypeError, "uint8, but this Normalizer is a 16-bit", lambda: deep.run(images["image"], 1)),
        (imgnorm.ArgumentTypeError, "uint16, but this Normalizer is an 8-bit", lambda: eight.run(ref16, 1)),
        (imgnorm.ArgumentTypeError, "uint16, but this Normalizer is an 8-bit", lambda: eight.set_reference(ref16)),
        (imgnorm.ArgumentTypeError, "img_as_ubyte", lambda: imgnorm.Normalizer(ref16 / 255.0)),
        (imgnorm.ArgumentTypeError, "astype", lambda: imgnorm.match_histograms(ref16.astype(np.int32), ref16)),
        (imgnorm.ArgumentTypeError, "same dtype", lambda: imgnorm.match_histograms(ref16, images["reference"])),
        (imgnorm.ArgumentError, "bit_depth of a uint8", lambda: imgnorm.Normalizer(images["reference"], bit_depth=12)),
        (imgnorm.ArgumentTypeError, "uint16 array, got dtype float32: convert",
         lambda: imgnorm.match_histograms(ref16.astype(np.float32), ref16, bit_depth=12)),
        (imgnorm.BadParams, "from 9 to 16", lambda: imgnorm.Normalizer(ref16, bit_depth=0)),
        (imgnorm.BadParams, "from 9 to 16", lambda: imgnorm.Normalizer(ref16, bit_depth=17)),
        (imgnorm.BadImage, r"above 511 \(9 bits\)", lambda: deep.run(ref16 * 3, "histogram")),
        (imgnorm.BadImage, "above 4095", lambda: imgnorm.match_histograms(ref16 * 20, ref16, bit_depth=12)),
        (imgnorm.NotImplementedByTool, "16-bit", lambda: imgnorm.Normalizer(ref16, relative_counts=True)),
        (imgnorm.NotImplementedByTool, "not available at 16 bits", lambda: deep.train("local-gain")),
    ]
    for cls, text, call in cases:
        with pytest.raises(cls, match=text):
            call()
    # Big-endian pels (FITS readers give them) and numpy scalars as parameters.
    swapped = imgnorm.Normalizer(ref16.astype(">u2"), bit_depth=np.int64(9), neighborhood_size=np.int32(9),
                                 methods="histogram")
    np.testing.assert_array_equal(swapped.run(ref16.astype(">u2") // 2, "histogram"),
                                  imgnorm.Normalizer(ref16, bit_depth=9, methods="histogram").run(ref16 // 2, "histogram"))
    deep.set_mask(ref16 > 40)  # boolean masks, as for 8-bit tools
    np.testing.assert_array_equal(deep.mask, np.where(ref16 > 40, 255, 0))
