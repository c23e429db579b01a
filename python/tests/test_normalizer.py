"""imgnorm.Normalizer: parameters, layouts, sharing, copies, failures and errors."""

import copy
import pickle

import numpy as np
import pytest
from conftest import METHODS, address_space_limit, trained

import imgnorm


def strided_layouts(a):
    """The same pels in other layouts, each with a name."""
    h, w = a.shape
    big = np.zeros((2 * h + 3, 3 * w + 5), np.uint8)
    big[1:2 * h + 1:2, 2:3 * w + 2:3] = a
    ro = a.copy()
    ro.setflags(write=False)
    padded = np.zeros((h, w + 13), np.uint8)[:, 1:w + 1]
    padded[:] = a
    return {
        "row and column steps": big[1:2 * h + 1:2, 2:3 * w + 2:3],
        "transposed": np.ascontiguousarray(a.T).T,
        "fortran": np.asfortranarray(a),
        "reversed rows": a[::-1].copy()[::-1],
        "reversed columns": a[:, ::-1].copy()[:, ::-1],
        "read-only": ro,
        "padded rows, odd start": padded,
    }


@pytest.mark.parametrize("layout", list(strided_layouts(np.zeros((2, 2), np.uint8))))
def test_every_layout_gives_the_contiguous_result(images, layout):
    want_tool = trained(images, True)
    lay = {k: strided_layouts(images[k])[layout] for k in ("reference", "image", "mask")}
    tool = imgnorm.Normalizer(lay["reference"], lay["mask"], copy=False)
    tool.neighborhood_size = (15, 11)
    tool.train(METHODS)
    for method in METHODS:
        out = tool.run(lay["image"], method)
        np.testing.assert_array_equal(out, want_tool.run(images["image"], method), err_msg=method)
        assert out.flags.c_contiguous, method  # rows packed, whatever the width (83 here)
    assert not np.shares_memory(tool.run(lay["image"], "identity"), lay["image"])


@pytest.mark.parametrize("shape", [(20000, 20000), (40, 20000)])
def test_a_large_view_is_copied_only_where_the_run_reads_it(images, shape):
    # Zero-stride views over a 57 x 83 reference under an address-space limit
    # 256 MB above the current size: a copy of the 400 MB view fails.
    tool = trained(images, True)
    view = np.broadcast_to(np.resize(images["image"], shape[1]), shape)
    small = np.ascontiguousarray(view[:57, :83])
    with address_space_limit():
        got = {method: tool.run(view, method) for method in METHODS}
    for method in METHODS:
        np.testing.assert_array_equal(got[method], tool.run(small, method), err_msg=method)


def test_inputs_are_views_or_copies_as_asked_and_results_own_their_pels(images):
    ref = images["reference"].copy()
    viewed = imgnorm.Normalizer(ref, images["mask"], copy=False, methods="histogram")
    copied = imgnorm.Normalizer(ref, images["mask"], methods="histogram")
    assert np.shares_memory(viewed.reference, ref) and not np.shares_memory(copied.reference, ref)
    assert not viewed.reference.flags.writeable
    ref[0, 0] ^= 0xFF
    assert viewed.reference[0, 0] == ref[0, 0] != copied.reference[0, 0]
    # The tool keeps a viewed array alive after the caller drops it; a result has its own store and outlives the tool.
    tool = imgnorm.Normalizer()
    tool.set_reference(np.full((4, 5), 9, np.uint8), copy=False)
    np.testing.assert_array_equal(tool.reference, np.full((4, 5), 9, np.uint8))
    out = copied.run(images["image"], "histogram")
    del copied
    assert out.flags.writeable and not isinstance(out.base, np.ndarray) and out.any()
    tool.reference = None
    assert tool.reference is None


