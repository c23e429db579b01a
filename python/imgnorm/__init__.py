"""imgnorm: grey-level normalization of 8-bit images, over numpy arrays.

A Normalizer is given a reference image (and optionally a mask), trained for
a set of methods and run on run-time images; normalize() does all three in
one call.  The pixel functions the tool is built from are here too, as
functions over uint8 arrays.  Errors derive from imgnorm.Error and carry the
C++ classes' names and error numbers.

>>> import numpy as np, imgnorm
>>> reference = np.tile(np.arange(256, dtype=np.uint8), (32, 1))
>>> image = (reference // 2 + 40).astype(np.uint8)
>>> out = imgnorm.normalize(reference, image, "mean-stddev")
>>> int(abs(out.astype(int) - reference).max()) <= 1
True
"""

from ._types import (  # noqa: F401
    METHOD_NAMES,
    METHODS,
    ArchiveIOError,
    BadData,
    BadImage,
    BadParams,
    BadPointer,
    BadWindow,
    CanNotRun,
    CanNotTrain,
    Error,
    Errors,
    Method,
    NotImplemented,
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
    Normalizer,
    _error_numbers,
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

_PARAMETERS = ("neighborhood_size", "granularity", "tail_fractions", "intensity_variation_range", "keep_masked_pixels")


def normalize(reference, image, method, mask=None, **parameters):
    """Normalizes one image against a reference in one call.

    Parameters
    ----------
    reference : 2-D uint8 array
        The reference image (viewed in place, not copied).
    image : 2-D uint8 array
        The run-time image.
    method : str or Method
        One method: 'histogram', 'mean-stddev', 'tails', 'linear-fit',
        'local-mean', 'local-median' or 'identity'.
    mask : 2-D uint8 array, optional
        Same shape as the reference; non-zero pels take part.
    **parameters
        Any of neighborhood_size, granularity, tail_fractions,
        intensity_variation_range, keep_masked_pixels (see Normalizer).

    Returns
    -------
    numpy.ndarray
        The normalized image over the overlap of image, reference and mask.

    Raises
    ------
    RunFailed, CanNotTrain, BadParams, TypeError, ValueError
        As Normalizer.train() and Normalizer.run(); TypeError also for an
        unknown parameter name.
    """
    unknown = sorted(set(parameters) - set(_PARAMETERS))
    if unknown:
        raise TypeError("normalize() got unknown parameters %s (known: %s)" % (", ".join(unknown), ", ".join(_PARAMETERS)))
    tool = Normalizer(reference, mask, copy=False)
    for name in _PARAMETERS:
        if name in parameters:
            setattr(tool, name, parameters[name])
    tool.train(method)
    return tool.run(image, method)


__all__ = [
    "Normalizer", "normalize", "Method", "METHOD_NAMES", "METHODS", "RunResult",
    "Error", "Errors", "BadImage", "BadParams", "NotTrained", "CanNotTrain", "CanNotRun", "NotImplemented",
    "BadPointer", "BadWindow", "UnboundWindow", "PelFuncBadParams", "UnknownVersion", "Truncated", "BadData",
    "ArchiveIOError", "RunFailed",
    "add_clamp", "sub_clamp", "sub_clamp_signed", "masked_copy", "masked_histogram", "masked_threshold",
    "threshold", "map_value", "smooth_3x3_diamond", "binary_morph_3x3_diamond", "expand_border",
    "find_first_pel", "flood_fill", "masked_divide", "buffers_equal",
]
