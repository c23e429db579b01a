// Docstrings of the extension module (numpydoc layout).
#pragma once

namespace doc {

constexpr const char* normalizer = R"(Grey-level normalization of 8- and 16-bit images against a reference.

Give the tool a reference image (and optionally a mask of the pels that
matter), set its parameters, train it for the methods you want, then run it
on run-time images, one method per run.  Each run returns a new array of
the image's dtype whose grey levels are brought into line with the
reference.

One class serves both pel types: a uint8 reference makes an 8-bit tool, a
uint16 reference a 16-bit tool (or bit_depth=9..16 without a reference),
whose pels use bit_depth significant bits (default 16; 12 for a 12-bit
camera stored in 16-bit words).  The kind is fixed when the tool is made:
images of the other dtype raise ArgumentTypeError naming both, and pels
above the depth raise BadImage.  A 16-bit tool runs the six methods
histogram to local-median (the local ones at granularity (1, 1)), has no
relative_counts, and runs on the calling thread whatever threads asks
(with the same result).  Its intensity_variation_range defaults to
+-(2^(bit_depth - 1) - 1).

Methods (names as the command-line program spells them; imgnorm.Method
gives the same values as flags):

    identity      a copy of the image
    histogram     the run-time histogram follows the reference histogram
    mean-stddev   linear map matching mean and standard deviation
    tails         linear map matching two percentiles (tail_fractions)
    linear-fit    one line fitted between run-time and reference grey levels
    local-mean    subtract the local (Gaussian) mean of the difference
    local-median  subtract the local median of the difference
    local-gain    multiply by the local gain field (flat field)
    local-linear  divide out a local gain and offset

Histogram matching compares absolute pel counts: when the run-time region
holds a different number of pels than the trained reference region (a
smaller image, a partial overlap), the table leans dark or saturates, and
run() warns (imgnorm.ImgnormWarning).  relative_counts=True compares the
cumulative histograms as fractions of their pel counts instead, so regions
of any size match; imgnorm.match_histograms does that for a pair of images.

Usage
-----
>>> import numpy as np, imgnorm
>>> reference = np.tile(np.arange(256, dtype=np.uint8), (64, 1))
>>> image = (reference // 2 + 40).astype(np.uint8)
>>> tool = imgnorm.Normalizer(reference)            # copies the reference
>>> tool.neighborhood_size = (51, 51)
>>> tool.train(["histogram", "local-mean"])          # raises CanNotTrain if it can't
>>> out = tool.run(image, "histogram")               # raises RunFailed if no mapping
>>> out.dtype, out.shape
(dtype('uint8'), (64, 256))

The result covers the overlap of the image and the reference (and the
mask), all placed at row 0, column 0.  Images are 2-D uint8 or uint16
arrays of shape (height, width) (floating-point and signed arrays are
refused with a hint on converting them; masks are uint8 or bool); any layout is accepted (slices with steps,
transposes, read-only arrays), and arrays whose rows are contiguous are
read in place without a copy.

Parameters (properties; each setter validates and raises BadParams, and
every successful change, images included, clears trained_methods):

    neighborhood_size          (width, height) of the local methods' window, >= 1
    granularity                (x, y) sub-sampling step of the local methods, >= 1
    tail_fractions             (low, high) fractions of 'tails', 0 <= low <= high <= 1
    intensity_variation_range  (low, high) grey-level limits of the local methods, low <= 0 <= high
    keep_masked_pixels         put the input's own pels back where the mask is 0
    relative_counts            'histogram' compares fractions, not counts (keeps the training)
    bit_depth                  significant bits of a 16-bit tool's pels, 9..16 (8 for an 8-bit tool)

Each can also be given to the constructor as a keyword.  set() changes the three run-time parameters and keeps the training.

Errors are exceptions derived from imgnorm.Error, with the C++ classes'
names and error numbers (BadParams, BadImage, NotTrained, CanNotTrain, ...);
bad arrays raise imgnorm.ArgumentTypeError (not an array, dtype) or
imgnorm.ArgumentError (rank, shape, empty), which are also TypeError and
ValueError.  Results are C-contiguous arrays of the image's dtype.

Normalizers compare equal when trained sets, parameters and images are
equal; copy.copy() shares the images, copy.deepcopy() and pickling go
through the archive form (to_bytes / from_bytes) and train again on load,
for both kinds of tool.
train() and run() release the GIL, so runs in a thread pool overlap.
)";

constexpr const char* init = R"(Parameters
----------
reference : 2-D uint8 or uint16 array, optional
    The reference image; its dtype chooses the 8- or 16-bit tool.
mask : 2-D uint8 or bool array, optional
    Same shape as the reference; a non-zero (True) pel selects the pel at
    its position, 0 (False) leaves it out.
copy : bool
    True (default): the tool keeps copies of the images.  False: it keeps
    views of the arrays (kept alive by the tool), so later changes to their
    pels reach the tool; arrays whose layout cannot be viewed are copied.
neighborhood_size, granularity, tail_fractions, intensity_variation_range, keep_masked_pixels, relative_counts : optional
    The parameters of the same names, set before training (None: the
    default).
bit_depth : int, optional
    Significant bits of a 16-bit tool's pels, 9 to 16 (default 16); only 8
    with a uint8 reference.  Without a reference, 9 to 16 makes a 16-bit
    tool.
methods : str, imgnorm.Method, int or iterable of these, optional
    When given, the tool is trained for them at once.
)";

