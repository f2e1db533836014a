"""Progress lines on standard error, silenced by --quiet."""

import contextlib
import os
import sys
import time


@contextlib.contextmanager
def native_log_silenced():
    """Silences what TVM's C++ side logs to standard error (warnings such
    as operators without a desired layout) while the block runs; errors
    still arrive as exceptions."""
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 2)
            yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


class Progress:
    def __init__(self, quiet=False, stream=None):
        self.quiet = quiet
        self.stream = stream if stream is not None else sys.stderr
        self._start = time.perf_counter()

    def say(self, message):
        if self.quiet:
            return
        elapsed = time.perf_counter() - self._start
        print(f"[{elapsed:6.1f}s] {message}", file=self.stream, flush=True)
