"""tofimage.beamform against an independent NumPy model of its definition, on
small random requests and every option; tofimage's own image as the special
case it contains; stacks, plans and Dask against single frames; bad input."""

import pickle
import re

import numpy as np
import pytest

import tofimage
from test_tofimage import assert_same_bits, ring_case

JUST_BELOW_HALF = 0.49999999999999994
TERMS = {"signal": 1, "derivative": 2, "difference": 3}


def model(sig, xs, ys, zs, c, t, fs, points, interp="linear", beamformer="das", term="signal",
          fnumber=None, normals=None, window="box", weights=None, envelope=False,
          sample_offset=0.0):
    """The image, written from the definition: each sensor's term, its
    analytic signal for an envelope, the sample position of each point, the
    interpolated value, the apodization weight, and the beamformer over the
    sensors that contribute, summed in sensor order."""
    rows, cols = sig.shape
    g = np.asarray(sig, np.float64)
    term = TERMS.get(term, term)
    if term != 1:
        D = np.zeros_like(g)
        D[:-1] = (t[:-1, None] * (1.0 / (t[1] - t[0]))) * (g[1:] - g[:-1])
        g = D if term == 2 else g - D
    if envelope:
        h = np.zeros(rows)
        h[0] = 1.0
        h[1:(rows + 1) // 2] = 2.0
        if rows % 2 == 0:
            h[rows // 2] = 1.0
        g = np.fft.ifft(np.fft.fft(g, axis=0) * h[:, None], axis=0)
    P = np.asarray(points, np.float64).reshape(-1, 3)
    S = np.zeros(len(P), g.dtype)
    sum_sq, sum_h, sum_hh, K = (np.zeros(len(P)) for _ in range(4))
    for s in range(cols):
        e = np.array([xs[s], ys[s], zs[s]]) - P
        d = np.sqrt((e[:, 0] * e[:, 0] + e[:, 1] * e[:, 1]) + e[:, 2] * e[:, 2])
        pos = (fs / c) * d - (fs * t[0] - sample_offset)
        if interp == "nearest":
            up = pos + JUST_BELOW_HALF
            inside = (up >= 0) & (up < rows)
            v = g[np.where(inside, np.floor(up), 0).astype(int), s]
        else:
            inside = (pos >= 0) & (pos <= rows - 1)
            i0 = np.where(inside, np.floor(pos), 0).astype(int)
            f = np.where(inside, pos - i0, 0.0)
            g0, g1 = g[i0, s], g[np.minimum(i0 + 1, rows - 1), s]
            v = g0 + f * (g1 - g0)
        w = np.full(len(P), 1.0 if weights is None else float(weights[s]))
        if fnumber is not None:
            n = np.asarray(normals[s], np.float64)
            cos = (-e @ n) / (np.linalg.norm(e, axis=1) * np.linalg.norm(n))
            x = np.arccos(np.clip(cos, -1, 1)) / np.arctan(1 / (2 * fnumber))
            A = {"box": np.ones_like(x), "hann": 0.5 * (1 + np.cos(np.pi * x)),
                 "tukey": np.where(x <= 0.5, 1.0, 0.5 * (1 + np.cos(2 * np.pi * (x - 0.5))))}
            w = np.where(x <= 1, w * A[window], 0.0)
        use = inside & (w != 0)
        a = np.where(use, w * v, 0)
        S = np.where(use, S + a, S)
        if beamformer != "das":
            hs = np.sign(a) * np.sqrt(np.abs(a))
            sum_sq, sum_h, sum_hh = sum_sq + a * a, sum_h + hs, sum_hh + hs * hs
            K += use
    with np.errstate(invalid="ignore", divide="ignore"):
        cf = np.where(K * sum_sq > 0, S * S / (K * sum_sq), 0.0)
        dmas = (sum_h * sum_h - sum_hh) / 2
    out = {"das": np.abs(S) if envelope else S, "cf": cf, "das-cf": S * cf, "dmas": dmas,
           "sdmas": np.sign(S) * dmas}[beamformer]
    return out.reshape(np.shape(points)[:-1])


def request(rng, cols, rows, shape=(5, 7), frames=None):
    """Sensors around a box of points, at random times that leave some
    positions before and after the record; every scalar differs."""
    u = rng.standard_normal((cols, 3))
    sensors = 0.02 * u / np.linalg.norm(u, axis=1)[:, None]
    points = rng.uniform(-0.008, 0.008, shape + (3,))
    fs, c = rng.uniform(2e7, 5e7), rng.uniform(1400, 1600)
    t = rng.uniform(0.005, 0.012) / c + np.arange(rows) / fs
    sig = rng.standard_normal((rows, cols) if frames is None else (rows, cols, frames))
    # Normals toward the box's centre, tilted at random.
    normals = -sensors + rng.uniform(-0.01, 0.01, (cols, 3))
    return dict(sig=sig, xs=sensors[:, 0], ys=sensors[:, 1], zs=sensors[:, 2], c=c, t=t, fs=fs,
                points=points), normals


def beamform(req, plan=tofimage.beamform, **options):
    r = req
    return plan(r["sig"], r["xs"], r["ys"], r["zs"], r["c"], r["t"], r["fs"], r["points"],
                **options)


def scalar_kernel(sig, *args, **options):
    return tofimage.BeamformPlan._scalar_kernel(*args, **options)(sig)


OPTIONS = [dict(interp="nearest"), dict(), dict(term="derivative"), dict(term=3),
           dict(sample_offset=1.75, interp="nearest"), dict(sample_offset=-2.5),
           dict(beamformer="cf"), dict(beamformer="das-cf"), dict(beamformer="dmas"),
           dict(beamformer="sdmas", term="difference"), dict(envelope=True),
           dict(envelope=True, interp="nearest", term=2)]
APODIZED = [dict(fnumber=1.0), dict(fnumber=0.7, window="hann"),
            dict(fnumber=1.5, window="tukey", beamformer="sdmas"),
            dict(fnumber=0.5, window="hann", beamformer="das-cf", interp="nearest")]


@pytest.mark.parametrize("options", OPTIONS + APODIZED, ids=repr)
def test_against_model(options):
    """Both kernels against the model on random requests. The plain sums
    are the definition's operations in its order: equal bit for bit.
    Square roots, angles and the fft's complex sums may round otherwise."""
    rng = np.random.default_rng(len(repr(options)))
    nonzero = 0
    for cols, rows, shape in [(1, 700, (3,)), (17, 300, (4, 9)), (40, 257, (3, 4, 5))]:
        req, normals = request(rng, cols, rows, shape)
        opts = dict(options)
        if "fnumber" in opts:
            opts["normals"] = normals
        opts["weights"] = rng.choice([0.0, 0.5, 1.0, 2.25], cols)
        want = model(*req.values(), **opts)
        exact = not (set(opts) & {"fnumber", "envelope", "beamformer"})
        for got in (beamform(req, **opts), beamform(req, scalar_kernel, **opts)):
            assert got.shape == shape
            if exact:
                assert_same_bits(got, want)
            else:
                np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12 * np.abs(want).max())
        nonzero += np.count_nonzero(want)
    assert nonzero > 0


def test_is_tofimage_on_its_grid():
    """Nearest sample, sample_offset=1, 'das', terms 1 and 2, at the pixel
    centres of tofimage's grid, every position within the record: the image
    of tofimage.reconstruct, bit for bit."""
    rng = np.random.default_rng(21)
    for n, cols, term in [(31, 24, 1), (64, 128, 2), (96, 256, 1)]:
        sig, n, x, y, z, c, _, t, fs, width, _ = ring_case(rng, n, cols, 10, term)
        reach = (np.hypot(np.abs(x).max(), np.abs(y).max()) + width) / c
        t = np.arange(int(reach * fs) + 8) / fs
        sig = rng.standard_normal((len(t), cols))
        px, py, _ = tofimage.pixel_coordinates(n, width)
        grid = np.stack(np.broadcast_arrays(px[None, :], py[:, None], 0.0), axis=-1)
        want = tofimage.reconstruct(sig, n, x, y, z, c, term, t, fs, width)
        got = tofimage.beamform(sig, x, y, z, c, t, fs, grid, interp="nearest", term=term,
                                sample_offset=1)
        assert_same_bits(got, want)


def test_stacks_plans_and_dask():
    """Stacks of float64, float32 and int16 frames, through beamform, a plan
    (pickled too) and Dask: each image that of its frame alone."""
    da = pytest.importorskip("dask.array")
    import tofimage.dask
    rng = np.random.default_rng(8)
    frames = 7
    for options in [dict(beamformer="sdmas"), dict(envelope=True, term=2)]:
        req, _ = request(rng, 24, 400, (6, 5), frames)
        stack = req.pop("sig")
        args = list(req.values())
        calls = []
        for dtype in (np.float64, np.float32, np.int16):
            sig = np.asfortranarray(stack * 1000).astype(dtype)
            want = np.stack([tofimage.beamform(sig[:, :, f].astype(np.float64), *args,
                                               **options) for f in range(frames)], axis=-1)
            assert_same_bits(tofimage.beamform(sig, *args, **options), want)
            plan = tofimage.BeamformPlan(*args, **options, frames=3)
            assert_same_bits(plan(np.ascontiguousarray(sig),
                                  progress=lambda d, n: calls.append((d, n))), want)
            assert_same_bits(pickle.loads(pickle.dumps(plan))(sig[:, :, 2]), want[..., 2])
            lazy = tofimage.dask.beamform(da.from_array(sig, chunks=(200, 24, 3)), *args,
                                          **options)
            assert lazy.chunks[-1] == (3, 3, 1)
            assert_same_bits(lazy.compute(scheduler="threads"), want)
        assert calls[-1] == (frames, frames)
    # A list of points (no grid) gives a list of values.
    one = tofimage.dask.beamform(da.from_array(stack), *args[:-1], args[-1][0])
    assert_same_bits(one.compute(), tofimage.beamform(stack, *args[:-1], args[-1][0]))


def test_errors():
    rng = np.random.default_rng(2)
    req, normals = request(rng, 8, 100)

    def message(error=ValueError, **changes):
        r = dict(req)
        options = {k: changes.pop(k) for k in list(changes) if k not in r}
        r.update(changes)
        with pytest.raises(error) as info:
            beamform(r, **options)
        return str(info.value)

    assert message(points=np.zeros((4, 2))).startswith("points must have shape (..., 3)")
    assert message(sig=req["sig"].T).startswith("t must have the same number of elements")
    assert message(normals=normals[:, :2], fnumber=1.0).startswith("normals must have shape")
    nan = req["points"].copy()
    nan[2, 3, 1] = np.nan
    zero = normals.copy()
    zero[2] = 0
    # The engine's messages, which name the options as MATLAB's help does.
    for pattern, changes in [("fnumber needs normals", dict(fnumber=1.5)),
                             ("fnumber needs normals", dict(fnumber=1.5, normals=normals[:5])),
                             ("normal of sensor 3", dict(fnumber=1.5, normals=zero)),
                             ("weights must have one element per sensor", dict(weights=[1.0] * 7)),
                             ("weights must have one element per sensor", dict(weights=[1.0] * 9)),
                             ("fnumber needs normals", dict(fnumber=1.5, normals=np.ones((9, 3)))),
                             ("z_sensor must have as many elements as sigMat has columns",
                              dict(zs=np.zeros(9))),
                             ("must be finite", dict(points=nan)),
                             ("envelope works with the 'das' beamformer only",
                              dict(envelope=True, beamformer="dmas")),
                             ("interp must be 'nearest' or 'linear'", dict(interp="cubic")),
                             ("window must be", dict(window="kaiser", fnumber=1.0, normals=normals)),
                             ("beamformer must be", dict(beamformer="mv"))]:
        assert re.search(pattern, message(**changes), re.I), (pattern, changes)
    assert message(TypeError, term=1.5).startswith("term must be a string or 1, 2, 3")
    assert message(TypeError, sig=req["sig"] * 1j).startswith("sigMat must be real")
