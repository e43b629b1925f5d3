"""Reading versions without restoring them (ls, diff), the store's figures (stats) and the
progress bar: a small tree backed up twice with one change of every kind between the two."""

import grp
import hashlib
import json
import os
import pwd
import random
import stat
import subprocess
import sys

import pytest

import qnst_bdb
from qnst_backup import browse, chunker
from qnst_backup.store import Store

from .test_entries import ACCESS, acl_for, sparse

DIR_TIME = (1_600_000_000, 1_600_000_000)
FILE_TIME = (1_500_000_000_123_456_789, 1_500_000_000_123_456_789)
REWRITTEN = random.Random(3).randbytes(150_000)


def files_of(top):
    """{path: (size, {sha1: size} of its chunks)} of the regular files under `top`, cut as a
    backup cuts them (a sparse file's data regions only)."""
    out = {}
    for dirpath, _, names in os.walk(os.fsencode(top)):
        for name in names:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            if not stat.S_ISREG(st.st_mode):
                continue
            with open(path, "rb") as f:
                pieces = chunker.data_chunks(f.fileno(), []) \
                    if st.st_blocks * 512 < st.st_size else chunker.chunks(f)
                out[path] = (st.st_size, {hashlib.sha1(data).digest(): len(data)
                                          for _, data in pieces})
    return out


def pin_folder_times(top):
    """Folders keep one modification time, so that only the changes made on purpose show."""
    for dirpath, _, _ in os.walk(top):
        os.utime(dirpath, DIR_TIME)


@pytest.fixture
def versions(tmp_path, tool):
    """(store, src, [files of version 1, files of version 2]): one change of every kind."""
    src = tmp_path / "src"
    for d in ("same/deeper", "gone-dir", "becomes-file", "grows"):
        (src / d).mkdir(parents=True)
    (src / "same" / "deeper" / "keep.bin").write_bytes(os.urandom(200_000))
    (src / "same" / "note").write_bytes(b"unchanged\n")
    for i in range(300):        # more chunks than one byte of a block handle counts
        (src / "same" / "deeper" / ("small%03d" % i)).write_bytes(b"small file %d\n" % i)
    (src / "rewritten.bin").write_bytes(REWRITTEN)
    os.utime(src / "rewritten.bin", ns=FILE_TIME)
    (src / "grows" / "log").write_bytes(b"line\n" * 100)
    (src / "chmod-me").write_bytes(b"mode only\n")
    (src / "xattr-me").write_bytes(b"attributes only\n")
    (src / "acl-me").write_bytes(b"an ACL only\n")
    os.chmod(src / "acl-me", 0o664)     # the group bits the ACL's mask gives it
    hole_at = (64 * 1024, 128 * 1024)
    sparse(src / "sparse", 3 * hole_at[0], [(0, os.urandom(hole_at[0])),
                                            (hole_at[1], os.urandom(hole_at[0]))])
    (src / "gone").write_bytes(b"removed\n")
    (src / "gone-dir" / "inner").write_bytes(b"removed with its folder\n")
    (src / "becomes-file" / "child").write_bytes(b"x")
    (src / "becomes-dir").write_bytes(b"y")
    (src / os.fsdecode(b"odd \xff\nname")).write_bytes(b"odd")
    os.symlink("same/note", src / "link")
    pin_folder_times(src)
    store = tmp_path / "store"
    assert tool(store, "backup", src)[0] == 0
    first = files_of(src)

    data = bytearray((src / "rewritten.bin").read_bytes())
    data[70_000:70_010] = b"0123456789"                  # same size, other content
    (src / "rewritten.bin").write_bytes(bytes(data))
    with open(src / "grows" / "log", "ab") as f:
        f.write(b"one more\n")
    os.chmod(src / "chmod-me", 0o600)
    os.setxattr(src / "xattr-me", "user.note", b"new")
    os.setxattr(src / "acl-me", ACCESS, acl_for(4321, 6))
    with open(src / "sparse", "r+b") as f:        # the last data region becomes a hole
        f.truncate(hole_at[1])
        f.truncate(3 * hole_at[0])
    os.unlink(src / "gone")
    os.unlink(src / "gone-dir" / "inner")
    os.rmdir(src / "gone-dir")
    os.unlink(src / "becomes-file" / "child")
    os.rmdir(src / "becomes-file")
    (src / "becomes-file").write_bytes(b"now a file")
    os.unlink(src / "becomes-dir")
    (src / "becomes-dir").mkdir()
    (src / "becomes-dir" / "new-child").write_bytes(b"z")
    os.unlink(src / "link")
    os.symlink("same/deeper/keep.bin", src / "link")
    (src / "new-dir").mkdir()
    (src / "new-dir" / "added").write_bytes(b"added\n")
    pin_folder_times(src)
    assert tool(store, "backup", src)[0] == 0
    return store, src, [first, files_of(src)]