def test_parameters_defaults_validation_and_untraining():
    tool = imgnorm.Normalizer()
    assert (tool.neighborhood_size, tool.granularity, tool.tail_fractions, tool.intensity_variation_range,
            tool.keep_masked_pixels) == ((101, 101), (1, 1), (0.0, 1.0), (-127, 127), False)
    # The rules are the library's; here an int taken for both elements and the message carried over.
    with pytest.raises(imgnorm.BadParams) as e:
        tool.granularity = 0
    assert e.value.message == "Both elements of granularity must be >= 1"
    tool.reference = np.full((8, 8), 50, np.uint8)
    tool.train("histogram")
    tool.set((0.1, 0.2), (-5, 5), True)
    assert tool.trained_methods == imgnorm.Method.HISTOGRAM and tool.tail_fractions == (0.1, 0.2)
    tool.granularity = 3
    assert tool.granularity == (3, 3) and tool.trained_methods == 0
    for name, value in [("neighborhood_size", (1.5, 2)), ("neighborhood_size", True), ("granularity", (2, False)),
                        ("intensity_variation_range", True), ("tail_fractions", (0, True)),
                        ("keep_masked_pixels", 0.5), ("keep_masked_pixels", None)]:
        with pytest.raises(TypeError):
            setattr(tool, name, value)
    assert tool.granularity == (3, 3) and tool.tail_fractions == (0.1, 0.2)
    tool.untrain()
    assert tool == imgnorm.Normalizer()


def test_constructor_keywords_and_boolean_masks_equal_the_properties(images):
    params = dict(neighborhood_size=(15, 11), granularity=2, tail_fractions=(0.1, 0.9),
                  intensity_variation_range=(-50, 60), keep_masked_pixels=True, relative_counts=True)
    by_keywords = imgnorm.Normalizer(images["reference"], images["mask"] > 0, methods=METHODS, **params)
    by_properties = imgnorm.Normalizer(images["reference"], images["mask"])
    for name, value in params.items():
        setattr(by_properties, name, value)
    by_properties.train(METHODS)
    assert by_keywords == by_properties and by_keywords.relative_counts
    np.testing.assert_array_equal(by_keywords.mask, np.where(images["mask"] > 0, 255, 0))
    with pytest.raises(imgnorm.BadParams):  # validated as the properties are
        imgnorm.Normalizer(images["reference"], granularity=0)


def test_train_takes_names_flags_and_sets_of_them_from_the_table(images):
    assert [tuple(m) for m in imgnorm.METHODS] == [tuple(r) for r in imgnorm._imgnorm.methods()]
    tool = imgnorm.Normalizer(images["reference"])
    rows = [(m.name, m.flag) for m in imgnorm.METHODS] + [(imgnorm.Method.LINEAR_FIT, 8), (16, 16)]
    for methods, flags in rows + [(["histogram", "local-median"], 33), ({imgnorm.Method.MEAN_STDDEV, "tails"}, 6)]:
        tool.train(methods)
        assert tool.trained_methods == flags and isinstance(tool.trained_methods, imgnorm.Method), methods
    assert all(imgnorm.METHOD_NAMES[m.name] == imgnorm.Method[m.name.upper().replace("-", "_")] == m.flag
               for m in imgnorm.METHODS)


