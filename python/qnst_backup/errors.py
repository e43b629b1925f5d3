"""The tool's own error: a user's mistake or a condition the user must fix, reported as one line
with a non-zero exit code."""

EXIT_OK = 0
EXIT_FAILED = 1      # the work ran but found problems (unreadable files, verify failures)
EXIT_USAGE = 2       # a mistake on the command line or a store that cannot be used


class UserError(Exception):
    """A one-line message for the user and the exit code that goes with it."""

    def __init__(self, message, code=EXIT_USAGE):
        super().__init__(message)
        self.code = code