constexpr const char* neighborhoodSize =
    "(width, height) in pels of the local methods' neighbourhood; both >= 1 (default (101, 101)).\n"
    "Setting one int sets both.  Raises BadParams for a value below 1.";
constexpr const char* granularity =
    "(x, y) sub-sampling step of the local methods; both >= 1 (default (1, 1)).\n"
    "Setting one int sets both.  Raises BadParams for a value below 1.";
constexpr const char* tailFractions =
    "(low, high) fractions of the 'tails' method: 0 <= low <= high <= 1 (default (0.0, 1.0)).\n"
    "Raises BadParams otherwise.";
constexpr const char* intensityVariationRange =
    "(low, high) grey-level limits of the local methods' difference: low <= 0 <= high (default (-127, 127)).\n"
    "Raises BadParams otherwise.";
constexpr const char* keepMaskedPixels =
    "Whether run() puts the input's own pels back where the mask is 0 (default False).";
constexpr const char* relativeCounts =
    "Whether 'histogram' compares the cumulative histograms as fractions of their pel counts\n"
    "(True) instead of as absolute counts (False, the default), so that an image region of\n"
    "another size than the reference's matches too.  Changing it keeps the training; it is\n"
    "stored in tool files and archives.";
constexpr const char* reference =
    "The reference image as a read-only uint8 array (None when not set).  Assigning copies the\n"
    "array; use set_reference(image, copy=False) to keep a view instead.  Assigning None removes it.";
constexpr const char* mask =
    "The mask as a read-only uint8 array (None when not set).  Assigning copies the array;\n"
    "use set_mask(image, copy=False) to keep a view.  Assigning None removes the mask.";
constexpr const char* bitDepth =
    "Significant bits of the pels: 9 to 16 for a 16-bit tool (default 16; setting it clears the training\n"
    "and raises BadParams outside 9..16), 8 for an 8-bit tool (which takes no other value).";
constexpr const char* setReference = R"(Sets the reference image.  copy=False keeps a view of the array (kept
alive by the tool; later changes to its pels reach the tool); arrays whose
layout cannot be viewed are copied all the same.  None removes it.
Clears trained_methods.)";
constexpr const char* setMask = R"(Sets the mask, as set_reference().  None removes the mask.  Clears
trained_methods.)";
constexpr const char* set = R"(Changes the three run-time parameters and keeps the training.  Raises
BadParams for invalid values; when only intensity_variation_range is bad,
the new tail_fractions stay stored and the tool is untrained.)";
constexpr const char* train = R"(Trains the tool for a set of methods.  Training a local method ends with
one run of it on the reference (result discarded), so that the calling
thread's first run costs what later runs do.

Parameters
----------
methods : str, imgnorm.Method, int or iterable of these
    Names (those of imgnorm.METHODS: 'histogram', 'local-mean', ...) or
    flags; an iterable trains for all of them.

Raises
------
CanNotTrain
    Unknown method bits, no reference image, or an empty reference histogram
    under the mask for a histogram method (the other methods then stay
    trained).
BadParams
    Parameters loaded from an archive that the setters would refuse.
ValueError
    Unknown method name, or a mask whose shape differs from the reference.

The GIL is released while training.)";
constexpr const char* trainedMethods = "The set of trained methods as an imgnorm.Method flag (Method(0): none).";
constexpr const char* untrain =
    "Returns every parameter and image to its default and forgets the training (a 16-bit tool stays\n"
    "16-bit, its bit_depth back at 16).";
constexpr const char* run = R"(Normalizes one image by one method.

