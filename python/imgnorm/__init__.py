"""imgnorm: grey-level normalization of 8- and 16-bit images, over numpy arrays.

A Normalizer is given a reference image (and optionally a mask), trained for
a set of methods and run on run-time images; normalize() does all three in
one call, and match_histograms() matches a whole image to a whole reference
as scikit-image's function of that name does.  uint8 and uint16 images
are taken (results in the input's dtype; bit_depth= for 16-bit data of
fewer significant bits).  The pixel functions the tool is built from are here too, as
functions over uint8 arrays.  Errors derive from imgnorm.Error and carry the
C++ classes' names and error numbers.

>>> import numpy as np, imgnorm
>>> reference = np.tile(np.arange(256, dtype=np.uint8), (32, 1))
>>> image = (reference // 2 + 40).astype(np.uint8)
>>> out = imgnorm.normalize(image, reference=reference, method="mean-stddev")
>>> int(abs(out.astype(int) - reference).max()) <= 1
True
>>> small = image[:16, :100]                   # a region of another size
>>> matched = imgnorm.match_histograms(small, reference)
>>> matched.shape == small.shape
True
"""

import difflib as _difflib
import warnings as _warnings

import numpy as _np

from . import _color

from ._types import (  # noqa: F401
    METHOD_NAMES,
    METHODS,
    ArchiveIOError,
    ArgumentError,
    ArgumentTypeError,
    BadData,
    BadImage,
    BadParams,
    BadPointer,
    BadWindow,
    CanNotRun,
    CanNotTrain,
    Error,
    Errors,
    ImgnormWarning,
    Method,
    NotImplementedByTool,
    NotTrained,
    PelFuncBadParams,
    RunFailed,
    RunResult,
    Truncated,
    UnboundWindow,
    UnknownVersion,
    _set_error_numbers,
)
from ._imgnorm import (  # noqa: F401
    ColorNormalizer,
    Normalizer,
    _error_numbers,
    _match_histograms,
    add_clamp,
    binary_morph_3x3_diamond,
    buffers_equal,
    expand_border,
    find_first_pel,
    flood_fill,
    map_value,
    masked_copy,
    masked_divide,
    masked_histogram,
    masked_threshold,
    smooth_3x3_diamond,
    sub_clamp,
    sub_clamp_signed,
    threshold,
)

_set_error_numbers(_error_numbers)
del _set_error_numbers, _error_numbers

__version__ = "@PROJECT_VERSION@"

#: The former name of NotImplementedByTool, kept for code that names it; not
#: exported by ``from imgnorm import *``, where it would hide Python's own
#: NotImplemented.
NotImplemented = NotImplementedByTool  # noqa: A001

_PARAMETERS = ("neighborhood_size", "granularity", "tail_fractions", "intensity_variation_range", "keep_masked_pixels",
               "relative_counts", "bit_depth")


def normalize(image, *args, reference=None, method=None, mask=None, channel_axis=None, color=None, **parameters):
    """Normalizes one image against a reference in one call.

    Parameters
    ----------
    image : 2-D uint8 or uint16 array
        The run-time image.
    reference : 2-D array of the image's dtype
        The reference image (keyword only; viewed in place, not copied).
    method : str or Method
        One method (keyword only): a name of imgnorm.METHODS ('histogram',
        'local-mean', ...) or a Method flag.
    mask : 2-D uint8 or bool array, optional
        Same shape as the reference; non-zero (True) pels take part.
    **parameters
        Any of neighborhood_size, granularity, tail_fractions,
        intensity_variation_range, keep_masked_pixels, relative_counts,
        bit_depth (see Normalizer).
    channel_axis : int, optional
        A colour image (RGB or RGBA, uint8 or uint16): the axis of the
        channels of image and reference (-1 or 2 for height x width x
        channels, 0 for channels first), as scikit-image spells it.  The run
        is then ColorNormalizer's, and the result has the image's layout.
    color : {'per-channel', 'luminance'}, optional
        With channel_axis: each channel against the reference's same channel
        (default), or the BT.601 luma only, chroma kept (see ColorNormalizer).

    Returns
    -------
    numpy.ndarray
        The normalized image over the overlap of image, reference and mask,
        of the image's dtype.

    Raises
    ------
    RunFailed, CanNotTrain, BadParams, ArgumentError, ArgumentTypeError
        As Normalizer.train() and Normalizer.run(); ArgumentTypeError also
        for an unknown parameter name or a missing reference or method.

    Notes
    -----
    The former order ``normalize(reference, image, method[, mask])`` still
    works and warns (DeprecationWarning): two or three positional arguments
    after the first are taken as that form.
    """
    if args:
        if len(args) > 3 or reference is not None or (method is not None and len(args) > 1):
            raise ArgumentTypeError("normalize() takes the image, then reference= and method= as keywords")
        _warnings.warn("normalize(reference, image, method) is deprecated: call normalize(image, reference=..., "
                       "method=...)", DeprecationWarning, stacklevel=2)
        reference, image = image, args[0]
        method = args[1] if len(args) > 1 else method
        mask = args[2] if len(args) > 2 else mask
    if reference is None or method is None:
        raise ArgumentTypeError("normalize() needs reference= and method= keywords")
    unknown = sorted(set(parameters) - set(_PARAMETERS))
    if unknown:
        hints = ["%s (did you mean %s?)" % (u, close[0]) if close else u
                 for u in unknown for close in [_difflib.get_close_matches(u, _PARAMETERS, 1)]]
        raise ArgumentTypeError("normalize() got unknown parameters %s (known: %s)"
                                % (", ".join(hints), ", ".join(_PARAMETERS)))
    if channel_axis is not None or color is not None:
        return _color.normalize(image, reference, method, mask, channel_axis, color, parameters)
    tool = Normalizer(reference, mask, copy=False, methods=method, **parameters)
    return tool.run(image, method)


