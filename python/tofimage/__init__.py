"""Time-of-flight delay-and-sum reconstruction of acoustic sensor signals.

``reconstruct`` computes the image the MATLAB/Octave function ``tofimage``
computes, bit for bit, from NumPy arrays; ``reconstruct_frames`` does the same
for a stack of frames that share the sensors, times and grid, and ``Plan``
keeps that shared set-up for frames that arrive one at a time.
``pixel_coordinates`` gives where each pixel lies, ``autofocus`` finds the
speed of sound that focuses a scan, ``beamform`` and ``BeamformPlan`` form
images at any points in 3-D with linear interpolation, apodization,
coherence-based beamformers and an envelope, and ``tofimage.dask``
reconstructs and beamforms Dask arrays of frames. The README's section
"Using it well" says which term to use, and how to read stacks too big to
load.
"""

from __future__ import annotations

import concurrent.futures
import inspect
import os
import queue
import sys
import threading
import time
from typing import Callable, NamedTuple, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

from . import _arguments, _core
from ._version import __version__

__all__ = ["Plan", "reconstruct", "reconstruct_frames", "pixel_coordinates", "kernel_name",
           "PixelCoordinates", "autofocus", "AutofocusResult", "beamform", "BeamformPlan",
           "__version__"]

_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1

# The names image_select takes besides its numbers.
_TERMS = {"signal": 1.0, "derivative": 2.0, "difference": 3.0}

ImageSelect = Union[float, str]


def kernel_name() -> str:
    """Name the instruction set the engine's kernel uses on this CPU.

    Returns
    -------
    str
        Highway's name of the vector kernel's target (``'AVX3'``,
        ``'AVX2'``, ``'NEON'``, ...), or ``'scalar'`` where the CPU or the
        build has no vector kernel. Images are the same bit for bit either
        way.

    Examples
    --------
    >>> import tofimage
    >>> isinstance(tofimage.kernel_name(), str)
    True
    """
    return _core.kernel_name()


# The main thread's computations run on this helper thread while the main
# thread waits, so that Ctrl-C (which Python handles in the main thread, and
# only between bytecodes) raises KeyboardInterrupt at once rather than after
# the batch of frames in progress, which may take a second on large grids.
_helper = None
_helper_lock = threading.Lock()


def _forget_helper():
    global _helper
    _helper = None  # a forked child has no helper thread


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_helper)


def _interruptible(task, *args, progress=None):
    """task(stop, report, *args), where `stop` is an Event to check between
    batches (None off the main thread, where no KeyboardInterrupt arrives)
    and `report(done)` tells how many frames are done. On Ctrl-C the helper
    stops after the batch it is computing. `progress(done)` is called with
    each report, in the calling thread."""
    if threading.current_thread() is not threading.main_thread():
        return task(None, progress, *args)
    global _helper
    with _helper_lock:
        if _helper is None:
            _helper = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="tofimage")
        helper = _helper
    stop = threading.Event()
    reports = queue.SimpleQueue()

    def drain():
        while progress is not None and not reports.empty():
            progress(reports.get())

    future = helper.submit(task, stop, None if progress is None else reports.put, *args)
    try:
        while True:
            try:
                result = future.result(timeout=0.05)  # a timed wait also wakes on Windows
            except concurrent.futures.TimeoutError:
                drain()
                continue
            drain()
            return result
    except BaseException:
        stop.set()
        raise


class _Progress:
    """What ``progress=`` asks for, fed with the frames done: a callable
    called with (done, total), or for True a bar of tqdm when it is
    installed, else a line on stderr rewritten in place. Used as a context,
    it ends the bar or line."""

    def __init__(self, progress, total):
        self.total = total
        self.callback = self.bar = self.line = None
        self.start = time.perf_counter()
        self.shown = -1.0  # when the line was last written
        if callable(progress):
            self.callback = progress
        elif not (progress is None or isinstance(progress, (bool, np.bool_))):
            raise TypeError("progress must be True, False, None or a callable(done, total), "
                            f"not {progress!r}")
        elif progress:
            try:
                from tqdm.auto import tqdm
            except ImportError:
                self.line = sys.stderr
            else:
                self.bar = tqdm(total=total, desc="tofimage", unit="frame")

    def __bool__(self):
        return self.callback is not None or self.bar is not None or self.line is not None

    def __call__(self, done):
        if self.callback is not None:
            self.callback(done, self.total)
        elif self.bar is not None:
            self.bar.update(done - self.bar.n)
        elif self.line is not None:
            elapsed = time.perf_counter() - self.start
            if elapsed - self.shown < 0.2 and done < self.total:
                return  # a few updates a second are enough to read
            self.shown = elapsed
            rate = done / elapsed if elapsed > 0 else float("inf")
            left = (self.total - done) / rate if rate > 0 else 0.0
            self.line.write(f"\rtofimage: {done} of {self.total} frames, {rate:.1f} frames/s, "
                            f"{left:.0f} s left ")
            self.line.flush()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.bar is not None:
            self.bar.close()
        elif self.line is not None:
            elapsed = time.perf_counter() - self.start
            end = f"{self.total} frames in {elapsed:.1f} s" if exc[0] is None else "stopped"
            self.line.write(f"\rtofimage: {end}".ljust(60) + "\n")
            self.line.flush()


