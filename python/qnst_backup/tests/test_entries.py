"""Every kind of entry through backup, change, backup and restore of every version: folders,
files (empty, large, sparse), symbolic links (dangling too), hard links, names with any bytes,
modes, owners, times, extended attributes and POSIX ACLs."""

import hashlib
import os
import random
import stat
import struct

import pytest
import qnst
import qnst_bdb

from qnst_backup import backup, restore
from qnst_backup.store import Store

USER_OBJ, USER, GROUP_OBJ, GROUP, MASK, OTHER = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20
ACCESS, DEFAULT = "system.posix_acl_access", "system.posix_acl_default"


def posix_acl(*entries):
    """The extended attribute's bytes of an ACL: (tag, permissions[, id]) entries in order."""
    out = struct.pack("<I", 2)
    for tag, perm, *qual in entries:
        out += struct.pack("<HHI", tag, perm, qual[0] if qual else 0xFFFFFFFF)
    return out


def acl_for(uid, perm):
    return posix_acl((USER_OBJ, 6), (USER, perm, uid), (GROUP_OBJ, 4), (MASK, 6), (OTHER, 4))


def snapshot(top):
    """{path below top: (type, mode, uid, gid, mtime_ns, size, content hash or link target,
    extended attributes, names of the same inode)}; and {path: allocated blocks}."""
    top = os.fsencode(top)
    out, blocks, inodes = {}, {}, {}
    for dirpath, dirnames, filenames in os.walk(top):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, top)
            st = os.lstat(path)
            kind = stat.S_IFMT(st.st_mode)
            if stat.S_ISLNK(st.st_mode):
                body = os.readlink(path)
            elif stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    body = hashlib.sha256(f.read()).hexdigest()
                blocks[rel] = st.st_blocks
            else:
                body = None
            if not stat.S_ISDIR(st.st_mode):
                inodes.setdefault(st.st_ino, []).append(rel)
            xattrs = tuple(sorted((n, os.getxattr(path, n, follow_symlinks=False))
                                  for n in os.listxattr(path, follow_symlinks=False)))
            out[rel] = [kind, stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, st.st_mtime_ns,
                        None if stat.S_ISDIR(st.st_mode) else st.st_size, body, xattrs,
                        st.st_ino]
    for entry in out.values():
        names = inodes.get(entry[-1], [])
        entry[-1] = tuple(sorted(names)) if len(names) > 1 else None
    return {k: tuple(v) for k, v in out.items()}, blocks


def sparse(path, size, regions):
    """A file of `size` bytes with data only in `regions` [(offset, bytes)]."""
    with open(path, "wb") as f:
        f.truncate(size)
        for offset, data in regions:
            f.seek(offset)
            f.write(data)


@pytest.fixture
def every_kind(tmp_path):
    rng = random.Random(11)
    src = tmp_path / "src"
    for d in ("dir/sub/deeper", "empty-dir", "sticky", "acl-dir"):
        (src / d).mkdir(parents=True)
    (src / "big.bin").write_bytes(rng.randbytes(2_000_000))
    (src / "small.txt").write_bytes(b"small file\n" * 50)
    (src / "empty").write_bytes(b"")
    (src / "dir" / "sub" / "deeper" / "data").write_bytes(rng.randbytes(90_000))
    sparse(src / "sparse.img", 16 << 20, [(0, rng.randbytes(100_000)),
                                         (5 << 20, rng.randbytes(300_000))])
    sparse(src / "all-hole.img", 4 << 20, [])
    raw = os.fsencode(src)
    for name in (b"new\nline", b"caf\xe9\xff", b" lead and trail "):
        with open(os.path.join(raw, b"dir", name), "wb") as f:
            f.write(name * 10)
    os.symlink("dir/sub", src / "link")
    os.symlink("/no/such/target", src / "dangling")
    # Hard links: two names in two folders, three names of another file, a linked symlink.
    (src / "linked").write_bytes(rng.randbytes(50_000))
    os.link(src / "linked", src / "dir" / "linked-too")
    (src / "triple").write_bytes(b"three names\n")
    os.link(src / "triple", src / "dir" / "sub" / "triple2")
    os.link(src / "triple", src / "triple3")
    os.link(src / "link", src / "dir" / "link-link", follow_symlinks=False)
    # Extended attributes (an empty value, a binary one, trusted ones on a symlink and a
    # folder) and ACLs (access on files, access and default on a folder; one ACL twice).
    os.setxattr(src / "small.txt", "user.color", b"blue")
    os.setxattr(src / "small.txt", "user.empty", b"")
    os.setxattr(src / "big.bin", "user.bin", bytes(range(256)) * 4)
    os.setxattr(src / "dir", "trusted.tag", b"folder")
    os.setxattr(src / "link", "trusted.onlink", b"x", follow_symlinks=False)
    os.setxattr(src / "linked", "user.shared", b"by two names")
    os.setxattr(src / "small.txt", ACCESS, acl_for(1000, 6))
    os.setxattr(src / "dir" / "sub" / "deeper" / "data", ACCESS, acl_for(1000, 6))
    os.setxattr(src / "linked", ACCESS, acl_for(1000, 6))
    os.setxattr(src / "acl-dir", ACCESS, acl_for(2000, 7))
    os.setxattr(src / "acl-dir", DEFAULT, acl_for(2000, 5))
    # Modes (after the ACLs, which set a mode of their own) and owners.
    os.chmod(src / "small.txt", 0o4755)
    os.chmod(src / "sticky", 0o1777)
    os.chmod(src / "dir" / "sub", 0o2750)
    os.chmod(src / "empty", 0o000)
    os.chown(src / "small.txt", 1234, 5678)
    os.chown(src / "dangling", 42, 43, follow_symlinks=False)
    # Times of their own, folders last (their entries moved them).
    for i, rel in enumerate(["big.bin", "small.txt", "sparse.img", "linked", "dir/sub/deeper",
                             "dir/sub", "dir", "acl-dir", "sticky"]):
        os.utime(src / rel, ns=(1_600_000_000_000_000_000 + i, 1_500_000_000_123_456_789 + i))
    os.utime(src / "link", ns=(1, 2), follow_symlinks=False)
    return src


