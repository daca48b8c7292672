"""The Python package against the MEX module (through octave-cli), across
array layouts, frames, plans, threads and a Dask cluster; its errors,
coordinates, names, docs, metadata and example."""

import importlib.util
import inspect
import os
import pickle
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import tracemalloc
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

import tofimage

ROOT = Path(__file__).resolve().parents[2]
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


def octave(script, cwd, path):
    """Runs an Octave script with `path` on its path."""
    exe = os.environ.get("TOFIMAGE_OCTAVE", "octave-cli")
    subprocess.run([exe, "--no-gui", "-q", "-H", "--no-site-file", "--path", str(path),
                    "--eval", script], cwd=cwd, check=True)


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
        octave(script, d, mex_dir)
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
        ({7: np.ones((6, 2))}, ValueError,
         "t must be a 1-D array, a column (N, 1) or a row (1, N), not an array of shape (6, 2)"),
        ({0: WORKED_SIG[:1], 7: [2.0]}, ValueError, "sigMat must have at least two rows (time samples)"),
        ({4: [0.0]}, ValueError, "z_sensor must have at least as many elements as sigMat has columns"),
        ({1: -1}, ValueError, "n must not be negative"),
        ({1: 46341}, ValueError, engine),
        ({1: np.inf}, ValueError, engine),
        ({1: 2**70}, ValueError, engine),
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

    # Shape mismatches name both sizes; (sensors, samples) data is named as
    # transposed, before the sensor positions are found too short for it.
    def message(call, sig, *rest):
        with pytest.raises(ValueError) as info:
            call(sig, *rest)
        return str(info.value)
    transposed = "it looks transposed (its 6 columns match t): pass sigMat"
    assert message(tofimage.reconstruct, WORKED_SIG.T, *base[1:]) == (
        "t must have the same number of elements as sigMat has rows: t has 6, sigMat has 2 rows; "
        + transposed + ".T, with samples along the first axis")
    assert transposed + ".transpose(1, 0, 2)" in message(tofimage.reconstruct_frames,
                                                         stack.transpose(1, 0, 2), *base[1:])
    assert "t has 6, sigMat has 5 rows" in message(tofimage.reconstruct, WORKED_SIG[:5], *base[1:])
    plan = tofimage.Plan(*base[1:], sensors=2)
    assert message(plan, np.zeros((6, 3))) == (
        "sigMat must have 2 columns, one per sensor of the plan, not 3")
    assert message(plan, np.zeros((6, 1))) == (
        "sigMat must have 2 columns, one per sensor of the plan, not 1")
    assert transposed in message(plan, WORKED_SIG.T)
    assert message(tofimage.Plan(*base[1:]), np.zeros((6, 3))) == (
        "x_sensor must have at least as many elements as sigMat has columns")


# Vectors as MATLAB files give them, (N, 1), and rows; more sensor positions
# than columns, the rest ignored: the same image through every function.
VECTOR_SHAPES = {"1-D": lambda v: v, "column": lambda v: v[:, None], "row": lambda v: v[None, :]}


@pytest.mark.parametrize("shape", VECTOR_SHAPES)
@pytest.mark.parametrize("extra", [0, 3])
def test_vector_shapes_and_extra_positions(shape, extra):
    da = pytest.importorskip("dask.array")
    import tofimage.dask
    rng = np.random.default_rng(11)
    args = ring_case(rng, 20, 24, 300, 3, frames=3)
    sig = args[0]
    want = frame_by_frame(args)
    changed = list(args)
    for pos in (2, 3, 4):   # positions, with `extra` more that must be ignored
        changed[pos] = VECTOR_SHAPES[shape](np.concatenate([args[pos], rng.uniform(-1, 1, extra)]))
    changed[7] = VECTOR_SHAPES[shape](args[7])
    rest = changed[1:]
    assert_same_bits(tofimage.reconstruct(sig[:, :, 1], *rest), want[:, :, 1])
    assert_same_bits(tofimage.reconstruct_frames(sig, *rest), want)
    plan = tofimage.Plan(*rest)
    assert_same_bits(plan(sig), want)
    assert_same_bits(pickle.loads(pickle.dumps(plan))(sig[:, :, 2]), want[:, :, 2])
    # A plan takes frames of fewer columns too, like reconstruct.
    narrow = list(args)
    narrow[0] = sig[:, :20]
    assert_same_bits(plan(sig[:, :20]), frame_by_frame(narrow))
    lazy = tofimage.dask.reconstruct_frames(da.from_array(sig, chunks=(300, 24, 2)), *rest)
    assert_same_bits(lazy.compute(scheduler="synchronous"), want)


