# Types of the imgnorm package for type checkers (mypy, IDEs).  The extension
# module's functions take any object at run time and check it themselves;
# these are the types they accept.  python/tests/test_stubs.py keeps this
# file in step with the module.
import enum
import os
from typing import Any, Iterable, Literal, NamedTuple, Optional, Sequence, TypeVar, Union, overload

import numpy as np
import numpy.typing as npt

__version__: str

Image = npt.NDArray[np.uint8]
Image16 = npt.NDArray[np.uint16]
#: An image of either pel type; ImageT where the result has the input's type.
AnyImage = Union[Image, Image16]
ImageT = TypeVar("ImageT", Image, Image16)
#: A mask: uint8 (non-zero selects) or bool (True selects).
Mask = Union[npt.NDArray[np.uint8], npt.NDArray[np.bool_]]
MethodName = Literal["identity", "histogram", "mean-stddev", "tails", "linear-fit", "local-mean", "local-median",
                     "local-gain", "local-linear"]
IntPair = Union[int, tuple[int, int], Sequence[int]]
RealPair = Union[float, tuple[float, float], Sequence[float]]
_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]

class MethodRow(NamedTuple):
    name: str
    flag: int
    kind: str
    summary: str
    enumerator: str

class Method(enum.IntFlag):
    IDENTITY = 0
    HISTOGRAM = 1
    MEAN_STDDEV = 2
    TAILS = 4
    LINEAR_FIT = 8
    LOCAL_MEAN = 16
    LOCAL_MEDIAN = 32
    LOCAL_GAIN = 64
    LOCAL_LINEAR = 128

AnyMethod = Union[MethodName, Method, int]
Methods = Union[AnyMethod, Iterable[AnyMethod]]

METHODS: tuple[MethodRow, ...]
METHOD_NAMES: dict[str, Method]

class RunResult(NamedTuple):
    image: Optional[AnyImage]
    success: bool
    message: str

class Error(Exception):
    error_number: Optional[int]
    message: str
    def __init__(self, message: str = ...) -> None: ...

class Errors(Error):
    error_number: int

class BadImage(Errors): ...
class BadParams(Errors): ...
class NotTrained(Errors): ...
class CanNotTrain(Errors): ...
class CanNotRun(Errors): ...

class NotImplementedByTool(Errors):
    cpp_name: str

NotImplemented = NotImplementedByTool

class ArgumentError(Error, ValueError): ...
class ArgumentTypeError(Error, TypeError): ...
class ImgnormWarning(UserWarning): ...
class BadPointer(Error):
    error_number: int

class BadWindow(Error):
    error_number: int

class UnboundWindow(Error):
    error_number: int

class PelFuncBadParams(Error):
    error_number: int

class UnknownVersion(Error):
    error_number: int

class Truncated(Error):
    error_number: int

class BadData(Error):
    error_number: int

class ArchiveIOError(Error):
    error_number: int

class RunFailed(Error):
    result: Optional[RunResult]
    def __init__(self, message: str = ..., result: Optional[RunResult] = ...) -> None: ...

class Normalizer:
    def __init__(
        self,
        reference: Optional[AnyImage] = ...,
        mask: Optional[Mask] = ...,
        *,
        copy: bool = ...,
        neighborhood_size: Optional[IntPair] = ...,
        granularity: Optional[IntPair] = ...,
        tail_fractions: Optional[RealPair] = ...,
        intensity_variation_range: Optional[IntPair] = ...,
        keep_masked_pixels: Optional[bool] = ...,
        relative_counts: Optional[bool] = ...,
        bit_depth: Optional[int] = ...,
        methods: Optional[Methods] = ...,
    ) -> None: ...
    @property
    def neighborhood_size(self) -> tuple[int, int]: ...
    @neighborhood_size.setter
    def neighborhood_size(self, value: IntPair) -> None: ...
    @property
    def granularity(self) -> tuple[int, int]: ...
    @granularity.setter
    def granularity(self, value: IntPair) -> None: ...
    @property
    def tail_fractions(self) -> tuple[float, float]: ...
    @tail_fractions.setter
    def tail_fractions(self, value: RealPair) -> None: ...
    @property
    def intensity_variation_range(self) -> tuple[int, int]: ...
    @intensity_variation_range.setter
    def intensity_variation_range(self, value: IntPair) -> None: ...
    @property
    def keep_masked_pixels(self) -> bool: ...
    @keep_masked_pixels.setter
    def keep_masked_pixels(self, value: bool) -> None: ...
    @property
    def relative_counts(self) -> bool: ...
    @relative_counts.setter
    def relative_counts(self, value: bool) -> None: ...
    @property
    def bit_depth(self) -> int: ...
    @bit_depth.setter
    def bit_depth(self, value: int) -> None: ...
    @property
    def reference(self) -> Optional[AnyImage]: ...
    @reference.setter
    def reference(self, value: Optional[AnyImage]) -> None: ...
    @property
    def mask(self) -> Optional[Image]: ...
    @mask.setter
    def mask(self, value: Optional[Mask]) -> None: ...
    @property
    def trained_methods(self) -> Method: ...
    def set_reference(self, image: Optional[AnyImage], copy: bool = ...) -> None: ...
    def set_mask(self, image: Optional[Mask], copy: bool = ...) -> None: ...
    def set(self, tail_fractions: RealPair, intensity_variation_range: IntPair, keep_masked_pixels: bool) -> None: ...
    def train(self, methods: Methods) -> None: ...
    def untrain(self) -> None: ...
    @overload
    def run(
        self, image: ImageT, method: AnyMethod, *, raise_on_failure: Literal[True] = ..., threads: int = ...
    ) -> ImageT: ...
    @overload
    def run(
        self, image: AnyImage, method: AnyMethod, *, raise_on_failure: Literal[False], threads: int = ...
    ) -> RunResult: ...
    def to_bytes(self) -> bytes: ...
    @staticmethod
    def from_bytes(data: bytes, pel_bits: int = ...) -> Normalizer: ...
    def copy(self) -> Normalizer: ...
    def save(self, path: _Path) -> None: ...
    @classmethod
    def load(cls, path: _Path) -> Normalizer: ...
    def __eq__(self, other: object) -> bool: ...

