"""The tool as a user meets it: the README's commands as written, --help and the exit codes,
one line for every mistake, a full disk, a read-only store, Ctrl-C at any command."""

import contextlib
import errno
import os
import random
import re
import shlex
import shutil
import subprocess
import sys

import pytest

import qnst
import qnst_bdb
from qnst_backup import backup, cli
from qnst_backup.errors import UserError

from .test_backup import ROOT, snapshot

TOP = os.path.dirname(ROOT)                     # the project: README.md, scripts/
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


def make_tree(top, files=40, seed=1):
    """A small tree: a folder of small files, a sub-folder, two larger files."""
    rng = random.Random(seed)
    (top / "bash").mkdir(parents=True)
    for i in range(files):
        (top / "bash" / ("f%03d" % i)).write_bytes(rng.randbytes(rng.randrange(1, 4000)))
    (top / "big1").write_bytes(rng.randbytes(300_000))
    (top / "big2").write_bytes(rng.randbytes(200_000))
    os.symlink("big1", top / "link")
    return top


def tool_process(store, *args):
    """Runs the tool in a process of its own (a failed run leaves nothing open in this one)."""
    run = subprocess.run([sys.executable, "-m", "qnst_backup", "--store", os.fspath(store)]
                         + [os.fspath(a) for a in args], env=ENV, capture_output=True,
                         text=True, timeout=120)
    return run.returncode, run.stdout, run.stderr


def one_line(err):
    return err.count("\n") == 1 and err.startswith("qnst-backup: ") and "Traceback" not in err


# ---- The README ------------------------------------------------------------------------------

def readme_commands():
    """The example commands of the README's tool section, without their comments."""
    with open(os.path.join(TOP, "README.md")) as f:
        text = f.read()
    start = text.index("## Backup tool")
    section = text[start:text.index("\n## ", start)]
    return [line.split("#")[0].split() for line in section.splitlines()
            if line.startswith("    scripts/qnst-backup ")]


