"""Time-of-flight delay-and-sum reconstruction of acoustic sensor signals.

``reconstruct`` computes the image the MATLAB/Octave function ``tofimage``
computes, bit for bit, from NumPy arrays; ``reconstruct_frames`` does the same
for a stack of frames, and ``tofimage.dask`` for a Dask array of frames.
"""

import math

import numpy as np

from . import _core

__all__ = ["reconstruct", "reconstruct_frames", "kernel_name"]

kernel_name = _core.kernel_name

_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1


def _real(name, value):
    a = np.asarray(value)
    if a.dtype.kind == "c":
        raise TypeError(f"{name} must be real, not complex (take .real or abs() first)")
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{name} must be a real numeric array, not of dtype {a.dtype}")
    return a


def _vector(name, value):
    a = _real(name, value)
    if a.ndim != 1:
        raise ValueError(f"{name} must be a 1-D array, not {a.ndim}-D")
    return np.ascontiguousarray(a, dtype=np.float64)


def _scalar(name, value):
    a = _real(name, value)
    if a.size == 0:
        raise ValueError(f"{name} must not be empty")
    if a.size != 1:
        raise ValueError(f"{name} must be a scalar, not an array of shape {a.shape}")
    return float(a.reshape(()))


def _count(name, value):
    """A whole number, saturated to the 32-bit range (the engine rejects what
    it cannot use)."""
    if isinstance(value, (int, np.integer)):
        v = int(value)
    else:
        x = _scalar(name, value)
        if math.isnan(x):
            raise ValueError(f"{name} must be a number, not NaN")
        if math.isfinite(x) and not x.is_integer():
            raise ValueError(f"{name} must be a whole number, not {x!r}")
        v = int(min(max(x, float(_INT32_MIN)), float(_INT32_MAX)))
    return min(max(v, _INT32_MIN), _INT32_MAX)


def _request(sigMat, ndim, n, x_sensor, y_sensor, z_sensor, c, image_select, t, fs,
             image_width, numCores):
    """The engine's arguments, converted and checked in call order."""
    sig = _real("sigMat", sigMat)
    if sig.ndim != ndim:
        shape = "(samples, sensors)" if ndim == 2 else "(samples, sensors, frames)"
        raise ValueError(f"sigMat must have shape {shape}, not {sig.shape}")
    if sig.dtype != np.float64:
        # One conversion, straight into the engine's layout.
        sig = np.array(sig, dtype=np.float64, order="F")
    args = dict(
        n=_count("n", n),
        x_sensor=_vector("x_sensor", x_sensor),
        y_sensor=_vector("y_sensor", y_sensor),
        z_sensor=_vector("z_sensor", z_sensor),
        c=_scalar("c", c),
        image_select=_scalar("image_select", image_select),
        t=_vector("t", t),
        fs=_scalar("fs", fs),
        image_width=_scalar("image_width", image_width),
        numCores=_count("numCores", numCores),
    )
    if args["t"].shape[0] != sig.shape[0]:
        raise ValueError("t must have the same number of elements as sigMat has rows")
    return sig, args


def reconstruct(sigMat, n, x_sensor, y_sensor, z_sensor, c, image_select, t, fs,
                image_width, numCores=0):
    """Reconstruct one image by time-of-flight delay-and-sum.

    The arguments are those of the MATLAB call
    ``Recon = tofimage(sigMat, n, x_sensor, y_sensor, z_sensor, c,
    image_select, t, fs, image_width, numCores)``, as NumPy arrays:

    sigMat : array of shape (samples, sensors)
        Column ``s`` holds the time samples of sensor ``s``; at least 2 samples.
        A Fortran-ordered array (or the transpose of a C-ordered
        (sensors, samples) array) is read in place; any other layout is copied.
    n : int
        The image is ``n`` x ``n`` pixels; a float must have a whole value.
    x_sensor, y_sensor, z_sensor : 1-D arrays
        Sensor positions, at least ``sensors`` elements each (more are
        ignored). The image lies in the plane z = 0.
    c : float
        Speed of sound.
    image_select : float
        Term summed: exactly 1 the signal, exactly 2 its time-weighted
        derivative ``t(i) * (s(i+1) - s(i)) / (t(2) - t(1))``, anything else
        the signal minus that derivative.
    t : 1-D array of length ``samples``
        Time of each sample.
    fs : float
        Sampling rate.
    image_width : float
        Side of the square image; the pixel pitch is ``image_width / n``.
    numCores : int, optional
        Threads for the pixel loop; 0 or negative use OpenMP's default. The
        image is the same for every thread count.

    Integer, boolean and float32 (any real) inputs are converted to float64.
    Complex inputs raise ``TypeError``; take the real part explicitly.

    Returns
    -------
    Recon : ndarray of float64, shape (n, n)
        ``Recon[K, L]`` is MATLAB's ``Recon(K+1, L+1)``, bit for bit: row K
        has y = ``(n//2 - 1 - K) * dx``, column L has x = ``(L - (n//2 - 1)) * dx``.

    Raises
    ------
    TypeError
        A non-numeric or complex argument.
    ValueError
        Wrong shapes or values, with the engine's messages, for example
        "t must have the same number of elements as sigMat has rows" or
        "n is too large: n*n must be less than 2^31". Nothing is computed.

    The GIL is released while the image is computed; calls from several
    threads at once are safe.
    """
    sig, args = _request(sigMat, 2, n, x_sensor, y_sensor, z_sensor, c, image_select, t, fs,
                         image_width, numCores)
    return _core.frames(sig[:, :, np.newaxis], **args)[:, :, 0]


def reconstruct_frames(sig, n, x_sensor, y_sensor, z_sensor, c, image_select, t, fs,
                       image_width, numCores=0):
    """Reconstruct a stack of frames that share the sensors, times and grid.

    ``sig`` has shape (samples, sensors, frames); the other arguments are
    those of ``reconstruct``. Returns an array of shape (n, n, frames) whose
    ``[:, :, f]`` is ``reconstruct(sig[:, :, f], ...)``, bit for bit.

    The arguments are converted and checked once, and the frames are computed
    one after another without the GIL, each on ``numCores`` threads. Frames
    of a Fortran-ordered stack are read in place; otherwise each frame is
    copied in turn into one reused buffer (a stack that is not float64 is
    converted to a Fortran-ordered float64 copy first).
    """
    sig, args = _request(sig, 3, n, x_sensor, y_sensor, z_sensor, c, image_select, t, fs,
                         image_width, numCores)
    return _core.frames(sig, **args)
