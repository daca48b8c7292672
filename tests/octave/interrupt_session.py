#!/usr/bin/env python3
"""Long tofimage_frames calls in an interactive Octave session, as a user at a
terminal has them, driven from outside through a pseudo-terminal:

- a short call prints nothing;
- a long call shows its progress line, rewritten in place, ending with the
  total time; with 'Progress', false it shows nothing;
- Ctrl-C (the byte 0x03 at the terminal) during a long call gives the prompt
  back within one batch of frames, under 1 s, with an error that says how
  many frames of how many were done;
- after it, no thread of the session is still computing, and the next call
  gives the right images.

Usage: interrupt_session.py OCTAVE MODULE_DIR TESTS_DIR
"""

import os
import pty
import re
import select
import signal
import sys
import time

PROMPT = b"TOFIMAGE-PROMPT> "
# One long call: 200 int16 frames of 2030 samples x 128 sensors on a 384 x 384
# grid take a few seconds, in batches of well under a second.
SETUP = (b"args = ring_args(384, 128, 2030, 3, 0, 7); "
         b"stack = int16(1000 * randn(2030, 128, 200)); "
         b"want = zeros(384, 384, 3); "
         b"for f = 1:3, want(:, :, f) = tofimage(double(stack(:, :, f)), args{2:end}); end")
LONG = b"R = tofimage_frames(stack, args{2:end});"
FRAMES = 200


class Session:
    def __init__(self, octave, module_dir, tests_dir):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execvp(octave, [octave, "--no-gui", "-q", "-H", "--no-site-file",
                               "--path", module_dir, "--path", tests_dir])
        self.buf = b""
        _sessions.append(self)
        # No workspace file when the session is ended by a signal (a failed
        # check kills it). The prompt is written in two pieces, so that the
        # echo of this command does not match it.
        self.command(b"crash_dumps_octave_core(false); sighup_dumps_octave_core(false); "
                     b"sigterm_dumps_octave_core(false); PS1(['TOFIMAGE-' 'PROMPT> ']);",
                     timeout=60)

    def send(self, data):
        self.buf = b""
        os.write(self.fd, data)

    def wait_for(self, pattern, timeout):
        """Output up to the end of the first match of the regex `pattern`."""
        end = time.monotonic() + timeout
        while True:
            m = re.search(pattern, self.buf)
            if m:
                out, self.buf = self.buf[:m.end()], self.buf[m.end():]
                return out
            left = end - time.monotonic()
            if left <= 0:
                fail(f"no {pattern!r} within {timeout} s; the session showed:\n"
                     + self.buf[-3000:].decode(errors="replace"))
            ready, _, _ = select.select([self.fd], [], [], min(left, 0.02))
            if ready:
                try:
                    self.buf += os.read(self.fd, 65536)
                except OSError:
                    fail("the session ended; it showed:\n" + self.buf[-3000:].decode(errors="replace"))

    def command(self, line, timeout=120):
        """Runs one line; returns what it printed (the echo of the line
        included) up to the next prompt."""
        self.send(line + b"\n")
        return self.wait_for(re.escape(PROMPT), timeout)

    def cpu_seconds(self):
        with open(f"/proc/{self.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self):
        self.send(b"exit\n")
        for _ in range(100):
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                return status
            time.sleep(0.1)
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)
        fail("the session did not exit")


_sessions = []


def fail(message):
    print("FAIL: " + message)
    for session in _sessions:
        try:
            os.kill(session.pid, signal.SIGKILL)
            os.waitpid(session.pid, 0)
        except OSError:
            pass
    sys.exit(1)


def main():
    if len(sys.argv) != 4:
        fail(__doc__)
    session = Session(*sys.argv[1:])
    session.command(SETUP)

    # The echo of a command names tofimage_frames( but never "tofimage_frames:".
    out = session.command(b"R = tofimage_frames(stack(:, :, 1:3), args{2:end});").decode(errors="replace")
    if "tofimage_frames:" in out:
        fail("a short call printed something:\n" + out)

    start = time.monotonic()
    out = session.command(LONG).decode(errors="replace")
    took = time.monotonic() - start
    done = re.search(r"tofimage_frames: %d frames in ([0-9.]+) s" % FRAMES, out)
    if not re.search(r"tofimage_frames: \d+ of %d frames, [0-9.]+ frames/s, \d+ s left" % FRAMES, out) \
            or "\b" not in out or not done:
        fail(f"a call of {took:.1f} s did not show its progress line, rewritten in place "
             f"and ending with the total time:\n{out!r}")
    print(f"long call: {took:.1f} s; its last line: {out.split(chr(8))[-1].splitlines()[0].strip()}")

    out = session.command(LONG[:-2] + b", 'Progress', false);").decode(errors="replace")
    if "tofimage_frames:" in out:
        fail("'Progress', false still showed a progress line:\n" + out)

    # Ctrl-C once the progress line shows (the first batch is done) and at
    # least 1.5 s into the call.
    start = time.monotonic()
    session.send(LONG + b"\n")
    session.wait_for(rb"of %d frames" % FRAMES, 60)
    time.sleep(max(0.0, start + 1.5 - time.monotonic()))
    os.write(session.fd, b"\x03")
    pressed = time.monotonic()
    out = session.wait_for(re.escape(PROMPT), 30)
    latency = time.monotonic() - pressed
    text = out.decode(errors="replace")
    m = re.search(r"tofimage_frames: interrupted \(Ctrl-C\) after (\d+) of %d frames" % FRAMES, text)
    if not m or not 0 < int(m.group(1)) < FRAMES:
        fail("Ctrl-C did not end the call with the error that counts its frames:\n" + text)
    print(f"Ctrl-C {pressed - start:.2f} s into the call: prompt back {latency:.3f} s later, "
          f"after {m.group(1)} of {FRAMES} frames")
    if latency >= 1.0:
        fail(f"the prompt came back {latency:.3f} s after Ctrl-C, not within 1 s")

    # No thread of the session is left computing: it stays idle.
    before = session.cpu_seconds()
    time.sleep(1.0)
    busy = session.cpu_seconds() - before
    if busy > 0.3:
        fail(f"the session used {busy:.2f} s of CPU in the second after the prompt came back")

    out = session.command(b"R = tofimage_frames(stack(:, :, 1:3), args{2:end}); "
                          b"fprintf('same: %d\\n', isequal(R, want));").decode(errors="replace")
    if "same: 1" not in out:
        fail("the call after Ctrl-C gave other images:\n" + out)

    status = session.close()
    if not os.WIFEXITED(status) or os.WEXITSTATUS(status) != 0:
        fail(f"the session ended with status {status}")
    print("ok")


if __name__ == "__main__":
    main()