def under(src, text):
    """The lines of `text` about paths under `src`, with `src` cut off (the folders above it
    belong to the machine and may change between the backups)."""
    top = os.fsdecode(os.fsencode(src))
    out = []
    for line in text.splitlines():
        code, _, path = line.partition(" ")
        if path.startswith(top + "/"):
            out.append((code, path[len(top):]))
    return out


FORWARD = [
    ("m", "/acl-me"), ("+", "/becomes-dir/new-child"), ("T", "/becomes-dir"),
    ("T", "/becomes-file"), ("-", "/becomes-file/child"), ("m", "/chmod-me"), ("-", "/gone"),
    ("-", "/gone-dir"), ("-", "/gone-dir/inner"), ("M", "/grows/log"), ("M", "/link"),
    ("+", "/new-dir"), ("+", "/new-dir/added"), ("M", "/rewritten.bin"), ("M", "/sparse"),
    ("m", "/xattr-me"),
]


def tree_order(lines):
    return sorted(lines, key=lambda cp: cp[1].split("/"))


def test_diff_reports_each_kind_of_change_both_ways(versions, tool):
    store, src, _ = versions
    code, out, err = tool(store, "diff", "1", "2")
    assert (code, err) == (0, "")
    assert under(src, out) == tree_order(FORWARD)
    back = {"+": "-", "-": "+"}
    code, out, _ = tool(store, "diff", "2", "1")
    assert under(src, out) == tree_order([(back.get(c, c), p) for c, p in FORWARD])
    code, out, _ = tool(store, "diff", "2", "2")
    assert (code, out) == (0, "")
    code, _, err = tool(store, "diff", "1", "3")
    assert code == 2 and err == "qnst-backup: no version 3 in the store (see: list)\n"

    # An edit undone: new records in version 3 that hold what version 1 held are no change.
    (src / "rewritten.bin").write_bytes(REWRITTEN)
    os.utime(src / "rewritten.bin", ns=FILE_TIME)
    pin_folder_times(src)
    assert tool(store, "backup", src)[0] == 0
    assert under(src, tool(store, "diff", "1", "3")[1]) == tree_order(
        [change for change in FORWARD if change[1] != "/rewritten.bin"])
    assert under(src, tool(store, "diff", "2", "3")[1]) == [("M", "/rewritten.bin")]


def test_diff_reads_block_maps_only_where_records_changed(versions, monkeypatch):
    """Unchanged files are told apart by their records alone; block maps are compared only
    for the file whose size stayed while its blocks changed, and for the sparse one (whose
    blocks need not cover its size)."""
    store, src, _ = versions
    read = []
    real = browse.block_map_in
    monkeypatch.setattr(browse, "block_map_in", lambda inode, txn, ver: read.append(ver) or
                        real(inode, txn, ver))
    changes = []
    with Store(store) as s:
        browse.diff(s, 1, 2, lambda code, path: changes.append((code, path)))
    assert ("M", os.path.join(os.fsencode(src), b"rewritten.bin")) in changes
    assert sorted(read) == [1, 1, 2, 2]


def ls_line(path, shown):
    st = os.lstat(path)
    size = len(os.readlink(path)) if stat.S_ISLNK(st.st_mode) else \
        st.st_size if stat.S_ISREG(st.st_mode) else 0
    return [stat.filemode(st.st_mode), pwd.getpwuid(st.st_uid).pw_name,
            grp.getgrgid(st.st_gid).gr_name, str(size), shown]


def test_ls_whole_tree_folder_file_and_mistakes(versions, tool):
    store, src, _ = versions
    top = os.fsdecode(os.fsencode(src))
    code, out, err = tool(store, "ls", "2")
    assert (code, err) == (0, "")
    lines = out.splitlines()
    # Every folder above the source is there, then the tree in order.
    paths = [line.split(None, 6)[-1] for line in lines]
    paths = [p.partition(" -> ")[0] if line[0] == "l" else p for p, line in zip(paths, lines)]
    assert paths[paths.index(top) - 1] == os.path.dirname(top)
    mine = [p[len(top):] for p in paths if p.startswith(top + "/")]
    expected = []
    for dirpath, dirnames, filenames in os.walk(os.fsencode(src)):
        for name in dirnames + filenames:
            expected.append(browse.show(os.path.join(dirpath, name))[len(top):])
    assert sorted(mine) == sorted(expected) and mine == sorted(mine, key=lambda p: p.split("/"))
    assert "/odd \\xff\\nname" in mine

    code, out, _ = tool(store, "ls", "2", src / "becomes-dir")
    assert code == 0
    [line] = out.splitlines()
    fields = line.split()
    assert fields[:4] + [fields[-1]] == ls_line(src / "becomes-dir" / "new-child",
                                                top + "/becomes-dir/new-child")

    code, out, _ = tool(store, "ls", "1", os.path.join(top, "link"))
    fields = out.split()
    assert fields[:4] + fields[-3:] == ls_line(src / "link", top + "/link")[:3] + [
        "9", top + "/link", "->", "same/note"]          # as the link was in version 1

    # The mode string is marked when the entry has ACLs, as ls marks it.
    assert [tool(store, "ls", v, src / "acl-me")[1].split()[0] for v in "12"] == [
        "-rw-rw-r--", "-rw-rw-r--+"]

    code, out, _ = tool(store, "ls", "2", src / "same")
    assert sorted(line.split()[-1] for line in out.splitlines()) == [
        top + "/same/deeper", top + "/same/note"]
    code, out, _ = tool(store, "ls", "2", src / "same", "-R")
    assert sorted(line.split()[-1] for line in out.splitlines()) == [
        top + "/same/deeper", top + "/same/deeper/keep.bin"] + [
        top + "/same/deeper/small%03d" % i for i in range(300)] + [top + "/same/note"]

    for args, message in [
        (["ls", "2", os.path.join(top, "gone")], "%s/gone is not in version 2" % top),
        (["ls", "2", os.path.join(top, "chmod-me", "x")],
         "%s/chmod-me/x is not in version 2" % top),
        (["ls", "5"], "no version 5 in the store (see: list)"),
        (["ls", "0"], "argument VERSION: invalid version: '0' (versions start at 1)"),
        (["restore", "-1", src], "argument VERSION: invalid version: '-1' (versions start at 1)"),
    ]:
        code, out, err = tool(store, *args)
        assert (code, out, err) == (2, "", "qnst-backup: %s\n" % message)