def change(src):
    """Edits, an append, an insertion into the large file, a delete, a rename, a chmod, xattrs
    changed and removed, an ACL changed, a hard link broken and one made, holes moved."""
    with open(src / "dir" / "sub" / "deeper" / "data", "r+b") as f:
        f.seek(1000)
        f.write(b"EDITED")
    with open(src / "small.txt", "ab") as f:
        f.write(b"appended\n")
    big = (src / "big.bin").read_bytes()
    (src / "big.bin").write_bytes(big[:1_000_000] + b"inserted in the middle" + big[1_000_000:])
    os.unlink(src / "empty")
    os.rename(src / "dir" / "sub", src / "dir" / "moved")
    os.chmod(src / "big.bin", 0o600)
    os.setxattr(src / "big.bin", "user.bin", b"changed")
    os.removexattr(src / "small.txt", "user.color")
    os.removexattr(src / "dir", "trusted.tag")
    os.setxattr(src / "acl-dir", DEFAULT, acl_for(3000, 7))
    os.removexattr(src / "dir" / "moved" / "deeper" / "data", ACCESS)
    os.setxattr(os.path.join(os.fsencode(src), b"dir", b"new\nline"), ACCESS, acl_for(4000, 4))
    os.setxattr(src / "sticky", DEFAULT, acl_for(5000, 7))     # a new ACL, the mode kept
    # "linked" keeps its other name; "dir/linked-too" becomes a copy with other content.
    os.unlink(src / "dir" / "linked-too")
    (src / "dir" / "linked-too").write_bytes(b"a file of its own")
    os.link(src / "big.bin", src / "big-link")
    # The first data region becomes a hole, a hole becomes data.
    with open(src / "sparse.img", "rb") as f:
        f.seek(5 << 20)
        kept = f.read(300_000)
    sparse(src / "sparse.img", 16 << 20, [(9 << 20, b"now data" * 2000), (5 << 20, kept)])


def new_chunks(out):
    return int(out.split(" new chunks")[0].split()[-1])


def test_every_kind_of_entry_in_every_version(tmp_path, every_kind, tool, restored):
    src, store = every_kind, tmp_path / "store"
    snaps = []
    for step in range(3):
        if step == 1:
            change(src)
        code, out, err = tool(store, "backup", src)
        assert code == 0, err
        snaps.append((snapshot(src), new_chunks(out)))
    # Only a few chunks are new: the inserted bytes cost a chunk or two of the 2 MB file;
    # the edit, the append, the copy and the new data region one each.
    assert snaps[1][1] <= 8, snaps[1][1]
    assert snaps[2][1] == 0

    for ver, ((expected, blocks), _) in enumerate(snaps, 1):
        dest = tmp_path / ("out%d" % ver)
        code, _, err = tool(store, "restore", str(ver), dest)
        assert code == 0, err
        got, got_blocks = snapshot(restored(dest, src))
        assert got == expected
        # The holes stay holes: no more blocks than the source had (a file system may
        # allocate ahead a little on either side).
        for name in (b"sparse.img", b"all-hole.img"):
            assert got_blocks[name] <= blocks[name] + 64, (name, got_blocks[name])
        assert got_blocks[b"all-hole.img"] <= 8

    code, out, err = tool(store, "verify", "--data")
    assert code == 0 and "no problems" in out, out + err

    with Store(store) as st:
        # What did not change wrote nothing: a linked entry and its attributes, then the
        # whole tree; one ACL on two files is stored once.
        assert records(st, 2, src / "link") == (1, 1, 0)
        for path in snaps[2][0][0]:
            where = os.path.join(os.fsencode(src), path)
            assert records(st, 3, where) == records(st, 2, where), path
        linked, data = records(st, 1, src / "linked"), records(st, 1, src / "dir/sub/deeper/data")
        assert linked[2] and linked[2] == data[2]
        assert records(st, 2, src / "dir/moved/deeper/data")[2] == 0
        assert records(st, 2, src / "small.txt")[1] == 2
        assert records(st, 2, src / "dir")[1] is None
        # An ACL gone from its store while stat records name it is a problem verify finds.
        with qnst_bdb.begin(st.env) as txn:
            while True:
                try:
                    st.acls.acl_read(txn, data[2])
                except qnst.NotFound:
                    break
                st.acls.acl_rele(txn, data[2])
    code, out, err = tool(store, "verify")
    assert code == 1 and "ACL %#x: " % data[2] in err, out + err


def records(store, ver, path):
    """(cver of the stat record, cver of the extended attributes, ACL handle) of the entry at
    `path` in version `ver`."""
    _, ino = restore.find(store, ver, restore.split(path))
    inode = store.inode(ino, None)
    try:
        with qnst_bdb.begin(store.env) as txn:
            cver, _, _, acl, _, _, _ = inode.stat_lookup(txn, ver)
            try:
                xcver = inode.eatr_lookup(txn, backup.XATTR_AID, ver)[0]
            except qnst.NotFound:
                xcver = None
    finally:
        inode.inode_close()
    return cver, xcver, acl
