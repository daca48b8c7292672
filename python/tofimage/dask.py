"""Reconstruction and beamforming of Dask arrays of frames, on any Dask
scheduler or cluster.

    import dask.array as da
    from dask.distributed import Client
    import tofimage.dask

    client = Client("scheduler-address:8786")     # or Client() for this machine
    sigMat = da.from_zarr("scan.zarr")            # (samples, sensors, frames)
    images = tofimage.dask.reconstruct_frames(sigMat, 256, x, y, z, 1500, 1, t, 40e6, 0.025)
    images.to_zarr("images.zarr")                 # (256, 256, frames), computed in parallel

Each chunk of frames becomes one task, one stack call of the engine
(``tofimage.reconstruct_frames``, or a ``tofimage.BeamformPlan`` for
``beamform``) on the worker; Dask schedules, moves and
gathers the chunks. Workers need the ``tofimage`` package installed.

Progress is Dask's own, counted in chunks: ``dask.diagnostics.ProgressBar``
with the local schedulers, ``distributed.progress`` or the dashboard with a
cluster::

    from dask.diagnostics import ProgressBar
    with ProgressBar():
        result = images.compute()

A chunk that has started runs to its end, so chunks of a few seconds' work
each keep cancelling prompt.
"""

from __future__ import annotations

from typing import Optional, Union

import dask.array as da
import numpy as np
import numpy.typing as npt

from . import ImageSelect, _arguments, _signals, _plan_for, reconstruct_frames as _reconstruct_frames
from . import _beamform

__all__ = ["reconstruct_frames", "beamform"]


def _stand_in(sig):
    """A NumPy stack of no frames (and no memory) of sig's dtype, samples and
    sensors, on which a plan checks everything before the graph is built."""
    shape = sig.shape[:2] + (0,) if sig.ndim == 3 else sig.shape
    return _signals(np.broadcast_to(np.zeros((), dtype=sig.dtype), shape), (3,))


@_arguments.document
def reconstruct_frames(sigMat: npt.ArrayLike, n: int, x_sensor: npt.ArrayLike,
                       y_sensor: npt.ArrayLike, z_sensor: npt.ArrayLike, c: float,
                       image_select: ImageSelect, t: npt.ArrayLike, fs: float,
                       image_width: float, numCores: int = 1) -> da.Array:
    """Lazy reconstruction of a Dask array of frames.

    Parameters
    ----------
    sigMat : dask.array.Array or array_like, shape (samples, sensors, frames)
        Anything ``dask.array.asarray`` takes. It is kept in its chunks along
        the frames axis and gathered whole along the samples and sensors
        axes; each chunk of frames is one stack call on a worker, converted
        there one batch of frames at a time if it is not float64.
    {arguments: n sensors c image_select t fs image_width}
    numCores : int, optional
        Threads for each task. The default 1 suits Dask, which already runs
        one task per worker thread; raise it for workers with one thread and
        several cores.

    Returns
    -------
    dask.array.Array of float64, shape (n, n, frames)
        With the chunks of `sigMat` along the frames axis; frame ``f`` equals
        ``tofimage.reconstruct(sigMat[:, :, f], ...)`` bit for bit.

    Raises
    ------
    TypeError, ValueError
        As ``tofimage.reconstruct_frames``, here, before anything is
        computed.

    See Also
    --------
    tofimage.reconstruct_frames : The same on a NumPy stack.

    Notes
    -----
    Dask reports the progress of the computation, one chunk at a time:
    ``with dask.diagnostics.ProgressBar(): images.compute()``, or
    ``distributed.progress(client.persist(images))`` on a cluster.

    Examples
    --------
    >>> import dask.array as da
    >>> import numpy as np
    >>> import tofimage.dask
    >>> a = 2 * np.pi * np.arange(32) / 32
    >>> t = np.arange(500) / 20e6
    >>> sigMat = da.zeros((500, 32, 10), chunks=(500, 32, 4))
    >>> images = tofimage.dask.reconstruct_frames(sigMat, 64, 0.02 * np.cos(a),
    ...                                           0.02 * np.sin(a), np.zeros(32), 1500, 1,
    ...                                           t, 20e6, 0.03)
    >>> images.chunks[2]
    (4, 4, 2)
    >>> images.compute().shape
    (64, 64, 10)
    """
    sig = da.asarray(sigMat)
    plan = _plan_for(_stand_in(sig), n, x_sensor, y_sensor, z_sensor, c, image_select, t, fs,
                     image_width, numCores, 1)
    sig = sig.rechunk({0: -1, 1: -1})
    return sig.map_blocks(_reconstruct_frames, dtype=np.float64,
                          chunks=((plan.n,), (plan.n,), sig.chunks[2]),
                          meta=np.empty((0, 0, 0)), n=n, x_sensor=x_sensor, y_sensor=y_sensor,
                          z_sensor=z_sensor, c=c, image_select=image_select, t=t, fs=fs,
                          image_width=image_width, numCores=numCores)


