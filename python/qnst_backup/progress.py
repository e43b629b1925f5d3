"""Progress of long work (bytes, files, rate, and the share done when the total is known) as a
bar on standard error when it is a terminal; quiet otherwise. Messages (warnings, problems)
always reach standard error, written above the bar so they do not tear it."""

import sys

tqdm = None


def _load():
    """tqdm, imported when a bar is wanted (the import is not free, and quiet runs need none);
    None without the package: the work then runs as it does off a terminal."""
    global tqdm
    if tqdm is None:
        try:
            from tqdm import tqdm
        except ImportError:
            return None
    return tqdm


class Progress:
    def __init__(self, enabled=None):
        if enabled is None:
            enabled = sys.stderr.isatty()
        self.enabled = bool(enabled) and _load() is not None
        self.files = self.bytes = 0
        self.total = None
        self.bar = None

    def expect(self, nbytes):
        """The bytes the work will pass through file(), when that is known beforehand."""
        self.total = nbytes or None
        if self.bar is not None:
            self.bar.total = self.total
            self.bar.refresh()

    def _open(self):
        # The bar is made at the first file: a command that finds nothing to do draws none.
        # No monitor thread: the bar is only ever updated from the thread doing the work.
        tqdm.monitor_interval = 0
        self.bar = tqdm(total=self.total, unit="B", unit_scale=True,
                        file=sys.stderr, leave=False, dynamic_ncols=True, mininterval=0.2,
                        smoothing=0.1)

    def file(self, nbytes):
        self.files += 1
        self.bytes += nbytes
        if not self.enabled:
            return
        if self.bar is None:
            self._open()
        self.bar.set_postfix_str("%d files" % self.files, refresh=False)
        self.bar.update(nbytes)

    def message(self, text):
        if self.bar is not None:
            tqdm.write(text, file=sys.stderr)
        else:
            sys.stderr.write(text + "\n")
            sys.stderr.flush()

    def done(self):
        if self.bar is not None:
            self.bar.close()
            self.bar = None
