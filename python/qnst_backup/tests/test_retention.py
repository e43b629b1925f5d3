"""forget and compact: versions with shared and unique content, some forgotten by number and by
policy, the space of their unique content reclaimed, every kept version still exact; the same
when either command is killed at a random moment and run again."""

import os
import random
import shutil
import signal
import subprocess
import sys
import time

import pytest

from qnst_backup import backup as backup_mod
from qnst_backup.forget import policy_keep
from qnst_backup.store import Store
from .conftest import restored_path as restored, run_tool as tool
from .test_backup import snapshot
from .test_entries import change, every_kind  # noqa: F401 (a fixture)
from .test_entries import snapshot as every_kind_snapshot

UNIQUE = 1_200_000          # bytes only one version holds, in a file kept under one name
ONLY = 200_000              # bytes of a file that exists in one version only


def data_bytes(store):
    folder = os.path.join(store, "data")
    return sum(os.stat(os.path.join(folder, n)).st_blocks * 512 for n in os.listdir(folder))


def make_version(src, ver):
    """The tree of version `ver`: shared files, a file whose content is the version's own, and
    a file that only this version has."""
    rng = random.Random(1000 + ver)
    (src / "uniq").mkdir(parents=True, exist_ok=True)
    (src / "uniq" / "data").write_bytes(rng.randbytes(UNIQUE))
    for old in (src / "uniq").glob("only-*"):
        old.unlink()
    (src / "uniq" / ("only-%d" % ver)).write_bytes(rng.randbytes(ONLY))


@pytest.fixture
def common(tmp_path):
    src = tmp_path / "src"
    rng = random.Random(5)
    (src / "common").mkdir(parents=True)
    for i in range(40):
        (src / "common" / ("f%02d" % i)).write_bytes(rng.randbytes(20_000))
    return src


def test_forget_and_compact_reclaim_the_unique_content(tmp_path, common):
    store, src = tmp_path / "store", common
    snaps = {}
    for ver in range(1, 5):
        make_version(src, ver)
        code, _, err = tool(store, "backup", src)
        assert code == 0, err
        snaps[ver] = snapshot(src)
    before = data_bytes(store)

    code, out, _ = tool(store, "forget", "--dry-run", "--keep-last", "3")
    assert code == 0 and "would forget 1 " in out
    assert [line.split()[0] for line in tool(store, "list")[1].splitlines()] == list("1234")

    code, out, err = tool(store, "forget", "2")
    assert code == 0, err
    code, out, err = tool(store, "forget", "--keep-last", "2")      # now keeps 3 and 4
    assert code == 0 and out.startswith("forget 1 "), out + err
    assert [line.split()[0] for line in tool(store, "list")[1].splitlines()] == ["3", "4"]
    code, _, err = tool(store, "restore", "1", tmp_path / "gone")
    assert code == 2 and "no version 1" in err

    code, out, err = tool(store, "compact", "--threshold", "90")
    assert code == 0 and "rewrote 1 data files" in out, out + err
    after = data_bytes(store)
    forgotten = 2 * (UNIQUE + ONLY)
    # The drop is the forgotten content plus its record headers and the padding of the
    # backups' many flushes, which the rewrite writes once.
    assert forgotten <= before - after <= forgotten + 128 * 1024, (before, after)

    code, out, err = tool(store, "verify", "--data")
    assert code == 0 and "no problems" in out, out + err
    for ver in (3, 4):
        dest = tmp_path / ("out%d" % ver)
        assert tool(store, "restore", str(ver), dest)[0] == 0
        assert snapshot(restored(dest, src)) == snaps[ver]

    # Nothing left to reclaim: a second pass rewrites nothing.
    code, out, _ = tool(store, "compact")
    assert code == 0 and "freed 0 blocks; rewrote 0 data files" in out
    assert data_bytes(store) == after

    # Backups go on into the rewritten data file.
    (src / "common" / "new").write_bytes(random.Random(9).randbytes(300_000))
    code, out, err = tool(store, "backup", src)
    assert code == 0, err
    dest = tmp_path / "out5"
    assert tool(store, "restore", out.split()[0], dest)[0] == 0
    assert snapshot(restored(dest, src)) == snapshot(src)
    code, out, err = tool(store, "verify", "--data")
    assert code == 0, out + err

    # verify sees a data file's usage that does not match its blocks.
    with Store(store) as s:
        ver, over, coff, ooff, used = s.dfile.dfile_get(None, 1)
        s.dfile.dfile_set(None, 1, ver, over, coff, ooff, used + 1)
    code, out, err = tool(store, "verify")
    assert code == 1 and "data file 00000001: usage" in err


