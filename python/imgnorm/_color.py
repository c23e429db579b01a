"""Colour images for imgnorm.normalize and imgnorm.match_histograms: both run
the colour tool (imgnorm.ColorNormalizer) when given ``channel_axis``."""

import numpy as _np

from ._imgnorm import ColorNormalizer
from ._types import ArgumentError

_COLORS = ("per-channel", "luminance")


def normalize(image, reference, method, mask, channel_axis, color, parameters):
    """normalize(..., channel_axis=, color=): one colour tool, trained and run."""
    if channel_axis is None:
        raise ArgumentError("color=%r needs channel_axis= (the axis of the image's channels)" % (color,))
    tool = ColorNormalizer(reference, mask, channel_axis=channel_axis, color="per-channel" if color is None else color,
                           copy=False, methods=method, **parameters)
    return tool.run(image, method)


def fits_color_tool(image_c, reference_c, mask):
    """Whether match_histograms can run the colour tool on these channel-last
    arrays and get what matching each channel on its own gives: RGB (the tool
    passes alpha through, match_histograms matches it), uint8 (fractions of
    counts are an 8-bit option), an image inside the reference's height and
    width (the tool maps the overlap), and a mask only when the shapes are
    equal (the tool counts the image's pels under the mask)."""
    return (image_c.shape[-1] == reference_c.shape[-1] == 3 and image_c.dtype == reference_c.dtype == _np.uint8
            and image_c.shape[0] <= reference_c.shape[0] and image_c.shape[1] <= reference_c.shape[1]
            and (mask is None or image_c.shape[:2] == reference_c.shape[:2]))


def match_histograms(image, reference, channel_axis, mask):
    """match_histograms(..., channel_axis=) by one per-channel colour tool
    comparing fractions of the pel counts."""
    tool = ColorNormalizer(reference, mask, channel_axis=channel_axis, copy=False, relative_counts=True,
                           methods="histogram")
    return tool.run(image, "histogram")
