"""imgnorm.dask: arrays normalized chunk by chunk equal to Normalizer.run, for
every method and several chunkings; batches of files on a LocalCluster of two
worker processes on the loopback interface, with failing files and a dying
worker."""

import os
import re
import stat

import dask
import dask.array as da
import numpy as np
import pytest
import tifffile
from conftest import METHODS, address_space_limit, distorted, ring_mask, textured

import imgnorm
import imgnorm.dask as idask

H, W = 150, 230
# Regular, uneven, and boundaries off the granularity grid (realigned).
CHUNKINGS = [(64, 64), ((20, 90, 50), (100, 7, 118)), (37, 51)]


def tool_for(method, granularity=(1, 1), masked=True):
    return imgnorm.Normalizer(textured(H, W, 1), ring_mask(H, W) if masked else None, neighborhood_size=(25, 17),
                              granularity=granularity, tail_fractions=(0.05, 0.95), keep_masked_pixels=masked,
                              methods=method)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("granularity", [(1, 1), (4, 3)])
def test_chunked_result_equals_the_whole_image_run(method, granularity):
    tool = tool_for(method, granularity)
    image = distorted(textured(H + 10, W - 5, 1))  # beyond the reference in y, short of it in x
    whole = tool.run(image, method)
    lazy = [idask.normalize_array(tool, da.from_array(image, chunks=chunks), method) for chunks in CHUNKINGS]
    # The graphs run the tool as it was when they were built.
    tool.reference, tool.granularity = textured(H, W, 9), (3, 2)
    tool.train(method)
    for chunks, out in zip(CHUNKINGS, dask.compute(*lazy, scheduler="sync")):
        assert out.shape == whole.shape and np.array_equal(out, whole), (method, granularity, chunks)


def deep(image, seed):  # 12-bit pels: the 8-bit levels times 16 with low bits of noise
    return image.astype(np.uint16) * 16 + np.random.default_rng(seed).integers(0, 16, image.shape, dtype=np.uint16)


# (what, dtype bits, colour mode, channels on axis, granularity); the image reaches beyond the reference in y
# and falls short of it in x, a pel above 12 bits lies outside the reference (no run looks at it).
DEEP_AND_COLOUR = [("grey", 16, None, None, (1, 1)), ("grey", 16, None, None, (4, 3)),
                   ("rgba", 8, "per-channel", 0, (1, 1)), ("rgb", 16, "luminance", -1, (3, 2))]


@pytest.mark.parametrize("case", DEEP_AND_COLOUR, ids=lambda c: "-".join(map(str, c[:4])))
@pytest.mark.parametrize("method", [m for m in METHODS if m not in ("local-gain", "local-linear")] + ["identity"])
def test_deep_and_colour_arrays_equal_the_in_memory_run(case, method):
    what, bits, color, axis, granularity = case
    planes = 1 if what == "grey" else 3
    ref = [textured(H, W, 1 + c) for c in range(planes)]
    img = [distorted(textured(H + 10, W - 5, 1 + c), seed=c) for c in range(planes)]
    if bits == 16:
        ref, img = [deep(r, c) for c, r in enumerate(ref)], [deep(i, c + 7) for c, i in enumerate(img)]
        img[0][H + 5, 3] = 4096
    kw = dict(neighborhood_size=(25, 17), granularity=granularity, tail_fractions=(0.05, 0.95),
              keep_masked_pixels=True, methods=[m for m in METHODS if m not in ("local-gain", "local-linear")])
    chunks = ((20, 90, 50), (100, 7, 118))
    if what == "grey":
        tool, image = imgnorm.Normalizer(ref[0], ring_mask(H, W), bit_depth=12, **kw), img[0]
    else:
        def stack(p):
            return np.moveaxis(np.stack(p, axis=-1), -1, axis)

        tool = imgnorm.ColorNormalizer(stack(ref), ring_mask(H, W), channel_axis=axis, color=color,
                                       bit_depth=12 if bits == 16 else None, **kw)
        image = stack(img + [np.full_like(img[0], 77)] * (what == "rgba"))
        chunks = (chunks[0], chunks[1], (1,) * len(what))
        chunks = chunks[2:] + chunks[:2] if axis == 0 else chunks
    whole = tool.run(image, method)
    out = idask.normalize_array(tool, da.from_array(image, chunks=chunks), method).compute(scheduler="sync")
    assert out.dtype == whole.dtype == image.dtype and out.shape == whole.shape and np.array_equal(out, whole), (case, method)


def test_chunking_that_does_not_suit_a_local_method_is_refused_or_realigned():
    tool = tool_for("local-mean", (4, 4), masked=False)
    image = da.from_array(distorted(textured(H, W, 1)), chunks=(50, 50))
    assert idask.halo(tool, "local-mean") == (28, 28)  # (s(7) + 3) x 4, s(5) = s(7) = 4
    with pytest.raises(ValueError, match=r"multiples of the granularity \(y, x\) = \(4, 4\).*rechunk to e.g. "
                                         r"\(\(52, 48, 50\), \(52, 48, 52, 48, 30\)\)"):
        idask.normalize_array(tool, image, "local-mean", realign=False)
    with pytest.raises(ValueError, match=r"at least the halo"):
        idask.normalize_array(tool, image.rechunk((8, 200)), "local-mean", realign=False)
    realigned = idask.normalize_array(tool, image, "local-mean")
    assert realigned.chunks == ((52, 48, 50), (52, 48, 52, 48, 30))


