"""imgnorm on Dask: arrays larger than memory, and batches of files on a cluster.

normalize_array(tool, image, method)
    A 2-D uint8 or uint16 dask array (or a colour array with a
    ColorNormalizer) normalized chunk by chunk, giving the pels of
    ``tool.run`` on the whole array.  Local methods (kind 'local' in
    imgnorm.METHODS) run each chunk with a halo of context through
    ``map_overlap`` (the halo that ``halo(tool, method)`` gives); global
    methods add up per-chunk statistics (the masked histogram, or the linear
    fit's pair counts: exact integers) in a reduction, build the one table
    and map every chunk through it with ``map_blocks``.

normalize_files(tool, paths, method, out_dir, client=None)
    A batch of image files on a ``dask.distributed`` cluster: the tool is
    sent to each worker once, each task reads, normalizes and writes several
    files (under a temporary name, renamed when complete), and a report per file
    says what happened; a file that fails, or whose worker dies, does not
    stop the others.

Every step runs the C++ block engine (imgnorm/mxBlockNormalizer.h), the
same code as the command-line program's streaming path.
"""

import logging
import math
import os
import re
import stat
import threading
import uuid

import numpy as np

from . import _imgnorm
from ._types import METHODS, RunFailed, RunResult

__all__ = ["normalize_array", "normalize_files", "halo", "read_image", "write_image"]

# Each method's kind by its name and by its flag.
_KIND = {key: m.kind for m in METHODS for key in (m.name, m.flag)}


def _kind(method):
    try:
        return _KIND.get(method)
    except TypeError:  # unhashable: the engine refuses it with its own error
        return None


def halo(tool, method):
    """Pels of context ``(x, y)`` a local method reads on each side of a chunk
    ((0, 0) for the global methods): the neighbourhood's reach on the working
    grid, rounded up to a multiple of the granularity."""
    return tuple(_imgnorm._block_halo(tool, method))


def _starts(sizes):
    return tuple(int(s) for s in np.concatenate([[0], np.cumsum(sizes)[:-1]])) if sizes else ()