def _real(name, value):
    a = np.asarray(value)
    if a.dtype.kind == "c":
        raise TypeError(_core.message("Complex", [name]) + " (take .real or abs() first)")
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be a real numeric array, not of dtype {a.dtype}")
    return a


def _vector(name, value):
    """A 1-D float64 array from a 1-D one, a column (N, 1), as
    scipy.io.loadmat gives MATLAB's vectors, or a row (1, N)."""
    a = _real(name, value)
    if a.ndim == 2 and 1 in a.shape:
        a = a.reshape(-1)
    if a.ndim != 1:
        raise ValueError(f"{name} must be a 1-D array, a column (N, 1) or a row (1, N), "
                         f"not an array of shape {a.shape}")
    return np.ascontiguousarray(a, dtype=np.float64)


def _scalar(name, value):
    a = _real(name, value)
    if a.size == 0:
        raise ValueError(_core.message("Empty", [name]))
    if a.size != 1:
        raise ValueError(_core.message("NotScalar", [name]) + f", not an array of shape {a.shape}")
    return float(a.reshape(()))


def _count(name, value, nan_is_error=True):
    """A count (n, numCores, ...) as every host reads it: an integer, or a
    number truncated toward zero (64.9 gives 64), saturated to the 32-bit
    range; the engine rejects what it cannot use. NaN raises, or is 0
    (numCores: the default team) without nan_is_error."""
    if isinstance(value, (int, np.integer)):
        return min(max(int(value), _INT32_MIN), _INT32_MAX)
    return _core.count(name, _scalar(name, value), nan_is_error)


def _term(value):
    if isinstance(value, str):
        try:
            return _TERMS[value]
        except KeyError:
            raise ValueError("image_select must be a number (1 signal, 2 derivative, other "
                             "difference) or one of 'signal', 'derivative', 'difference', "
                             f"not {value!r}") from None
    return _scalar("image_select", value)


def _signals(sigMat, ndims):
    """sigMat as a real array of one of the dimension counts `ndims`."""
    sig = _real("sigMat", sigMat)
    if sig.ndim not in ndims:
        shapes = {2: "(samples, sensors)", 3: "(samples, sensors, frames)"}
        want = " or ".join(shapes[d] for d in ndims)
        raise ValueError(f"sigMat must have shape {want}, not {sig.shape}")
    return sig


def _check_shape(shape, samples, sensors):
    """The errors for a sigMat of `shape` against a plan of `samples` rows
    (the length of t) and `sensors` columns."""
    rows, cols = shape[0], shape[1]
    fix = "sigMat.T" if len(shape) == 2 else "sigMat.transpose(1, 0, 2)"
    transposed = (f"; it looks transposed (its {cols} columns match t): pass {fix}, "
                  "with samples along the first axis")
    if rows != samples:
        hint = transposed if cols == samples else ""
        raise ValueError(_core.message("TimeRows") +
                         f": t has {samples}, sigMat has {rows} rows{hint}")
    if cols != sensors:
        raise ValueError(f"sigMat must have {sensors} columns, one per sensor of the plan, "
                         f"not {cols}")