Parameters
----------
image : 2-D uint8 or uint16 array (the tool's pel type)
    The run-time image, any layout (read in place when its rows are
    contiguous; never written).
method : str or imgnorm.Method
    Exactly one method.
raise_on_failure : bool
    True (default): a mapping that cannot be built raises RunFailed with the
    tool's message.  False: returns a RunResult(image, success, message)
    instead of the array, whatever the outcome.
threads : int
    Threads the run is split over (bands of rows; >= 1, else BadParams;
    at most 1024, else ArgumentError);
    the result is the same for any number.  Default 1.  A 16-bit tool
    runs on the calling thread whatever the number.

Returns
-------
numpy.ndarray
    A new C-contiguous array of the image's dtype over the overlap of the
    image, the reference and the mask (all at row 0, column 0).  An empty
    overlap gives a (0, 0) array.

Raises
------
BadParams
    Unknown method or more than one method.
NotTrained
    The tool was not trained for the method.
RunFailed
    A histogram method found no pels to count or could not build its table.
BadImage
    A 16-bit image's overlap holds a pel above bit_depth.
NotImplementedByTool
    A method a 16-bit tool does not run.
TypeError, ValueError
    The image is not a non-empty 2-D array of the tool's pel type.

The GIL is released while running, so runs from several threads overlap.)";
constexpr const char* toBytes =
    "The archive form: parameters, both images and the trained set (what pickling stores).";
constexpr const char* fromBytes = R"(A normalizer loaded from its archive form, trained again for the stored
set; pel_bits says which tool's form data holds: 8 (default) or 16 (the
16-bit tool, whose form records its bit depth).  Raises Truncated, BadData or UnknownVersion for corrupted bytes, and
CanNotTrain when the stored images cannot be trained for the stored set.)";
constexpr const char* copy =
    "A copy sharing the images' pels (as the C++ copy does); trained state included.";

constexpr const char* subClamp = R"(128 + clamp(a - b, -c, c) with c = min(amount, 127): the difference in
offset-128 form (128 is zero), limited to +-c.  a and b are uint8 arrays of
one shape; the result is a new array (mf_PelSubClamp).)";
constexpr const char* subClampSigned = R"(clamp(a - (signed - 128), 0, 255): subtracts an offset-128 signed image
(mf_PelSubClampSigned).  A new array.)";
constexpr const char* addClamp = R"(clamp(a + (signed - 128), 0, 255): adds an offset-128 signed image
(mf_PelAddClamp); undoes sub_clamp_signed wherever that did not clamp.)";
constexpr const char* maskedCopy = R"(Copies src where the mask is non-zero (copy_masked=True: where it is 0) into
out, in place, and returns out; without out, into a new zero-filled array
(mf_MaskedPelCopy).  src, mask and out have one shape.)";
constexpr const char* maskedHistogram = R"(The 256-bin uint32 histogram of the pels whose mask pel is non-zero (all
pels without a mask) (mf_MaskedPelHistogram).)";
constexpr const char* maskedThreshold = R"(255 where the mask is non-zero and image >= threshold, else 0
(mf_MaskedPelThreshold).)";
constexpr const char* threshold = R"(255 where image >= threshold, else 0; with threshold None the level is
chosen from the histogram by within-group variance (Otsu) (mf_PelThreshold).)";
constexpr const char* mapValue = R"(A copy of image with every pel equal to from_value set to to_value
(mf_PelMapValue).)";
constexpr const char* smooth = R"(Each pel becomes floor((4 x centre + sum of its in-image edge neighbours) /
(4 + their count)) (mf_PelSmooth3x3Diamond).  A new array.)";
constexpr const char* morph = R"(Dilation (OR) or erosion (AND) of each pel with its in-image edge
neighbours; exact for images of 0 and 255 (mfBinaryMorph3x3Diamond).)";
constexpr const char* expandBorder = R"(A new array one pel larger on every side, the frame filled by replicating
the nearest edge pel (mf_ExpandByDuplicatingBorderPixels).)";
constexpr const char* findFirstPel = R"(The first pel equal to value in raster order (mf_FindFirstPel).)";
constexpr const char* floodFill = R"(Sets to fill_value every pel equal to the seed pel's value and 8-connected
to seed = (row, column) through such pels (mf_FloodFill).  Returns a new
array, or with in_place=True writes the (writable, row-contiguous) image
itself and returns it.  Raises PelFuncBadParams when the seed lies outside
the image or its pel already equals fill_value.)";
constexpr const char* maskedDivide = R"(Low 8 bits of (numerator * scale + denominator / 2) / denominator in 32-bit
unsigned arithmetic, where the mask is non-zero (everywhere without one);
0 elsewhere.  numerator and denominator are uint16 arrays of one shape
(mf_MaskedPelDivide).  Raises PelFuncBadParams for a selected zero
denominator.)";
constexpr const char* buffersEqual = R"(True when two uint8 (or two uint32) arrays have one shape and equal pels
(mf_PelBufferEqual).)";

}  // namespace doc
