"""The general beamformer: delay-and-sum and its coherence-based relatives at
any points in 3-D, on the engine of ``reconstruct``. The engine checks the
request and names the choices; this module converts the arguments and walks
stacks of frames as ``reconstruct_frames`` does."""

from __future__ import annotations

import inspect
from typing import Callable, Optional, Union

import numpy as np
import numpy.typing as npt

from . import _arguments, _core, _check_shape, _count, _real, _run_stack, _scalar, _signals, _vector

Progress = Union[bool, Callable[[int, int], object], None]


def _choice(name, value):
    """A choice as the engine's name; the term may also be its number."""
    if isinstance(value, str):
        return value
    if name == "term" and isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return str(int(value))
    kind = "a string or 1, 2, 3" if name == "term" else "a string"
    raise TypeError(f"{name} must be {kind}, not {value!r}")


def _points(points):
    """The shape of the image and the points' x, y and z, each contiguous,
    in C order of `points`."""
    p = _real("points", points)
    if p.ndim == 0 or p.shape[-1] != 3:
        raise ValueError("points must have shape (..., 3), the (x, y, z) of each point, "
                         f"not {p.shape}")
    flat = p.reshape(-1, 3)
    return p.shape[:-1], [np.ascontiguousarray(flat[:, k], dtype=np.float64) for k in range(3)]


def _normals(normals, sensors):
    """(N, 3) normals as the engine takes them: the x of the first `sensors`,
    then their y, then their z."""
    n = _real("normals", normals)
    if n.ndim != 2 or n.shape[1] != 3:
        raise ValueError(f"normals must have shape (sensors, 3), not {n.shape}")
    return np.ascontiguousarray(n[:sensors].T, dtype=np.float64).reshape(-1)


