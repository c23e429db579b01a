"""Colour images against grey runs and a 16-bit scale property (the luminance mode's maths: the
library's colour tool tests)."""

import copy
import pickle

import numpy as np
import pytest
from conftest import distorted, ring_mask, textured
from test_gil import longest_pause

import imgnorm

REF = np.stack([textured(41, 53, s) for s in (1, 2, 3)], axis=-1)
IMG = np.stack([distorted(REF[..., c], seed=c) for c in range(3)], axis=-1)
MASK = ring_mask(41, 53) > 0


@pytest.mark.parametrize("method", ["histogram", "mean-stddev", "tails", "local-mean"])
def test_per_channel_is_three_grey_runs_and_the_axis_is_where_it_was(method):
    kw = dict(method=method, mask=MASK, neighborhood_size=(9, 7), tail_fractions=(0.02, 0.97))
    out = imgnorm.normalize(IMG, reference=REF, channel_axis=-1, **kw)
    grey = [imgnorm.normalize(IMG[..., c], reference=REF[..., c], **kw) for c in range(3)]
    np.testing.assert_array_equal(out, np.stack(grey, axis=-1))
    first = imgnorm.normalize(np.moveaxis(IMG, -1, 0), reference=np.moveaxis(REF, -1, 0), channel_axis=0, **kw)
    assert first.flags.c_contiguous
    np.testing.assert_array_equal(first, np.moveaxis(out, -1, 0))
    # RGBA: the alpha comes back untouched, the colours as without it.
    alpha = np.random.default_rng(4).integers(0, 256, IMG.shape[:2], dtype=np.uint8)
    rgba = imgnorm.normalize(np.dstack([IMG, alpha]), reference=REF, channel_axis=2, **kw)
    np.testing.assert_array_equal(rgba, np.dstack([out, alpha]))
    # An H x W x C array (a crop too) is the tool's image as it stands: no copy.
    assert np.shares_memory(imgnorm.ColorNormalizer(REF[:, 3:40], copy=False).reference, REF)


def test_sixteen_bit_histogram_matching_is_the_eight_bit_result_scaled():
    eight = imgnorm.ColorNormalizer(REF, methods="histogram").run(IMG, "histogram")
    deep = imgnorm.ColorNormalizer(REF.astype(np.uint16) * 257, methods="histogram")
    np.testing.assert_array_equal(deep.run(IMG.astype(np.uint16) * 257, "histogram"), eight.astype(np.uint16) * 257)
    with pytest.warns(imgnorm.ImgnormWarning, match="covers only part"):
        assert deep.run(np.pad(IMG.astype(np.uint16), ((0, 2), (0, 0), (0, 0))), "histogram").shape == REF.shape


def test_training_and_running_release_the_gil():
    ref = np.stack([textured(1200, 1200, s) for s in (4, 5, 6)], axis=-1)
    tool = imgnorm.ColorNormalizer(ref, neighborhood_size=31)
    pause, [(_, t0, t1)] = longest_pause(lambda k: (tool.train("local-median"), tool.run(ref, "local-median")), 1, 1)
    assert t1 - t0 > 0.03 and pause < 0.5 * (t1 - t0), (pause, t1 - t0)


def test_saved_pickled_and_copied_tools_run_alike(tmp_path):
    tool = imgnorm.ColorNormalizer(np.moveaxis(REF, -1, 0), MASK, channel_axis=0, color="luminance",
                                   methods=["histogram", "local-mean"])
    tool.save(tmp_path / "c.tool")
    loaded = imgnorm.ColorNormalizer.load(tmp_path / "c.tool", channel_axis=0)
    expected = tool.run(np.moveaxis(IMG, -1, 0), "local-mean")
    for other in (loaded, pickle.loads(pickle.dumps(tool)), copy.deepcopy(tool), tool.copy()):
        assert other == tool and other.trained_methods == tool.trained_methods
        np.testing.assert_array_equal(other.run(np.moveaxis(IMG, -1, 0), "local-mean"), expected)
    with pytest.raises(imgnorm.BadData, match="ColorNormalizer.load"):
        imgnorm.Normalizer.load(tmp_path / "c.tool")
    imgnorm.Normalizer(REF[..., 0]).save(tmp_path / "g.tool")
    with pytest.raises(imgnorm.BadData, match="g.tool"):
        imgnorm.ColorNormalizer.load(tmp_path / "g.tool")


def bad(**kw):
    return lambda: imgnorm.normalize(**{"image": IMG, "reference": REF, "method": "histogram", "channel_axis": -1,
                                        **kw})


@pytest.mark.parametrize("error, text, call", [
    (imgnorm.ArgumentError, "channel_axis", bad(channel_axis=None)),
    (imgnorm.ArgumentError, "channel_axis", bad(channel_axis=None, reference=REF[..., 0])),
    (imgnorm.BadImage, "colour image and a grey image", bad(reference=REF[..., 0])),
    (imgnorm.BadImage, "colour image and a grey image", bad(image=IMG[..., 0])),
    (imgnorm.BadImage, "3 .RGB. or 4", bad(image=IMG[..., :2])),
    (imgnorm.BadImage, "3 .RGB. or 4", bad(reference=np.dstack([REF, REF[..., :2]]))),
    (imgnorm.BadImage, "pel type", bad(image=IMG.astype(np.uint16))),
    (imgnorm.BadImage, "size of referenceImage", bad(mask=MASK[1:])),
    (imgnorm.ArgumentTypeError, "uint8 or uint16", bad(image=IMG.astype(float))),
    (imgnorm.ArgumentError, "per-channel", bad(color="lum")),
    (imgnorm.ArgumentError, "channel_axis", bad(color="luminance", channel_axis=None)),
    (imgnorm.ArgumentError, "out of range", bad(channel_axis=3)),
    (imgnorm.BadParams, "bit depth", lambda: imgnorm.ColorNormalizer(REF.astype(np.uint16), bit_depth=17)),
    (imgnorm.BadImage, "above 4095", lambda: imgnorm.ColorNormalizer(REF.astype(np.uint16) * 64, bit_depth=12,
                                                           methods="histogram")),
])
def test_bad_input_is_refused_with_a_clear_error(error, text, call):
    with pytest.raises(error, match=text):
        call()