def _aligned(sizes, step, least):
    """Chunk sizes along one axis whose boundaries fall on multiples of step
    and that are at least `least` long (the last one may be shorter only when
    the whole axis is)."""
    total = sum(sizes)
    bounds, pos = [], 0
    for s in sizes:
        pos += s
        b = -(-pos // step) * step
        if b < total and (not bounds or b > bounds[-1]):
            bounds.append(b)
    bounds.append(total)
    out, prev = [], 0
    for b in bounds:
        if out and b - prev < least:
            out[-1] += b - prev
        elif b > prev:
            out.append(b - prev)
        prev = b
    if len(out) > 1 and out[0] < least:
        out[1] += out[0]
        out = out[1:]
    return tuple(out)


def _check_chunks(chunks, granularity, depth, realign, method):
    """The chunking a local method needs: boundaries on the granularity grid
    and chunks no smaller than the halo.  Realigned when asked, else refused."""
    wanted = tuple(_aligned(c, g, d) for c, g, d in zip(chunks, granularity, depth))
    if wanted == tuple(chunks):
        return chunks
    if realign:
        return wanted
    raise ValueError(
        "chunks %s do not suit %s: chunk boundaries must fall on multiples of the granularity (y, x) = %s "
        "and chunks must be at least the halo (y, x) = %s; rechunk to e.g. %s or pass realign=True"
        % (tuple(chunks), method, tuple(granularity), tuple(depth), wanted)
    )


def _local_chunk(context, tool=None, method=None, origin=None, starts=None, sizes=None, reach=None,
                 block_info=None):
    # The chunk's block and where its context (the block with the halo,
    # cut at the array's edges) starts, in image coordinates.
    i, j = block_info[0]["chunk-location"]
    by, bx = origin[1] + starts[0][i], origin[0] + starts[1][j]
    cy, cx = max(by - reach[0], origin[1]), max(bx - reach[1], origin[0])
    out = _imgnorm._block_run_local(tool, context, cx, cy, method, (bx, by, sizes[1][j], sizes[0][i]))
    return np.ascontiguousarray(out)


def _totals_chunk(block, tool=None, method=None, window=None, starts=None, block_info=None):
    i, j = block_info[0]["chunk-location"]
    totals = _imgnorm._block_totals(tool, block, window[0] + starts[1][j], window[1] + starts[0][i], method, window)
    return totals[None, None, :]


def _table(tool, method, totals):
    table, message = _imgnorm._block_table(tool, method, totals)
    if table is None:
        raise RunFailed(message, RunResult(None, False, message))
    return table


def _map_chunk(block, tool=None, table=None, window=None, starts=None, block_info=None):
    i, j = block_info[0]["chunk-location"]
    return _imgnorm._block_map(tool, block, window[0] + starts[1][j], window[1] + starts[0][i], table)


def normalize_array(tool, image, method, *, realign=True):
    """Normalizes a 2-D uint8 or uint16 dask array (or anything
    dask.array.asarray takes) with a trained Normalizer, or a colour array
    with a trained ColorNormalizer; returns a lazy dask array.

    The computed result equals ``tool.run(image.compute(), method)`` pel for
    pel: it covers the overlap of the array (its first pel at (0, 0)) with the
    reference and mask.  The array's dtype is the tool's: uint8 for an 8-bit
    Normalizer, uint16 for a 16-bit one (its bit_depth carried: pels above
    it raise BadImage when computed, as run() refuses them).  Any chunking
    works for the global methods.  For the local methods chunk boundaries
    must fall on multiples of the granularity and chunks must be at least
    the halo (``halo(tool, method)``): with ``realign=True`` (the default)
    the array is rechunked to the nearest such chunking, with
    ``realign=False`` a ValueError says what is needed.

    A colour array has its channels (3 or 4) on the tool's channel_axis;
    that axis is rechunked to one chunk.  'per-channel' runs each colour
    plane through the tool's grey tool of that channel, chunk by chunk, and
    passes alpha through; 'luminance' makes the luma plane chunk by chunk,
    runs it through the luma's grey tool, and moves each pel's channels by
    the luma's change, as ColorNormalizer.run does.

    The graph holds a copy of the tool taken here: changing or retraining
    the tool afterwards does not change what the graph computes.

    A global method whose table cannot be built (e.g. 'mean-stddev' on a
    uniform image) raises imgnorm.RunFailed when the result is computed; a
    method the tool was not trained for raises at once, as Normalizer.run.
    """
    import dask.array as da

    if not isinstance(image, da.Array):
        image = da.asarray(image)
    if isinstance(tool, _imgnorm.ColorNormalizer):
        return _normalize_color(tool, image, method, realign)
    if image.ndim != 2:
        raise ValueError("image must be a 2-D array (height, width), got %d-D of shape %s" % (image.ndim, image.shape))
    depth = tool.bit_depth
    dtype = np.dtype(np.uint16 if depth > 8 else np.uint8)
    if image.dtype != dtype:
        raise TypeError("image must be a %s array for this %d-bit Normalizer, got dtype %s"
                        % (dtype, 16 if depth > 8 else 8, image.dtype))
    if 0 in image.shape:
        raise ValueError("image must not be empty, got shape %s" % (image.shape,))
    # Halos and windows are worked out now, so the chunks must run the tool as
    # it is now: a copy (its images' pels are shared, not copied; training
    # makes new ones).
    return _normalize_grey(tool.copy(), image, method, realign, depth)


def _normalize_grey(tool, image, method, realign, depth):
    """normalize_array for a Normalizer (already copied) and a 2-D array of its dtype."""
    import dask
    import dask.array as da

    dtype = image.dtype
    height, width = (int(s) for s in image.shape)
    window = _imgnorm._block_window(tool, method, width, height)
    if window is None:
        return da.zeros((0, 0), dtype=dtype)
    x0, y0, w, h = window
    x = image[y0 : y0 + h, x0 : x0 + w]
    # The copy enters the graph once, under one key: each worker gets it once.
    tool_d = dask.delayed(tool, name="imgnorm-tool-" + uuid.uuid4().hex, traverse=False)
    meta = np.empty((0, 0), dtype)
    if _kind(method) == "copy":
        return x.map_blocks(np.copy, dtype=dtype, meta=meta)

    if _kind(method) == "local":
        hx, hy = halo(tool, method)
        gx, gy = tool.granularity
        chunks = _check_chunks(x.chunks, (gy, gx), (hy, hx), realign, method)
        if chunks != x.chunks:
            x = x.rechunk(chunks)
        return x.map_overlap(
            _local_chunk,
            depth={0: hy, 1: hx},
            boundary="none",
            trim=False,
            dtype=dtype,
            meta=meta,
            chunks=x.chunks,
            tool=tool_d,
            method=method,
            origin=(x0, y0),
            starts=(_starts(x.chunks[0]), _starts(x.chunks[1])),
            sizes=x.chunks,
            reach=(hy, hx),
        )

    starts = (_starts(x.chunks[0]), _starts(x.chunks[1]))
    n = _imgnorm._block_totals_size(method, depth)
    totals = x.map_blocks(
        _totals_chunk,
        dtype=np.uint64,
        new_axis=2,
        chunks=((1,) * len(x.chunks[0]), (1,) * len(x.chunks[1]), (n,)),
        meta=np.empty((0, 0, 0), np.uint64),
        tool=tool_d,
        method=method,
        window=window,
        starts=starts,
    ).sum(axis=(0, 1), dtype=np.uint64)
    table = dask.delayed(_table)(tool_d, method, totals)
    return x.map_blocks(_map_chunk, dtype=dtype, meta=meta, tool=tool_d, table=table, window=window, starts=starts)


def _normalize_color(tool, image, method, realign):
    """normalize_array for a ColorNormalizer: the grey path per plane."""
    import dask
    import dask.array as da

    if image.ndim != 3:
        raise ValueError("a colour image must be a 3-D array with its channels on channel_axis %d, got shape %s"
                         % (tool.channel_axis, image.shape))
    depth = tool.bit_depth
    dtype = np.dtype(np.uint16 if depth > 8 else np.uint8)
    if image.dtype != dtype:
        raise TypeError("image must be a %s array for this %d-bit ColorNormalizer, got dtype %s"
                        % (dtype, 16 if depth > 8 else 8, image.dtype))
    axis = tool.channel_axis
    x = da.moveaxis(image, axis, -1)
    x = x.rechunk({2: -1})
    if x.shape[2] not in (3, 4) or 0 in x.shape:
        raise ValueError("a colour image must have 3 or 4 channels on channel_axis %d and no empty axis, got shape %s"
                         % (axis, image.shape))
    if _kind(method) == "copy":
        return image.map_blocks(np.copy, dtype=dtype)
    tool = tool.copy()
    greys = tool._grey_tools()
    if not greys:  # not trained: the colour tool says so
        tool.run(np.zeros((1, 1, x.shape[2]), dtype), method)
    height, width = int(x.shape[0]), int(x.shape[1])
    window = _imgnorm._block_window(greys[0], method, width, height)
    if window is None:
        return da.moveaxis(da.zeros((0, 0, x.shape[2]), dtype=dtype), -1, axis)
    x0, y0, w, h = window
    meta = np.empty((0, 0, 0), dtype)
    if tool.color == "per-channel":
        planes = [_normalize_grey(g, x[:, :, k], method, realign, depth) for k, g in enumerate(greys)]
        planes = [p.rechunk(planes[0].chunks) for p in planes]
        if x.shape[2] == 4:
            planes.append(x[y0 : y0 + h, x0 : x0 + w, 3].rechunk(planes[0].chunks))
        out = da.stack(planes, axis=-1)
    else:
        tool_d = dask.delayed(tool, name="imgnorm-color-tool-" + uuid.uuid4().hex, traverse=False)
        # The luma of the overlap's pels (the colour run checks and moves
        # only those), padded with 0 to the image's size for the grey path,
        # which cuts it to the same overlap.
        x = x[y0 : y0 + h, x0 : x0 + w]
        luma = x.map_blocks(_luma_chunk, drop_axis=2, dtype=dtype, meta=np.empty((0, 0), dtype), tool=tool_d)
        padded = da.pad(luma, ((y0, height - y0 - h), (x0, width - x0 - w)), mode="constant")
        new = _normalize_grey(greys[0], padded, method, realign, depth)
        x, luma = x.rechunk(new.chunks + (x.shape[2],)), luma.rechunk(new.chunks)
        # (The planes get a channel axis of one, so that blocks pair up by
        # position rather than by trailing axes.)
        out = da.map_blocks(_merge_chunk, x, luma[:, :, None], new[:, :, None], dtype=dtype, meta=meta, tool=tool_d)
    return da.moveaxis(out, -1, axis)


def _luma_chunk(block, tool=None):
    return tool._luma_chunk(block)


def _merge_chunk(block, luma, new, tool=None):
    return tool._merge_luma_chunk(block, luma[:, :, 0], new[:, :, 0])


# ---- batches of files ----

_KNOWN_TYPES = "known: .npy, .tif, .tiff, .png, .pgm"


def _file_kind(mode):
    """What a file of this mode is, in words (as the command-line program says it)."""
    for test, word in ((stat.S_ISREG, "file"), (stat.S_ISDIR, "folder"), (stat.S_ISFIFO, "FIFO"),
                       (stat.S_ISCHR, "character device"), (stat.S_ISBLK, "block device"), (stat.S_ISSOCK, "socket")):
        if test(mode):
            return word
    return "special file"


def _open_regular(path):
    """path opened for binary reading; ValueError unless it is a regular file
    (a FIFO would block the read, a device would never end).  Opened without
    blocking and checked on the open file, so nothing can be swapped in
    between the check and the read."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise ValueError("%s: is a %s, not a regular file" % (path, _file_kind(mode)))
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


class _ThreadWarnings(logging.Handler):
    """The messages a logger gives on the calling thread (worker threads read
    files side by side)."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.thread, self.messages = threading.get_ident(), []

    def emit(self, record):
        if record.thread == self.thread:
            self.messages.append(record.getMessage())


def _read_tiff(path, f):
    """The image of a single-page TIFF file.  tifffile logs what it cannot
    parse and goes on; a file in which it finds no image is refused with what
    it logged, instead of the empty array it returns.  A file of several pages
    is refused: its result would be written as one page, and in place the
    other pages would be lost."""
    import tifffile

    log, warnings = logging.getLogger("tifffile"), _ThreadWarnings()
    log.addHandler(warnings)
    try:
        with tifffile.TiffFile(f, name=os.path.basename(path)) as tif:
            if not tif.series:
                reasons = "".join("; " + m for m in warnings.messages)
                raise ValueError("%s: no image in the TIFF file%s" % (path, reasons))
            if len(tif.pages) > 1:
                raise ValueError("%s: a TIFF file of %d pages; only single-page files are read" % (path, len(tif.pages)))
            return tif.asarray()
    finally:
        log.removeHandler(warnings)


def read_image(path):
    """Reads a 2-D uint8 image: .npy (numpy), .tif/.tiff (tifffile, Debian's
    python3-tifffile), .png/.pgm (Pillow, python3-pil).  Only regular files,
    single-page TIFFs and grey PNGs (bilevel and grey palettes expanded to
    their levels) are read; anything else raises ValueError naming the file."""
    ext = os.path.splitext(path)[1].lower()
    if ext == ".npy":
        return _ReadBuffer().read_npy(path)
    if ext not in (".tif", ".tiff", ".png", ".pgm"):
        raise ValueError("%s: unknown image type (%s)" % (path, _KNOWN_TYPES))
    with _open_regular(path) as f:
        if ext in (".tif", ".tiff"):
            return _read_tiff(path, f)
        from PIL import Image

        with Image.open(f) as im:
            return np.asarray(_grey(path, im))


def _grey(path, im):
    """A Pillow image of one grey channel as mode L: bilevel and grey-palette
    images are expanded to their grey levels (a palette's indices are not
    grey levels); a palette with colours or transparency is refused."""
    if im.mode == "1":
        return im.convert("L")
    if im.mode == "P":
        rgb = im.getpalette("RGB") or []
        if not rgb or "transparency" in im.info or rgb[0::3] != rgb[1::3] or rgb[1::3] != rgb[2::3]:
            raise ValueError("%s: a palette image with colours or transparency; only grey images are read" % path)
        return im.convert("L")
    return im


def write_image(path, image):
    """Writes a 2-D uint8 image in the format its name asks for (as read_image)."""
    ext = os.path.splitext(path)[1].lower()
    if ext == ".npy":
        with open(path, "wb") as f:
            np.save(f, image, allow_pickle=False)
    elif ext in (".tif", ".tiff"):
        import tifffile

        tifffile.imwrite(path, image)
    elif ext in (".png", ".pgm"):
        from PIL import Image

        Image.fromarray(image).save(path, format="PNG" if ext == ".png" else "PPM")
    else:
        raise ValueError("%s: unknown image type (%s)" % (path, _KNOWN_TYPES))


_TEMP_TAG = ".imgnorm-part-"
# Seconds a batch waits for a cluster without workers before it reports the
# files left as not done.
_NO_WORKERS_WAIT = 60


def _temporary(target):
    """A fresh name beside target for writing it.  The stem is cut so that
    the name stays short whatever the target's length."""
    folder, name = os.path.split(target)
    stem, ext = os.path.splitext(name)
    return os.path.join(folder, "." + stem[:32] + _TEMP_TAG + uuid.uuid4().hex[:16] + ext)


# The header np.save writes for a 2-D C-order uint8 array (version 1.0).
# numpy's own parser tokenizes every header, which costs about as much as
# reading a megabyte; other headers still go through it.
_PLAIN_HEADER = re.compile(rb"\{'descr': '\|u1', 'fortran_order': False, 'shape': \((\d{1,9}), (\d{1,9})\), \} *\n")


def _plain_header(f):
    """The shape of a .npy file at f whose header is the plain 2-D uint8 one,
    f then at its data; None otherwise."""
    head = f.read(10)
    if len(head) < 10 or head[:8] != b"\x93NUMPY\x01\x00":
        return None
    match = _PLAIN_HEADER.fullmatch(f.read(int.from_bytes(head[8:10], "little")))
    return (int(match[1]), int(match[2])) if match else None


def _numpy_header(f):
    """(shape, fortran order, dtype) of a .npy file at f by numpy's parser, f
    then at its data; None for a header numpy does not parse."""
    fmt = np.lib.format
    try:
        version = fmt.read_magic(f)
        if version == (1, 0):
            return fmt.read_array_header_1_0(f)
        if version == (2, 0):
            return fmt.read_array_header_2_0(f)
    except ValueError:
        pass
    return None


class _ReadBuffer:
    """One buffer that the .npy files of a task are read into, one after the
    other.  A fresh array per file costs more than reading it on a Dask
    worker: the workers free large blocks back to the system at once
    (MALLOC_TRIM_THRESHOLD_), so every new array is new memory whose pages
    fault in one by one as the file is copied in."""

    def __init__(self):
        self.pels = np.empty(0, np.uint8)

    def read_npy(self, path):
        """A 2-D C-order uint8 .npy file read into the buffer (valid until the
        next read); any other .npy goes through np.load and its checks.  A
        file shorter than its header claims is refused before anything is
        allocated for the claim."""
        with _open_regular(path) as f:
            shape, plain = _plain_header(f), True
            if shape is None:
                f.seek(0)
                header = _numpy_header(f)
                if header is None:
                    f.seek(0)
                    return np.load(f, allow_pickle=False)  # refused with numpy's reason
                shape, fortran, dtype = header
                plain = len(shape) == 2 and not fortran and dtype == np.uint8
            size = math.prod(shape) * (1 if plain else dtype.itemsize)
            there = os.fstat(f.fileno()).st_size - f.tell()
            if there < size:
                raise ValueError("%s: truncated .npy file: %d of its %d data bytes" % (path, max(there, 0), size))
            if not plain:
                f.seek(0)
                return np.load(f, allow_pickle=False)
            if self.pels.size < size:
                self.pels = np.empty(size, np.uint8)
            image = self.pels[:size]
            got = f.readinto(memoryview(image))
        if got != size:
            raise ValueError("%s: truncated .npy file: %d of its %d data bytes" % (path, got, size))
        return image.reshape(shape)


def _replace(temporary, target, old, write):
    """Writes target through temporary (write(temporary)) and renames it over
    target.  A file it replaces (old, its os.stat) keeps its mode, and its
    owner and group where this process may set them; the new pels are never
    readable by more users than the old ones.  A new file gets the umask's
    mode, as any file the process creates."""
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600 if old else 0o666)
    os.close(fd)
    try:
        write(temporary)
        if old:
            mine = os.stat(temporary)
            if (mine.st_uid, mine.st_gid) != (old.st_uid, old.st_gid):
                for uid in (old.st_uid, -1):  # the owner needs privileges; the group only membership
                    try:
                        os.chown(temporary, uid, old.st_gid)
                        break
                    except OSError:
                        pass
            os.chmod(temporary, stat.S_IMODE(old.st_mode))
        os.replace(temporary, target)
    finally:
        if os.path.lexists(temporary):
            os.remove(temporary)