class BeamformPlan:
    """A beamformer set up once for frames that share one geometry.

    A plan holds everything of a ``beamform`` request but its samples: the
    sensors, the sample times, the points and the options, with the tables
    the engine builds from them. Calling it with a frame or a stack of frames
    skips that set-up, which suits frames delivered one after another.

    Parameters
    ----------
    x_sensor, y_sensor, z_sensor, c, t, fs : array_like or float
        As in ``beamform``.
    points : array_like, shape (..., 3)
        The (x, y, z) of each point, in any arrangement: ``points[..., 0]``
        are the x. The images have shape ``points.shape[:-1]``.
    interp, beamformer, term, fnumber, normals, window, weights, envelope, sample_offset : optional
        As in ``beamform`` (the term may also be 1, 2 or 3).
    numCores : int, optional
        Threads for each batch of frames; 0 or negative use OpenMP's default.
    sensors : int, optional
        Columns of each frame; by default the fewest elements of the three
        sensor positions.
    frames : int, optional
        About how many frames each call will take; any number may be passed.

    Attributes
    ----------
    shape : tuple of int
        The shape of one image, ``points.shape[:-1]``.
    samples, sensors : int
        The shape (samples, sensors) of the frames.
    kernel : str
        The instruction set the plan runs with, as ``kernel_name()``.
    batch_frames : int
        Frames the engine forms at once; a stack that is not float64 in
        Fortran order is converted this many frames at a time.

    Raises
    ------
    TypeError
        A non-numeric or complex argument, or a choice that is not a string.
    ValueError
        Wrong shapes or values, with the engine's messages.

    See Also
    --------
    beamform : A plan made and called once.

    Notes
    -----
    Calling a plan releases the GIL while computing (but for the envelope's
    ``numpy.fft``), and several threads may call one plan at once. A plan
    pickles as its request and is set up again where it is unpickled.

    Examples
    --------
    A linear array of 64 elements along x at z = 0, facing +z, and the x-z
    plane below it with an f-number of 1.5:

    >>> import numpy as np
    >>> import tofimage
    >>> xs = (np.arange(64) - 31.5) * 0.3e-3
    >>> X, Z = np.meshgrid(np.linspace(-0.01, 0.01, 80), np.linspace(0.002, 0.03, 100))
    >>> points = np.stack([X, np.zeros_like(X), Z], axis=-1)
    >>> normals = np.tile([0.0, 0.0, 1.0], (64, 1))
    >>> plan = tofimage.BeamformPlan(xs, np.zeros(64), np.zeros(64), 1540,
    ...                              np.arange(1600) / 40e6, 40e6, points,
    ...                              fnumber=1.5, normals=normals, beamformer='sdmas')
    >>> frame = np.random.default_rng(0).standard_normal((1600, 64))
    >>> plan(frame).shape
    (100, 80)
    >>> plan(np.stack([frame, frame], axis=2)).shape
    (100, 80, 2)
    """

    def __init__(self, x_sensor: npt.ArrayLike, y_sensor: npt.ArrayLike,
                 z_sensor: npt.ArrayLike, c: float, t: npt.ArrayLike, fs: float,
                 points: npt.ArrayLike, *, interp: str = "linear", beamformer: str = "das",
                 term: Union[str, int] = "signal", fnumber: Optional[float] = None,
                 normals: Optional[npt.ArrayLike] = None, window: str = "box",
                 weights: Optional[npt.ArrayLike] = None, envelope: bool = False,
                 sample_offset: float = 0.0, numCores: int = 0, sensors: Optional[int] = None,
                 frames: int = 1):
        request = dict(locals())
        del request["self"]
        self._setup(request, False)

    @classmethod
    def _scalar_kernel(cls, *args, **kwargs):
        """The same plan on the scalar kernel, the reference (for checks)."""
        plan = cls.__new__(cls)
        bound = inspect.signature(cls).bind(*args, **kwargs)
        bound.apply_defaults()
        plan._setup(dict(bound.arguments), True)
        return plan

    def _setup(self, request, scalar):
        r = request
        x, y, z = (_vector(k, r[k]) for k in ("x_sensor", "y_sensor", "z_sensor"))
        t = _vector("t", r["t"])
        self.shape, (X, Y, Z) = _points(r["points"])
        self._points = X.shape[0]
        self.samples = t.shape[0]
        if r["sensors"] is None:
            self.sensors = min(x.shape[0], y.shape[0], z.shape[0])
        else:
            self.sensors = _count("sensors", r["sensors"])
        if self.sensors < 0:
            raise ValueError(f"sensors must not be negative, not {self.sensors}")
        self._plan = _core.BeamformPlan(
            self.samples, self.sensors, x, y, z, _scalar("c", r["c"]), t, _scalar("fs", r["fs"]),
            X, Y, Z, _choice("interp", r["interp"]), _choice("beamformer", r["beamformer"]),
            _choice("term", r["term"]),
            0.0 if r["fnumber"] is None else _scalar("fnumber", r["fnumber"]),
            None if r["normals"] is None else _normals(r["normals"], self.sensors),
            _choice("window", r["window"]),
            None if r["weights"] is None else _vector("weights", r["weights"]),
            bool(r["envelope"]), _scalar("sample_offset", r["sample_offset"]),
            _count("numCores", r["numCores"], nan_is_error=False),
            max(_count("frames", r["frames"]), 1), scalar)
        self._request, self._scalar = request, scalar
        self.kernel = self._plan.kernel_name
        self.batch_frames = max(int(self._plan.batch_frames), 1)

    def __reduce__(self):
        return _rebuild_plan, (self._request, self._scalar)

    def __repr__(self) -> str:
        return (f"<tofimage.BeamformPlan: images of shape {self.shape} from ({self.samples} "
                f"samples, {self.sensors} sensors), kernel {self.kernel}>")

    def __call__(self, sigMat: npt.ArrayLike, *, progress: Progress = None
                 ) -> npt.NDArray[np.float64]:
        """Form the image of one frame or the images of a stack of frames.

        Parameters
        ----------
        sigMat : array_like, shape (samples, sensors) or (samples, sensors, frames)
            The samples: column ``s`` of a frame holds sensor ``s``. Any real
            dtype and layout; a stack that is not float64 in Fortran order is
            converted one batch of frames at a time.
        progress : bool or callable, optional
            As in ``reconstruct_frames``.

        Returns
        -------
        ndarray of float64, shape ``points.shape[:-1]`` (+ ``(frames,)``)
            Image ``[..., f]`` is the one frame ``f`` gives alone, bit for bit.

        Raises
        ------
        TypeError
            `progress` is not a bool, None or a callable.
        ValueError
            sigMat's shape does not fit the plan.
        KeyboardInterrupt
            Ctrl-C; the computation stops at the end of the batch of frames
            in progress, and no images are returned.

        Examples
        --------
        >>> import numpy as np
        >>> import tofimage
        >>> plan = tofimage.BeamformPlan([0.0], [0.0], [0.0], 1.0, np.arange(4.0), 1.0,
        ...                              [[1.5, 0.0, 0.0], [0.0, 2.0, 0.0]])
        >>> plan(np.array([[0.0], [10.0], [20.0], [30.0]]))
        array([15., 20.])
        """
        sig = _signals(sigMat, (2, 3))
        _check_shape(sig.shape, self.samples, self.sensors)
        stack = sig if sig.ndim == 3 else sig[:, :, np.newaxis]
        frames = stack.shape[2]
        out = np.empty((self._points, frames), order="F")
        _run_stack(self._plan, stack, out, progress)
        images = out.T.reshape((frames,) + self.shape)  # each frame's image contiguous
        return images[0] if sig.ndim == 2 else np.moveaxis(images, 0, -1)