def frame_by_frame(args, kernel="best"):
    """Each frame alone: through reconstruct (the engine's single-frame call)
    or through the scalar kernel, the reference."""
    sig = np.asarray(args[0])
    if kernel == "scalar":
        one = tofimage.Plan._scalar_kernel(*args[1:], sensors=sig.shape[1])
    else:
        def one(frame):
            return tofimage.reconstruct(frame, *args[1:])
    return np.stack([one(sig[:, :, f]) for f in range(sig.shape[2])], axis=2)


def test_plans_and_stacks():
    """Stacks of random frame counts (1 and odd ones among them), layouts and
    dtypes, through reconstruct_frames and through plans reused like a
    stream's, against each frame alone and the scalar kernel."""
    rng = np.random.default_rng(5)
    for trial, (n, cols, rows, mode) in enumerate([(48, 64, 900, 3), (40, 33, 500, 1),
                                                   (17, 20, 300, 2), (64, 128, 1200, 1)]):
        frames = [1, 7, int(rng.integers(2, 12)), 5][trial]
        args = ring_case(rng, n, cols, rows, mode, frames=frames)
        sig = args[0]
        # Frames differ in where NaNs and infinities sit.
        for f in range(0, frames, 2):
            sig[rng.integers(0, rows, 3), rng.integers(0, cols, 3), f] = [np.nan, np.inf, -np.inf]
        want = frame_by_frame(args)
        assert_same_bits(frame_by_frame(args, "scalar"), want)
        layouts = [sig, np.ascontiguousarray(sig), sig[:, :, ::-1][:, :, ::-1],
                   np.asfortranarray(np.repeat(sig, 2, axis=2))[:, :, ::2]]
        for stack in layouts:
            assert_same_bits(tofimage.reconstruct_frames(stack, *args[1:]), want)
        small = np.asfortranarray(np.clip(np.nan_to_num(sig, posinf=30, neginf=-30) * 1000, -30000, 30000))
        for dtype in (np.int16, np.float32, ">f8"):
            s = small.astype(dtype)
            assert_same_bits(tofimage.reconstruct_frames(s, *args[1:]),
                             frame_by_frame([s.astype(np.float64)] + args[1:]))

        # A plan serves frames one at a time and stacks of any length.
        plan = tofimage.Plan(*args[1:], sensors=cols, frames=4)
        assert plan.batch_frames >= 1 and plan.kernel in ("scalar", tofimage.kernel_name())
        for f in range(frames):
            assert_same_bits(plan(sig[:, :, f]), want[:, :, f])
        assert_same_bits(plan(sig), want)
        assert_same_bits(pickle.loads(pickle.dumps(plan))(sig), want)
        assert_same_bits(plan(sig[:, :, 1:]), want[:, :, 1:])
        assert plan(sig[:, :, :0]).shape == (n, n, 0)

    # Threads share one plan, each on two threads of its own, frames and
    # stacks mixed: the same images as one call after another.
    with ThreadPoolExecutor(4) as pool:
        two = tofimage.Plan(*args[1:10], 2, sensors=cols)
        images = list(pool.map(lambda f: two(sig[:, :, f % frames:]), range(12)))
    for f, got in enumerate(images):
        assert_same_bits(got, want[:, :, f % frames:])