def beamform(sigMat: npt.ArrayLike, x_sensor: npt.ArrayLike, y_sensor: npt.ArrayLike,
             z_sensor: npt.ArrayLike, c: float, t: npt.ArrayLike, fs: float,
             points: npt.ArrayLike, *, interp: str = "linear", beamformer: str = "das",
             term: Union[str, int] = "signal", fnumber: Optional[float] = None,
             normals: Optional[npt.ArrayLike] = None, window: str = "box",
             weights: Optional[npt.ArrayLike] = None, envelope: bool = False,
             sample_offset: float = 0.0, numCores: int = 1) -> da.Array:
    """Lazy beamforming of a Dask array of frames.

    Parameters
    ----------
    sigMat : dask.array.Array or array_like, shape (samples, sensors, frames)
        Anything ``dask.array.asarray`` takes, kept in its chunks along the
        frames axis and gathered whole along the others; each chunk of
        frames is one call of a ``tofimage.BeamformPlan`` on a worker.
    x_sensor, y_sensor, z_sensor, c, t, fs, points : array_like or float
        As in ``tofimage.beamform``.
    interp, beamformer, term, fnumber, normals, window, weights, envelope, sample_offset : optional
        As in ``tofimage.beamform`` (the term may also be 1, 2 or 3).
    numCores : int, optional
        Threads for each task; the default 1 suits Dask, which already runs
        one task per worker thread.

    Returns
    -------
    dask.array.Array of float64, shape ``points.shape[:-1] + (frames,)``
        With the chunks of `sigMat` along the frames axis; image ``[..., f]``
        equals ``tofimage.beamform(sigMat[:, :, f], ...)`` bit for bit.

    Raises
    ------
    TypeError, ValueError
        As ``tofimage.beamform``, here, before anything is computed.

    See Also
    --------
    tofimage.beamform : The same on a NumPy stack.

    Examples
    --------
    >>> import dask.array as da
    >>> import numpy as np
    >>> import tofimage.dask
    >>> a = 2 * np.pi * np.arange(32) / 32
    >>> points = np.zeros((20, 30, 3))
    >>> sigMat = da.zeros((500, 32, 10), chunks=(500, 32, 4))
    >>> images = tofimage.dask.beamform(sigMat, 0.02 * np.cos(a), 0.02 * np.sin(a), np.zeros(32),
    ...                                 1500, np.arange(500) / 20e6, 20e6, points,
    ...                                 beamformer='dmas')
    >>> images.chunks[2]
    (4, 4, 2)
    >>> images.compute().shape
    (20, 30, 10)
    """
    sig = da.asarray(sigMat)
    options = _beamform._options(locals())
    plan = _beamform._plan_for(_stand_in(sig), x_sensor, y_sensor, z_sensor, c, t, fs, points,
                               1, options)
    sig = sig.rechunk({0: -1, 1: -1})
    # The samples and sensors axes are contracted away, the points' axes new.
    axes = tuple(f"p{k}" for k in range(len(plan.shape)))
    return da.blockwise(plan, axes + ("f",), sig, ("s", "n", "f"),
                        new_axes=dict(zip(axes, plan.shape)), concatenate=True,
                        dtype=np.float64, meta=np.empty((0,) * (len(axes) + 1)))
