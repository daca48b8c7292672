"""Stacks of frames from Python on the standard workload (ring of 256
sensors, 2030 samples at 40 MHz, c = 1500 m/s, 25 mm image):

    python bench/stack_bench.py [n] [frames] [threads]

Prints, for terms 1 and 3, the time per frame of `frames` single
reconstruct calls, of reconstruct_frames on the same frames as a float64
stack and as an int16 stack, and of a Plan called frame after frame (a
stream); every image is first checked against the single calls' bit for bit.
Then the peak memory a 100-frame int16 memmap stack adds to the process
(resident set, measured in a child process on Linux, beyond the file's own
pages),
how long after SIGINT a long stack raises KeyboardInterrupt, and how long its
batch in progress still takes.
"""

import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np

import tofimage

n = int(sys.argv[1]) if len(sys.argv) > 1 else 256
frames = int(sys.argv[2]) if len(sys.argv) > 2 else 16
threads = int(sys.argv[3]) if len(sys.argv) > 3 else 1
rows, cols, fs = 2030, 256, 40e6
a = 2 * np.pi * np.arange(cols) / cols
x, y, z = 0.04 * np.cos(a), 0.04 * np.sin(a), np.zeros(cols)
t = 1e-6 + np.arange(rows) / fs
rng = np.random.default_rng(1)
stack16 = np.asfortranarray(rng.integers(-3000, 3000, (rows, cols, frames), dtype=np.int16))
stack = stack16.astype(np.float64, order="F")


def best(f, repeat=3):
    """The shortest wall time and process CPU time of `repeat` calls (on a
    busy machine the CPU time is the steadier figure)."""
    wall, cpu = [], []
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = f()
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return (min(wall), min(cpu)), result


print(f"tofimage {tofimage.__version__}, kernel {tofimage.kernel_name()}, n = {n}, "
      f"{frames} frames, {threads} thread(s)")
for mode in (1, 3):
    args = (n, x, y, z, 1500.0, mode, t, fs, 0.025, threads)
    single, want = best(lambda: np.stack([tofimage.reconstruct(stack[:, :, f], *args)
                                          for f in range(frames)], axis=2))
    plan = tofimage.Plan(*args, frames=1)
    rows_out = [("single calls", single, want)]
    rows_out.append(("reconstruct_frames float64",) + best(lambda: tofimage.reconstruct_frames(stack, *args)))
    rows_out.append(("reconstruct_frames int16",) + best(lambda: tofimage.reconstruct_frames(stack16, *args)))
    rows_out.append(("Plan, frame after frame",) + best(
        lambda: np.stack([plan(stack[:, :, f]) for f in range(frames)], axis=2)))
    print(f"term {mode} (batch of {plan.batch_frames} frame(s), kernel {plan.kernel}):")
    for name, (wall, cpu), images in rows_out:
        if not np.array_equal(images.view(np.int64), want.view(np.int64)):
            sys.exit(f"term {mode}, {name}: an image differs from the single call's")
        print(f"  {name:28s} {wall / frames * 1e3:8.2f} ms per frame ({single[0] / wall:.2f}x "
              f"the single calls); CPU {cpu / frames * 1e3:8.2f} ms ({single[1] / cpu:.2f}x)")

# Peak memory of an int16 memmap stack of 100 frames, in a fresh process.
child = r"""
import sys, numpy as np, tofimage
path, rows, cols, frames = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
def peak():  # this process's peak resident set in KiB (ru_maxrss would count the parent's)
    return int(open("/proc/self/status").read().split("VmHWM:")[1].split()[0])
a = 2 * np.pi * np.arange(cols) / cols
t = 1e-6 + np.arange(rows) / 40e6
args = (64, 0.04 * np.cos(a), 0.04 * np.sin(a), np.zeros(cols), 1500.0, 3, t, 40e6, 0.025, 1)
tofimage.reconstruct_frames(np.zeros((rows, cols, 2), np.int16), *args)   # warm up
before = peak()
sig = np.memmap(path, dtype=np.int16, mode="r", shape=(rows, cols, frames), order="F")
tofimage.reconstruct_frames(sig, *args)
print(peak() - before)
"""
frames_m = 100
with tempfile.TemporaryDirectory() as d:
    path = os.path.join(d, "scan.int16")
    m = np.memmap(path, dtype=np.int16, mode="w+", shape=(rows, cols, frames_m), order="F")
    m[:] = rng.integers(-3000, 3000, m.shape, dtype=np.int16)
    m.flush()
    del m
    grown = int(subprocess.run([sys.executable, "-c", child, path, str(rows), str(cols),
                                str(frames_m)], capture_output=True, text=True,
                               check=True).stdout) * 1024
file_bytes = rows * cols * frames_m * 2
print(f"int16 memmap of {frames_m} frames ({file_bytes / 2**20:.0f} MiB file, a float64 copy "
      f"{4 * file_bytes / 2**20:.0f} MiB): peak resident set grew {grown / 2**20:.1f} MiB, "
      f"{(grown - file_bytes) / 2**20:.1f} MiB beyond the file's pages")

# Ctrl-C: from SIGINT to KeyboardInterrupt, on a stack far too long to finish.
args = (n, x, y, z, 1500.0, 3, t, fs, 0.025, threads)
long_stack = np.broadcast_to(stack[:, :, :1], (rows, cols, 2000))
tiny = (2, [0, 2], [0.5, 2], [0, 0], 1, 1, np.arange(2, 8), 1, 2)
latencies, stopped = [], []
for _ in range(5):
    sent = []
    timer = threading.Timer(0.5, lambda: (sent.append(time.perf_counter()),
                                          os.kill(os.getpid(), signal.SIGINT)))
    timer.start()
    try:
        tofimage.reconstruct_frames(long_stack, *args)
    except KeyboardInterrupt:
        latencies.append(time.perf_counter() - sent[0])
        # A tiny call waits for the batch still in progress.
        tofimage.reconstruct(np.ones((6, 2)), *tiny)
        stopped.append(time.perf_counter() - sent[0])
    timer.cancel()
print(f"Ctrl-C to KeyboardInterrupt (term 3, batches of {tofimage.Plan(*args).batch_frames} "
      f"frames): median {np.median(latencies) * 1e3:.1f} ms, max {max(latencies) * 1e3:.1f} ms "
      f"over {len(latencies)} tries; to the end of the batch in progress: median "
      f"{np.median(stopped) * 1e3:.0f} ms, max {max(stopped) * 1e3:.0f} ms")