def test_int16_memmap_stack_memory(tmp_path):
    # 100 frames of int16 scanner data: converted a batch at a time, so the
    # call's allocations (images included) stay far below a float64 copy.
    rng = np.random.default_rng(9)
    args = ring_case(rng, 16, 32, 2000, 3, frames=None)
    path = tmp_path / "scan.int16"
    stack = np.memmap(path, dtype=np.int16, mode="w+", shape=(2000, 32, 100), order="F")
    stack[:] = rng.integers(-2000, 2000, stack.shape, dtype=np.int16)
    stack.flush()
    stack = np.memmap(path, dtype=np.int16, mode="r", shape=(2000, 32, 100), order="F")
    tracemalloc.start()
    images = tofimage.reconstruct_frames(stack, *args[1:])
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < stack.size * 8 // 2, (peak, stack.size * 8)
    for f in (0, 57, 99):
        assert_same_bits(images[:, :, f],
                         tofimage.reconstruct(np.asarray(stack[:, :, f], np.float64), *args[1:]))


def test_ctrl_c_stops_a_long_stack():
    # 100,000 frames (a broadcast view of one) take minutes; Ctrl-C must stop
    # them between two batches.
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signals reach only the main thread")
    args = ring_case(np.random.default_rng(4), 16, 1024, 300, 1)
    stack = np.broadcast_to(args[0][:, :, None], args[0].shape + (10**5,))
    # raise_signal, not os.kill: on Windows os.kill ends the process.
    timer = threading.Timer(0.3, signal.raise_signal, (signal.SIGINT,))
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        timer.start()
        start = time.perf_counter()
        with pytest.raises(KeyboardInterrupt):
            tofimage.reconstruct_frames(stack, *args[1:])
        assert time.perf_counter() - start < 60
        # The computation stopped: the next call gets its images.
        assert_same_bits(tofimage.reconstruct_frames(stack[:, :, :3], *args[1:]),
                         frame_by_frame([stack[:, :, :3]] + args[1:]))
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)


def test_progress(capsys, monkeypatch):
    """progress=: a callable hears (done, total) after each batch, in the
    calling thread (the main one, or any other); True draws tqdm's bar, or
    without tqdm a line on stderr, each naming the total; an exception from
    the callable stops the computation."""
    rng = np.random.default_rng(8)
    frames = 21
    args = ring_case(rng, 24, 16, 300, 3, frames=frames)
    want = tofimage.reconstruct_frames(*args)

    def check_reports(calls, thread):
        done = [d for d, _, _ in calls]
        steps = np.diff([0] + done)
        assert done[-1] == frames and all(t == frames for _, t, _ in calls), calls
        assert len(calls) >= 2 and all(steps[:-1] == steps[0]) and 0 < steps[-1] <= steps[0], done
        assert all(th is thread for _, _, th in calls)

    def record(calls):
        return lambda d, t: calls.append((d, t, threading.current_thread()))

    calls = []
    assert_same_bits(tofimage.reconstruct_frames(*args, progress=record(calls)), want)
    check_reports(calls, threading.current_thread())
    calls = []
    plan = tofimage.Plan(*args[1:], sensors=16)
    assert_same_bits(plan(args[0].astype(np.float32), progress=record(calls)),
                     frame_by_frame([args[0].astype(np.float32).astype(np.float64)] + args[1:]))
    check_reports(calls, threading.current_thread())
    with ThreadPoolExecutor(1) as pool:
        calls = []
        got = pool.submit(tofimage.reconstruct_frames, *args, progress=record(calls)).result()
        assert_same_bits(got, want)
        check_reports(calls, calls[0][2])
        assert calls[0][2] is not threading.current_thread()

    def refuse(done, total):
        raise RuntimeError(f"stop at {done}")
    with pytest.raises(RuntimeError, match="stop at"):
        tofimage.reconstruct_frames(*args, progress=refuse)
    with pytest.raises(TypeError, match="progress must be"):
        tofimage.reconstruct_frames(*args, progress="yes")

    capsys.readouterr()
    if importlib.util.find_spec("tqdm") is not None:
        assert_same_bits(tofimage.reconstruct_frames(*args, progress=True), want)
        err = capsys.readouterr().err
        assert re.search(rf"tofimage: 100%.*\b{frames}/{frames} ", err), err
    monkeypatch.setitem(sys.modules, "tqdm", None)  # as where tqdm is not installed
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    assert_same_bits(tofimage.reconstruct_frames(*args, progress=True), want)
    err = capsys.readouterr().err
    assert re.search(rf"\rtofimage: \d+ of {frames} frames, [0-9.]+ frames/s, \d+ s left", err), err
    assert re.search(rf"\rtofimage: {frames} frames in [0-9.]+ s *\n$", err), err
    assert_same_bits(tofimage.reconstruct_frames(*args, progress=False), want)
    assert capsys.readouterr().err == ""


