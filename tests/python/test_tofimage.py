"""The Python package against the MEX module (through octave-cli), across
array layouts, frames, threads and a Dask cluster, and its errors."""

import os
import re
import subprocess
import tempfile
import tracemalloc
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import tofimage

# The worked example (sensors at (0, 0.5, 0) and (2, 2, 0), t = 2..7, fs = c = 1)
# and its images computed by hand, as MATLAB prints them.
WORKED_SIG = np.array([[10, 0], [20, 1], [30, 4], [40, 9], [50, 16], [60, 25]], float)
WORKED_IMAGES = {1: [[14, 11], [29, 24]], 2: [[40, 29], [65, 50]], 3: [[-26, -18], [-36, -26]]}


def worked_example(mode):
    return [WORKED_SIG, 2, np.array([0, 2.0]), np.array([0.5, 2]), np.zeros(2), 1.0, mode,
            np.arange(2, 8.0), 1.0, 2.0, 1]


def ring_case(rng, n, cols, rows, mode, frames=None):
    """A ring of sensors off the image plane with random signals; every scalar
    differs, so any mix-up of arguments changes the image."""
    a = 2 * np.pi * np.arange(cols) / cols
    r = rng.uniform(0.015, 0.03)
    x = r * np.cos(a) + rng.uniform(-0.005, 0.005)
    y = r * np.sin(a) + rng.uniform(-0.005, 0.005)
    z = rng.uniform(0, 0.002, cols)
    fs = rng.uniform(1e7, 6e7)
    t = rng.uniform(0, 5e-6) + np.arange(rows) / fs
    shape = (rows, cols) if frames is None else (rows, cols, frames)
    sig = np.asfortranarray(rng.standard_normal(shape))
    return [sig, n, x, y, z, rng.uniform(1400, 1600), mode, t, fs, rng.uniform(0.01, 0.04), 1]


def assert_same_bits(got, want):
    got, want = np.asarray(got), np.asarray(want, dtype=np.float64)
    assert got.dtype == np.float64 and got.shape == want.shape
    np.testing.assert_array_equal(got.view(np.int64), want.view(np.int64))


def mex_images(cases):
    """The MEX module's image for each argument list, from one octave-cli run."""
    mex_dir = os.environ.get("TOFIMAGE_MEX_DIR")
    if not mex_dir:
        pytest.skip("TOFIMAGE_MEX_DIR (the folder of the built MEX module) is not set; ctest sets it")
    with tempfile.TemporaryDirectory() as d:
        for k, (sig, n, x, y, z, c, mode, t, fs, width, cores) in enumerate(cases):
            head = [*sig.shape, n, c, mode, fs, width, cores]
            np.concatenate([head, sig.ravel(order="F"), x, y, z, t]).tofile(f"{d}/in{k}")
        script = f"""for k = 0:{len(cases) - 1}
          f = fopen(sprintf('in%d', k)); v = fread(f, Inf, 'double'); fclose(f);
          rows = v(1); cols = v(2); p = 9 + rows * cols;
          s = reshape(v(9:p - 1), rows, cols); xyz = reshape(v(p:p + 3 * cols - 1), cols, 3);
          R = tofimage(s, v(3), xyz(:, 1), xyz(:, 2), xyz(:, 3), v(4), v(5), v(p + 3 * cols:end), v(6), v(7), v(8));
          f = fopen(sprintf('out%d', k), 'w'); fwrite(f, R, 'double'); fclose(f);
        end"""
        octave = os.environ.get("TOFIMAGE_OCTAVE", "octave-cli")
        subprocess.run([octave, "--no-gui", "-q", "-H", "--no-site-file", "--path", mex_dir,
                        "--eval", script], cwd=d, check=True)
        return [np.fromfile(f"{d}/out{k}").reshape((case[1], case[1]), order="F")
                for k, case in enumerate(cases)]


def test_worked_example_orientation():
    # Recon[K, L] is MATLAB's Recon(K+1, L+1): the hand-computed images.
    for mode, image in WORKED_IMAGES.items():
        assert_same_bits(tofimage.reconstruct(*worked_example(mode)), image)


def test_equals_mex_module():
    rng = np.random.default_rng(12)
    cases = [worked_example(mode) for mode in (1, 2, 3)]
    for mode in (1, 2, 3, 0.5, np.nan, 1, 2, 3):
        cases.append(ring_case(rng, int(rng.integers(1, 40)), int(rng.integers(1, 48)),
                               int(rng.integers(2, 600)), mode))
    for mode in (1, 3):  # big enough for the vector kernel's full tiles
        cases.append(ring_case(rng, 96, 128, 1500, mode))
    for case, want in zip(cases, mex_images(cases)):
        assert_same_bits(tofimage.reconstruct(*case), want)