def _rebuild_plan(request, scalar):
    plan = BeamformPlan.__new__(BeamformPlan)
    plan._setup(request, scalar)
    return plan


# The keyword options of beamform, as BeamformPlan takes them.
_OPTIONS = ("interp", "beamformer", "term", "fnumber", "normals", "window", "weights", "envelope",
            "sample_offset", "numCores")


def _options(arguments):
    return {k: arguments[k] for k in _OPTIONS}


def _plan_for(sig, x_sensor, y_sensor, z_sensor, c, t, fs, points, frames, options):
    """The plan of a beamform call: sigMat's shape is checked against t
    first, so that a transposed sigMat is named as such."""
    cols = sig.shape[1]
    _check_shape(sig.shape, _vector("t", t).shape[0], cols)
    # One value per column of sigMat, as tofimage_beamform requires: a
    # different count is more likely a mix-up than sensors to leave out.
    for name, value in (("x_sensor", x_sensor), ("y_sensor", y_sensor), ("z_sensor", z_sensor)):
        if _vector(name, value).shape[0] != cols:
            raise ValueError(_core.message("BeamSensorCount", [name]) +
                             f": {name} has {_vector(name, value).shape[0]}, sigMat has {cols}")
    weights, normals = options["weights"], options["normals"]
    if weights is not None and _vector("weights", weights).shape[0] != cols:
        raise ValueError(_core.message("WeightCount"))
    if normals is not None and np.shape(normals)[:1] != (cols,):
        raise ValueError(_core.message("NeedNormals") +
                         f": normals has shape {np.shape(normals)}, sigMat has {cols} columns")
    return BeamformPlan(x_sensor, y_sensor, z_sensor, c, t, fs, points, sensors=sig.shape[1],
                        frames=frames, **options)


