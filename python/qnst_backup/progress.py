"""Progress on a terminal (files, bytes, rate on one line of standard error); quiet otherwise."""

import sys
import time


class Progress:
    def __init__(self, enabled=None):
        self.enabled = sys.stderr.isatty() if enabled is None else enabled
        self.files = self.bytes = 0
        self.start = self.shown = time.monotonic()

    def file(self, nbytes):
        self.files += 1
        self.bytes += nbytes
        now = time.monotonic()
        if self.enabled and now - self.shown >= 0.2:
            self.shown = now
            rate = self.bytes / max(now - self.start, 1e-6) / 1e6
            sys.stderr.write("\r%d files, %.1f MB, %.1f MB/s " % (self.files, self.bytes / 1e6,
                                                                 rate))
            sys.stderr.flush()

    def message(self, text):
        if self.enabled:
            sys.stderr.write("\r\033[K")
        sys.stderr.write(text + "\n")

    def done(self):
        if self.enabled and self.files:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()