def _normalize_file(tool, path, method, output, reader, writer, buffer=None, temporary=None):
    """One file: read, run, write under a temporary name and rename (onto the
    target of a symbolic link, which stays).  Returns the file's report;
    never raises for the file's own problems."""
    report = {"path": path, "output": None, "status": "error", "message": ""}
    try:
        try:
            if reader is None and buffer is not None and path.lower().endswith(".npy"):
                image = buffer.read_npy(path)
            else:
                image = (reader or read_image)(path)
        except Exception as e:  # the reader's own reason, with the file's name
            text = str(e)
            report["message"] = "%s: %s" % (type(e).__name__, text if path in text else "%s: %s" % (path, text))
            return report
        result = tool.run(image, method, raise_on_failure=False)
        if not result.success:
            report.update(status="soft failure", message=result.message)
            return report
        target = os.path.realpath(output)
        try:
            old = os.stat(target)
        except FileNotFoundError:
            old = None
        if old and not stat.S_ISREG(old.st_mode):
            raise ValueError("%s: is a %s, not a regular file; not replaced" % (output, _file_kind(old.st_mode)))
        _replace(temporary or _temporary(target), target, old, lambda t: (writer or write_image)(t, result.image))
        report.update(status="ok", output=output)
    except Exception as e:  # the file's error goes into its report
        report["message"] = "%s: %s" % (type(e).__name__, e)
    return report