def match_histograms(image, reference, *, channel_axis=None, mask=None, bit_depth=None):
    """Matches an image's histogram to a reference's, as scikit-image's
    ``skimage.exposure.match_histograms`` does: the cumulative histograms are
    compared as fractions of their pel counts, so the image and the reference
    may differ in size.

    Each grey level g of the image maps to the smallest reference level whose
    cumulative fraction reaches the image's cumulative fraction at g.  This
    is the histogram method with ``relative_counts=True`` over the whole of
    both images.

    Parameters
    ----------
    image : uint8 or uint16 array
        The image to transform: 2-D, or 3-D with ``channel_axis``.
    reference : array of the image's dtype
        The image whose histogram is followed, of any size; as many channels
        as the image when ``channel_axis`` is given.
    channel_axis : int, optional
        The axis of the channels (colour images); each channel is matched to
        the reference's channel of the same index.
    mask : 2-D uint8 or bool array, optional
        The reference's shape (height and width): selects the reference pels
        whose histogram is followed and, when the image has the same height
        and width, the image pels counted.  Every image pel is mapped.
    bit_depth : int, optional
        Significant bits of uint16 pels, 9 to 16 (default 16; 12 for a
        12-bit camera): the histograms have 2**bit_depth bins.  Only 8 for
        uint8 images.

    Returns
    -------
    numpy.ndarray
        A new C-contiguous array of the image's shape and dtype.

    Raises
    ------
    ArgumentError, ArgumentTypeError
        Bad arrays (rank, dtype, empty, mask shape, channel counts); a
        floating-point or signed array says how to convert it.
    BadImage, BadParams
        A uint16 pel above bit_depth; a bit_depth outside 9..16.
    RunFailed
        The reference's pels under the mask are none.
    """
    if channel_axis is None:
        return _match_histograms(image, reference, mask, bit_depth)
    for name, a in (("image", image), ("reference", reference)):
        if not hasattr(a, "__array__"):
            raise ArgumentTypeError("%s must be a numpy uint8 or uint16 array, got %s" % (name, type(a).__name__))
        if _np.ndim(a) != 3:
            raise ArgumentError("%s must be a 3-D array with channel_axis, got shape %s" % (name, _np.shape(a)))
    image_c = _np.moveaxis(_np.asarray(image), channel_axis, -1)
    reference_c = _np.moveaxis(_np.asarray(reference), channel_axis, -1)
    if image_c.shape[-1] != reference_c.shape[-1]:
        raise ArgumentError("image and reference must have the same number of channels, got %d and %d"
                            % (image_c.shape[-1], reference_c.shape[-1]))
    if bit_depth in (None, 8) and _color.fits_color_tool(image_c, reference_c, mask):
        return _color.match_histograms(image, reference, channel_axis, mask)
    out = _np.stack([_match_histograms(image_c[..., c], reference_c[..., c], mask, bit_depth)
                     for c in range(image_c.shape[-1])], axis=-1)
    return _np.ascontiguousarray(_np.moveaxis(out, -1, channel_axis))


__all__ = [
    "Normalizer", "ColorNormalizer", "normalize", "match_histograms", "Method", "METHOD_NAMES", "METHODS", "RunResult",
    "Error", "Errors", "BadImage", "BadParams", "NotTrained", "CanNotTrain", "CanNotRun", "NotImplementedByTool",
    "ArgumentError", "ArgumentTypeError", "ImgnormWarning", "BadPointer", "BadWindow", "UnboundWindow",
    "PelFuncBadParams", "UnknownVersion", "Truncated", "BadData",
    "ArchiveIOError", "RunFailed",
    "add_clamp", "sub_clamp", "sub_clamp_signed", "masked_copy", "masked_histogram", "masked_threshold",
    "threshold", "map_value", "smooth_3x3_diamond", "binary_morph_3x3_diamond", "expand_border",
    "find_first_pel", "flood_fill", "masked_divide", "buffers_equal",
]
