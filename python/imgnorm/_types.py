"""Plain-Python types of the imgnorm package: the error classes, the method
flags (made from the library's method table) and the result of a run that
does not raise."""

import enum
from typing import NamedTuple, Optional

import numpy as np

from . import _imgnorm


class MethodRow(NamedTuple):
    """One row of the library's method table (imgnorm.METHODS)."""

    name: str  # the command-line program's name ('local-mean')
    flag: int  # the bit (0 for identity)
    kind: str  # 'copy', 'global' or 'local'
    summary: str
    enumerator: str  # the C++ mxImageNormalizerDefs::Method enumerator


#: The library's methods in flag order, identity first.
METHODS = tuple(MethodRow(*row) for row in _imgnorm.methods())

#: Normalization methods as bit flags; one value also carries a set of
#: methods.  The values are the C++ mxImageNormalizerDefs::Method values, the
#: members the method names in capitals ('mean-stddev' is MEAN_STDDEV).
Method = enum.IntFlag("Method", [(m.name.upper().replace("-", "_"), m.flag) for m in METHODS], module=__name__)
Method.__doc__ = ("Normalization methods as bit flags (the C++ mxImageNormalizerDefs::Method values); "
                  "one value also carries a set of methods.")

#: The command-line program's method names, in its order.
METHOD_NAMES = {m.name: Method(m.flag) for m in METHODS}


class RunResult(NamedTuple):
    """What Normalizer.run(..., raise_on_failure=False) returns.

    image : numpy.ndarray or None
        The normalized image; None when success is False.
    success : bool
        False when a histogram method could not build its mapping.
    message : str
        The tool's reason when success is False, else empty.
    """

    image: Optional[np.ndarray]
    success: bool
    message: str


class Error(Exception):
    """Base of every imgnorm error.  ``message`` holds the C++ message and
    ``error_number`` the C++ class's error number (None for RunFailed)."""

    error_number = None

    def __init__(self, message=""):
        super().__init__(message)
        self.message = message


class Errors(Error):
    """The tool's own errors (C++ mxImageNormalizerDefs::Errors)."""


class BadImage(Errors):
    """An image argument is unusable (mxImageNormalizerDefs::BadImage)."""


class BadParams(Errors):
    """A parameter or method is out of range (mxImageNormalizerDefs::BadParams)."""


class NotTrained(Errors):
    """run() was asked for a method the tool is not trained for (mxImageNormalizerDefs::NotTrained)."""


class CanNotTrain(Errors):
    """train() cannot train the requested methods (mxImageNormalizerDefs::CanNotTrain)."""


class CanNotRun(Errors):
    """Declared for clients; the tool does not raise it (mxImageNormalizerDefs::CanNotRun)."""


class NotImplementedByTool(Errors):
    """Declared for clients; the tool does not raise it (mxImageNormalizerDefs::NotImplemented).
    Named so as not to shadow Python's own NotImplemented; ``cpp_name`` is the C++ class's name."""

    cpp_name = "NotImplemented"


class ArgumentError(Error, ValueError):
    """An argument's value is unusable: an array of the wrong rank, shape or size, an empty
    array, an unknown method name.  Also a ValueError, as numpy's and scikit-image's are."""


class ArgumentTypeError(Error, TypeError):
    """An argument is of the wrong type: not an array, a list, the wrong dtype.  Also a
    TypeError, as numpy's and scikit-image's are."""


class ImgnormWarning(UserWarning):
    """A run whose result is probably not what was meant: histogram matching between regions
    of different pel counts, a neighbourhood as large as the image, a result that covers only
    part of the image, tails matched at the extremes (0, 1)."""


class BadPointer(Error):
    """A required pointer or transform is missing (mxBadPointer)."""


class BadWindow(Error):
    """A window is empty, outside its store, or buffers may not be combined (mxPel::BadWindow)."""


class UnboundWindow(Error):
    """A pixel buffer that must be bound is not (mxPel::UnboundWindow)."""


class PelFuncBadParams(Error):
    """A pixel function was given a parameter outside its domain (mxPelFunc::BadParams)."""


class UnknownVersion(Error):
    """An archive holds a version this release does not know (mxArchive::UnknownVersion)."""


class Truncated(Error):
    """An archive ends before the value being read (mxArchive::Truncated)."""


class BadData(Error):
    """An archive holds an impossible value (mxArchive::BadData)."""


class ArchiveIOError(Error):
    """An archive file could not be read or written (mxArchive::IOError)."""


class RunFailed(Error):
    """A run could not build its mapping (the C++ run's success false).
    ``result`` is the RunResult that raise_on_failure=False would return."""

    def __init__(self, message="", result=None):
        super().__init__(message)
        self.result = result

    def __reduce__(self):
        return (type(self), (self.message, self.result))


#: The Python class of each C++ error class whose Python name differs.
_PYTHON_NAMES = {"NotImplemented": "NotImplementedByTool"}


def _set_error_numbers(numbers):
    for name, number in numbers.items():
        globals()[_PYTHON_NAMES.get(name, name)].error_number = number