def unique_chunks(*trees):
    """{sha1: size} of the chunks of the files of `trees`."""
    out = {}
    for tree in trees:
        for _, chunks in tree.values():
            out.update(chunks)
    return out


def stats_of(tool, store):
    code, out, err = tool(store, "stats", "--json")
    assert (code, err) == (0, "")
    return json.loads(out)


def test_stats_against_the_tree_and_the_live_counts(versions, tool):
    store, src, trees = versions
    figures = stats_of(tool, store)
    sizes = [sum(size for size, _ in t.values()) for t in trees]
    assert [(v["version"], v["files"], v["bytes"]) for v in figures["versions"]] == [
        (1, len(trees[0]), sizes[0]), (2, len(trees[1]), sizes[1])]
    assert figures["logical_bytes"] == sum(sizes)
    first = unique_chunks(trees[0])
    both = unique_chunks(*trees)
    assert figures["versions"][0]["new_bytes"] == sum(first.values())
    assert figures["stored_bytes"] == sum(both.values())
    assert figures["stored_chunks"] == len(both)
    assert figures["dedup_ratio"] == round(sum(sizes) / sum(both.values()), 3)
    assert figures["data_used_bytes"] == figures["stored_bytes"]
    assert figures["released_bytes"] == 0
    assert figures["data_written_bytes"] >= figures["stored_bytes"]
    assert figures["disk_bytes"] > figures["data_written_bytes"]
    code, out, _ = tool(store, "stats")
    assert code == 0 and "dedup ratio:    %.2f" % figures["dedup_ratio"] in out

    # The stored figure follows the reference counts: a chunk released for good leaves it
    # (and waits for compaction in the data files), while the summaries stay as they were.
    chunk = (src / "same" / "deeper" / "small299").read_bytes()
    digest = hashlib.sha1(chunk).digest()
    with Store(store) as s:
        with qnst_bdb.begin(s.env) as txn:
            handle = s.blocks.blk_lookup(txn, digest, 20)
            s.blocks.blk_rele(txn, handle)
    after = stats_of(tool, store)
    assert after["stored_bytes"] == figures["stored_bytes"] - len(chunk)
    assert (after["released_bytes"], after["released_chunks"]) == (len(chunk), 1)
    assert after["data_used_bytes"] == figures["data_used_bytes"]
    assert after["logical_bytes"] == figures["logical_bytes"]


def run_tool(args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "qnst_backup"] + [os.fspath(a) for a in args],
                          capture_output=True, env=env, timeout=120)


def test_progress_on_request_and_quiet_into_a_pipe(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    for i in range(50):
        (src / ("f%02d" % i)).write_bytes(os.urandom(30_000))
    os.mkfifo(src / "pipe")
    warning = "warning: %s: skipped (not a file, folder or symbolic link)\n" % (src / "pipe")
    store = tmp_path / "store"

    run = run_tool(["--store", store, "--progress", "backup", src])
    err = run.stderr.decode()
    assert run.returncode == 1 and "Traceback" not in err
    assert "\n" + warning in "\n" + err.replace("\r", "\n")      # a whole line of its own
    assert "B/s" in err and "files" in err
    assert err.endswith("\r") and err.rstrip("\r").split("\r")[-1].strip() == ""  # bar cleared

    run = run_tool(["--store", store, "backup", src])
    assert (run.returncode, run.stderr.decode()) == (1, warning)
    run = run_tool(["--store", store, "verify"])
    assert (run.returncode, run.stderr) == (0, b"")