def _normalize_batch(tool, items, method, reader, writer, buffer=None):
    """Several files in one task, one after the other: the reports, in order."""
    buffer = buffer or _ReadBuffer()
    return [_normalize_file(tool, path, method, output, reader, writer, buffer, temporary)
            for path, output, temporary in items]


class _ToolOnWorkers:
    """A worker plugin that holds the tool of one batch on every worker.  The
    client pickles it once, the scheduler hands the bytes to every worker at
    once (and to any worker that starts, or is restarted, during the batch),
    and each worker unpickles (trains) the tool once.  A scattered and
    broadcast tool would instead go to one worker and be copied from there
    to the next, one after the other, before the first file could start."""

    def __init__(self, tool):
        self.tool = tool

    def __getstate__(self):
        return {"tool": self.tool}

    def read_buffer(self):
        """The read buffer of the calling worker thread, kept for the whole
        batch: a buffer per task would be fresh memory for every task, and a
        fresh page costs about 10 us to fault in on some virtual machines
        (about 0.7 ms per 2048 x 2048 image at 16 files per task)."""
        buffers = self.__dict__.setdefault("buffers", {})
        return buffers.setdefault(threading.get_ident(), _ReadBuffer())


def _normalize_batch_on_worker(plugin, items, method, reader, writer):
    from distributed import get_worker

    holder = get_worker().plugins.get(plugin)
    if holder is None:
        raise RuntimeError("the tool of this batch is not on worker %s" % get_worker().address)
    return _normalize_batch(holder.tool, items, method, reader, writer, holder.read_buffer())