def test_layouts_and_conversions():
    rng = np.random.default_rng(3)
    args = ring_case(rng, 24, 40, 700, 3)
    sig = args[0]
    want = tofimage.reconstruct(*args)

    def image(s, changes={}):
        a = list(args)
        a[0] = s
        for pos, v in changes.items():
            a[pos] = v
        return tofimage.reconstruct(*a)

    rows, cols = sig.shape
    padded = np.zeros((2 * rows, 3 * cols))
    padded[::2, ::3] = sig
    columns = np.zeros((rows + 3, 2 * cols), order="F")
    columns[1:rows + 1, ::2] = sig
    unaligned = np.frombuffer(b"\0" + sig.tobytes(order="F"), np.float64, offset=1)
    variants = [np.ascontiguousarray(sig),                   # C order
                np.ascontiguousarray(sig.T).T,               # transposed (sensors, samples)
                padded[::2, ::3],                            # strided view
                columns[1:rows + 1, ::2],                    # columns apart
                np.asfortranarray(sig[::-1])[::-1],          # negative stride
                sig.astype(">f8"),                           # byte-swapped
                unaligned.reshape(sig.shape, order="F")]
    for v in variants:
        assert_same_bits(image(v), want)
    # Other real types are converted to float64, exactly.
    for dtype in (np.float32, np.int16, np.uint8, bool):
        s = (sig * 50).astype(dtype)
        assert_same_bits(image(s), image(s.astype(np.float64)))
    x32 = args[2].astype(np.float32)
    assert_same_bits(image(sig, {2: x32, 7: list(args[7])}), image(sig, {2: x32.astype(float)}))
    # n and numCores: whole numbers of any numeric type.
    assert_same_bits(image(sig, {1: 24.0, 10: np.int8(3)}), want)

    # Fortran-ordered and transposed C arrays are read in place; a C-ordered
    # one costs a copy of its size.
    def peak(s):
        tracemalloc.start()
        image(s)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        return peak
    assert peak(variants[0]) >= sig.nbytes
    assert peak(sig) < sig.nbytes // 4 and peak(variants[1]) < sig.nbytes // 4


def test_errors():
    base = worked_example(1)
    engine = "n is too large: n*n must be less than 2^31"
    cases = [
        ({0: WORKED_SIG + 1j}, TypeError, "sigMat must be real, not complex"),
        ({5: 1 + 0j}, TypeError, "c must be real, not complex"),
        ({2: ["a", "b"]}, TypeError, "x_sensor must be a real numeric array"),
        ({0: WORKED_SIG.ravel()}, ValueError, "sigMat must have shape (samples, sensors), not (12,)"),
        ({7: np.arange(7.0)}, ValueError, "t must have the same number of elements as sigMat has rows"),
        ({7: np.arange(6.0)[:, None]}, ValueError, "t must be a 1-D array, not 2-D"),
        ({0: WORKED_SIG[:1], 7: [2.0]}, ValueError, "sigMat must have at least two rows (time samples)"),
        ({4: [0.0]}, ValueError, "z_sensor must have at least as many elements as sigMat has columns"),
        ({1: -1}, ValueError, "n must not be negative"),
        ({1: 46341}, ValueError, engine),
        ({1: np.inf}, ValueError, engine),
        ({1: 2**70}, ValueError, engine),
        ({1: np.nan}, ValueError, "n must be a number, not NaN"),
        ({1: 2.5}, ValueError, "n must be a whole number, not 2.5"),
        ({10: 1.5}, ValueError, "numCores must be a whole number, not 1.5"),
        ({8: []}, ValueError, "fs must not be empty"),
        ({9: [1.0, 2.0]}, ValueError, "image_width must be a scalar, not an array of shape (2,)"),
    ]
    for changes, error, message in cases:
        args = list(base)
        for pos, value in changes.items():
            args[pos] = value
        with pytest.raises(error, match="^" + re.escape(message)):
            tofimage.reconstruct(*args)
    stack = np.repeat(WORKED_SIG[:, :, None], 2, axis=2)
    with pytest.raises(ValueError, match=re.escape(engine)):
        tofimage.reconstruct_frames(stack, 46341, *base[2:])
    with pytest.raises(ValueError, match=re.escape("sigMat must have shape (samples, sensors, frames)")):
        tofimage.reconstruct_frames(WORKED_SIG, *base[1:])


def frame_by_frame(args):
    sig = np.asarray(args[0])
    return np.stack([tofimage.reconstruct(sig[:, :, f], *args[1:])
                     for f in range(sig.shape[2])], axis=2)


def test_frames_and_threads():
    rng = np.random.default_rng(5)
    args = ring_case(rng, 48, 64, 900, 3, frames=6)
    want = frame_by_frame(args)
    for stack in (args[0], np.ascontiguousarray(args[0]), args[0][:, :, ::-1][:, :, ::-1]):
        assert_same_bits(tofimage.reconstruct_frames(stack, *args[1:]), want)

    # Four threads at once, each on two threads of its own, each frame several
    # times: the same images as one call after another.
    def one(f):
        return tofimage.reconstruct(args[0][:, :, f], *args[1:10], 2)
    with ThreadPoolExecutor(4) as pool:
        images = list(pool.map(one, [f % 6 for f in range(24)]))
    for f, got in enumerate(images):
        assert_same_bits(got, want[:, :, f % 6])


def test_dask_local_cluster():
    da = pytest.importorskip("dask.array")
    distributed = pytest.importorskip("distributed")
    import tofimage.dask

    rng = np.random.default_rng(7)
    args = ring_case(rng, 40, 32, 400, 1, frames=5)
    want = frame_by_frame(args)
    # Chunked along the samples too: the package gathers them per task.
    sig = da.from_array(args[0], chunks=(200, 32, 2))
    with pytest.raises(TypeError, match="sigMat must be real"):
        tofimage.dask.reconstruct_frames(sig * 1j, *args[1:])
    lazy = tofimage.dask.reconstruct_frames(sig, *args[1:])
    assert lazy.shape == (40, 40, 5) and lazy.chunks[2] == (2, 2, 1)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        got = client.compute(lazy).result()
        assert len(client.scheduler_info()["workers"]) == 2
    assert_same_bits(got, want)