def normalize(
    image: ImageT,
    *,
    reference: ImageT,
    method: AnyMethod,
    mask: Optional[Mask] = ...,
    channel_axis: Optional[int] = ...,
    color: Optional[ColorMode] = ...,
    neighborhood_size: IntPair = ...,
    granularity: IntPair = ...,
    tail_fractions: RealPair = ...,
    intensity_variation_range: IntPair = ...,
    keep_masked_pixels: bool = ...,
    relative_counts: bool = ...,
    bit_depth: int = ...,
) -> ImageT: ...
def match_histograms(
    image: ImageT,
    reference: ImageT,
    *,
    channel_axis: Optional[int] = ...,
    mask: Optional[Mask] = ...,
    bit_depth: Optional[int] = ...,
) -> ImageT: ...
def add_clamp(a: Image, signed: Image) -> Image: ...
def sub_clamp(a: Image, b: Image, amount: int = ...) -> Image: ...
def sub_clamp_signed(a: Image, signed: Image) -> Image: ...
def masked_copy(src: Image, mask: Mask, out: Optional[Image] = ..., copy_masked: bool = ...) -> Image: ...
def masked_histogram(image: Image, mask: Optional[Mask] = ...) -> npt.NDArray[np.uint32]: ...
def masked_threshold(image: Image, mask: Mask, threshold: int) -> Image: ...
def threshold(image: Image, threshold: Optional[int] = ...) -> Image: ...
def map_value(image: Image, from_value: int, to_value: int) -> Image: ...
def smooth_3x3_diamond(image: Image) -> Image: ...
def binary_morph_3x3_diamond(image: Image, dilate: bool = ...) -> Image: ...
def expand_border(image: Image) -> Image: ...
def find_first_pel(image: Image, value: int) -> Optional[tuple[int, int]]: ...
def flood_fill(image: Image, seed: tuple[int, int], fill_value: int, in_place: bool = ...) -> Image: ...
def masked_divide(
    numerator: npt.NDArray[np.uint16], denominator: npt.NDArray[np.uint16], mask: Optional[Mask] = ..., scale: int = ...
) -> Image: ...
def buffers_equal(a: npt.NDArray[Any], b: npt.NDArray[Any]) -> bool: ...

__all__: list[str]

# Colour images (imgnorm.ColorNormalizer; normalize and match_histograms with channel_axis=).
ColorImage = Union[npt.NDArray[np.uint8], npt.NDArray[np.uint16]]
ColorMode = Literal["per-channel", "luminance"]

class ColorNormalizer:
    def __init__(
        self,
        reference: ColorImage,
        mask: Optional[Mask] = ...,
        *,
        channel_axis: int = ...,
        color: ColorMode = ...,
        bit_depth: Optional[int] = ...,
        copy: bool = ...,
        neighborhood_size: Optional[IntPair] = ...,
        granularity: Optional[IntPair] = ...,
        tail_fractions: Optional[RealPair] = ...,
        intensity_variation_range: Optional[IntPair] = ...,
        keep_masked_pixels: Optional[bool] = ...,
        relative_counts: Optional[bool] = ...,
        methods: Optional[Methods] = ...,
    ) -> None: ...
    neighborhood_size: Tuple[int, int]
    granularity: Tuple[int, int]
    tail_fractions: Tuple[float, float]
    intensity_variation_range: Tuple[int, int]
    keep_masked_pixels: bool
    relative_counts: bool
    color: ColorMode
    channel_axis: int
    @property
    def bit_depth(self) -> int: ...
    @property
    def channels(self) -> int: ...
    @property
    def reference(self) -> Optional[ColorImage]: ...
    @property
    def mask(self) -> Optional[Image]: ...
    @property
    def trained_methods(self) -> Method: ...
    def train(self, methods: Methods) -> None: ...
    def untrain(self) -> None: ...
    @overload
    def run(self, image: ColorImage, method: AnyMethod, *, raise_on_failure: Literal[True] = ...) -> ColorImage: ...
    @overload
    def run(self, image: ColorImage, method: AnyMethod, *, raise_on_failure: Literal[False]) -> RunResult: ...
    def to_bytes(self) -> bytes: ...
    @staticmethod
    def from_bytes(data: bytes, channel_axis: int = ...) -> ColorNormalizer: ...
    def copy(self) -> ColorNormalizer: ...
    def save(self, path: _Path) -> None: ...
    @staticmethod
    def load(path: _Path, channel_axis: int = ...) -> ColorNormalizer: ...
    def __eq__(self, other: object) -> bool: ...