def test_errors_come_as_from_run():
    tool = tool_for("mean-stddev", masked=False)
    flat = da.full((H, W), 90, dtype=np.uint8, chunks=64)
    lazy = idask.normalize_array(tool, flat, "mean-stddev")
    with pytest.raises(imgnorm.RunFailed, match="Cannot match when standard deviation is 0."):
        lazy.compute(scheduler="sync")
    with pytest.raises(imgnorm.NotTrained, match=r"not trained for 'histogram' \(trained: mean-stddev\)"):
        idask.normalize_array(tool, flat, "histogram")
    with pytest.raises(TypeError, match="uint8"):
        idask.normalize_array(tool, flat.astype(np.uint16), "mean-stddev")
    deep_tool = imgnorm.Normalizer(deep(textured(H, W, 1), 1), bit_depth=12, methods="histogram")
    with pytest.raises(imgnorm.BadImage, match=r"above 4095 \(12 bits\)"):
        idask.normalize_array(deep_tool, da.full((H, W), 4096, dtype=np.uint16, chunks=64), "histogram").compute()


def test_batch_refuses_outputs_over_inputs_and_keeps_what_it_replaces(tmp_path):
    tool = tool_for("mean-stddev", masked=False)
    folder, other = tmp_path / "in", tmp_path / "other"
    for d in (folder, other):
        d.mkdir()
    images = {"a" * 236 + ".npy": 0o600, "b.npy": 0o640}  # a long name: the temporary's must stay short
    for k, (name, mode) in enumerate(images.items()):
        np.save(folder / name, distorted(textured(H, W, 1), seed=k))
        os.chmod(folder / name, mode)
    paths = [str(folder / n) for n in images]
    os.symlink(paths[1], other / "b.npy")  # an output that is an input through a link
    os.mkfifo(tmp_path / "fifo.npy")
    refused = [(paths, folder, "would overwrite the input"), (paths, other, "would overwrite the input"),
               ([str(other / "b.npy"), paths[1]], tmp_path, "inputs share output names"),
               ([str(folder / "fifo.npy")], tmp_path, "is a FIFO, not a regular file")]
    listing = sorted(os.listdir(folder))
    for inputs, out_dir, message in refused:
        with pytest.raises(ValueError, match=message):
            idask.normalize_files(tool, inputs, "mean-stddev", str(out_dir))
    assert sorted(os.listdir(folder)) == listing
    wanted = [tool.run(np.load(p), "mean-stddev") for p in paths]
    reports = idask.normalize_files(tool, paths, "mean-stddev", str(folder), in_place=True)
    reports += idask.normalize_files(tool, paths[1:], "mean-stddev", str(other), in_place=True)
    assert [r["status"] for r in reports] == ["ok"] * 3, reports
    for path, want, mode in zip(paths, wanted, images.values()):
        assert np.array_equal(np.load(path), tool.run(want, "mean-stddev") if path == paths[1] else want)
        assert stat.S_IMODE(os.stat(path).st_mode) == mode
    assert os.path.islink(other / "b.npy") and sorted(os.listdir(folder)) == listing


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    # One try per task: a file whose worker dies is reported at once.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                           dashboard_address=None, silence_logs=40)
        c = distributed.Client(cluster)
        yield c
        c.close()
        cluster.close()


def test_batch_reports_every_file_and_survives_a_dying_worker(client, tmp_path):
    tool = tool_for("mean-stddev", masked=False)
    inputs = tmp_path / "in"
    inputs.mkdir()
    images = {}
    for k in range(6):
        images["good%d.npy" % k] = distorted(textured(H, W, 1), seed=k)
    images["flat.npy"] = np.full((H, W), 90, np.uint8)
    images["dies.npy"] = images["good0.npy"]
    for name, a in images.items():
        np.save(inputs / name, a)
    (inputs / "broken.npy").write_bytes(b"\x93NUMPY not really")
    paths = sorted(str(p) for p in inputs.iterdir())

    def reader(path):
        if path.endswith("dies.npy"):
            os._exit(3)  # the worker process dies mid-batch
        return idask.read_image(path)

    # Named as temporaries of the failing files' outputs, but not the batch's own: they stay.
    decoys = [".dies.imgnorm-part-0.npy", ".flat.imgnorm-part-1.npy"]
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / decoys[0]).mkdir()
    (tmp_path / "out" / decoys[1]).write_bytes(b"someone else's")
    # Three files per task: the dying file takes the two of its task down
    # with it, and they are done again.
    reports = idask.normalize_files(tool, paths, "mean-stddev", str(tmp_path / "out"), client, reader=reader,
                                    files_per_task=3)
    by_name = {os.path.basename(r["path"]): r for r in reports}
    assert [r["path"] for r in reports] == paths
    assert by_name["flat.npy"]["status"] == "soft failure"
    assert by_name["flat.npy"]["message"] == "Cannot match when standard deviation is 0."
    assert by_name["broken.npy"]["status"] == "error" and "ValueError" in by_name["broken.npy"]["message"]
    assert by_name["dies.npy"]["status"] == "error" and "worker died" in by_name["dies.npy"]["message"]
    for k in range(6):
        r = by_name["good%d.npy" % k]
        assert r["status"] == "ok", r
        assert np.array_equal(np.load(r["output"]), tool.run(images["good%d.npy" % k], "mean-stddev"))
    # Only the finished outputs and the decoys, nothing half-written or temporary.
    assert sorted(os.listdir(tmp_path / "out")) == decoys + ["good%d.npy" % k for k in range(6)]