DAY = 86400


def at(y, m, d, hour=12):
    return int(time.mktime((y, m, d, hour, 0, 0, 0, 0, -1)))


# Versions 1..9 at fixed local times (oldest first); 2026-03-02 is a Monday.
TIMES = [at(2026, 1, 10), at(2026, 2, 20), at(2026, 2, 27, 9), at(2026, 2, 27, 18),
         at(2026, 3, 2, 8), at(2026, 3, 3, 8), at(2026, 3, 3, 20), at(2026, 3, 5),
         at(2026, 3, 8, 23)]


@pytest.mark.parametrize("rules, kept", [
    (dict(last=2), {8, 9}),
    (dict(last=20), set(range(1, 10))),
    (dict(daily=3), {9, 8, 7}),                    # newest of each day; 3 Mar counts once
    (dict(daily=5), {9, 8, 7, 5, 4}),              # days without a version are not counted
    (dict(weekly=2), {9, 4}),                      # week of 2 Mar (Mon) .. 8 Mar, then 23 Feb
    (dict(monthly=3), {9, 4, 1}),
    (dict(last=1, monthly=2), {9, 4}),             # a version kept by two rules counts once
    (dict(daily=1, weekly=1, monthly=1), {9}),
])
def test_retention_policy(rules, kept):
    versions = list(enumerate(TIMES, start=1))
    random.Random(1).shuffle(versions)
    assert policy_keep(versions, **rules) == kept


@pytest.mark.parametrize("args, message", [
    (["forget"], "name the versions to forget"),
    (["forget", "9"], "no version 9"),
    (["forget", "1", "--keep-last", "1"], "not both"),
    (["forget", "--keep-daily", "-1"], "cannot be negative"),
    (["compact", "--threshold", "150"], "invalid percent value"),
])
def test_retention_mistakes_are_one_line_and_exit_2(tmp_path, args, message):
    store = tmp_path / "store"
    (tmp_path / "file").write_bytes(b"content")
    assert tool(store, "backup", tmp_path / "file")[0] == 0
    code, _, err = tool(store, *args)
    assert code == 2 and message in err and err.count("\n") == 1, err


# ---- Killed at random moments ------------------------------------------------------------------

@pytest.fixture(scope="module")
def crash_base(tmp_path_factory):
    """A store with versions 1..3 and an interrupted version 4, and the snapshots of 2 and 3."""
    top = tmp_path_factory.mktemp("crash")
    src, store = top / "src", top / "store"
    rng = random.Random(11)
    (src / "common").mkdir(parents=True)
    for i in range(60):
        (src / "common" / ("c%02d" % i)).write_bytes(rng.randbytes(rng.randrange(1000, 30_000)))
    snaps = {}
    for ver in range(1, 5):
        make_version(src, ver)
        many = src / "many"
        shutil.rmtree(many, ignore_errors=True)
        many.mkdir()
        for i in range(150):
            (many / ("m%03d" % i)).write_bytes(rng.randbytes(rng.randrange(500, 40_000)))
        if ver < 4:
            assert tool(store, "backup", src)[0] == 0
            snaps[ver] = snapshot(src)
    # Version 4 stops half-way, as a killed backup does: its committed batches stay.
    calls = [0]
    real = backup_mod.Backup._chunks

    def failing(self, node, chunks, txn):
        calls[0] += 1
        if calls[0] == 120:
            raise KeyboardInterrupt
        return real(self, node, chunks, txn)
    backup_mod.Backup._chunks = failing
    try:
        assert tool(store, "backup", src)[0] == 130
    finally:
        backup_mod.Backup._chunks = real
    assert [line.split()[0] for line in tool(store, "list")[1].splitlines()] == list("123")
    return src, store, snaps