def test_readme_commands_work_as_written(tmp_path):
    """Every example line, in order, through the script, with the README's paths moved into a
    scratch folder (the tree, /tmp) and the store given by QNST_STORE."""
    doc = make_tree(tmp_path / "doc")
    build = os.path.dirname(os.path.dirname(os.path.abspath(qnst_bdb.__file__)))
    env = dict(ENV, QNST_STORE=os.fspath(tmp_path / "store"), QNST_BUILD_DIR=build,
               PYTHON=sys.executable)
    commands = readme_commands()
    assert [c[1] for c in commands].count("backup") >= 2 and len(commands) >= 10
    for words in commands:
        words = [re.sub(r"^/usr/share/doc", os.fspath(doc),
                        re.sub(r"^/tmp/", os.fspath(tmp_path) + "/", w)) for w in words]
        if words[1] == "backup" and os.path.exists(tmp_path / "store"):
            (doc / "bash" / "f000").write_bytes(b"changed")          # for diff to show
        run = subprocess.run([os.path.join(TOP, words[0])] + words[1:], env=env,
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, (shlex.join(words), run.stderr)
        if words[1] == "diff":
            assert "M " in run.stdout, run.stdout
    assert snapshot(tmp_path / "out-bash" / os.path.relpath(doc / "bash", "/")) \
        == snapshot(tmp_path / "out" / os.path.relpath(doc / "bash", "/"))


# ---- --help and exit codes -------------------------------------------------------------------

COMMANDS = ["backup", "restore", "list", "ls", "diff", "stats", "verify", "forget", "compact"]


def test_help_on_every_command_and_exit_codes_in_the_main_help(capsys):
    for command in [[]] + [[c] for c in COMMANDS]:
        with pytest.raises(SystemExit) as stop:
            cli.main(command + ["--help"])
        out = capsys.readouterr().out
        assert stop.value.code == 0 and out.startswith("usage: qnst-backup " + " ".join(command))
    with pytest.raises(SystemExit):
        cli.main(["--help"])
    out = capsys.readouterr().out
    codes = re.findall(r"^  (\d+) ", out[out.index("exit codes"):], re.M)
    assert codes == ["0", "1", "2", "3", "130", "141"]
    assert set(COMMANDS) <= set(re.findall(r"^    (\w+) ", out, re.M))


# ---- Mistakes: one line, exit code 2, nothing written ----------------------------------------

@pytest.fixture
def stored(tmp_path, tool):
    """A store holding one version of a small tree: (store, tree)."""
    src = make_tree(tmp_path / "src")
    code, _, err = tool(tmp_path / "store", "backup", src)
    assert code == 0, err
    return tmp_path / "store", src


@pytest.mark.parametrize("args, message", [
    (["restore", "9", "{out}"], "no version 9 in the store"),
    (["restore", "1", "{out}", "{src}/bash", "/no/such"], "/no/such is not in version 1"),
    (["restore", "1", "{file}"], "it is not a folder"),
    (["restore", "1", "{full}"], "the folder is not empty"),
    (["ls", "9"], "no version 9"),
    (["ls", "1", "/no/such"], "not in version 1"),
    (["diff", "1", "9"], "no version 9"),
    (["forget", "9"], "no version 9"),
    (["forget"], "name the versions to forget"),
    (["forget", "--keep-last", "-1"], "cannot be negative"),
    (["compact", "--threshold", "200"], "invalid percent value"),
    (["backup", "{src}", "/no/such"], "source /no/such does not exist"),
    (["--store", "{file}", "list"], "is not a directory"),
])
def test_mistakes_are_one_line_exit_2_and_change_nothing(tmp_path, stored, tool, args, message):
    store, src = stored
    (tmp_path / "file").write_bytes(b"mine")
    (tmp_path / "full").mkdir()
    (tmp_path / "full" / "mine").write_bytes(b"mine")
    names = dict(out=tmp_path / "out", src=src, file=tmp_path / "file", full=tmp_path / "full")
    args = [a.format(**names) for a in args]
    if args[0] == "--store":
        store, args = args[1], args[2:]
    before = [snapshot(tmp_path / name) for name in ("src", "full")]
    code, out, err = tool(store, *args)
    assert code == 2 and message in err and one_line(err), err
    assert out == "" and not os.path.exists(tmp_path / "out")      # not a byte written
    assert (tmp_path / "file").read_bytes() == b"mine"
    assert [snapshot(tmp_path / name) for name in ("src", "full")] == before
    assert [line.split()[0] for line in tool(stored[0], "list")[1].splitlines()] == ["1"]


def test_restore_overwrite_completes_into_a_used_folder(tmp_path, stored, tool, restored):
    store, src = stored
    dest = tmp_path / "out"
    target = restored(dest, src)
    os.makedirs(os.path.join(target, "bash"))
    with open(os.path.join(target, "big1"), "wb") as f:     # a file cut short
        f.write(b"partial")
    os.mkdir(os.path.join(target, "big2"))                   # a folder where a file goes
    os.symlink("nowhere", os.path.join(target, "bash", "f001"))
    with open(os.path.join(target, "extra"), "wb") as f:     # not in the version: stays
        f.write(b"x")
    code, _, err = tool(store, "restore", "--overwrite", "1", dest)
    assert code == 0, err
    got = snapshot(target)
    assert got.pop(b"extra")[-1] == b"x"
    assert got == snapshot(src)


def test_unreadable_source_file_is_a_warning_and_exit_1(tmp_path, stored, tool, restored,
                                                         monkeypatch):
    store, src = stored
    unreadable = os.fsencode(src / "bash" / "f002")
    (src / "bash" / "f002").write_bytes(b"new content")
    real_open = open

    def guarded(path, *args, **kw):
        if os.fsencode(path) == unreadable:
            raise PermissionError(13, "Permission denied", path)
        return real_open(path, *args, **kw)
    monkeypatch.setattr(backup, "open", guarded, raising=False)
    (src / "new").write_bytes(b"added")
    code, out, err = tool(store, "backup", src)
    assert code == 1
    assert err.splitlines() == ["warning: %s: Permission denied" % os.fsdecode(unreadable)]
    assert out.startswith("2 ")
    code, _, err = tool(store, "restore", "2", tmp_path / "out")
    assert code == 0, err
    assert (tmp_path / "out" / os.path.relpath(src / "new", "/")).read_bytes() == b"added"
    assert tool(store, "verify", "--data")[0] == 0


@pytest.mark.parametrize("first, code, message", [
    (KeyboardInterrupt(), 130, "qnst-backup: interrupted"),
    (OSError(errno.ENOSPC, "No space left on device"), 2, "qnst-backup: the disk is full"),
    (qnst.QnstError(errno.ENOSPC), 2, "qnst-backup: the disk is full"),
    (UserError("store x is locked by another process"), 2,
     "qnst-backup: store x is locked by another process"),
])
def test_a_failure_while_closing_reports_the_one_before(tmp_path, monkeypatch, capsys, first,
                                                        code, message):
    """Closing what a failure left open fails in turn (the tables still in use, the data file
    flushed to the same full disk); the user hears of the first failure."""
    def failing(args):
        try:
            raise first
        finally:
            raise qnst.QnstError(errno.EBUSY)
    monkeypatch.setattr(cli, "run", failing)
    monkeypatch.setattr(cli, "disk_full", lambda path: False)
    assert cli.main(["--store", os.fspath(tmp_path), "list"]) == code
    err = capsys.readouterr().err
    assert err.startswith(message) and one_line(err), err


# ---- A full disk, a read-only store ----------------------------------------------------------

@contextlib.contextmanager
def tmpfs(path, size):
    """A small file system of its own at `path` (root only)."""
    path.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=" + size,
                                            "tmpfs", os.fspath(path)],
                                           capture_output=True).returncode != 0:
        pytest.skip("a tmpfs cannot be mounted here")
    try:
        yield path
    finally:
        subprocess.run(["umount", "-l", os.fspath(path)], check=True)


