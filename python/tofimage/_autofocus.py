"""The speed of sound that brings a scan into focus: ``tofimage.autofocus``.

The search is the MATLAB/Octave function ``tofimage_autofocus`` step for
step (same candidates, same scores to rounding), over ``Plan``.
"""

from __future__ import annotations

import math
import time
from typing import List, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

# The package imports this module after defining these.
from . import Plan, _count, _real, _scalar, _term, _vector, pixel_coordinates

_METHODS = ("coherence", "subaperture", "sharpness")
_COARSE = 16      # intervals of the first level
_SPLIT = 4        # each level divides the step by this


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
    subapertures : str
        How the array was divided.
    notes : list of str
        Warnings in words (edge, limited view).
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


def autofocus(sigMat: npt.ArrayLike, n: int, x_sensor: npt.ArrayLike, y_sensor: npt.ArrayLike,
              z_sensor: npt.ArrayLike, c_range: Sequence[float], image_select, t: npt.ArrayLike,
              fs: float, image_width: float, numCores: int = 0, *,
              roi: Optional[Sequence[float]] = None, search_n: int = 128,
              method: str = "coherence", resolution: Optional[float] = None) -> AutofocusResult:
    """Find the speed of sound that brings a scan into focus.

    Takes the arguments of ``reconstruct``, with ``c_range = (c_min, c_max)``
    in place of ``c``, and searches that range for the speed at which the
    image is best focused. It is MATLAB's ``tofimage_autofocus``: the same
    candidates, the same scores up to rounding, the same result.

    Parameters
    ----------
    sigMat : array_like, shape (samples, sensors)
        The recorded signals, at least 2 samples and 4 sensors, finite.
    n : int
        Pixels on each side of the final image (``result.image``).
    x_sensor, y_sensor, z_sensor : array_like, 1-D
        Sensor positions, at least ``sensors`` elements each, finite.
    c_range : pair of float
        ``(c_min, c_max)``, ``0 < c_min < c_max``, finite.
    image_select : float or {'signal', 'derivative', 'difference'}
        The term the search images and the final image sum, as in
        ``reconstruct``.
    t : array_like, 1-D
        Time of each sample, finite.
    fs : float
        Sampling rate, positive.
    image_width : float
        Side of the final image, positive.
    numCores : int, optional
        Threads for each reconstruction; 0 uses OpenMP's default.
    roi : sequence of 4 floats, optional
        ``(x_min, x_max, y_min, y_max)``: the region searched. By default
        the image field of `n` and `image_width`. The search grid is the
        square of side ``max(x_max - x_min, y_max - y_min)`` on its centre.
    search_n : int, optional
        Pixels on each side of the search grid, at least 16.
    method : {'coherence', 'subaperture', 'sharpness'}, optional
        How an image is scored: the sensors' coherence factor, averaged
        over the pixels weighted by the image's energy (each sensor its own
        sub-aperture); the correlation of images from disjoint parts of the
        array (see Notes); or the normalised Brenner gradient.
    resolution : float, optional
        The finest step between candidates; by default ``c_mid / 1500``
        (1 m/s around 1500 m/s).

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
    sig = _real("sigMat", sigMat)
    if sig.ndim != 2:
        raise ValueError("sigMat must be a real matrix (time samples x sensors)")
    rows, cols = sig.shape
    if rows < 2 or cols < 4:
        raise ValueError("sigMat must have at least 2 rows (time samples) and 4 columns "
                         f"(sensors), not {rows} x {cols}")
    sig = np.asfortranarray(sig, dtype=np.float64)
    if not np.all(np.isfinite(sig)):
        raise ValueError("sigMat must be finite (no NaN or Inf)")
    n = _count("n", n)
    if n < 1:
        raise ValueError("n must be a whole number of at least 1")
    x, y, z = (_sensor_column(name, v, cols) for name, v in
               (("x_sensor", x_sensor), ("y_sensor", y_sensor), ("z_sensor", z_sensor)))
    c_range = _c_range(c_range)
    image_select = _term(image_select)
    t = _vector("t", t)
    if t.shape[0] < rows or not np.all(np.isfinite(t[:rows])):
        raise ValueError(f"t must hold a finite time for each of the {rows} rows of sigMat")
    t = t[:rows]
    if t[1] == t[0] and image_select != 1:
        raise ValueError("t[1] must differ from t[0]: the derivative term divides by it")
    fs = _positive("fs", _scalar("fs", fs))
    image_width = _positive("image_width", _scalar("image_width", image_width))
    numCores = _count("numCores", numCores)
    if roi_given is None:
        dx = image_width / n
        half = n // 2
        roi_given = (-(half - 1) - 0.5) * dx, ((n - half) + 0.5) * dx, \
            ((half - 1) - n + 0.5) * dx, ((half - 1) + 0.5) * dx
    if resolution is None:
        resolution = (c_range[0] + c_range[1]) / 2 / 1500

    search = _Search(x, y, z, t, fs, image_select, roi_given, search_n, method)
    candidates, scores, levels, best, unit = search.run(sig, c_range, resolution, numCores)
    c = float(candidates[best])
    image = Plan(n, x, y, z, c, image_select, t, fs, image_width, numCores)(sig)

    edge = c == c_range[0] or c == c_range[1]
    limited = search.view_angle < 270
    notes: List[str] = []
    if edge:
        notes.append(f"best value at the edge of c_range (c = {c:g}): the focus may lie outside "
                     f"[{c_range[0]:g} {c_range[1]:g}]; widen c_range")
    if limited:
        notes.append(f"limited view: the sensors surround the region over "
                     f"{search.view_angle:.0f} degrees only; structures seen from one side look "
                     "sharp at every c, so c rests on compact features (points, ends of "
                     "vessels): put the roi on one")
    return AutofocusResult(c=c, candidates=candidates, scores=scores, levels=levels,
                           method=method, image=image,
                           image_width=image_width, roi=tuple(roi_given), search_n=search_n,
                           resolution=unit, edge=edge, view_angle=search.view_angle,
                           limited_view=limited, subapertures=search.description, notes=notes,
                           seconds=time.perf_counter() - started)


class _Search:
    """Everything the candidates share: the search grid's placement, the
    sub-apertures and the time shift."""

    def __init__(self, x, y, z, t, fs, image_select, roi, search_n, method):
        xc, yc = (roi[0] + roi[1]) / 2, (roi[2] + roi[3]) / 2
        self.width = max(roi[1] - roi[0], roi[3] - roi[2])
        self.search_n = m = search_n
        self.pitch = self.width / m
        # The engine's grid is centred on ((m-1)/2 - (m//2 - 1)) * pitch in x
        # and the opposite in y; moving the sensors moves the region there.
        offset = ((m - 1) / 2 - (m // 2 - 1)) * self.pitch
        self.x, self.y, self.z = x - xc + offset, y - yc - offset, z
        self.reach = float(np.median(np.sqrt((x - xc) ** 2 + (y - yc) ** 2 + z ** 2)))
        self.t = t
        self.t_search = t + (1.0 if image_select == 1 else 1.5) / fs
        self.fs = fs
        self.image_select = image_select
        self.method = method
        order, self.view_angle = _angular_order(x - xc, y - yc)
        cols = len(x)
        if method == "subaperture":
            if self.view_angle >= 270:
                q = cols // 4
                self.groups = [order[np.mod(k * q + np.arange(2 * q), cols)] for k in range(4)]
                self.pairs = [(0, 2), (1, 3)]
                self.magnitude = False
                self.description = (f"4 half-apertures of {2 * q} sensors by angle around the "
                                    "region's centre, starting a quarter apart; opposed halves "
                                    "compared")
            else:
                h = cols // 2
                self.groups = [order[:h], order[cols - h:]]
                self.pairs = [(0, 1)]
                self.magnitude = True
                self.description = (f"2 halves of {h} sensors by angle around the region's "
                                    "centre, compared by magnitude")
            self.tapers = [np.sin(np.pi * (np.arange(1, len(g) + 1) - 0.5) / len(g)) ** 2
                           for g in self.groups]
        elif method == "coherence":
            self.groups = [np.arange(cols)]
            self.description = f"each of the {cols} sensors its own sub-aperture"
        else:
            self.groups = [np.arange(cols)]
            self.description = "the whole array"

    def run(self, sig, c_range, resolution, numCores):
        """Every candidate of every level, in the order tried, and the index of
        the best of the last level. Scores are compared within a level only:
        each level smooths the signals differently."""
        last = 0
        while (c_range[1] - c_range[0]) / (_COARSE * _SPLIT ** last) > resolution:
            last += 1
        unit = (c_range[1] - c_range[0]) / (_COARSE * _SPLIT ** last)
        top = _COARSE * _SPLIT ** last
        c_mid = (c_range[0] + c_range[1]) / 2
        candidates, scores, levels = [], [], []
        m_best, best = 0, 0
        for level in range(last + 1):
            step = _SPLIT ** (last - level)
            if level == 0:
                ms = list(range(0, top + 1, step))
            else:
                ms = [m_best + j * step for j in range(-_SPLIT, _SPLIT + 1)
                      if 0 <= m_best + j * step <= top]
            data = self._level_signals(sig, step * unit, c_mid)
            level_scores = [self._score(data, c_range[0] + m * unit, numCores) for m in ms]
            at = int(np.argmax(level_scores))
            m_best, best = ms[at], len(candidates) + at
            candidates += [c_range[0] + m * unit for m in ms]
            scores += level_scores
            levels += [level] * len(ms)
        return np.array(candidates), np.array(scores), np.array(levels), best, unit

    def _level_signals(self, sig, step, c_mid):
        blur = max(self.reach * step / c_mid, self.pitch) / c_mid * self.fs
        half = int(math.ceil(4 * blur))
        g = np.exp(-0.5 * (np.arange(-half, half + 1) / blur) ** 2)
        g = g / g.sum()
        s = _smooth_columns(sig, g)
        if self.image_select == 1:
            v = s
        else:
            ds = np.zeros_like(s)
            ds[:-1] = s[1:] - s[:-1]
            term = (self.t * (1 / (self.t[1] - self.t[0])))[:, None] * ds
            v = term if self.image_select == 2 else s - term
        if self.method == "subaperture":
            return [np.asfortranarray(v[:, g] * w) for g, w in zip(self.groups, self.tapers)]
        if self.method == "coherence":
            return [np.asfortranarray(v), np.asfortranarray(v * v)]
        return [np.asfortranarray(v)]

    def _score(self, data, c, numCores):
        def recon(part, sensors):
            plan = Plan(self.search_n, self.x[sensors], self.y[sensors], self.z[sensors], c, 1,
                        self.t_search, self.fs, self.width, numCores)
            return plan(part)

        if self.method == "coherence":
            S = recon(data[0], self.groups[0])
            Q = recon(data[1], self.groups[0])
            seen = Q > 0
            energy = S[seen] ** 2
            total = energy.sum()
            if total > 0:
                return float((energy ** 2 / (len(self.x) * Q[seen])).sum() / total)
            return 0.0
        if self.method == "subaperture":
            images = [recon(part, g) for part, g in zip(data, self.groups)]
            if self.magnitude:
                images = [np.abs(im) for im in images]
            return float(sum(_correlation(images[a], images[b]) for a, b in self.pairs)
                         / len(self.pairs))
        F = recon(data[0], self.groups[0])
        F = F - F.mean()
        energy = (F ** 2).sum()
        if energy > 0:
            return float((((F[2:, :] - F[:-2, :]) ** 2).sum()
                          + ((F[:, 2:] - F[:, :-2]) ** 2).sum()) / energy)
        return 0.0


def _smooth_columns(sig, g):
    """Each column convolved with the odd, symmetric kernel g, zero outside
    (MATLAB's conv2(sig, g, 'same'))."""
    half = len(g) // 2
    rows = sig.shape[0]
    padded = np.zeros((rows + 2 * half, sig.shape[1]))
    padded[half:half + rows] = sig
    out = np.zeros_like(sig)
    for k, w in enumerate(g):
        out += w * padded[k:k + rows]
    return out


def _angular_order(dx, dy) -> Tuple[np.ndarray, float]:
    """Sensors in order of their angle around the origin, starting after the
    widest gap between neighbours; the angle they span, in degrees."""
    theta = np.arctan2(dy, dx)
    order = np.argsort(theta, kind="stable")
    ordered = theta[order]
    gaps = np.diff(np.concatenate([ordered, [ordered[0] + 2 * np.pi]]))
    at = int(np.argmax(gaps))
    return np.roll(order, -(at + 1)), float((2 * np.pi - gaps[at]) * 180 / np.pi)


def _correlation(a, b):
    a = a.ravel() - a.mean()
    b = b.ravel() - b.mean()
    d = math.sqrt((a * a).sum() * (b * b).sum())
    return float((a * b).sum() / d) if d > 0 else 0.0


def _options(method, roi, search_n, resolution):
    if not isinstance(method, str) or method.lower() not in _METHODS:
        raise ValueError("method must be 'coherence', 'subaperture' or 'sharpness'")
    if roi is not None:
        roi = np.asarray(roi, dtype=np.float64).ravel()
        if roi.size != 4 or not np.all(np.isfinite(roi)) or roi[1] <= roi[0] or roi[3] <= roi[2]:
            raise ValueError("roi must be [x_min x_max y_min y_max], finite, with x_max > x_min "
                             "and y_max > y_min")
        roi = tuple(float(v) for v in roi)
    if (isinstance(search_n, bool) or not isinstance(search_n, (int, float, np.number))
            or not math.isfinite(search_n) or search_n != int(search_n) or search_n < 16):
        raise ValueError("search_n must be a whole number of at least 16")
    if resolution is not None:
        resolution = _positive("resolution", _scalar("resolution", resolution))
    return method.lower(), roi, int(search_n), resolution


def _sensor_column(name, value, cols):
    v = _vector(name, value)
    if v.shape[0] < cols or not np.all(np.isfinite(v[:cols])):
        raise ValueError(f"{name} must hold a finite coordinate for each of the {cols} sensors "
                         "(columns of sigMat)")
    return np.ascontiguousarray(v[:cols])


def _c_range(value):
    try:
        c = np.asarray(value, dtype=np.float64).ravel()
    except (TypeError, ValueError):
        c = np.array([])
    if c.size != 2 or not np.all(np.isfinite(c)) or c[0] <= 0 or c[1] <= c[0]:
        raise ValueError("c_range must be [c_min c_max] with 0 < c_min < c_max, both finite")
    return float(c[0]), float(c[1])


def _positive(name, value):
    if not math.isfinite(value) or value <= 0:
        raise ValueError(f"{name} must be a finite positive number")
    return value
