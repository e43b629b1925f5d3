"""forget: versions dropped from the store, by number or by a retention policy, and the
namespace records that only they held purged.

A record valid over [cver, dver) is held when a kept version lies in that range and in the range
over which its inode is reachable (its folder entry's range within its folder's own). Every other
record is purged: folder entries, stat records, attributes and block-map entries. Purging a
block-map entry releases its block; compact later frees the blocks that nothing holds any more.

The work is ordered so that a crash at any moment leaves every kept version whole and the
command can run again to completion: the forgotten versions' store-information records go first
(one transaction), so the kept set is settled from then on; then the namespace is swept, an
inode's records before the folder entry that leads to it, so an entry is never gone while
records behind it remain. Versions that never completed (an interrupted backup) are kept by no
one: the sweep purges what only they hold.
"""

import bisect
import datetime
import time

import qnst
import qnst_bdb

from .backup import DIRECTORY
from .errors import UserError
from .store import LIVE

# The attribute ids the tool writes are small numbers (an entry's metadata, its extended
# attributes, a version's summary on the root); the sweep looks at every one of them.
ATTRIBUTES = range(1, 9)
CHUNK_INODES = 64                               # inodes swept per transaction


# ---- Which versions go ----------------------------------------------------------------------

def policy_keep(versions, last=0, daily=0, weekly=0, monthly=0):
    """The versions a policy keeps, from [(version, unix time)]: the `last` newest, and the
    newest version of each of the `daily` newest days (`weekly` ISO weeks, `monthly` months,
    in local time) that have one. A version is kept when any rule keeps it."""
    newest_first = sorted(versions, key=lambda v: (v[1], v[0]), reverse=True)
    keep = {ver for ver, _ in newest_first[:last]}
    rules = ((daily, lambda t: t[:3]),
             (weekly, _iso_week),
             (monthly, lambda t: t[:2]))
    for count, bucket_of in rules:
        seen = []
        for ver, when in newest_first:
            if len(seen) >= count:
                break
            bucket = bucket_of(time.localtime(when))
            if bucket not in seen:
                seen.append(bucket)
                keep.add(ver)
    return keep


def _iso_week(t):
    return datetime.date(t.tm_year, t.tm_mon, t.tm_mday).isocalendar()[:2]


# ---- Which records go -----------------------------------------------------------------------

class Kept:
    """The kept versions, for the question: does one lie in [lo, hi) and in a reach?"""

    def __init__(self, versions):
        self.versions = sorted(versions)

    def first(self, lo, hi, reach):
        """The oldest kept version in [lo, hi) within `reach` (intervals); None if none."""
        best = None
        for rlo, rhi in reach:
            a, b = max(lo, rlo), min(hi, rhi)
            i = bisect.bisect_left(self.versions, a)
            if i < len(self.versions) and self.versions[i] < b:
                if best is None or self.versions[i] < best:
                    best = self.versions[i]
        return best

    def holds(self, lo, hi, reach):
        return self.first(lo, hi, reach) is not None


def narrow(reach, lo, hi):
    """The intervals of `reach` cut to [lo, hi)."""
    out = []
    for rlo, rhi in reach:
        a, b = max(lo, rlo), min(hi, rhi)
        if a < b:
            out.append((a, b))
    return out


def folder_entries_all(store, inode):
    """[(name, cver, dver, type, cino)] of every entry the folder has had."""
    out = []
    with qnst_bdb.begin(store.env) as txn:
        cursor, cver, dver, name, kind, cino = inode.dir_walk(txn, 0)
        try:
            while cver:
                out.append((name, cver, dver, kind, cino))
                cver, dver, name, kind, cino = inode.dir_next(cursor, 0)
        finally:
            inode.dir_done(cursor)
    return out