@_arguments.document
class Plan:
    """A reconstruction set up once for frames that share one geometry.

    A plan holds everything of a request but its samples: the sensors, the
    sample times, the grid and the term, with the tables the engine's kernel
    builds from them. Calling it with a frame or a stack of frames skips that
    set-up, which suits frames delivered one after another by a live scanner.

    Parameters
    ----------
    {arguments: n sensors c image_select t fs image_width numCores}
    sensors : int, optional
        Columns of each frame. By default the fewest elements of the three
        sensor positions, and frames with fewer columns are taken too (the
        positions beyond them are ignored, as in ``reconstruct``): a plan
        for each such width is set up at its first frame and kept.
    frames : int, optional
        About how many frames each call will take; the plan weighs the cost
        of its tables against it. Any number of frames may be passed anyway.

    Attributes
    ----------
    n : int
        Pixels on each side of the images.
    samples, sensors : int
        The shape (samples, sensors) of the frames; without the argument
        `sensors`, frames may also have fewer columns.
    kernel : str
        The instruction set the plan runs with, as ``kernel_name()``.
    batch_frames : int
        Frames the kernel reconstructs at once; a stack that is not float64
        in Fortran order is converted this many frames at a time.

    Raises
    ------
    TypeError
        A non-numeric or complex argument.
    ValueError
        Wrong shapes or values, with the engine's messages.

    See Also
    --------
    reconstruct_frames : A plan made and called once.

    Notes
    -----
    Calling a plan releases the GIL while computing, and several threads may
    call one plan at once. A stack is computed one batch of frames at a
    time, which ``progress=`` reports. In the main thread, Ctrl-C raises
    ``KeyboardInterrupt`` at once, and the computation stops at the end of
    the batch in progress.

    A plan pickles (to Dask workers, say) as its request, and is set up
    again where it is unpickled.

    Examples
    --------
    >>> import numpy as np
    >>> import tofimage
    >>> a = 2 * np.pi * np.arange(32) / 32
    >>> x, y, z = 0.02 * np.cos(a), 0.02 * np.sin(a), np.zeros(32)
    >>> t = np.arange(500) / 20e6
    >>> plan = tofimage.Plan(64, x, y, z, 1500, 'signal', t, 20e6, 0.03)
    >>> frame = np.random.default_rng(0).standard_normal((500, 32))
    >>> plan(frame).shape
    (64, 64)
    >>> plan(np.stack([frame, frame], axis=2)).shape
    (64, 64, 2)
    """

    def __init__(self, n: int, x_sensor: npt.ArrayLike, y_sensor: npt.ArrayLike,
                 z_sensor: npt.ArrayLike, c: float, image_select: ImageSelect,
                 t: npt.ArrayLike, fs: float, image_width: float, numCores: int = 0, *,
                 sensors: Optional[int] = None, frames: int = 1):
        self._setup(n, x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width,
                    numCores, sensors, frames, False)

    @classmethod
    def _scalar_kernel(cls, *args, **kwargs):
        """The same plan on the scalar kernel, the reference (for checks)."""
        plan = cls.__new__(cls)
        bound = inspect.signature(cls).bind(*args, **kwargs)
        bound.apply_defaults()
        plan._setup(*bound.arguments.values(), True)
        return plan

    def _setup(self, n, x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width,
               numCores, sensors, frames, scalar):
        args = dict(
            n=_count("n", n),
            x_sensor=_vector("x_sensor", x_sensor),
            y_sensor=_vector("y_sensor", y_sensor),
            z_sensor=_vector("z_sensor", z_sensor),
            c=_scalar("c", c),
            image_select=_term(image_select),
            t=_vector("t", t),
            fs=_scalar("fs", fs),
            image_width=_scalar("image_width", image_width),
            numCores=_count("numCores", numCores, nan_is_error=False),
        )
        self.samples = args["t"].shape[0]
        # As in MATLAB: at least one position per column, the rest ignored.
        # Without `sensors`, frames of any width up to the positions' are
        # taken, each width with its own engine plan.
        self._any_width = sensors is None
        if sensors is None:
            self.sensors = min(args[k].shape[0] for k in ("x_sensor", "y_sensor", "z_sensor"))
        else:
            self.sensors = _count("sensors", sensors)
        if self.sensors < 0:
            raise ValueError(f"sensors must not be negative, not {self.sensors}")
        self.n = args["n"]
        frames = max(_count("frames", frames), 1)
        self._plan = _core.Plan(self.samples, self.sensors, frames=frames, scalar=scalar, **args)
        self._other_widths = {}
        self._plan_for_width = lambda cols: _core.Plan(self.samples, cols, frames=frames,
                                                       scalar=scalar, **args)
        # What a copy in another process (pickle, Dask) is made from.
        self._state = (tuple(args.values()) + (sensors, frames, scalar))
        self.kernel = self._plan.kernel_name
        self.batch_frames = max(int(self._plan.batch_frames), 1)

    def __reduce__(self):
        return _rebuild_plan, self._state

    def __repr__(self) -> str:
        return (f"<tofimage.Plan: {self.n} x {self.n} pixels from ({self.samples} samples, "
                f"{self.sensors} sensors), kernel {self.kernel}>")

    def __call__(self, sigMat: npt.ArrayLike, *,
                 progress: Union[bool, Callable[[int, int], object], None] = None
                 ) -> npt.NDArray[np.float64]:
        """Reconstruct one frame or a stack of frames.

        Parameters
        ----------
        sigMat : array_like, shape (samples, sensors) or (samples, sensors, frames)
            The samples: column ``s`` of a frame holds sensor ``s``. Any real
            dtype and layout (memmaps included); a stack that is not float64
            in Fortran order is converted one batch of frames at a time.
        progress : bool or callable, optional
            As in ``reconstruct_frames``.

        Returns
        -------
        ndarray of float64, shape (n, n) or (n, n, frames)
            Image ``[:, :, f]`` is ``reconstruct(sigMat[:, :, f], ...)`` bit
            for bit; a stack's images are Fortran-ordered.

        Raises
        ------
        TypeError
            `progress` is not a bool, None or a callable.
        ValueError
            sigMat's shape does not fit the plan; the message names both
            sizes, and says so where sigMat looks transposed.
        KeyboardInterrupt
            Ctrl-C, raised at once; the computation stops at the end of the
            batch of frames in progress, and no images are returned.

        Examples
        --------
        >>> import numpy as np
        >>> import tofimage
        >>> plan = tofimage.Plan(2, [0, 2], [0.5, 2], [0, 0], 1, 1, np.arange(2, 8), 1, 2)
        >>> plan(np.arange(12.0).reshape(6, 2, order='F'))
        array([[ 8.,  7.],
               [10.,  9.]])
        """
        sig = _signals(sigMat, (2, 3))
        cols = sig.shape[1]
        _check_shape(sig.shape, self.samples, cols if self._any_width else self.sensors)
        plan = self._plan
        if cols != self.sensors:
            # Only without `sensors`: a narrower frame gets a plan of its
            # own; for a wider one the engine names the positions that are
            # too short.
            plan = self._other_widths.get(cols)
            if plan is None:
                plan = self._other_widths.setdefault(cols, self._plan_for_width(cols))
        if sig.ndim == 2:
            return self._stack(plan, sig[:, :, np.newaxis], progress)[:, :, 0]
        return self._stack(plan, sig, progress)

    def _stack(self, plan, sig, progress=None):
        return _run_stack(plan, sig, np.empty((self.n, self.n, sig.shape[2]), order="F"),
                          progress)


