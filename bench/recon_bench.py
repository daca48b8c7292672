"""Throughput of tofimage.reconstruct from Python on the standard workload:
a ring of 256 sensors of radius 40 mm in the plane z = 0, 2030 samples at
40 MHz from 1 us, c = 1500 m/s, a 25 mm image of 256 x 256 pixels.

    python bench/recon_bench.py [threads] [calls]

Prints pixel-sensor evaluations per second (median wall time over the
calls, and median process CPU time, which other work on a busy machine does
not inflate) for terms 1 and 3, with sigMat Fortran-ordered (read in place) and C-ordered (copied
on each call). Each image is first checked against the scalar kernel's, bit
for bit; a wrong image stops the benchmark.
"""

import sys
import time

import numpy as np

import tofimage

threads = int(sys.argv[1]) if len(sys.argv) > 1 else 1
calls = int(sys.argv[2]) if len(sys.argv) > 2 else 30
rows, cols, n, fs = 2030, 256, 256, 40e6
a = 2 * np.pi * np.arange(cols) / cols
x, y, z = 0.04 * np.cos(a), 0.04 * np.sin(a), np.zeros(cols)
t = 1e-6 + np.arange(rows) / fs
sig = np.asfortranarray(np.random.default_rng(1).standard_normal((rows, cols)))

print(f"tofimage {tofimage.kernel_name()}, {threads} thread(s), {calls} calls")
for mode in (1, 3):
    args = (n, x, y, z, 1500.0, mode, t, fs, 0.025, threads)
    scalar = tofimage.Plan._scalar_kernel(*args)(sig)
    for layout, s in (("Fortran", sig), ("C", np.ascontiguousarray(sig))):
        image = tofimage.reconstruct(s, *args)
        if not np.array_equal(image.view(np.int64), scalar.view(np.int64)):
            sys.exit(f"term {mode}, {layout} order: the image differs from the scalar kernel's")
        wall, cpu = [], []
        for _ in range(calls):
            start, start_cpu = time.perf_counter(), time.process_time()
            tofimage.reconstruct(s, *args)
            wall.append(time.perf_counter() - start)
            cpu.append(time.process_time() - start_cpu)
        wall, cpu = np.median(wall), np.median(cpu)
        print(f"term {mode}, {layout}-ordered sigMat: {n * n * cols / wall / 1e9:.2f} G evaluations/s "
              f"({wall * 1e3:.1f} ms per image; process CPU time {cpu * 1e3:.1f} ms, "
              f"{n * n * cols / cpu / 1e9:.2f} G/s)")
