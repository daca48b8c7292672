"""tofimage.beamform against two peers, in images and in speed.

    python3 bench/beamform_compare.py numba [threads] [repetitions]
    python3 bench/beamform_compare.py ipasc PATH [threads] [repetitions]

numba: linear-interpolation delay-and-sum written as a Python user would
write it with numba (one loop over points, one over sensors; both
@njit(parallel=True) with numba.set_num_threads and a plain @njit, the
faster of the two counts), on the standard workload: a ring of 256 sensors
of radius 40 mm in the plane z = 0, 2030 samples at 40 MHz from 1 us,
c = 1500 m/s, tofimage's 256 x 256 grid of 25 mm as points. Needs NumPy and
python3-numba (Debian).

ipasc: IPASC's reference implementation
(github.com/IPASC/standardised-image-reconstruction, MIT; not part of this
repository: clone it and pass its folder as PATH) on a simulation of our
own: a ring of 128 sensors around three small spheres whose N-shaped
pressure pulses are computed analytically, with a little noise, on a
128 x 128 grid. Its DAS (back_projection) and DMAS (delay_multiply_and_sum,
plain and signed) against tofimage.beamform's 'das', 'dmas' and 'sdmas',
after matching its conventions (see compare_ipasc). Needs NumPy and
python3-torch (Debian).

Times are the best of the repetitions (wall clock, after one warm-up call),
at the same thread count for both sides (default 1). Each pair of images is
compared first (correlation, relative difference), so a speed is never
reported for an image that disagrees.
"""

import math
import sys
import time

import numpy as np

import tofimage


def best_time(f, repetitions, warm_up=True):
    if warm_up:
        f()  # compilation, first touch
    times = []
    for _ in range(repetitions):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return min(times)


def agreement(ours, theirs):
    ours, theirs = np.ravel(ours).astype(np.float64), np.ravel(theirs).astype(np.float64)
    corr = np.corrcoef(ours, theirs)[0, 1]
    rel = np.linalg.norm(ours - theirs) / np.linalg.norm(theirs)
    return corr, rel


def compare_numba(threads, repetitions):
    import numba

    @numba.njit(parallel=True)
    def das_parallel(sig, xs, ys, zs, px, py, pz, c, t0, fs, out):
        rows, cols = sig.shape
        for p in numba.prange(px.size):
            acc = 0.0
            for s in range(cols):
                d = math.sqrt((xs[s] - px[p]) ** 2 + (ys[s] - py[p]) ** 2 + (zs[s] - pz[p]) ** 2)
                pos = d / c * fs - t0 * fs
                if pos >= 0.0 and pos <= rows - 1:
                    i0 = int(pos)
                    i1 = min(i0 + 1, rows - 1)
                    f = pos - i0
                    acc += sig[i0, s] + f * (sig[i1, s] - sig[i0, s])
            out[p] = acc

    das_serial = numba.njit(das_parallel.py_func)  # the same loop without prange's threads

    rows, cols, n, fs, c = 2030, 256, 256, 40e6, 1500.0
    a = 2 * np.pi * np.arange(cols) / cols
    xs, ys, zs = 0.04 * np.cos(a), 0.04 * np.sin(a), np.zeros(cols)
    t = 1e-6 + np.arange(rows) / fs
    sig = np.asfortranarray(np.random.default_rng(1).standard_normal((rows, cols)))
    px, py, _ = tofimage.pixel_coordinates(n, 0.025)
    X, Y = np.meshgrid(px, py)
    points = np.stack([X, Y, np.zeros_like(X)], axis=-1)
    flat = [np.ascontiguousarray(points[..., k]).ravel() for k in range(3)]

    numba.set_num_threads(threads)
    out = np.empty(n * n)
    plan = tofimage.BeamformPlan(xs, ys, zs, c, t, fs, points, numCores=threads)
    ours = plan(sig)
    das_parallel(sig, xs, ys, zs, *flat, c, t[0], fs, out)
    corr, rel = agreement(ours, out)
    print(f"workload: ring of {cols}, {rows} samples, {n} x {n} points, {threads} thread(s), "
          f"tofimage kernel {plan.kernel}, numba {numba.__version__}")
    print(f"images: correlation {corr:.15f}, relative difference {rel:.1e} "
          "(numba's own operation order)")
    if rel > 1e-9:
        sys.exit("the images disagree; no timing")
    t_ours = best_time(lambda: plan(sig), repetitions)
    t_par = best_time(lambda: das_parallel(sig, xs, ys, zs, *flat, c, t[0], fs, out), repetitions)
    t_ser = best_time(lambda: das_serial(sig, xs, ys, zs, *flat, c, t[0], fs, out), repetitions)
    t_numba = min(t_par, t_ser)
    evals = n * n * cols
    print(f"tofimage.BeamformPlan linear das: {t_ours * 1e3:8.1f} ms "
          f"({evals / t_ours / 1e9:.2f} G evaluations/s)")
    print(f"numba @njit(parallel=True):       {t_par * 1e3:8.1f} ms")
    print(f"numba @njit:                      {t_ser * 1e3:8.1f} ms")
    print(f"speed ratio, the faster numba loop over tofimage: {t_numba / t_ours:.1f}x")


