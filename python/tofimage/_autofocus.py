"""The speed of sound that brings a scan into focus: ``tofimage.autofocus``.

The search itself is the engine's (recon_autofocus), which MATLAB's
``tofimage_autofocus`` calls too; this module checks the arguments and
converts and draws the result.
"""

from __future__ import annotations

import math
import time
from typing import Optional, Sequence

import numpy as np
import numpy.typing as npt

# The package imports this module after defining these.
from . import Plan, _arguments, _core, _count, _real, _scalar, _term, _vector, pixel_coordinates

_METHODS = ("coherence", "subaperture", "sharpness")


class AutofocusResult:
    """What ``autofocus`` found, and how.

    Parameters
    ----------
    **fields
        The attributes below, by name.

    Attributes
    ----------
    c : float
        The speed of sound found.
    candidates : ndarray of float64
        Every speed tried, level by level, increasing within a level.
    scores : ndarray of float64
        Their scores; compare them within a level only.
    levels : ndarray of int
        The level of each candidate, 0 the coarsest.
    method : str
        The score used: ``'coherence'``, ``'subaperture'`` or ``'sharpness'``.
    image : ndarray of float64, shape (n, n)
        ``reconstruct``'s image at `c`, with the term `image_select`.
    image_width : float
        Its width, as given.
    roi : tuple of 4 floats
        The region searched, ``(x_min, x_max, y_min, y_max)``.
    search_n : int
        Pixels on each side of the search grid.
    resolution : float
        The finest step between candidates.
    edge : bool
        The best value lies at ``c_min`` or ``c_max``: the focus may lie
        outside ``c_range``.
    view_angle : float
        The angle (degrees) over which the sensors surround the region's
        centre.
    limited_view : bool
        `view_angle` is below 270 degrees.
    tail_score : float
        How far the signals stay off their baseline once every wavefront
        from the region has passed, in standard errors of the noise, summed
        over the sensors and divided by the root of their number: of order 1
        for 3-D waves, large for the tails of 2-D waves.
    two_d : bool
        ``abs(tail_score) > 5`` with the analytic score: the search made the
        signals 3-D-like first (spectrum times ``sqrt(1j * omega)``, a
        half-order time derivative).
    subapertures : str
        How the array was divided.
    notes : list of str
        Warnings in words (edge, limited view, 2-D waves).
    seconds : float
        The search's wall-clock time.

    Examples
    --------
    >>> import tofimage
    >>> r = tofimage.AutofocusResult(c=1500.0, edge=False, notes=[])
    >>> r.c
    1500.0
    """

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def __repr__(self) -> str:
        notes = "".join(f"\n  note: {note}" for note in getattr(self, "notes", []))
        return (f"<tofimage.AutofocusResult: c = {self.c:.6g} ({getattr(self, 'method', '?')}, "
                f"{len(getattr(self, 'candidates', []))} candidates)>{notes}")

    def plot(self, fig=None):
        """Draw the score against c beside the image at the best c.

        Parameters
        ----------
        fig : matplotlib.figure.Figure, optional
            The figure to draw into; by default a new one.

        Returns
        -------
        matplotlib.figure.Figure
            The figure, with the two axes.

        Raises
        ------
        ImportError
            matplotlib is not installed.

        Examples
        --------
        >>> result.plot().savefig('autofocus.png')  # doctest: +SKIP
        """
        import matplotlib.pyplot as plt

        if fig is None:
            fig = plt.figure(figsize=(10, 4.2))
        curve, picture = fig.subplots(1, 2)
        for level in np.unique(self.levels):
            at = self.levels == level
            curve.plot(self.candidates[at], self.scores[at], ".-", label=f"level {level}")
        last = self.levels == self.levels.max()
        curve.plot([self.c], [self.scores[last].max()], "ko", mfc="none", ms=10)
        curve.legend()
        curve.set_xlabel("c")
        curve.set_ylabel(f"score ({self.method})")
        curve.set_title(f"best c = {self.c:.6g}")
        n = self.image.shape[0]
        extent = pixel_coordinates(n, self.image_width).extent
        shown = picture.imshow(self.image, extent=extent, cmap="gray")
        picture.set_title(f"image at c = {self.c:.6g}")
        fig.colorbar(shown, ax=picture)
        return fig