def _run_stack(plan, sig, out, progress=None):
    """Fills `out`, the engine plan's images with the frames along its last
    axis, from the stack `sig` (samples, sensors, frames), one batch of
    frames at a time: reported to `progress` (as ``progress=`` takes it) and
    stopped between batches by Ctrl-C. Returns `out`."""
    if out.size == 0:
        return out
    with _Progress(progress, sig.shape[2]) as report:
        return _interruptible(_batches, plan, sig, out, progress=report if report else None)


def _batches(stop, report, plan, sig, out):
    frames = sig.shape[2]
    batch = max(int(plan.batch_frames), 1)
    scratch = None
    for f0 in range(0, frames, batch):
        if stop is not None and stop.is_set():
            return None
        part = sig[:, :, f0:f0 + batch]
        if not (part.dtype == np.float64 and part.flags.f_contiguous and part.flags.aligned):
            if scratch is None:
                scratch = np.empty(sig.shape[:2] + (min(batch, frames),), order="F")
            buf = scratch[:, :, :part.shape[2]]
            # As astype(float64): exact for every type of up to 32 bits.
            np.copyto(buf, part, casting="unsafe")
            part = buf
        plan.run(part, out[..., f0:f0 + part.shape[2]])
        if report is not None:
            report(f0 + part.shape[2])
    return out


def _rebuild_plan(*state):
    plan = Plan.__new__(Plan)
    plan._setup(*state)
    return plan


def _plan_for(sig, n, x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width,
              numCores, frames):
    """The plan of a reconstruct call: sigMat's shape is checked against t
    first, so that a transposed sigMat is named as such."""
    _check_shape(sig.shape, _vector("t", t).shape[0], sig.shape[1])
    return Plan(n, x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width, numCores,
                sensors=sig.shape[1], frames=frames)