# In one task, read one after the other through the buffer the task reuses:
# a smaller file after a larger, and files its fast path leaves to np.load.
READ_CASES = [
    ("large.npy", lambda a: a, "ok"),
    ("small.npy", lambda a: a[:-11, :-7], "ok"),
    ("fortran.npy", np.asfortranarray, "ok"),
    ("truncated.npy", lambda a: a, "ValueError: .*truncated.npy: truncated .npy file"),
    ("wide.npy", lambda a: a.astype(np.uint16), "ArgumentTypeError"),
    ("three-d.npy", lambda a: a[:, :, None], "ArgumentError"),
    ("version2.npy", lambda a: a, "ok"),
    ("grey-palette.png", lambda a: 255 - a, "ok"),  # written as the indices a, palette i -> 255 - i
    ("claims-more.npy", lambda a: a[:5], r"ValueError: .*claims-more.npy: truncated .npy file: 1150 of its \d{10} data"),
]


def palette_png(path, index, palette):
    from PIL import Image

    image = Image.frombytes("P", index.shape[::-1], np.ascontiguousarray(index).tobytes())
    image.putpalette(palette)
    image.save(path)


# Files refused with the reader's reason and the file's name, in the same task:
# special files are never opened for reading (a FIFO would hang the worker).
REFUSED = [
    ("fifo.npy", os.mkfifo, r"ValueError: .*fifo.npy: is a FIFO, not a regular file"),
    ("zero.npy", lambda p: os.symlink("/dev/zero", p), r"ValueError: .*zero.npy: is a character device"),
    ("folder.tif", os.mkdir, r"ValueError: .*folder.tif: is a folder"),
    ("garbage.tif", lambda p: open(p, "wb").write(b"II*\0garbage"), r"ValueError: .*garbage.tif: no image in the TIFF"),
    ("cut.tif", lambda p: idask.write_image(p, textured(H, W, 1)) or os.truncate(p, 5000), r"\w+: .*cut.tif: "),
    ("pages.tif", lambda p: [tifffile.imwrite(p, np.zeros((9, 9 + k), np.uint8), append=k > 0) for k in range(2)],
     r"ValueError: .*pages.tif: a TIFF file of 2 pages"),
    ("colour.png", lambda p: palette_png(p, textured(H, W, 1), [i * (c != "b") for i in range(256) for c in "rgb"]),
     r"ValueError: .*colour.png: a palette image with colours"),
]


def test_default_reader_gives_each_file_its_own_pels(client, tmp_path):
    tool = tool_for("local-mean", masked=False)
    image = distorted(textured(H, W, 1))
    paths = []
    for name, make, _ in READ_CASES:
        paths.append(str(tmp_path / name))
        if name.endswith(".png"):
            palette_png(paths[-1], image, [255 - i for i in range(256) for _ in "rgb"])
            continue
        with open(paths[-1], "wb") as f:
            np.lib.format.write_array(f, make(image), version=(2, 0) if name == "version2.npy" else None)
    with open(paths[-1], "r+b") as f:  # a header that claims 9 GB, in a file of 1150 data bytes
        header = f.read(128)
        claim, held = b"(%d, %d), }" % (9 * 10**9 // W, W), b"(5, %d), }" % W
        f.seek(0)
        f.write(header.replace(held + b" " * (len(claim) - len(held)), claim))
    with open(paths[3], "r+b") as f:
        f.truncate(os.path.getsize(paths[3]) - 100)
    for name, make, _ in REFUSED:
        paths.append(str(tmp_path / name))
        make(paths[-1])
    reports = idask.normalize_files(tool, paths, "local-mean", str(tmp_path / "out"), client,
                                    files_per_task=len(paths))
    for (name, make, expected), report in zip(READ_CASES + REFUSED, reports):
        if expected == "ok":
            assert report["status"] == "ok", report
            want = tool.run(np.ascontiguousarray(make(image)), "local-mean")
            assert np.array_equal(idask.read_image(report["output"]), want), name
        else:
            assert report["status"] == "error" and re.match(expected, report["message"]), report
    with address_space_limit(), pytest.raises(ValueError, match="claims-more.npy: truncated"):
        idask.read_image(paths[len(READ_CASES) - 1])  # refused before the claim is allocated