def test_pixel_coordinates_place_a_point_source():
    # A point source at the centre of pixel (K0, L0) by pixel_coordinates,
    # away from the diagonals and the centre (a flipped, transposed or
    # shifted grid puts it elsewhere): the image peaks at that pixel, and
    # imshow's extent draws that pixel there.
    n, width, cols, fs, c = 64, 0.016, 96, 40e6, 1500.0
    a = 2 * np.pi * np.arange(cols) / cols
    xs, ys = 0.02 * np.cos(a), 0.02 * np.sin(a)
    t = np.arange(1400) / fs
    x, y, (left, right, bottom, top) = tofimage.pixel_coordinates(n, width)
    for K0, L0 in [(13, 40), (50, 21)]:
        # A smooth pulse at the sample the engine reads for that distance.
        Y = np.hypot(xs - x[L0], ys - y[K0]) * fs / c + 1
        sig = np.asfortranarray(np.exp(-0.5 * ((np.arange(t.size)[:, None] - Y) / 2) ** 2))
        Recon = tofimage.reconstruct(sig, n, xs, ys, np.zeros(cols), c, "signal", t, fs, width)
        assert np.unravel_index(np.argmax(Recon), Recon.shape) == (K0, L0)
        # imshow (origin='upper') centres pixel (K0, L0) there.
        assert np.isclose(left + (L0 + 0.5) * (right - left) / n, x[L0])
        assert np.isclose(top - (K0 + 0.5) * (top - bottom) / n, y[K0])
    # The worked example's grid (n = 2, dx = 1): columns at 0, 1, rows at 0, -1.
    x, y, extent = tofimage.pixel_coordinates(2, 2.0)
    assert list(x) == [0, 1] and list(y) == [0, -1] and extent == (-0.5, 1.5, -1.5, 0.5)
    with pytest.raises(ValueError, match="n must be at least 1"):
        tofimage.pixel_coordinates(0, 1.0)


def read_cases(name):
    """The lines of tests/cases/<name>, split into their first two fields and
    the rest."""
    lines = (ROOT / "tests" / "cases" / name).read_text().splitlines()
    return [line.split(None, 2) for line in lines if line.strip() and not line.startswith("#")]


def test_counts():
    # n and numCores as every host reads them (the MEX modules run the same
    # cases: tests/octave/test_tofimage_counts.m), through each way in.
    base = worked_example(1)
    position = {"n": 1, "numCores": 10}
    runs = (tofimage.reconstruct,
            lambda sig, *rest: tofimage.Plan(*rest)(sig),
            lambda sig, *rest: tofimage.reconstruct_frames(sig[:, :, None], *rest)[:, :, 0])
    for argument, value, result in read_cases("counts.txt"):
        args = list(base)
        args[position[argument]] = float(value)
        want = list(base)
        for run in runs:
            if not result.isdigit():
                with pytest.raises(ValueError, match="^" + re.escape(result) + "$"):
                    run(*args)
                continue
            want[1] = int(result)
            got = run(*args)
            assert got.shape == (int(result),) * 2, (argument, value)
            assert_same_bits(got, run(*want))