@_arguments.document
def reconstruct(sigMat: npt.ArrayLike, n: int, x_sensor: npt.ArrayLike, y_sensor: npt.ArrayLike,
                z_sensor: npt.ArrayLike, c: float, image_select: ImageSelect, t: npt.ArrayLike,
                fs: float, image_width: float, numCores: int = 0) -> npt.NDArray[np.float64]:
    """Reconstruct one image by time-of-flight delay-and-sum.

    The arguments are those of the MATLAB call ``Recon = tofimage(sigMat, n,
    x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width,
    numCores)``, in the same order, as NumPy arrays.

    Parameters
    ----------
    {arguments: sigMat n sensors c image_select t fs image_width numCores}

    Returns
    -------
    ndarray of float64, shape (n, n)
        The image ``Recon``: ``Recon[K, L]`` is MATLAB's ``Recon(K+1, L+1)``,
        bit for bit. Row ``K`` lies at ``y[K]`` and column ``L`` at ``x[L]``
        of ``pixel_coordinates(n, image_width)``: draw it with
        ``imshow(Recon, extent=extent)``, not with ``origin='lower'``.

    Raises
    ------
    TypeError
        A non-numeric or complex argument: take ``.real`` or ``abs()`` first.
    ValueError
        Wrong shapes or values, before anything is computed, with the
        messages of ``docs/errors.md`` in the tofimage sources. A shape
        mismatch names both sizes, and says so when `sigMat` looks
        transposed.

    See Also
    --------
    reconstruct_frames : A stack of frames.
    Plan : Frames that arrive one at a time.
    pixel_coordinates : Where each pixel lies.

    Notes
    -----
    The GIL is released while the image is computed; calls from several
    threads at once are safe.

    Examples
    --------
    Two sensors and six samples (the worked example of the README):

    >>> import numpy as np
    >>> import tofimage
    >>> sigMat = np.array([[10, 0], [20, 1], [30, 4], [40, 9], [50, 16], [60, 25]])
    >>> tofimage.reconstruct(sigMat, 2, [0, 2], [0.5, 2], [0, 0], 1, 'signal',
    ...                      np.arange(2, 8), 1, 2)
    array([[14., 11.],
           [29., 24.]])
    """
    sig = _signals(sigMat, (2,))
    return _plan_for(sig, n, x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width,
                     numCores, 1)(sig)


@_arguments.document
def reconstruct_frames(sigMat: npt.ArrayLike, n: int, x_sensor: npt.ArrayLike,
                       y_sensor: npt.ArrayLike, z_sensor: npt.ArrayLike, c: float,
                       image_select: ImageSelect, t: npt.ArrayLike, fs: float,
                       image_width: float, numCores: int = 0, *,
                       progress: Union[bool, Callable[[int, int], object], None] = None
                       ) -> npt.NDArray[np.float64]:
    """Reconstruct a stack of frames that share the sensors, times and grid.

    The engine finds each pixel's sample index once for a batch of frames,
    and each frame's image is the one ``reconstruct`` gives for it alone, bit
    for bit.

    Parameters
    ----------
    sigMat : array_like, shape (samples, sensors, frames)
        The frames, ``sigMat[:, :, f]`` as in ``reconstruct``. A float64
        Fortran-ordered stack is read in place; any other dtype or layout (an
        int16 memmap of scanner data, say) is converted one batch of frames at
        a time into scratch, never whole.
    {arguments: n sensors c image_select t fs image_width numCores}
    progress : bool or callable, optional
        ``True`` shows a progress bar on stderr (tqdm's where tqdm is
        installed, else a line rewritten in place) with the frames done of
        the total, the rate and the time left. A callable is called as
        ``progress(done, total)`` in the calling thread after each batch of
        frames; an exception it raises stops the computation and is raised
        here. ``None`` or ``False`` (the default): nothing.

    Returns
    -------
    ndarray of float64, shape (n, n, frames)
        Fortran-ordered; ``[:, :, f]`` is ``reconstruct(sigMat[:, :, f],
        ...)``, bit for bit.

    Raises
    ------
    TypeError
        A non-numeric or complex argument, or a `progress` that is not a
        bool, None or a callable.
    ValueError
        Wrong shapes or values, as in ``reconstruct``, before anything is
        computed.
    KeyboardInterrupt
        Ctrl-C, raised at once; the computation stops at the end of the
        batch of frames in progress, and no images are returned.

    See Also
    --------
    Plan : The same set-up kept for frames that arrive one at a time.
    tofimage.dask.reconstruct_frames : Stacks in a Dask array.

    Examples
    --------
    >>> import numpy as np
    >>> import tofimage
    >>> a = 2 * np.pi * np.arange(32) / 32
    >>> t = np.arange(500) / 20e6
    >>> stack = np.zeros((500, 32, 3), dtype=np.int16)
    >>> images = tofimage.reconstruct_frames(stack, 64, 0.02 * np.cos(a), 0.02 * np.sin(a),
    ...                                      np.zeros(32), 1500, 1, t, 20e6, 0.03)
    >>> images.shape
    (64, 64, 3)

    Progress of a long stack, as a bar, or to a function of one's own:

    >>> images = tofimage.reconstruct_frames(stack, 64, 0.02 * np.cos(a), 0.02 * np.sin(a),
    ...                                      np.zeros(32), 1500, 1, t, 20e6, 0.03,
    ...                                      progress=True)  # doctest: +SKIP
    tofimage: 100%|██████████| 3/3 [00:00<00:00, 61.2frame/s]
    >>> images = tofimage.reconstruct_frames(stack, 64, 0.02 * np.cos(a), 0.02 * np.sin(a),
    ...                                      np.zeros(32), 1500, 1, t, 20e6, 0.03,
    ...                                      progress=lambda done, total: print(done, total))
    3 3
    """
    sig = _signals(sigMat, (3,))
    return _plan_for(sig, n, x_sensor, y_sensor, z_sensor, c, image_select, t, fs, image_width,
                     numCores, sig.shape[2])(sig, progress=progress)


