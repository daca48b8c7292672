"""Reconstruction of Dask arrays of frames, on any Dask scheduler or cluster.

    import dask.array as da
    from dask.distributed import Client
    import tofimage.dask

    client = Client("scheduler-address:8786")     # or Client() for this machine
    sig = da.from_zarr("scan.zarr")               # (samples, sensors, frames)
    images = tofimage.dask.reconstruct_frames(sig, 256, x, y, z, 1500, 1, t, 40e6, 0.025)
    images.to_zarr("images.zarr")                 # (256, 256, frames), computed in parallel

Each chunk of frames becomes one task that calls
``tofimage.reconstruct_frames`` on the worker; Dask schedules, moves and
gathers the chunks. Workers need the ``tofimage`` package installed.
"""

import dask.array as da
import numpy as np

from . import _core, _request, reconstruct_frames as _reconstruct_frames

__all__ = ["reconstruct_frames"]


def reconstruct_frames(sig, n, x_sensor, y_sensor, z_sensor, c, image_select, t, fs,
                       image_width, numCores=1):
    """Lazy reconstruction of a (samples, sensors, frames) array.

    The arguments are those of ``tofimage.reconstruct_frames``; ``sig`` may be
    a Dask array or anything ``dask.array.asarray`` takes. It is kept in its
    chunks along the frames axis and gathered whole along the samples and
    sensors axes. Returns a Dask array of shape (n, n, frames), float64, with
    the same chunks along the frames axis; frame f equals
    ``tofimage.reconstruct(sig[:, :, f], ...)`` bit for bit.

    The arguments are checked here, before anything is computed, and raise the
    errors of ``tofimage.reconstruct``. ``numCores`` defaults to 1 because Dask
    already runs one task per worker thread; raise it for workers with one
    thread and several cores.
    """
    sig = da.asarray(sig)
    # Everything is checked now, on a stand-in of no frames (and no memory).
    shape = sig.shape[:2] + (0,) if sig.ndim == 3 else sig.shape
    stand_in = np.broadcast_to(np.zeros((), dtype=sig.dtype), shape)
    stand_in, args = _request(stand_in, 3, n, x_sensor, y_sensor, z_sensor, c, image_select,
                              t, fs, image_width, numCores)
    _core.frames(stand_in, **args)
    sig = sig.rechunk({0: -1, 1: -1})
    return sig.map_blocks(_reconstruct_frames, dtype=np.float64,
                          chunks=((args["n"],), (args["n"],), sig.chunks[2]),
                          meta=np.empty((0, 0, 0)), **args)