def fill(path, leave):
    """Fills the file system of `path` but for about `leave` bytes."""
    st = os.statvfs(path)
    with open(path / "filler", "wb") as f:
        block = b"\0" * (1 << 20)
        for _ in range(max(0, st.f_bavail * st.f_frsize - leave) >> 20):
            f.write(block)
    return path / "filler"


def test_full_disk_during_backup_and_restore(tmp_path, tool, restored):
    src = make_tree(tmp_path / "src")
    with tmpfs(tmp_path / "mnt", "200m") as mnt, tmpfs(tmp_path / "small", "1m") as small:
        store = mnt / "store"
        assert tool(store, "backup", src)[0] == 0
        first = snapshot(src)
        rng = random.Random(5)
        for i in range(4):
            (src / ("large%d" % i)).write_bytes(rng.randbytes(3_000_000))
        filler = fill(mnt, 4 << 20)
        for _ in range(2):                      # the next run, still full, says the same
            code, _, err = tool_process(store, "backup", src)
            assert code == 2 and "the disk is full" in err and one_line(err), err
        os.unlink(filler)
        code, out, err = tool(store, "verify", "--data")
        assert code == 0, out + err
        code, out, err = tool(store, "backup", src)
        assert code == 0, err
        assert tool(store, "restore", "1", tmp_path / "out")[0] == 0
        assert snapshot(restored(tmp_path / "out", tmp_path / "src")) == first

        # The restore stops at the first file that does not fit, naming it.
        code, _, err = tool(store, "restore", out.split()[0], small / "out")
        assert code == 2 and "the disk is full (%s" % small in err and one_line(err), err
        assert tool(store, "verify")[0] == 0


def test_read_only_store_is_refused_in_one_line(tmp_path):
    src = make_tree(tmp_path / "src", files=3)
    with tmpfs(tmp_path / "mnt", "100m") as mnt:
        assert tool_process(mnt / "store", "backup", src)[0] == 0
        subprocess.run(["mount", "-o", "remount,ro", os.fspath(mnt)], check=True)
        # Opening a store runs recovery, which writes: not even list works on a read-only one.
        for args in (["list"], ["backup", src], ["restore", "1", tmp_path / "out"]):
            code, _, err = tool_process(mnt / "store", *args)
            assert code == 2 and "Read-only file system" in err and one_line(err), err