def simulate(rng, cols, rows, fs, c):
    """A ring of sensors (radius 20 mm, plane z = 0) and three spheres of
    radius 0.4 mm in that plane: the N-shaped pulse of a uniformly heated
    sphere, p ~ (d - c t) / (2 d) for |d - c t| < R, sampled from t = 0,
    plus noise at 1% of the peak."""
    a = 2 * np.pi * np.arange(cols) / cols
    sensors = np.stack([0.02 * np.cos(a), 0.02 * np.sin(a), np.zeros(cols)], axis=1)
    sources = np.array([[0.004, 0.006, 0.0], [0.009, 0.013, 0.0], [0.014, 0.005, 0.0]])
    R, t = 4e-4, np.arange(rows) / fs
    sig = np.zeros((rows, cols))
    for src in sources:
        d = np.linalg.norm(sensors - src, axis=1)
        u = d[None, :] - c * t[:, None]
        sig += np.where(np.abs(u) < R, u / (2 * d[None, :]), 0.0)
    sig += 0.01 * np.abs(sig).max() * rng.standard_normal(sig.shape)
    return sensors, t, sig


def compare_ipasc(path, threads, repetitions):
    """IPASC's conventions, and how they are matched:
    - time: sample i lies at i / fs from the origin, the delay is d / (c /
      fs) samples: tofimage's t = arange(rows) / fs with sample_offset = 0;
    - points: voxel i of the field of view lies at i * spacing;
    - interpolation: linear, lower * (upper - pos) + upper * (pos - lower),
      the same value as tofimage's (rounded otherwise); positions from
      rows - 1 to rows are clamped to the last sample there, left out here
      (the record here is long enough that none occurs);
    - DAS: back_projection divides the sum by the number of nonzero
      contributions (torch.count_nonzero): tofimage's sum is divided by the
      number of sensors in the record, tofimage.beamform of a signal of
      ones, which with noisy data is the same count;
    - its images are float32 and laid out (x, y, z)."""
    sys.path.insert(0, path)
    import torch
    from image_reconstruction.reconstruction_utils.beamforming import (back_projection,
                                                                       delay_multiply_and_sum)
    torch.set_num_threads(threads)
    rng = np.random.default_rng(3)
    cols, rows, fs, c, spacing = 128, 1536, 40e6, 1500.0, 1.25e-4
    sensors, t, sig = simulate(rng, cols, rows, fs, c)
    fov = np.array([0.0, 128 * spacing, 0.0, 128 * spacing, 0.0, 0.0])
    ix = np.arange(128) * spacing
    X, Y = np.meshgrid(ix, ix, indexing="ij")  # IPASC's (x, y) layout
    points = np.stack([X, Y, np.zeros_like(X)], axis=-1)
    elements = {"positions": sensors}
    xs, ys, zs = sensors.T

    def ours(beamformer, signal=sig):
        return tofimage.beamform(signal, xs, ys, zs, c, t, fs, points, beamformer=beamformer,
                                 numCores=threads)

    def theirs_das():
        return back_projection(sig.T.copy(), elements, fs, fov, spacing, c, 0, 0, 0, 0, None)[:, :, 0]

    def theirs_dmas(signed):
        return delay_multiply_and_sum(sig.T.copy(), elements, fs, fov, spacing, c, 0, signed,
                                      None)[:, :, 0]

    count = ours("das", np.ones_like(sig))
    print(f"simulation: ring of {cols} sensors, {rows} samples, 128 x 128 points, "
          f"{threads} thread(s), torch {torch.__version__}, tofimage kernel "
          f"{tofimage.BeamformPlan(xs, ys, zs, c, t, fs, points).kernel}")
    rows_out = []
    for name, mine, theirs in [
            ("DAS (mean)", lambda: ours("das") / count, theirs_das),
            ("DMAS", lambda: ours("dmas"), lambda: theirs_dmas(False)),
            ("signed DMAS", lambda: ours("sdmas"), lambda: theirs_dmas(True))]:
        corr, rel = agreement(mine(), theirs())
        t_mine = best_time(mine, repetitions)
        # After the call above (its warm-up); DMAS takes long enough once.
        t_theirs = best_time(theirs, 1 if "DMAS" in name else repetitions, warm_up=False)
        rows_out.append((name, corr, rel, t_mine, t_theirs))
    # IPASC's voxel coordinates are integer tensors times a float: torch's
    # default dtype, float32. Their rounding, up to 1e-9 m here, moves a
    # position by up to 3e-5 samples, which at the N-pulses' jumps is most of
    # the difference above. With float64 as the default they agree further.
    torch.set_default_dtype(torch.float64)
    corr64, rel64 = agreement(ours("das") / count, theirs_das())
    torch.set_default_dtype(torch.float32)
    print(f"{'':12} {'correlation':>14} {'rel. diff.':>10} {'tofimage':>10} {'IPASC':>10} "
          f"{'ratio':>7}")
    for name, corr, rel, t_mine, t_theirs in rows_out:
        print(f"{name:12} {corr:14.9f} {rel:10.1e} {t_mine * 1e3:8.1f}ms "
              f"{t_theirs * 1e3:8.0f}ms {t_theirs / t_mine:6.0f}x")
    print(f"DAS, IPASC with torch's default dtype float64: correlation {corr64:.9f}, "
          f"relative difference {rel64:.1e}")


if __name__ == "__main__":
    what = sys.argv[1] if len(sys.argv) > 1 else ""
    if what == "numba":
        compare_numba(int(sys.argv[2]) if len(sys.argv) > 2 else 1,
                      int(sys.argv[3]) if len(sys.argv) > 3 else 5)
    elif what == "ipasc" and len(sys.argv) > 2:
        compare_ipasc(sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 1,
                      int(sys.argv[4]) if len(sys.argv) > 4 else 3)
    else:
        sys.exit(__doc__)
