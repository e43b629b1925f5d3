"""Fixtures of the binding tests: a fresh engine environment per test and the stores in it."""

import os
import subprocess
import sys
import textwrap

import pytest

import qnst_bdb
import qnst_blksism
import qnst_dfile

qnst_bdb.bdb_init()

# Test hashes: the first byte picks the partition, so these all land in partition 0 of any store.
HASH_A = bytes([0]) + bytes(range(1, 20))
HASH_B = bytes([0]) + bytes(range(101, 120))


def open_env(home, errfile, **settings):
    """A free-threaded environment in `home`: created by a recovery open, then reopened."""
    env = qnst_bdb.qnst_env()
    env.env_create(0)
    env.env_open(home, errfile=errfile, recover=1, **settings)
    env.env_close()
    env.env_create(0)
    env.env_open(home, errfile=errfile, **settings)
    return env


@pytest.fixture
def home(tmp_path):
    path = tmp_path / "env"
    path.mkdir()
    return path


@pytest.fixture
def env(home):
    env = open_env(os.fsencode(home), os.fsencode(home / "error.log"))
    yield env
    env.env_close()


@pytest.fixture
def dfile(env):
    table = qnst_dfile.pyDFile()
    table.dfile_open(env, 128, b"dfile.db", 1)
    yield table
    table.dfile_close()


@pytest.fixture
def store(env, dfile):
    blocks = qnst_blksism.pyBlkSIS()
    blocks.blksis_open(env, dfile, 1, b"store", 1, b"", 0)
    yield blocks
    blocks.blksis_close()


def error_log(home):
    """The environment's error-log lines."""
    path = home / "error.log"
    return path.read_text().splitlines() if path.exists() else []


def run_python(code, timeout=60, extra_path=()):
    """Runs `code` in a fresh interpreter with the test's module path (and `extra_path` in
    front); returns the completed process."""
    path = list(extra_path) + [p for p in sys.path if p]
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(path)),
                          capture_output=True, text=True, timeout=timeout)