def test_bad_arguments_raise_the_packages_type_and_value_errors(images):
    tool = trained(images)
    image, ref = images["image"], images["reference"]
    cases = [
        (TypeError, "uint8", lambda: tool.run(image.astype(np.int16), "histogram")),
        (TypeError, "got list", lambda: tool.run(image.tolist(), "histogram")),
        (TypeError, "got str", lambda: imgnorm.Normalizer("reference.png")),
        (TypeError, "got list", lambda: imgnorm.match_histograms([[1, 2]], ref)),
        (ValueError, "channel_axis", lambda: tool.run(np.zeros((3, 4, 3), np.uint8), "histogram")),
        (ValueError, "channel_axis", lambda: imgnorm.match_histograms(np.zeros((3, 4, 3), np.uint8), ref)),
        (ValueError, "same number of channels", lambda: imgnorm.match_histograms(
            np.zeros((3, 4, 3), np.uint8), np.zeros((3, 4, 2), np.uint8), channel_axis=-1)),
        (ValueError, "2-D", lambda: tool.run(np.zeros((3, 4, 2, 2), np.uint8), "histogram")),
        (ValueError, "empty", lambda: tool.run(np.zeros((0, 4), np.uint8), "histogram")),
        (ValueError, "did you mean 'histogram'", lambda: tool.run(image, "histgram")),
        (ValueError, "did you mean 'local-median'", lambda: tool.train(["local-medain"])),
        (TypeError, "method", lambda: tool.run(image, 1.0)),
        (TypeError, "threshold takes an integer, got bool", lambda: imgnorm.threshold(image, True)),
        (TypeError, "threads takes an integer", lambda: tool.run(image, "histogram", threads=True)),
        (TypeError, "uint8", lambda: imgnorm.Normalizer(ref.astype(float))),
        (ValueError, "mask shape", lambda: imgnorm.Normalizer(ref, np.zeros((5, 5), np.uint8))),
        (ValueError, "mask shape", lambda: imgnorm.match_histograms(image, ref, mask=np.zeros((5, 5), bool))),
        (TypeError, "did you mean neighborhood_size", lambda: imgnorm.normalize(
            image, reference=ref, method="histogram", neighbourhood_size=5)),
        (TypeError, "True or False", lambda: imgnorm.normalize(image, reference=ref, method="local-mean",
                                                               keep_masked_pixels=1)),
        (TypeError, "reference= and method=", lambda: imgnorm.normalize(image, method="histogram")),
    ]
    for cls, text, call in cases:
        with pytest.raises(cls, match=text) as e:
            call()
        assert isinstance(e.value, imgnorm.Error) and "\n" not in str(e.value), text