class PixelCoordinates(NamedTuple):
    """Where the pixels of an n x n image lie, as ``pixel_coordinates`` returns.

    Parameters
    ----------
    x : ndarray of float64, shape (n,)
        The x of each column, increasing.
    y : ndarray of float64, shape (n,)
        The y of each row, decreasing: row 0 is the top of the picture.
    extent : tuple of 4 floats
        The pixels' outer edges ``(left, right, bottom, top)``, for ``imshow``.

    Examples
    --------
    >>> import tofimage
    >>> tofimage.pixel_coordinates(2, 2.0).extent
    (-0.5, 1.5, -1.5, 0.5)
    """

    x: npt.NDArray[np.float64]
    y: npt.NDArray[np.float64]
    extent: Tuple[float, float, float, float]


def pixel_coordinates(n: int, image_width: float) -> PixelCoordinates:
    """Compute the coordinates of the pixel centres of an ``n`` x ``n`` image.

    The grid is not centred on the origin: with ``half = n // 2`` and
    ``dx = image_width / n``, column ``L`` lies at ``x = (L - (half - 1)) * dx``
    and row ``K`` at ``y = ((half - 1) - K) * dx``, computed here with the
    engine's own operations, so the values are those the engine used.

    Parameters
    ----------
    n : int
        Pixels on each side, at least 1.
    image_width : float
        Side of the square image, as given to ``reconstruct``.

    Returns
    -------
    x : ndarray of float64, shape (n,)
        The x of the centre of each column, increasing.
    y : ndarray of float64, shape (n,)
        The y of the centre of each row, decreasing: row 0 is the top.
    extent : tuple of 4 floats
        The outer edges of the pixels, ``(left, right, bottom, top)``, for
        ``matplotlib.pyplot.imshow(Recon, extent=extent)``.

    Raises
    ------
    ValueError
        ``n`` below 1 once truncated toward zero, or above 46340.

    Notes
    -----
    Draw an image with imshow's default ``origin='upper'``: row 0 at the top.
    ``origin='lower'`` with this extent draws the image upside down.

    Examples
    --------
    >>> import tofimage
    >>> x, y, extent = tofimage.pixel_coordinates(4, 0.004)
    >>> x
    array([-0.001,  0.   ,  0.001,  0.002])
    >>> y
    array([ 0.001,  0.   , -0.001, -0.002])
    >>> extent
    (-0.0015, 0.0025, -0.0025, 0.0015)

    Drawing an image with its coordinates, in millimetres:

    >>> import matplotlib.pyplot as plt  # doctest: +SKIP
    >>> plt.imshow(Recon, extent=[1e3 * e for e in extent], cmap='gray')  # doctest: +SKIP
    """
    n = _count("n", n)
    width = _scalar("image_width", image_width)
    x, y = _core.pixel_coordinates(n, width)
    extent = tuple(float(v) for v in _core.image_field(n, width))
    return PixelCoordinates(x, y, extent)


# After the helpers it uses.
from ._autofocus import AutofocusResult, autofocus  # noqa: E402
from ._beamform import BeamformPlan, beamform  # noqa: E402