def _batches(files, slots, files_per_task=None):
    """The files (index ranges) of each task, in the order submitted, for a
    cluster that runs `slots` tasks at once (its worker threads).  By
    default a task takes up to 16 files, so that the scheduler's and the
    worker's cost per task (a few ms) stays small beside the files' own, and
    half of a slot's share of the files left, so that the last tasks
    are small and the slots finish together."""
    out, start = [], 0
    while start < files:
        size = files_per_task or max(1, min(16, (files - start) // (2 * max(1, slots))))
        out.append(range(start, min(start + size, files)))
        start += size
    return out


def _identity(path):
    """What path names: the file (device, inode) when it exists, else the
    resolved path."""
    try:
        st = os.stat(path)
    except OSError:
        return ("path", os.path.realpath(path))
    return (st.st_dev, st.st_ino)


def _check_outputs(paths, outputs, in_place):
    """Refuses, before any work, an output that is one of the inputs (unless
    in_place), two inputs written to one file, and an existing output that
    is not a regular file."""
    inputs = {}
    for p in paths:
        inputs.setdefault(_identity(p), p)
    written = {}
    for path, output in zip(paths, outputs):
        key = _identity(output)
        if key in inputs and not in_place:
            raise ValueError("%s: the output would overwrite the input %s; choose another out_dir, or pass "
                             "in_place=True" % (output, inputs[key]))
        if key in written:
            raise ValueError("%s: both %s and %s would be written there" % (output, written[key], path))
        written[key] = path
        if key[0] != "path":
            mode = os.stat(output).st_mode
            if not stat.S_ISREG(mode):
                raise ValueError("%s: is a %s, not a regular file; it is not replaced" % (output, _file_kind(mode)))


def normalize_files(tool, paths, method, out_dir, client=None, *, reader=None, writer=None, files_per_task=None,
                    in_place=False):
    """Normalizes image files on a dask.distributed cluster.

    tool: a trained Normalizer, sent to every worker once (pickled through
    its archive form, as a worker plugin that the scheduler holds for the
    batch) and kept there for all of its files.  paths: the input
    files; each result goes to out_dir under the input's file name (two inputs
    with one name are refused).  client: a distributed.Client; None uses the
    current client (distributed.get_client()), or runs in this process when
    there is none.  reader/writer: functions path -> array and (path, array)
    -> None for other formats (default: read_image / write_image).
    files_per_task: how many files one Dask task normalizes, one after the
    other (default: up to 16, fewer towards the end of the batch so that the
    workers finish together).  in_place: let results replace their inputs
    (out_dir the inputs' folder); without it such a batch is refused before
    any work, as is one whose outputs would be the same file twice, or an
    existing output that is not a regular file.  The default reader reads
    regular files only.

    An output that replaces a file keeps that file's mode (and its owner and
    group where the process may set them); one that names a symbolic link
    replaces the link's target and the link stays.  A replaced file that has
    other hard links is a new file: the other names keep the old pels.

    Returns one report per path, in the order given: a dict with 'path',
    'output' (None unless written), 'status' ('ok', 'soft failure' when the
    tool could not build its mapping, 'error') and 'message'.  A failing file,
    or one whose worker died (after the scheduler's retries), is reported and
    the others go on; when the cluster has had no worker for a minute, the
    files not done yet are reported so.  No output is ever left half-written
    under its final name, and the temporaries of files that were not
    completed are removed.
    """
    names = [os.path.basename(p) for p in paths]
    if len(set(names)) != len(names):
        dup = sorted(n for n in set(names) if names.count(n) > 1)
        raise ValueError("inputs share output names in %s: %s" % (out_dir, ", ".join(dup)))
    if files_per_task is not None and (type(files_per_task) is not int or files_per_task < 1):
        raise ValueError("files_per_task must be a positive integer, got %r" % (files_per_task,))
    outputs = [os.path.join(out_dir, n) for n in names]
    _check_outputs(paths, outputs, in_place)
    os.makedirs(out_dir, exist_ok=True)
    # Every temporary name handed out, by file: those left by a task that did
    # not finish are removed at the end, and nothing else.
    temporaries = [[] for _ in paths]

    def items(indices):
        out = []
        for i in indices:
            temporaries[i].append(_temporary(os.path.realpath(outputs[i])))
            out.append((paths[i], outputs[i], temporaries[i][-1]))
        return out

    if client is None:
        try:
            from distributed import get_client

            client = get_client()
        except (ImportError, ValueError):
            client = None
    if client is None:
        reports = _normalize_batch(tool, items(range(len(paths))), method, reader, writer)
    else:
        from distributed import TimeoutError as DaskTimeoutError

        info = client.scheduler_info()["workers"]
        workers = len(info)
        # Tasks run at once: one per worker thread.
        slots = sum(w.get("nthreads", 1) for w in info.values())
        plugin = "imgnorm-tool-" + uuid.uuid4().hex
        client.register_worker_plugin(_ToolOnWorkers(tool), name=plugin)

        def submit(indices):
            return client.submit(_normalize_batch_on_worker, plugin, items(indices), method, reader, writer,
                                 pure=False)

        def not_done(indices, why):
            for i in indices:
                reports[i] = {"path": paths[i], "output": None, "status": "error", "message": "not done: " + why}

        def collect(futures, lost):
            """Takes the tasks' reports; the files of a task whose worker died
            go to `lost`.  Returns False, the files left reported as not
            done, when the cluster had no worker for a minute (its nannies
            gave up, or there were none): their tasks would wait forever."""
            futures, idle = list(futures.items()), 0
            for k, (future, indices) in enumerate(futures):
                while True:
                    try:
                        results = future.result(timeout=5)
                    except DaskTimeoutError:
                        idle = 0 if client.scheduler_info()["workers"] else idle + 5
                        if idle < _NO_WORKERS_WAIT:
                            continue
                        client.cancel([f for f, _ in futures[k:]])
                        for _, left in futures[k:]:
                            not_done(left, "no worker left in the cluster to run it")
                        return False
                    except Exception as e:  # the worker died (KilledWorker) or the task was lost
                        lost.extend(indices)
                        not_done(indices, "%s: %s" % (type(e).__name__, e))
                    else:
                        for i, report in zip(indices, results):
                            reports[i] = report
                    break
            return True

        reports = [None] * len(paths)
        try:
            lost = []
            collect({submit(b): b for b in _batches(len(paths), slots, files_per_task)}, lost)
            # A dying worker takes down every task it held, not only the one
            # that killed it, and every file of those tasks: those files are
            # tried again one at a time, so that only a file that kills its
            # worker on its own is reported so.
            again = lost
            for i in sorted(lost):
                if again:  # a worker died: the nannies restart it, with the tool
                    try:
                        client.wait_for_workers(workers, timeout=_NO_WORKERS_WAIT)
                    except Exception:
                        pass
                again = []
                if not collect({submit([i]): [i]}, again):
                    break  # the files still lost keep their reports
                if again and "KilledWorker" in reports[i]["message"]:
                    reports[i]["message"] = "the worker died while normalizing this file (not done)"
        finally:
            client.unregister_worker_plugin(plugin)
    for names in temporaries:
        for name in names:
            try:
                if stat.S_ISREG(os.lstat(name).st_mode):
                    os.remove(name)
            except OSError:
                pass
    return reports