def run_tool(store, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.Popen([sys.executable, "-m", "qnst_backup", "--store", os.fspath(store)]
                            + list(args), env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def killed(store, args, rng, span):
    """Runs the tool and kills it with SIGKILL at a seeded moment within `span` (the seconds
    from .. to after its start)."""
    proc = run_tool(store, *args)
    time.sleep(rng.uniform(*span))
    proc.send_signal(signal.SIGKILL)
    proc.wait()


def timed(store, *args):
    start = time.monotonic()
    assert run_tool(store, *args).wait() == 0
    return time.monotonic() - start


def sound(tmp_path, store, src, snaps, tag):
    code, out, err = tool(store, "verify", "--data")
    assert code == 0, out + err
    for ver, expected in snaps.items():
        dest = tmp_path / ("%s-%d" % (tag, ver))
        code, _, err = tool(store, "restore", str(ver), dest)
        assert code == 0, err
        assert snapshot(restored(dest, src)) == expected
        shutil.rmtree(dest)


SEEDS = range(int(os.environ.get("QNST_RETENTION_KILLS", "1")))     # more: a longer series


@pytest.mark.parametrize("seed", SEEDS)
def test_killed_forget_and_compact_leave_a_sound_store(tmp_path, crash_base, seed):
    src, base, snaps = crash_base
    kept = {ver: snaps[ver] for ver in (2, 3)}
    rng = random.Random(seed)
    # How long each command takes here, measured on a copy, bounds the moments of the kills;
    # they fall after the start of the interpreter and the opening of the store (most of a
    # short command's time), in the work itself.
    probe = tmp_path / "probe"
    shutil.copytree(base, probe)
    start = timed(probe, "list")
    spans = {"forget": (start, timed(probe, "forget", "1", "4")),
             "compact": (start, timed(probe, "compact", "--threshold", "90"))}
    expected = data_bytes(probe)
    shutil.rmtree(probe)

    store = tmp_path / "store"
    shutil.copytree(base, store)
    for command, args in (("forget", ["forget", "1", "4"]),
                          ("compact", ["compact", "--threshold", "90"])):
        for kill in range(2):
            killed(store, args, rng, spans[command])
            sound(tmp_path, store, src, kept, "%s%d" % (command, kill))
        code, out, err = tool(store, *args)
        assert code == 0, out + err
    assert [line.split()[0] for line in tool(store, "list")[1].splitlines()] == ["2", "3"]
    sound(tmp_path, store, src, kept, "final")
    # The interrupted runs leave no more behind than an uninterrupted one (within a little
    # padding of the files the later runs append to or rewrite).
    assert data_bytes(store) <= expected + 64 * 1024
    code, out, _ = tool(store, "compact")
    assert code == 0 and "freed 0 blocks; rewrote 0 data files" in out


class CutShort:
    """Stands in for qnst_bdb in compact: the `count`-th transaction named `name` is cut short,
    before its commit when `before`, else just after it."""

    def __init__(self, real, name, count, before):
        self.real, self.name, self.left, self.before = real, name, count, before
        self.begin = real.begin

    def retry(self, env, fn, *args, **kwargs):
        if fn.__name__ == self.name:
            self.left -= 1
            if self.left == 0 and self.before:
                raise KeyboardInterrupt
        result = self.real.retry(env, fn, *args, **kwargs)
        if fn.__name__ == self.name and self.left == 0:
            raise KeyboardInterrupt
        return result


@pytest.mark.parametrize("name, count, before", [
    ("switch", 1, True),          # the new version is written, the dfile table still old
    ("move_batch", 3, False),     # some blocks moved, the rest still in the old version
    ("move_batch", 1, True),      # the new version current, no block moved yet
    ("settle", 1, False),         # all moved, the old file not yet removed
    ("batch", 1, False),          # unreferenced blocks listed for freeing, none freed yet
])
def test_compact_cut_short_finishes_on_the_next_run(tmp_path, crash_base, monkeypatch, name,
                                                    count, before):
    from qnst_backup import compact
    src, base, snaps = crash_base
    store = tmp_path / "store"
    shutil.copytree(base, store)
    assert tool(store, "forget", "1", "4")[0] == 0
    monkeypatch.setattr(compact, "BATCH", 50)
    monkeypatch.setattr(compact, "qnst_bdb", CutShort(compact.qnst_bdb, name, count, before))
    assert tool(store, "compact", "--threshold", "90")[0] == 130
    monkeypatch.undo()
    kept = {ver: snaps[ver] for ver in (2, 3)}
    sound(tmp_path, store, src, kept, "cut")
    # A backup in between writes into the data file's current version.
    extra = tmp_path / "extra"
    extra.mkdir()
    (extra / "new").write_bytes(random.Random(8).randbytes(200_000))
    for name in ("c00", "c59"):         # kept content, found by its hash wherever it lies
        shutil.copy2(src / "common" / name, extra / name)
    code, out, err = tool(store, "backup", extra)
    assert code == 0 and " 0 new chunks" not in out, out + err
    new = out.split()[0]
    code, out, err = tool(store, "compact", "--threshold", "90")
    assert code == 0, out + err
    assert sorted(os.listdir(store / "data")) == ["00000001.2"]
    sound(tmp_path, store, src, kept, "done")
    dest = tmp_path / "extra-out"
    assert tool(store, "restore", new, dest)[0] == 0
    assert snapshot(restored(dest, extra)) == snapshot(extra)


def test_forget_keeps_a_file_that_another_entry_still_reaches(tmp_path):
    """A file inode with two entries (a hard link): the entry that ends with a forgotten
    version must not take the records the other entry still shows."""
    import qnst_bdb
    from qnst_backup.backup import FILE
    from qnst_backup.restore import find
    src, store = tmp_path / "src", tmp_path / "store"
    (src / "a").mkdir(parents=True)
    (src / "b").mkdir()
    (src / "a" / "x").write_bytes(random.Random(4).randbytes(300_000))
    assert tool(store, "backup", src)[0] == 0
    parts = [os.fsencode(p) for p in str(src).split("/") if p]
    with Store(store) as s:
        x = find(s, 1, parts + [b"a", b"x"])[1]
        b = s.inode(find(s, 1, parts + [b"b"])[1], None)
        try:
            with qnst_bdb.begin(s.env) as txn:
                b.dir_add(txn, b"y", 1, 1, FILE, x)
        finally:
            b.inode_close()
    os.link(src / "a" / "x", src / "b" / "y")
    os.unlink(src / "a" / "x")
    code, out, err = tool(store, "backup", src)
    assert code == 0 and " 0 new chunks" in out, out + err
    expected = snapshot(src)
    assert tool(store, "forget", "1")[0] == 0
    assert tool(store, "compact", "--threshold", "100")[0] == 0
    code, out, err = tool(store, "verify", "--data")
    assert code == 0, out + err
    dest = tmp_path / "out"
    assert tool(store, "restore", "2", dest)[0] == 0
    assert snapshot(restored(dest, src)) == expected


def test_help_of_forget_and_compact():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for command in ("forget", "compact"):
        run = subprocess.run([sys.executable, "-m", "qnst_backup", command, "--help"],
                             capture_output=True, text=True, env=env, timeout=60)
        assert run.returncode == 0, run.stderr
        assert ("--keep-last" if command == "forget" else "--threshold") in run.stdout


def test_forget_and_compact_keep_every_kind_of_entry(tmp_path, every_kind):
    """Hard links, extended attributes, ACLs, sparse files and odd names through forgetting the
    middle version, then the oldest: what stays restores exactly and verifies."""
    src, store = every_kind, tmp_path / "store"
    snaps = {}
    for ver in (1, 2, 3):
        if ver == 2:
            change(src)
        elif ver == 3:
            (src / "small.txt").write_bytes(b"third\n")
            os.unlink(src / "triple3")
        code, _, err = tool(store, "backup", src)
        assert code == 0, err
        snaps[ver] = every_kind_snapshot(src)[0]
    for forgotten, kept in ((2, (1, 3)), (1, (3,))):
        assert tool(store, "forget", str(forgotten))[0] == 0
        code, out, err = tool(store, "compact", "--threshold", "90")
        assert code == 0, out + err
        code, out, err = tool(store, "verify", "--data")
        assert code == 0 and "no problems" in out, out + err
        for ver in kept:
            dest = tmp_path / ("out%d-%d" % (forgotten, ver))
            code, _, err = tool(store, "restore", str(ver), dest)
            assert code == 0, err
            assert every_kind_snapshot(restored(dest, src))[0] == snaps[ver]


# ---- What a kept version still holds ----------------------------------------------------------

def blob(seed, size=150_000):
    return random.Random(seed).randbytes(size)


def two_folders(src, seed):
    """Folders a and b, a file a/x."""
    (src / "a").mkdir()
    (src / "b").mkdir()
    (src / "a" / "x").write_bytes(blob(seed))


def moved(src, ver):
    """A file moved to another folder, then renamed back into the first."""
    if ver == 1:
        two_folders(src, 1)
    elif ver == 2:
        os.rename(src / "a" / "x", src / "b" / "x")
    elif ver == 3:
        os.rename(src / "b" / "x", src / "a" / "y")


def recreated(src, ver):
    """A folder deleted, then made again with part of its old content."""
    if ver == 1:
        (src / "d" / "e").mkdir(parents=True)
        (src / "d" / "e" / "f1").write_bytes(blob(2))
        (src / "d" / "f2").write_bytes(blob(3))
    elif ver == 2:
        shutil.rmtree(src / "d")
        (src / "other").write_bytes(blob(4, 1000))
    elif ver == 3:
        (src / "d" / "e").mkdir(parents=True)
        (src / "d" / "e" / "f1").write_bytes(blob(2))
        (src / "d" / "f3").write_bytes(blob(5))


def unchanged(src, ver):
    """A file and a folder that never change beside a file that changes every time."""
    if ver == 1:
        (src / "keep" / "deep").mkdir(parents=True)
        (src / "keep" / "deep" / "u").write_bytes(blob(6))
        (src / "keep" / "empty").write_bytes(b"")
    (src / "churn").write_bytes(blob(100 + ver))


def linked(src, ver):
    """A hard link made in a later version, then the first name removed."""
    if ver == 1:
        two_folders(src, 7)
    elif ver == 2:
        os.link(src / "a" / "x", src / "b" / "y")
    elif ver == 3:
        os.unlink(src / "a" / "x")
    elif ver == 4:
        with open(src / "b" / "y", "r+b") as f:
            f.seek(70_000)
            f.write(b"changed in place")


def check_kept(tmp_path, store, src, snaps, tag):
    """verify --data passes and every version in `snaps` restores exactly."""
    code, out, err = tool(store, "verify", "--data")
    assert code == 0 and "no problems" in out, out + err
    listed = [int(line.split()[0]) for line in tool(store, "list")[1].splitlines()]
    assert listed == sorted(snaps)
    for ver, expected in snaps.items():
        dest = tmp_path / ("%s-%d" % (tag, ver))
        code, _, err = tool(store, "restore", str(ver), dest)
        assert code == 0, err
        assert snapshot(restored(dest, src)) == expected, (tag, ver)
        shutil.rmtree(dest)


@pytest.mark.parametrize("make, versions, forgets", [
    (moved, 3, [["2"], ["1"]]),
    (moved, 3, [["1"], ["3"]]),
    (recreated, 3, [["2"], ["1"]]),
    (recreated, 3, [["1", "3"]]),
    (unchanged, 5, [["3", "1"], ["4", "2"]]),           # out of order; the last kept alone
    (linked, 4, [["1"], ["3"], ["2"]]),
    (linked, 4, [["2", "4"]]),
])
def test_forget_keeps_what_the_kept_versions_hold(tmp_path, make, versions, forgets):
    src, store = tmp_path / "src", tmp_path / "store"
    src.mkdir()
    snaps = {}
    for ver in range(1, versions + 1):
        make(src, ver)
        code, _, err = tool(store, "backup", src)
        assert code == 0, err
        snaps[ver] = snapshot(src)
    for step, doomed in enumerate(forgets):
        code, out, err = tool(store, "forget", *doomed)
        assert code == 0, out + err
        for ver in doomed:
            del snaps[int(ver)]
        code, out, err = tool(store, "compact", "--threshold", "100")
        assert code == 0, out + err
        check_kept(tmp_path, store, src, snaps, "step%d" % step)
    # Every pass rewrote the data file again, into its next version.
    assert os.listdir(store / "data") == ["00000001.%x" % (len(forgets) + 1)]
    # A later backup finds the moved blocks by their content: a copy of every file of the
    # newest version, when it is kept, stores nothing new.
    for path in sorted(src.rglob("*")):
        if path.is_file():
            (src / ("copy-" + path.name)).write_bytes(path.read_bytes())
    code, out, err = tool(store, "backup", src)
    assert code == 0, err
    if versions in snaps:
        assert " 0 new chunks" in out, out
    snaps[int(out.split()[0])] = snapshot(src)
    check_kept(tmp_path, store, src, snaps, "last")


def test_backup_after_forgetting_the_newest_version(tmp_path):
    """The next backup compares with the newest version handed out; once that version is
    forgotten, what it changed is gone from the store and must be taken up again."""
    src, store = tmp_path / "src", tmp_path / "store"
    (src / "d").mkdir(parents=True)
    for name, seed in (("edit", 10), ("chmod", 11), ("gone", 12), ("grow", 13)):
        (src / name).write_bytes(blob(seed))
    (src / "d" / "f").write_bytes(blob(14))
    os.symlink("edit", src / "link")
    snaps = {}

    def backup(ver):
        code, out, err = tool(store, "backup", src)
        assert code == 0 and out.split()[0] == str(ver), out + err
        snaps[ver] = snapshot(src)
    backup(1)
    (src / "edit").write_bytes(blob(20))
    os.chmod(src / "chmod", 0o600)
    os.unlink(src / "gone")
    with open(src / "grow", "ab") as f:
        f.write(blob(21))
    (src / "new").write_bytes(blob(22))
    os.rename(src / "d", src / "e")
    os.unlink(src / "link")
    os.symlink("grow", src / "link")
    os.setxattr(src / "edit", "user.note", b"v2")
    backup(2)
    assert tool(store, "forget", "2")[0] == 0
    del snaps[2]
    backup(3)                       # the tree as version 2 had it
    check_kept(tmp_path, store, src, snaps, "after")
    # Then the file whose metadata only changed shrinks, and the grown one is cut back.
    with open(src / "chmod", "r+b") as f:
        f.truncate(1000)
    with open(src / "grow", "r+b") as f:
        f.truncate(150_000)
    os.utime(src / "grow", ns=(0, 10**18))
    backup(4)
    assert tool(store, "forget", "4", "3")[0] == 0
    del snaps[3], snaps[4]
    backup(5)
    check_kept(tmp_path, store, src, snaps, "later")


def test_a_file_cut_back_after_forgetting_the_newest_version(tmp_path):
    """Files whose metadata alone changed in the forgotten newest version keep their older
    blocks live; when the next backup finds one shorter and the other with a hole, those
    blocks end there instead of showing through in the new version."""
    from .test_entries import sparse
    src, store = tmp_path / "src", tmp_path / "store"
    src.mkdir()
    content = blob(30, 1_000_000)
    for name in ("shorter", "holes"):
        (src / name).write_bytes(content)
    assert tool(store, "backup", src)[0] == 0
    snaps = {1: snapshot(src)}
    for name in ("shorter", "holes"):
        os.chmod(src / name, 0o600)
    assert tool(store, "backup", src)[0] == 0
    assert tool(store, "forget", "2")[0] == 0
    with open(src / "shorter", "r+b") as f:
        f.truncate(1000)
    sparse(src / "holes", len(content),
           [(0, content[:256 << 10]), (768 << 10, content[768 << 10:])])
    assert tool(store, "backup", src)[0] == 0
    snaps[3] = snapshot(src)
    check_kept(tmp_path, store, src, snaps, "cut")


def test_hard_links_parted_after_forgetting_the_newest_version(tmp_path):
    """Two names of one file whose record of the forgotten newest version is gone: when the
    next backup finds them parted, each keeps its own content."""
    src, store = tmp_path / "src", tmp_path / "store"
    src.mkdir()
    (src / "a").write_bytes(blob(40))
    os.link(src / "a", src / "b")
    assert tool(store, "backup", src)[0] == 0
    snaps = {1: snapshot(src)}
    os.chmod(src / "a", 0o600)
    assert tool(store, "backup", src)[0] == 0
    assert tool(store, "forget", "2")[0] == 0
    os.unlink(src / "b")
    (src / "b").write_bytes(blob(41))
    assert tool(store, "backup", src)[0] == 0
    snaps[3] = snapshot(src)
    check_kept(tmp_path, store, src, snaps, "parted")


def test_forget_every_version_then_back_up_again(tmp_path):
    src, store = tmp_path / "src", tmp_path / "store"
    src.mkdir()
    for ver in (1, 2):
        unchanged(src, ver)
        assert tool(store, "backup", src)[0] == 0
    code, out, err = tool(store, "forget", "2", "1")
    assert code == 0, out + err
    code, out, err = tool(store, "compact", "--threshold", "100")
    assert code == 0, out + err
    assert data_bytes(store) < 4096, out
    check_kept(tmp_path, store, src, {}, "none")
    # verify sees usage left on a data file that has no blocks any more.
    with Store(store) as s:
        row = s.dfile.dfile_get(None, 1)
        s.dfile.dfile_set(None, 1, *row[:4], row[4] + 1)
    code, out, err = tool(store, "verify")
    assert code == 1 and "data file 00000001: usage 1, its blocks hold 0 bytes" in err, out + err
    with Store(store) as s:
        s.dfile.dfile_set(None, 1, *row)
    # Forgetting a version already gone changes nothing (a run cut short is run again so).
    code, out, err = tool(store, "forget", "1")
    assert code == 0, out + err
    assert tool(store, "backup", src)[0] == 0
    check_kept(tmp_path, store, src, {3: snapshot(src)}, "again")


def test_a_rewrite_that_fails_leaves_no_copy_behind(tmp_path):
    """A block record that cannot be read stops the rewrite of its data file: the file stays
    as it is, the problem is reported, and the partial copy does not take disk space."""
    from qnst_backup.compact import Compact
    src, store = tmp_path / "src", tmp_path / "store"
    src.mkdir()
    for ver in (1, 2):
        unchanged(src, ver)
        assert tool(store, "backup", src)[0] == 0
    assert tool(store, "forget", "1")[0] == 0
    with Store(store) as s:
        offsets = [offset for offset, _, _ in Compact(s, 1, None).locations()[1][1]]
    with open(store / "data" / "00000001", "r+b") as f:
        f.seek(max(offsets) - 16)
        f.write(b"XXXX")
    code, out, err = tool(store, "compact", "--threshold", "100")
    assert code == 1 and "problem: data file 00000001: block" in err, out + err
    assert os.listdir(store / "data") == ["00000001"]


@pytest.mark.parametrize("name, count", [
    ("drop", 1),                  # the versions gone from the list, nothing swept yet
    ("_purge_chunk", 1),          # the first inodes swept
    ("_purge_chunk", 12),         # most of them swept
])
def test_forget_cut_short_finishes_on_the_next_run(tmp_path, crash_base, monkeypatch, name,
                                                   count):
    from qnst_backup import forget
    src, base, snaps = crash_base
    store = tmp_path / "store"
    shutil.copytree(base, store)
    monkeypatch.setattr(forget, "CHUNK_INODES", 16)
    monkeypatch.setattr(forget, "qnst_bdb", CutShort(forget.qnst_bdb, name, count, False))
    assert tool(store, "forget", "1", "4")[0] == 130
    monkeypatch.undo()
    kept = {ver: snaps[ver] for ver in (2, 3)}
    sound(tmp_path, store, src, kept, "cut")
    nothing = ("0 versions forgotten, 2 stay; purged 0 folder entries, 0 stat records, "
               "0 attributes, 0 block-map entries")
    code, out, err = tool(store, "forget", "1", "4")
    assert code == 0 and nothing not in out, out + err       # the run goes on where it stopped
    code, out, err = tool(store, "compact", "--threshold", "90")
    assert code == 0 and "rewrote 1 data files" in out, out + err
    sound(tmp_path, store, src, kept, "done")
    assert nothing in tool(store, "forget", "1", "4")[1]
