#!/usr/bin/python3
"""Writes a large 8-bit grey TIFF strip by strip (never whole in memory), for
trying the streaming path of `imgnorm run` / `normalize`.

  make_large_tiff.py OUT.tif WIDTH HEIGHT [SEED] [--tiled]

The picture: a smooth shading with texture; SEED changes the shading, so two
files of one size make a reference and an image to normalize.  Files over
4 GiB are written as BigTIFF.
"""
import sys

import numpy
import tifffile


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    tiled = "--tiled" in sys.argv
    out, width, height = args[0], int(args[1]), int(args[2])
    seed = int(args[3]) if len(args) > 3 else 1
    rows = 256
    rng = numpy.random.default_rng(seed)
    x = numpy.arange(width, dtype=numpy.float32)

    def band(y0):
        y = numpy.arange(y0, min(y0 + rows, height), dtype=numpy.float32)[:, None]
        v = 110 + 50 * numpy.sin(x * 0.0011 + seed) * numpy.cos(y * 0.0007) + 0.001 * (x - y)
        v = v + rng.integers(-8, 9, size=v.shape)
        return numpy.clip(v, 0, 255).astype(numpy.uint8)

    big = width * height > 3_900_000_000
    if tiled:
        tile = 256

        def tiles():
            for y0 in range(0, height, tile):
                b = band(y0) if rows == tile else None
                for x0 in range(0, width, tile):
                    t = numpy.zeros((tile, tile), numpy.uint8)
                    part = b[:, x0:x0 + tile]
                    t[: part.shape[0], : part.shape[1]] = part
                    yield t

        tifffile.imwrite(out, tiles(), shape=(height, width), dtype=numpy.uint8, tile=(tile, tile),
                         bigtiff=big, photometric="minisblack")
    else:
        def strips():
            for y0 in range(0, height, rows):
                yield band(y0)

        tifffile.imwrite(out, strips(), shape=(height, width), dtype=numpy.uint8, rowsperstrip=rows,
                         bigtiff=big, photometric="minisblack")


if __name__ == "__main__":
    main()