def test_grid_m_file_matches():
    # tofimage_grid.m (which asks the engine through the MEX module) gives
    # the same coordinates, bit for bit, and the same rule on n.
    if not shutil.which(os.environ.get("TOFIMAGE_OCTAVE", "octave-cli")):
        pytest.skip("octave-cli is not installed")
    mex_dir = os.environ.get("TOFIMAGE_MEX_DIR")
    if not mex_dir:
        pytest.skip("TOFIMAGE_MEX_DIR (the folder of the built MEX module) is not set; ctest sets it")
    cases = [(1, 1.0), (2, 2.0), (5, 0.3), (64.9, 0.016), (255, 0.025)]
    with tempfile.TemporaryDirectory() as d:
        script = f"addpath('{ROOT / 'matlab'}');" + "".join(
            f"[x, y] = tofimage_grid({n!r}, {w!r}); assert(isrow(x) && iscolumn(y)); "
            f"f = fopen('g{k}', 'w'); fwrite(f, [x(:); y(:)], 'double'); fclose(f);\n"
            for k, (n, w) in enumerate(cases))
        script += ("try, tofimage_grid(46341, 1); catch e, f = fopen('big', 'w'); "
                   "fprintf(f, '%s', e.message); fclose(f); end\n")
        octave(script, d, mex_dir)
        with pytest.raises(ValueError) as big:
            tofimage.pixel_coordinates(46341, 1.0)
        assert open(f"{d}/big").read() == str(big.value) == "n must be at least 1 and at most 46340"
        for k, (n, w) in enumerate(cases):
            x, y, _ = tofimage.pixel_coordinates(n, w)
            assert_same_bits(np.fromfile(f"{d}/g{k}"), np.concatenate([x, y]))


def test_one_set_of_names():
    import tofimage.dask
    names = list(inspect.signature(tofimage.reconstruct).parameters)
    assert names[0] == "sigMat" and names[-1] == "numCores"
    assert list(inspect.signature(tofimage.dask.reconstruct_frames).parameters) == names
    frames = inspect.signature(tofimage.reconstruct_frames).parameters
    assert list(frames) == names + ["progress"]
    assert frames["progress"].kind is inspect.Parameter.KEYWORD_ONLY
    assert list(inspect.signature(tofimage.Plan).parameters)[:10] == names[1:]
    # Keyword calls work the same everywhere, with image_select by name.
    args = worked_example(1)
    kwargs = dict(zip(names, args))
    for term, number in (("signal", 1), ("derivative", 2), ("difference", 3)):
        kwargs["image_select"] = term
        assert_same_bits(tofimage.reconstruct(**kwargs), WORKED_IMAGES[number])
        stack = dict(kwargs, sigMat=WORKED_SIG[:, :, None])
        assert_same_bits(tofimage.reconstruct_frames(**stack)[:, :, 0], WORKED_IMAGES[number])
    with pytest.raises(ValueError, match="image_select must be a number .* not 'sum'"):
        tofimage.reconstruct(**dict(kwargs, image_select="sum"))
    # kernel_name travels to workers (client.run pickles it).
    assert pickle.loads(pickle.dumps(tofimage.kernel_name))() == tofimage.kernel_name()