@_arguments.document
def autofocus(sigMat: npt.ArrayLike, n: int, x_sensor: npt.ArrayLike, y_sensor: npt.ArrayLike,
              z_sensor: npt.ArrayLike, c_range: Sequence[float], image_select, t: npt.ArrayLike,
              fs: float, image_width: float, numCores: int = 0, *,
              roi: Optional[Sequence[float]] = None, search_n: int = 128,
              method: str = "coherence", resolution: Optional[float] = None,
              analytic: bool = True, interp: str = "linear") -> AutofocusResult:
    """Find the speed of sound that brings a scan into focus.

    Takes the arguments of ``reconstruct``, with ``c_range = (c_min, c_max)``
    in place of ``c``, and searches that range for the speed at which the
    image is best focused. It is MATLAB's ``tofimage_autofocus``: the same
    candidates, the same scores up to rounding, the same result. The
    signals, sensor positions and times must be finite, `fs` and
    `image_width` positive, and there must be at least 4 sensors.

    Parameters
    ----------
    sigMat : array_like, shape (samples, sensors)
        The recorded signals, at least 2 samples and 4 sensors, finite.
    {arguments: n sensors}
    c_range : pair of float
        ``(c_min, c_max)``, ``0 < c_min < c_max``, finite.
    {arguments: image_select t fs image_width numCores}
    roi : sequence of 4 floats, optional
        ``(x_min, x_max, y_min, y_max)``: the region searched. By default
        the image field of `n` and `image_width`. The search grid is the
        square of side ``max(x_max - x_min, y_max - y_min)`` on its centre.
    search_n : int, optional
        Pixels on each side of the search grid, at least 16.
    method : {'coherence', 'subaperture', 'sharpness'}, optional
        How an image is scored: the sensors' coherence factor, averaged
        over the pixels weighted by the image's energy (each sensor its own
        sub-aperture; with ``analytic``, of the derivative term whatever
        ``image_select``, and after the first level to the power 1.5); the
        correlation of images from disjoint parts of the array (see
        Notes); or the normalised Brenner gradient.
    resolution : float, optional
        The finest step between candidates; by default ``c_mid / 1500``
        (1 m/s around 1500 m/s).
    analytic : bool, optional
        Score the analytic signal (each column with its Hilbert transform)
        rather than the signals: its magnitude does not move when the
        pulse's phase turns, as it does between 2-D and 3-D propagation.
    interp : {'linear', 'nearest'}, optional
        How the search images read between samples (default linear).

    Returns
    -------
    AutofocusResult
        ``c``, ``candidates``, ``scores``, ``image`` and how the search went
        (``edge``, ``limited_view``, ``notes``, ...).

    Raises
    ------
    ValueError
        Wrong shapes or values, with the messages of ``tofimage_autofocus``.
    TypeError
        Non-numeric or complex arguments.

    See Also
    --------
    reconstruct : The image at one speed of sound.

    Notes
    -----
    Each level of the search tries speeds a fixed step apart: the first, 17
    across `c_range`; each next one, the 9 around the best of the level
    before at a quarter of its step. A level smooths the signals in time by
    as much as one step of c moves an image feature (at least a search
    pixel); its candidates share those signals, their term, their squares
    and their division into sub-apertures, and only they are compared. The
    search images are shifted in time by the sample (and a half, for the
    derivative terms) by which the engine reads late, so that they line up
    at the true c.

    For ``'subaperture'`` the sensors are ordered by angle around the
    region's centre, starting after the widest gap. When they surround it
    over 270 degrees or more (rings, wide arcs, surrounding random layouts),
    the halves that start at each quarter form two opposed pairs whose
    correlations are averaged; otherwise (linear arrays, short arcs) the
    first and last halves are compared by their magnitudes. Each part is
    tapered by sin^2.

    With a limited view (``limited_view``), structures that the array sees
    from one side only, such as the length of a vessel or the rim of a
    disc, image sharp at every c; c then rests on compact features: put the
    `roi` on one.

    Examples
    --------
    A ring of 64 sensors records a point absorber through water at
    1520 m/s; the search recovers the speed:

    >>> import numpy as np
    >>> import tofimage
    >>> a = 2 * np.pi * np.arange(64) / 64
    >>> x, y, z = 0.02 * np.cos(a), 0.02 * np.sin(a), np.zeros(64)
    >>> fs = 40e6
    >>> t = 1e-6 + np.arange(1200) / fs
    >>> d = np.hypot(x - 1e-3, y - 2e-3)
    >>> tau = (t[:, None] - d / 1520) / 75e-9
    >>> sig = -tau * np.exp(0.5 - tau ** 2 / 2)
    >>> r = tofimage.autofocus(sig, 128, x, y, z, (1400, 1650), 'difference', t, fs, 0.016)
    >>> abs(r.c - 1520) < 3
    True
    >>> r.edge, r.limited_view
    (False, False)
    """
    started = time.perf_counter()
    method, roi_given, search_n, resolution = _options(method, roi, search_n, resolution)
    # The values are the engine's to check (_core.autofocus raises its
    # messages); this function checks what it needs to pass them on.
    sig = _real("sigMat", sigMat)
    if sig.ndim != 2:
        raise ValueError(_core.message("AutofocusSigMat"))
    rows, cols = sig.shape
    sig = np.asfortranarray(sig, dtype=np.float64)
    n = _count("n", n)
    if n < 1:
        raise ValueError(_core.message("WholeNumber", ["n", "1"]))
    x, y, z = (_sensor_column(name, v, cols) for name, v in
               (("x_sensor", x_sensor), ("y_sensor", y_sensor), ("z_sensor", z_sensor)))
    c_range = _c_range(c_range)
    image_select = _term(image_select)
    t = _vector("t", t)
    if t.shape[0] < rows:
        raise ValueError(_core.message("TimeColumn", [str(rows)]))
    t = np.ascontiguousarray(t[:rows])
    fs = _scalar("fs", fs)
    image_width = _positive("image_width", _scalar("image_width", image_width))
    numCores = _count("numCores", numCores)
    field = tuple(_core.image_field(n, image_width))
    if roi_given is None:
        roi_given = field

    found = _core.autofocus(sig, x, y, z, t, fs, c_range[0], c_range[1], int(image_select),
                            roi_given, field, search_n, method, resolution or 0.0, str(interp),
                            numCores, bool(analytic))
    c = found["c"]
    image = Plan(n, x, y, z, c, image_select, t, fs, image_width, numCores)(sig)
    return AutofocusResult(c=c, candidates=found["candidates"], scores=found["scores"],
                           levels=found["levels"], method=method, image=image,
                           image_width=image_width, roi=tuple(roi_given), search_n=search_n,
                           resolution=found["resolution"], edge=found["edge"],
                           view_angle=found["view_angle"], limited_view=found["limited_view"],
                           tail_score=found["tail_score"], two_d=found["two_d"],
                           subapertures=found["subapertures"], notes=list(found["notes"]),
                           seconds=time.perf_counter() - started)