@_arguments.document
def beamform(sigMat: npt.ArrayLike, x_sensor: npt.ArrayLike, y_sensor: npt.ArrayLike,
             z_sensor: npt.ArrayLike, c: float, t: npt.ArrayLike, fs: float,
             points: npt.ArrayLike, *, interp: str = "linear", beamformer: str = "das",
             term: Union[str, int] = "signal", fnumber: Optional[float] = None,
             normals: Optional[npt.ArrayLike] = None, window: str = "box",
             weights: Optional[npt.ArrayLike] = None, envelope: bool = False,
             sample_offset: float = 0.0, numCores: int = 0, progress: Progress = None
             ) -> npt.NDArray[np.float64]:
    """Beamform signals at any points in 3-D.

    For each point P and sensor s, the sample position is ``(fs / c) * d -
    (fs * t[0] - sample_offset)``, with d the distance from P to the sensor;
    the sensor's term is read there (nearest sample or linear
    interpolation), weighted, and the beamformer combines the sensors whose
    position lies within the record. Sums run over the sensors in order, so
    the image is the same bit for bit on every CPU and thread count.

    Parameters
    ----------
    sigMat : array_like, shape (samples, sensors) or (samples, sensors, frames)
        Column ``s`` holds the samples of sensor ``s``; at least 2 samples.
        Any real dtype; a stack is converted one batch of frames at a time.
    {arguments: beam_sensors c beam_t fs}
    points : array_like, shape (..., 3)
        The (x, y, z) of each point, in any arrangement (a plane, a volume,
        a list). Points that are neighbours in space should be neighbours
        along the last axis, as ``np.meshgrid`` gives them: that is what
        the engine's speed rests on.
    {arguments: interp beamformer term fnumber normals window weights envelope sample_offset beam_numCores progress}

    Returns
    -------
    ndarray of float64, shape ``points.shape[:-1]``, or that + ``(frames,)``
        The image at each point; for a stack, image ``[..., f]`` is frame
        ``f``'s alone, bit for bit.

    Raises
    ------
    TypeError
        A non-numeric or complex argument, or a choice that is not a string.
    ValueError
        Wrong shapes or values, before anything is computed, with the
        engine's messages: an unknown choice, an f-number without normals,
        NaN positions, an envelope with another beamformer than 'das', ...
    KeyboardInterrupt
        Ctrl-C; a stack stops at the end of the batch of frames in progress.

    See Also
    --------
    BeamformPlan : The same set-up kept for frames that arrive one at a time.
    reconstruct : The special case of tofimage's grid (nearest, ``sample_offset=1``).
    tofimage.dask.beamform : Stacks in a Dask array.

    Examples
    --------
    A ring of 64 sensors in the plane z = 0 and a pulse from the origin:

    >>> import numpy as np
    >>> import tofimage
    >>> a = 2 * np.pi * np.arange(64) / 64
    >>> xs, ys, zs = 0.02 * np.cos(a), 0.02 * np.sin(a), np.zeros(64)
    >>> fs, c = 40e6, 1500.0
    >>> t = np.arange(1024) / fs
    >>> sig = np.exp(-0.5 * ((t - 0.02 / c) * fs / 3) ** 2)[:, None] * np.ones(64)
    >>> X, Y = np.meshgrid(np.linspace(-0.005, 0.005, 41), np.linspace(0.005, -0.005, 41))
    >>> points = np.stack([X, Y, np.zeros_like(X)], axis=-1)
    >>> image = tofimage.beamform(sig, xs, ys, zs, c, t, fs, points)
    >>> image.shape
    (41, 41)
    >>> np.unravel_index(np.argmax(image), image.shape)
    (20, 20)

    Signed DMAS, and the envelope of DAS:

    >>> sdmas = tofimage.beamform(sig, xs, ys, zs, c, t, fs, points, beamformer='sdmas')
    >>> env = tofimage.beamform(sig, xs, ys, zs, c, t, fs, points, envelope=True)

    A 3-D volume of 32 x 32 x 16 points:

    >>> Z, Y, X = np.meshgrid(np.linspace(-0.004, 0.004, 16), np.linspace(-0.005, 0.005, 32),
    ...                       np.linspace(-0.005, 0.005, 32), indexing='ij')
    >>> volume = tofimage.beamform(sig, xs, ys, zs, c, t, fs, np.stack([X, Y, Z], axis=-1))
    >>> volume.shape
    (16, 32, 32)
    """
    sig = _signals(sigMat, (2, 3))
    options = _options(locals())
    frames = sig.shape[2] if sig.ndim == 3 else 1
    return _plan_for(sig, x_sensor, y_sensor, z_sensor, c, t, fs, points, frames,
                     options)(sig, progress=progress)

