"""Tool files shared with the command-line program, and bad files refused."""

import os
import pathlib
import stat
import struct
import subprocess
import zlib

import numpy as np
import pytest

import imgnorm
from conftest import METHODS, trained


def program():
    build = pathlib.Path(os.environ.get("IMGNORM_BUILD_DIR", pathlib.Path(__file__).parents[2] / "build"))
    path = build / "cli" / "imgnorm"
    if not path.exists():
        pytest.skip("the command-line program is not built (%s)" % path)
    return str(path)


def write_pgm(path, a):
    path.write_bytes(b"P5\n%d %d\n255\n" % (a.shape[1], a.shape[0]) + a.tobytes())


def read_pgm(path):
    magic, w, h, top, pels = path.read_bytes().split(maxsplit=4)
    assert (magic, top) == (b"P5", b"255")
    return np.frombuffer(pels, np.uint8).reshape(int(h), int(w))


# (masked, the tool's parameters, the same as the program's options)
VARIANTS = [(False, {}, []), (True, {}, []), (True, dict(relative_counts=True), ["--relative-counts"]),
            (True, dict(granularity=(2, 3), tail_fractions=(0.05, 0.9), intensity_variation_range=(-60, 90),
                        keep_masked_pixels=True),
             ["--granularity", "2,3", "--tail-fractions", "0.05,0.9", "--intensity-range", "-60,90", "--keep-masked"])]


@pytest.mark.parametrize("masked, parameters, options", VARIANTS)
def test_the_program_trains_the_same_tool_and_runs_it_to_the_same_pels(images, tmp_path, masked, parameters, options):
    tool = trained(images, masked, **parameters)
    tool.save(tmp_path / "py.imn")
    for name in ("reference", "image", "mask"):
        write_pgm(tmp_path / (name + ".pgm"), images[name])
    subprocess.run([program(), "train", "-r", str(tmp_path / "reference.pgm"), "--methods", "all", "--neighborhood",
                    "15,11", "-o", str(tmp_path / "cli.imn")] + ["-m", str(tmp_path / "mask.pgm")] * masked + options,
                   check=True, capture_output=True)
    assert imgnorm.Normalizer.load(str(tmp_path / "cli.imn")) == tool
    assert (tmp_path / "cli.imn").read_bytes() == (tmp_path / "py.imn").read_bytes()
    for method in METHODS:
        out = tmp_path / ("%s.pgm" % method)
        subprocess.run([program(), "run", str(tmp_path / "py.imn"), "--method", method, str(tmp_path / "image.pgm"),
                        "-o", str(out)], check=True, capture_output=True)
        for threads in (1, 2):
            np.testing.assert_array_equal(tool.run(images["image"], method, threads=threads), read_pgm(out), method)


def test_save_replaces_whole_files_and_load_refuses_what_is_not_one(images, tmp_path):
    good = tmp_path / "good.imn"
    good.write_bytes(b"old")
    good.chmod(0o640)
    tool = trained(images)
    tool.save(good)
    assert stat.S_IMODE(good.stat().st_mode) == 0o640
    assert imgnorm.Normalizer.load(good) == tool
    assert [p.name for p in tmp_path.iterdir()] == ["good.imn"]  # no temporary left
    with pytest.raises(IsADirectoryError):
        tool.save(tmp_path)
    # Saving onto a symbolic link (a chain, a relative one, a dangling one)
    # writes the file it points to and keeps the links.
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "target.imn").write_bytes(b"old")
    (tmp_path / "link1").symlink_to("sub/target.imn")
    (tmp_path / "link2").symlink_to(tmp_path / "link1")
    (tmp_path / "sub" / "dangling").symlink_to("new.imn")
    for link, target in (("link2", "sub/target.imn"), ("sub/dangling", "sub/new.imn")):
        tool.save(tmp_path / link)
        assert (tmp_path / link).is_symlink() and (tmp_path / target).read_bytes() == good.read_bytes(), link
    for p in ("link1", "link2", "sub/dangling", "sub/new.imn", "sub/target.imn", "sub"):
        (tmp_path / p).rmdir() if p == "sub" else (tmp_path / p).unlink()
    data = good.read_bytes()
    os.mkfifo(tmp_path / "fifo")
    archive = data[24:-5]  # a cut archive in a well-formed frame (zlib's CRC-32)
    framed = b"IMGNTOOL" + struct.pack("<IQI", 1, len(archive), zlib.crc32(archive)) + archive
    cases = {  # name: (contents or None for a prepared entry, error class, message part)
        "missing": (None, FileNotFoundError, "missing"),
        "fifo": (None, OSError, "not a regular file"),
        ".": (None, IsADirectoryError, ""),
        "empty": (b"", imgnorm.BadData, "empty"),
        "flipped": (data[:-1] + bytes([data[-1] ^ 1]), imgnorm.BadData, "checksum"),
        "cut": (data[:-10], imgnorm.Truncated, "truncated tool file"),
        "framed": (framed, imgnorm.Truncated, "damaged tool file: "),
        "png": (b"\x89PNG\r\n\x1a\n" + bytes(20), imgnorm.BadData, "not an imgnorm tool file"),
    }
    for name, (contents, error, part) in cases.items():
        path = tmp_path / name
        if contents is not None:
            path.write_bytes(contents)
        with pytest.raises(error) as info:
            imgnorm.Normalizer.load(path)
        assert part in str(info.value), name
        assert name == "." or name in str(info.value)