class Sweep:
    """Purges every namespace record that no kept version holds."""

    def __init__(self, store, kept, progress):
        self.store, self.kept, self.progress = store, Kept(kept), progress
        self.counts = dict(entries=0, stats=0, attributes=0, blocks=0)

    def plan(self):
        """[(ino, reach, [(name, cver) of its entries to purge])], every inode after those
        below it. An inode's reach is where its entries, within their folders' reach, are
        valid; an inode with several entries (a file's hard links) gathers the reach of every
        one before any of its records is judged."""
        store = self.store
        folders, order = {}, []       # ino -> every entry it has had; inodes, children first

        def visit(ino, inode):
            folders[ino] = folder_entries_all(store, inode)
            for _, _, _, kind, cino in folders[ino]:
                if cino in folders or cino in seen:
                    continue
                seen.add(cino)
                if kind == DIRECTORY:
                    child = store.inode(cino, None)
                    try:
                        visit(cino, child)
                    finally:
                        child.inode_close()
                else:
                    order.append(cino)
            order.append(ino)

        seen = {store.root.ino}
        visit(store.root.ino, store.root)
        # Parents before children: every reach is whole before it is passed on.
        reaches = {store.root.ino: [(1, LIVE)]}
        purges = {}
        for ino in reversed(order):
            reach = reaches[ino] = sorted(set(reaches.get(ino, [])))
            purge = purges[ino] = []
            for name, cver, dver, _, cino in folders.get(ino, ()):
                span = narrow(reach, cver, dver)
                if not self.kept.holds(cver, dver, span):
                    purge.append((name, cver))
                reaches.setdefault(cino, []).extend(span)
        return [(ino, reaches[ino], purges[ino]) for ino in order]

    def run(self):
        order = self.plan()
        store = self.store
        for start in range(0, len(order), CHUNK_INODES):
            chunk = order[start:start + CHUNK_INODES]
            nodes = []
            try:
                # Inodes are opened outside the transaction: opening one reads its records in
                # a transaction of its own, which must not wait for this one's locks.
                for ino, _, _ in chunk:
                    nodes.append(store.root if ino == store.root.ino
                                 else store.inode(ino, store.root))
                counts = qnst_bdb.retry(store.env, self._purge_chunk, nodes, chunk)
            finally:
                for node in nodes:
                    if node is not store.root:
                        node.inode_close()
            for key, n in counts.items():
                self.counts[key] += n
            for _ in chunk:
                self.progress.file(0)       # inodes swept
        return self.counts

    def _purge_chunk(self, txn, nodes, chunk):
        counts = dict(entries=0, stats=0, attributes=0, blocks=0)
        for node, (_, reach, entries) in zip(nodes, chunk):
            self._purge_inode(txn, node, reach, counts)
            for name, cver in entries:
                node.dir_purge(txn, name, len(name), cver)
                counts["entries"] += 1
        return counts

    def _purge_inode(self, txn, node, reach, counts):
        kept = self.kept
        # Block maps: every entry of every version, with its range.
        doomed = []
        cursor, cver, dver, offset, _, _ = node.bmap_woff(txn, 0, 0)
        try:
            while cver:
                if not kept.holds(cver, dver, reach):
                    doomed.append((offset, cver))
                cver, dver, offset, _, _ = node.bmap_noff(cursor)
        finally:
            node.bmap_done(cursor)
        for offset, cver in doomed:
            node.bmap_purge(txn, offset, cver, 0)
        counts["blocks"] += len(doomed)
        # Stat records and attributes: a walk lists those made after version 1 with their
        # ranges; the one made in version 1 (if any) is found by a lookup.
        records = []
        cursor, cver, dver = node.stat_walk(txn, 1)[:3]
        try:
            while cver:
                records.append((cver, dver))
                cver, dver = node.stat_next(cursor)[:2]
        finally:
            node.stat_done(cursor)
        for cver in self._unheld(records, reach,
                                 lambda v: node.stat_lookup(txn, v)[0]):
            node.stat_purge(txn, cver)
            counts["stats"] += 1
        for aid in ATTRIBUTES:
            records = []
            cursor, cver, dver, _ = node.eatr_walk(txn, aid, 1)
            try:
                while cver:
                    records.append((cver, dver))
                    cver, dver, _ = node.eatr_next(cursor, aid)
            finally:
                node.eatr_done(cursor)
            for cver in self._unheld(records, reach,
                                     lambda v, aid=aid: node.eatr_lookup(txn, aid, v)[0]):
                node.eatr_purge(txn, aid, cver)
                counts["attributes"] += 1

    def _unheld(self, records, reach, cver_at):
        """The cvers of the records no kept version holds: `records` are (cver, dver) of those
        made after version 1; `cver_at(v)` is the cver of the record valid at v."""
        out = [cver for cver, dver in records if not self.kept.holds(cver, dver, reach)]
        try:
            first = cver_at(1)
        except qnst.NotFound:
            return out
        if first != 1:
            return out
        # The version-1 record is valid from 1 to its dver, at most the next record's cver.
        bound = min([cver for cver, _ in records], default=LIVE)
        k = self.kept.first(1, bound, reach)
        if k is None or cver_at_or_none(cver_at, k) != 1:
            out.append(1)
        return out


def cver_at_or_none(cver_at, v):
    try:
        return cver_at(v)
    except qnst.NotFound:
        return None


# ---- The command ----------------------------------------------------------------------------

def run(store, versions, policy, dry_run, progress):
    complete = store.versions()
    times = {ver: int(summary.get("time", 0)) for ver, summary in complete}
    last = store.last_version()
    if versions:
        for ver in versions:
            if ver < 1 or ver > last:
                raise UserError("no version %d in the store (see: list)" % ver)
        doomed = set(versions)
    elif any(policy.values()):
        keep = policy_keep(list(times.items()), **policy)
        doomed = set(times) - keep
    else:
        raise UserError("name the versions to forget, or a policy that keeps some "
                        "(--keep-last, --keep-daily, --keep-weekly, --keep-monthly)")
    for ver in sorted(doomed):
        if ver in times:
            when = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(times[ver]))
            print("%s %d  %s" % ("would forget" if dry_run else "forget", ver, when))
        else:
            print("%s %d  (not a complete version: its records go)"
                  % ("would forget" if dry_run else "forget", ver))
    kept = sorted(set(times) - doomed)
    if dry_run:
        print("%d versions would go, %d stay" % (len(doomed & set(times)), len(kept)))
        return 0

    gone = sorted(doomed & set(times))

    def drop(txn):
        for ver in gone:
            store.sinfo.sinfo_purge(txn, ver)
    qnst_bdb.retry(store.env, drop)
    counts = Sweep(store, kept, progress).run()
    store.flush_queues()
    progress.done()
    print("%d versions forgotten, %d stay; purged %d folder entries, %d stat records, "
          "%d attributes, %d block-map entries (compact reclaims their space)"
          % (len(gone), len(kept), counts["entries"], counts["stats"], counts["attributes"],
             counts["blocks"]))
    return 0
