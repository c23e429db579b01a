"""Matching by fractions against scikit-image and the tool; the warnings of a run."""

import warnings

import numpy as np
import pytest
from conftest import distorted, textured

import imgnorm


def quantiles(a):
    """Each grey value present in a and the fraction of pels at or below it."""
    values, counts = np.unique(a, return_counts=True)
    return values, np.cumsum(counts) / a.size


def smooth_noise(h, w, seed, mean, sd):
    return np.clip(np.random.default_rng(seed).normal(mean, sd, (h, w)), 0, 255).astype(np.uint8)


# Pairs of different sizes, both ways round, and one of the same size.
PAIRS = [((256, 256), (512, 512)), ((512, 300), (128, 200)), ((97, 131), (97, 131)), ((1, 700), (40, 3))]


@pytest.mark.parametrize("image_shape, reference_shape", PAIRS)
def test_match_histograms_has_scikit_images_quantile_property(image_shape, reference_shape):
    # scikit-image's own test of its match_histograms: every grey value of the
    # result sits at the quantile the nearest reference value has, within 0.05.
    image = smooth_noise(*image_shape, seed=1, mean=70, sd=25)
    reference = smooth_noise(*reference_shape, seed=2, mean=160, sd=40)
    matched = imgnorm.match_histograms(image, reference)
    assert matched.shape == image.shape and matched.dtype == np.uint8 and matched.flags.c_contiguous
    ref_values, ref_q = quantiles(reference)
    for value, q in zip(*quantiles(matched)):
        assert abs(q - ref_q[np.abs(ref_values.astype(int) - int(value)).argmin()]) < 0.05, value
    skimage_exposure = pytest.importorskip("skimage.exposure")
    theirs = skimage_exposure.match_histograms(image, reference)
    assert np.abs(matched.astype(float) - theirs).mean() < 1.5  # theirs interpolates between levels


def test_match_histograms_is_the_tool_with_relative_counts_and_matches_each_channel(images):
    ref, mask = images["reference"], images["mask"]
    small = distorted(textured(40, 50, 3))
    tool = imgnorm.Normalizer(ref, mask > 0, relative_counts=True, methods="histogram")
    # Same size: the tool's run (its mask selects the image's pels too).
    np.testing.assert_array_equal(imgnorm.match_histograms(images["image"], ref, mask=mask),
                                  tool.run(images["image"], "histogram"))
    # Smaller image, no mask: the run covers all of it, so it is the same table.
    relative = imgnorm.Normalizer(ref, relative_counts=True, methods="histogram")
    np.testing.assert_array_equal(imgnorm.match_histograms(small, ref), relative.run(small, "histogram"))
    # Absolute counts lean dark on the smaller image; fractions do not.
    with pytest.warns(imgnorm.ImgnormWarning):
        dark = imgnorm.Normalizer(ref, methods="histogram").run(small, "histogram")
    assert dark.mean() < relative.run(small, "histogram").mean() - 20
    # Channels: each matched to the reference's channel under the mask, the axis anywhere (RGB through the colour
    # tool, four channels one by one).
    for n in (3, 4):
        image3 = np.stack([small, 255 - small, small // 2, small // 3][:n], axis=0)
        ref3 = np.stack([ref, ref // 3, 255 - ref, ref // 2][:n], axis=0)
        out = imgnorm.match_histograms(image3, ref3, channel_axis=0, mask=mask)
        for c in range(n):
            np.testing.assert_array_equal(out[c], imgnorm.match_histograms(image3[c], ref3[c], mask=mask))
        np.testing.assert_array_equal(imgnorm.match_histograms(np.moveaxis(image3, 0, -1), np.moveaxis(ref3, 0, -1),
                                                               channel_axis=-1, mask=mask), np.moveaxis(out, 0, -1))


def test_relative_counts_survive_saving_and_the_block_engine(images, tmp_path):
    pytest.importorskip("dask.array")
    import dask.array as da

    import imgnorm.dask

    tool = imgnorm.Normalizer(images["reference"], images["mask"], relative_counts=True, methods="histogram")
    small = images["image"][:31, :45]
    want = tool.run(small, "histogram")
    tool.save(tmp_path / "t.tool")
    for back in (imgnorm.Normalizer.load(tmp_path / "t.tool"), imgnorm.Normalizer.from_bytes(tool.to_bytes())):
        assert back == tool and back.relative_counts
    lazy = imgnorm.dask.normalize_array(tool, da.from_array(small, chunks=(10, 16)), "histogram")
    np.testing.assert_array_equal(lazy.compute(), want)


@pytest.mark.parametrize("make, image, method, text", [
    (lambda ref: imgnorm.Normalizer(ref, methods="histogram"), lambda im: im[:30], "histogram",
     "leans dark.*match_histograms"),
    (lambda ref: imgnorm.Normalizer(ref[:30], methods="histogram"), lambda im: np.vstack([im, im]), "histogram",
     "covers only part"),
    (lambda ref: imgnorm.Normalizer(ref, neighborhood_size=57, methods="local-mean"), lambda im: im, "local-mean",
     "neighbourhood"),
    (lambda ref: imgnorm.Normalizer(ref, methods="tails"), lambda im: im, "tails", r"tail_fractions=\(0.01, 0.99\)"),
    # No warning: fractions on a smaller region; robust tails, a small neighbourhood.
    (lambda ref: imgnorm.Normalizer(ref, relative_counts=True, methods="histogram"), lambda im: im[:30],
     ["histogram"], None),
    (lambda ref: imgnorm.Normalizer(ref, tail_fractions=(0.01, 0.99), neighborhood_size=15,
                                    methods=["tails", "local-mean"]), lambda im: im, ["tails", "local-mean"], None)])
def test_runs_warn_where_the_program_warns(images, make, image, method, text):
    tool = make(images["reference"])
    if text is None:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for m in method:
                tool.run(image(images["image"]), m)
        return
    with pytest.warns(imgnorm.ImgnormWarning, match=text) as record:
        tool.run(image(images["image"]), method)
    assert issubclass(imgnorm.ImgnormWarning, UserWarning) and record[0].filename == __file__