def test_docs_and_types():
    import doctest
    import importlib.metadata
    import tofimage.dask
    numpydoc_validate = pytest.importorskip("numpydoc.validate")
    public = ["reconstruct", "reconstruct_frames", "Plan", "Plan.__call__", "pixel_coordinates",
              "PixelCoordinates", "autofocus", "AutofocusResult", "AutofocusResult.plot",
              "kernel_name", "dask.reconstruct_frames", "beamform", "BeamformPlan",
              "BeamformPlan.__call__", "dask.beamform"]
    # Not asked for: See Also everywhere, and an extended summary.
    ignored = {"SA01", "ES01", "GL01", "GL02"}
    for name in public:
        report = numpydoc_validate.validate("tofimage." + name)
        errors = [e for e in report["errors"] if e[0] not in ignored]
        assert not errors, (name, errors)
    # The argument descriptions come from the arguments.txt the package
    # ships (docs/src/arguments.txt): every placeholder is filled.
    assert (Path(tofimage.__file__).parent / "arguments.txt").exists()
    for name in public:
        obj = tofimage
        for part in name.split("."):
            obj = getattr(obj, part)
        assert "{arguments" not in obj.__doc__, name
    assert "The speed of sound." in tofimage.reconstruct.__doc__
    # Every example runs and prints what it shows.
    for module in (tofimage, tofimage.dask, tofimage._autofocus, tofimage._beamform):
        result = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
        assert result.failed == 0 and result.attempted > 0
    assert tofimage.__version__ == importlib.metadata.version("tofimage")
    meta = importlib.metadata.metadata("tofimage")
    assert meta["License"] == "BSD-3-Clause" and "License :: OSI Approved :: BSD License" in \
        meta.get_all("Classifier")
    # The typing marker and the extension's stub are installed, and the stub
    # names what the extension has.
    package = Path(tofimage.__file__).parent
    assert (package / "py.typed").exists()
    stub = (package / "_core.pyi").read_text()
    for name in ["Plan", "BeamformPlan", "kernel_name", "run", "batch_frames"]:
        assert re.search(rf"(def|class) {name}\b", stub), name
        assert hasattr(tofimage._core, name) or hasattr(tofimage._core.Plan, name)
    assert hasattr(tofimage._core.BeamformPlan, "run")


def test_example_runs(tmp_path):
    out = subprocess.run([sys.executable, str(ROOT / "python/examples/ring_scan.py"),
                          str(tmp_path / "ring.png")], capture_output=True, text=True, check=True)
    distances = [float(d) for d in re.findall(r"([0-9.]+) pixels away", out.stdout)]
    assert len(distances) == 3 and max(distances) <= 1.0, out.stdout
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    assert (tmp_path / "ring.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_editable_install_with_old_meson_python():
    # meson-python before 0.13 cannot install in place: the package's backend
    # says so instead of letting pip "install" a version 0.0.0.
    mesonpy = pytest.importorskip("mesonpy")
    sys.path.insert(0, str(ROOT / "python/build_backend"))
    try:
        import tofimage_backend
    finally:
        sys.path.pop(0)
    if hasattr(mesonpy, "build_editable"):
        assert tofimage_backend.build_editable is mesonpy.build_editable
    else:
        with pytest.raises(RuntimeError, match="needs meson-python 0.13 or later"):
            tofimage_backend.build_editable("wheels")


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
    with pytest.raises(ValueError, match="sigMat must have shape .samples, sensors, frames."):
        tofimage.dask.reconstruct_frames(sig[:, :, 0], *args[1:])
    with pytest.raises(ValueError, match="looks transposed"):
        tofimage.dask.reconstruct_frames(sig.transpose(1, 0, 2), *args[1:])
    lazy = tofimage.dask.reconstruct_frames(sig.astype(np.float32), *args[1:])
    assert lazy.shape == (40, 40, 5) and lazy.chunks[2] == (2, 2, 1)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        got = client.compute(lazy).result()
        assert len(client.scheduler_info()["workers"]) == 2
        assert set(client.run(tofimage.kernel_name).values()) == {tofimage.kernel_name()}
    assert_same_bits(got, frame_by_frame([args[0].astype(np.float32)] + args[1:]))


def test_build_without_highway(tmp_path):
    # The package's build falls back to the scalar kernel, and says so.
    if not shutil.which("meson"):
        pytest.skip("meson is not installed")
    setup = subprocess.run(["meson", "setup", str(tmp_path / "b"), "-Dvector=disabled"],
                           cwd=ROOT, capture_output=True, text=True)
    assert setup.returncode == 0, setup.stdout + setup.stderr
    assert "building the scalar kernel only" in setup.stdout
    ninja = (tmp_path / "b" / "build.ninja").read_text()
    assert "recon.cpp" in ninja and "recon_simd" not in ninja