def _options(method, roi, search_n, resolution):
    if not isinstance(method, str) or method.lower() not in _METHODS:
        raise ValueError(_core.message("Method"))
    if roi is not None:
        roi = np.asarray(roi, dtype=np.float64).ravel()
        if roi.size != 4:
            raise ValueError(_core.message("Roi"))
        roi = tuple(float(v) for v in roi)
    if (isinstance(search_n, bool) or not isinstance(search_n, (int, float, np.number))
            or not math.isfinite(search_n) or search_n != int(search_n) or search_n < 16):
        raise ValueError(_core.message("WholeNumber", ["search_n", "16"]))
    if resolution is not None:
        resolution = _positive("resolution", _scalar("resolution", resolution))
    return method.lower(), roi, int(search_n), resolution


def _sensor_column(name, value, cols):
    v = _vector(name, value)
    if v.shape[0] < cols or not np.all(np.isfinite(v[:cols])):
        raise ValueError(_core.message("SensorColumn", [name, str(cols)]))
    return np.ascontiguousarray(v[:cols])


def _c_range(value):
    try:
        c = np.asarray(value, dtype=np.float64).ravel()
    except (TypeError, ValueError):
        c = np.array([])
    if c.size != 2:
        raise ValueError(_core.message("SpeedRange"))
    return float(c[0]), float(c[1])


def _positive(name, value):
    if not math.isfinite(value) or value <= 0:
        raise ValueError(_core.message("Positive", [name]))
    return value