# ---- Ctrl-C ----------------------------------------------------------------------------------

# Runs the tool in a process of its own that sends itself SIGINT at the n-th call of a function
# of the package: the interrupt lands at a known point of the work, on any machine.
INTERRUPTER = """
import importlib, os, signal, sys
module, attr, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
owner = importlib.import_module("qnst_backup." + module)
*path, name = attr.split(".")
for part in path:
    owner = getattr(owner, part)
real, calls = getattr(owner, name), [0]
def hooked(*args, **kw):
    calls[0] += 1
    if calls[0] == n:
        os.kill(os.getpid(), signal.SIGINT)
    return real(*args, **kw)
setattr(owner, name, hooked)
from qnst_backup import cli
sys.exit(cli.main(sys.argv[4:]))
"""


@pytest.fixture(scope="module")
def two_versions(tmp_path_factory):
    """A store of two versions of a tree (the second with files gone and added); copied by
    each test. (store, tree, {version: snapshot})."""
    from .conftest import run_tool
    top = tmp_path_factory.mktemp("versions")
    src = make_tree(top / "src", files=300)
    store = top / "store"
    assert run_tool(store, "backup", src)[0] == 0
    shots = {1: snapshot(src)}
    for i in range(0, 300, 2):
        os.unlink(src / "bash" / ("f%03d" % i))
    (src / "big2").write_bytes(random.Random(9).randbytes(400_000))
    assert run_tool(store, "backup", src)[0] == 0
    shots[2] = snapshot(src)
    return store, src, shots


@pytest.mark.parametrize("command, module, attr, n", [
    (["backup", "{new}"], "progress", "Progress.file", 200),
    (["restore", "2", "{out}"], "progress", "Progress.file", 60),
    (["forget", "1"], "progress", "Progress.file", 100),
    (["compact", "--threshold", "100"], "compact", "_sync_folder", 1),   # copied, not switched
    (["compact", "--threshold", "100"], "compact", "_unlink", 2),        # moved, old file kept
])
def test_ctrl_c_exits_130_and_the_next_run_completes(tmp_path, two_versions, tool, restored,
                                                     command, module, attr, n):
    base, src, shots = two_versions
    store, new = tmp_path / "store", tmp_path / "new"
    shutil.copytree(base, store, symlinks=True)
    shutil.copytree(src, new, symlinks=True)
    for i in range(400):
        (new / "bash" / ("g%03d" % i)).write_bytes(b"%d" % i * 50)
    if command[0] == "compact":
        assert tool(store, "forget", "1")[0] == 0
    args = [a.format(new=new, out=tmp_path / "out") for a in command]
    run = subprocess.run([sys.executable, "-c", INTERRUPTER, module, attr, str(n), "--store",
                          os.fspath(store)] + args, env=ENV, capture_output=True, text=True,
                         timeout=120)
    assert (run.returncode, run.stderr) == (130, "qnst-backup: interrupted\n")

    # The store is sound, and every version it held (but the one being forgotten) is whole.
    code, out, err = tool(store, "verify", "--data")
    assert code == 0, out + err
    for ver in (1, 2) if command[0] in ("backup", "restore") else (2,):
        dest = tmp_path / ("v%d" % ver)
        code, _, err = tool(store, "restore", str(ver), dest)
        assert code == 0 and snapshot(restored(dest, src)) == shots[ver], err

    # The same command again completes (a restore over what the first one wrote).
    if command[0] == "restore":
        args.insert(1, "--overwrite")
    code, out, err = tool(store, *args)
    assert code == 0, err
    if command[0] == "restore":
        assert snapshot(restored(tmp_path / "out", src)) == shots[2]
    if command[0] == "backup":
        code, _, err = tool(store, "restore", out.split()[0], tmp_path / "last")
        assert code == 0 and snapshot(restored(tmp_path / "last", new)) == snapshot(new), err
    code, out, err = tool(store, "verify", "--data")
    assert code == 0, out + err
