"""Fixtures of the tool's tests: running the tool in-process, finding a restored tree."""

import io
import os
import sys

import pytest

from qnst_backup import cli


def run_tool(store, *args):
    """Runs the tool in-process; returns (exit code, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    old = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = out, err
    try:
        code = cli.main(["--store", os.fspath(store), "--no-progress"] + [os.fspath(a)
                                                                         for a in args])
    finally:
        sys.stdout, sys.stderr = old
    return code, out.getvalue(), err.getvalue()


def restored_path(dest, src):
    """Where a source tree lands in a restore into `dest`."""
    return os.path.join(dest, os.path.relpath(os.path.abspath(src), "/"))


@pytest.fixture
def tool():
    return run_tool


@pytest.fixture
def restored():
    return restored_path