def test_error_classes_carry_the_cxx_names_and_numbers(images):
    numbers = {"BadImage": 0x10007A00, "BadParams": 0x10007A01, "NotTrained": 0x10007A02, "CanNotTrain": 0x10007A03,
               "CanNotRun": 0x10007A04, "NotImplementedByTool": 0x10007A0F}
    for name, number in numbers.items():
        cls = getattr(imgnorm, name)
        assert issubclass(cls, imgnorm.Errors) and issubclass(cls, imgnorm.Error) and cls.error_number == number
    # The not-implemented class keeps the C++ name as an attribute and its old
    # Python name as an alias, but no longer shadows the builtin on import *.
    assert imgnorm.NotImplemented is imgnorm.NotImplementedByTool
    assert imgnorm.NotImplementedByTool.cpp_name == "NotImplemented" and "NotImplemented" not in imgnorm.__all__
    for name in ("BadPointer", "BadWindow", "UnboundWindow", "PelFuncBadParams", "UnknownVersion", "Truncated",
                 "BadData", "ArchiveIOError"):
        assert issubclass(getattr(imgnorm, name), imgnorm.Error) and getattr(imgnorm, name).error_number
    tool = imgnorm.Normalizer(images["reference"], methods="histogram")
    image = images["image"]
    raised = [(imgnorm.BadParams, "Cannot run with more than one normalization method.", lambda: tool.run(image, 3)),
              (imgnorm.CanNotTrain, "referenceImage() must be bound for the specified methods.",
               lambda: imgnorm.Normalizer().train("histogram")),
              (imgnorm.PelFuncBadParams, "", lambda: imgnorm.flood_fill(image, (0, 0), image[0, 0])),
              (imgnorm.ArgumentError, "", lambda: imgnorm.flood_fill(image, (500, 0), 1))]
    # Damaged archives (every cut and flipped byte is the C++ archive tests'):
    # each archive error reaches Python as its own class.
    data = tool.to_bytes()
    raised += [(cls, "", lambda bad=bad: imgnorm.Normalizer.from_bytes(bad)) for bad, cls in (
        (b"\x01" + data[1:], imgnorm.UnknownVersion), (data + b"\x00", imgnorm.BadData),
        (data[:len(data) // 2], imgnorm.Truncated))]
    raised.append((imgnorm.ArgumentError, "", lambda: imgnorm.Normalizer.__new__(imgnorm.Normalizer).__setstate__(
        ("not bytes",))))
    for cls, message, call in raised:
        with pytest.raises(cls) as e:
            call()
        assert type(e.value) is cls and (not message or e.value.message == message)


@pytest.mark.parametrize("change, text", [
    (None, "The tool is not trained for 'tails' (trained: histogram, local-mean)."),
    (lambda t: setattr(t, "neighborhood_size", 9), "The tool is not trained for 'tails' (trained: none); its "
     "training (histogram, tails, local-mean) was cleared when neighborhood_size was set: call train() again."),
    (lambda t: t.set_mask(None), "cleared when the mask was set"),
    (lambda t: t.untrain(), "cleared when untrain() was called")])
def test_not_trained_names_the_methods_and_what_cleared_them(images, change, text):
    tool = imgnorm.Normalizer(images["reference"], methods=["histogram", "local-mean"] + (["tails"] if change else []))
    if change:
        change(tool)
    with pytest.raises(imgnorm.NotTrained) as e:
        tool.run(images["image"], "tails")
    assert text in e.value.message and "  " not in e.value.message
    assert e.value.error_number == 0x10007A02


def test_a_run_that_cannot_map_raises_or_returns_the_tools_message():
    ref = np.tile(np.arange(20, dtype=np.uint8) * 10, (10, 1))
    mask = np.zeros((10, 20), np.uint8)
    mask[5:] = 255
    tool = imgnorm.Normalizer(ref, mask, methods="histogram")
    image = ref[:5]  # covers only the masked-out rows
    with pytest.raises(imgnorm.RunFailed, match="Cannot normalize since histogram is empty.") as e:
        tool.run(image, "histogram")
    assert e.value.result == (None, False, "Cannot normalize since histogram is empty.")
    assert tool.run(image, "histogram", raise_on_failure=False) == e.value.result
    good = tool.run(ref, "histogram", raise_on_failure=False)
    assert good.success and good.message == "" and good.image.shape == (10, 20)


@pytest.mark.parametrize("deep", [False, True])
def test_copies_pickles_and_saved_files_are_the_tool(images, tmp_path, deep):
    methods, image = METHODS, images["image"]
    tool = trained(images, True)
    if deep:  # a 12-bit tool: its bit depth travels and sets the range
        methods = [m for m in METHODS if m not in ("local-gain", "local-linear")]
        image = image.astype(np.uint16) * 16
        tool = imgnorm.Normalizer(images["reference"].astype(np.uint16) * 16, images["mask"], bit_depth=12,
                                  neighborhood_size=(15, 11), tail_fractions=(0.01, 0.99), methods=methods)
        assert tool.intensity_variation_range == (-2047, 2047)
    tool.save(tmp_path / "t.imn")
    shallow, deep_copy = copy.copy(tool), copy.deepcopy(tool)
    for other in (shallow, deep_copy, pickle.loads(pickle.dumps(tool)), tool.copy(),
                  imgnorm.Normalizer.load(tmp_path / "t.imn")):
        assert other == tool and not (other != tool) and other.bit_depth == tool.bit_depth
        assert other.trained_methods == tool.trained_methods
        for method in methods:
            np.testing.assert_array_equal(other.run(image, method), tool.run(image, method), err_msg=method)
    assert np.shares_memory(shallow.reference, tool.reference)
    assert not np.shares_memory(deep_copy.reference, tool.reference)
    deep_copy.keep_masked_pixels = not tool.keep_masked_pixels
    assert deep_copy != tool and tool != "tool"
    with pytest.raises(TypeError):
        hash(tool)


def test_normalize_is_the_tool_in_one_call_and_takes_the_former_order_with_a_warning(images):
    want = trained(images, True, granularity=2).run(images["image"], "local-median")
    got = imgnorm.normalize(images["image"], reference=images["reference"], method="local-median",
                            mask=images["mask"], neighborhood_size=(15, 11), granularity=2)
    np.testing.assert_array_equal(got, want)
    for old in ((images["reference"], images["image"], "local-median", images["mask"]),
                (images["reference"], images["image"], "local-median")):
        with pytest.warns(DeprecationWarning, match="normalize"):
            got = imgnorm.normalize(*old, mask=None if len(old) > 3 else images["mask"], neighborhood_size=(15, 11),
                                    granularity=2)
        np.testing.assert_array_equal(got, want)
