"""stats: what the store holds against what it keeps.

Logical bytes are the sizes of the files of every version, summed (from each version's
summary; a file with several names counts once). Stored bytes come from the block store as it is now, not from the summaries, so that
forgetting versions and compacting shows at once:
    referenced  the chunks whose reference count is above 0 (the deduplicated content);
    released    chunks whose count fell to 0 and that compaction has not yet freed;
    data files  the bytes the dfile table counts as in use, against the bytes written;
    on disk     everything under the store's directory, as the file system allocates it.
"""

import json
import os

import qnst_bdb

from .store import DATA_FILES, PARTITIONS

LINK = 0xFFFFFFFF           # a block that stands for another block holds no bytes of its own


def _key_order(handle):
    """A handle as its table key sorts: the 8 bytes as they lie in memory, byte by byte."""
    return int.from_bytes(handle.to_bytes(8, "little"), "big")


def _references(blocks, txn, storeid):
    cursor, handle, _, count = blocks.walk_idref(txn, storeid, 0)
    try:
        while handle:
            yield handle, count
            handle, _, count = blocks.next_idref(storeid, cursor)
    finally:
        blocks.walk_done(storeid, cursor)


def _locations(blocks, txn, storeid):
    cursor, handle, dfid, _, _, length, _ = blocks.walk_iddf(txn, storeid, 0)
    try:
        while handle:
            yield handle, dfid, length
            handle, dfid, _, _, length, _ = blocks.next_iddf(storeid, cursor)
    finally:
        blocks.walk_done(storeid, cursor)


def block_totals(store):
    """{"chunks", "bytes", "released_chunks", "released_bytes"} of the block store: the two
    tables of each partition (reference counts and locations, both keyed by handle) are read
    side by side."""
    out = dict(chunks=0, bytes=0, released_chunks=0, released_bytes=0)
    blocks = store.blocks
    for storeid in range(PARTITIONS):
        with qnst_bdb.begin(store.env) as txn:
            refs = _references(blocks, txn, storeid)
            locations = _locations(blocks, txn, storeid)
            try:
                _tally(out, refs, locations)
            finally:           # the cursors end before their transaction
                refs.close()
                locations.close()
    return out


def _tally(out, refs, locations):
    ref = next(refs, None)
    for handle, dfid, length in locations:
        key = _key_order(handle)
        while ref is not None and _key_order(ref[0]) < key:
            ref = next(refs, None)
        if dfid == LINK:
            continue
        # A location without a reference record is held for good (the engine rebuilds a lost
        # reference record as permanent).
        count = ref[1] if ref is not None and ref[0] == handle else 1
        if count:
            out["chunks"] += 1
            out["bytes"] += length
        else:
            out["released_chunks"] += 1
            out["released_bytes"] += length


def data_file_totals(store):
    """(bytes in use, bytes written, data files written) from the dfile table."""
    used = written = files = 0
    with qnst_bdb.begin(store.env) as txn:
        for dfid in range(DATA_FILES):
            _, _, coff, _, in_use = store.dfile.dfile_get(txn, dfid)
            used += in_use
            written += coff
            files += coff > 0
    return used, written, files


def disk_usage(path):
    """Bytes the file system allocates to everything under `path`."""
    total = 0
    for top, dirs, files in os.walk(path):
        for name in dirs + files:
            try:
                total += os.lstat(os.path.join(top, name)).st_blocks * 512
            except OSError:
                pass                # a file that went away meanwhile (a log the engine removed)
    return total


def gather(store):
    """Every figure of stats, as a dict."""
    store.flush_queues()        # counts include the deferred holds and releases
    versions = []
    for ver, s in store.versions():
        versions.append(dict(version=ver, time=s.get("time", 0), files=s.get("files", 0),
                             bytes=s.get("bytes", 0), new_bytes=s.get("new_bytes", 0),
                             new_chunks=s.get("new_chunks", 0)))
    logical = sum(v["bytes"] for v in versions)
    blocks = block_totals(store)
    used, written, files = data_file_totals(store)
    return dict(versions=versions, logical_bytes=logical, stored_bytes=blocks["bytes"],
                stored_chunks=blocks["chunks"], released_bytes=blocks["released_bytes"],
                released_chunks=blocks["released_chunks"],
                dedup_ratio=round(logical / blocks["bytes"], 3) if blocks["bytes"] else None,
                data_used_bytes=used, data_written_bytes=written, data_files=files,
                disk_bytes=disk_usage(store.path))


def human(n):
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if abs(n) < 1024 or unit == "TiB":
            return ("%d %s" % (n, unit)) if unit == "B" else "%.1f %s" % (n, unit)
        n /= 1024


def report(figures, write):
    f = figures
    ratio = "%.2f" % f["dedup_ratio"] if f["dedup_ratio"] is not None else "-"
    write("versions:       %d" % len(f["versions"]))
    write("logical bytes:  %d (%s), the files of every version" % (f["logical_bytes"],
                                                                    human(f["logical_bytes"])))
    write("stored bytes:   %d (%s) in %d unique chunks" % (f["stored_bytes"],
                                                           human(f["stored_bytes"]),
                                                           f["stored_chunks"]))
    write("dedup ratio:    %s" % ratio)
    write("released:       %d bytes in %d chunks, freed by compaction"
          % (f["released_bytes"], f["released_chunks"]))
    write("data files:     %d bytes in use of %d written, in %d files"
          % (f["data_used_bytes"], f["data_written_bytes"], f["data_files"]))
    write("store on disk:  %d (%s)" % (f["disk_bytes"], human(f["disk_bytes"])))
    if f["versions"]:
        write("%8s  %10s  %16s  %16s" % ("version", "files", "logical bytes", "new bytes"))
        for v in f["versions"]:
            write("%8d  %10d  %16d  %16d" % (v["version"], v["files"], v["bytes"],
                                             v["new_bytes"]))


def run(store, as_json, write):
    figures = gather(store)
    if as_json:
        write(json.dumps(figures, sort_keys=True))
    else:
        report(figures, write)
    return 0
