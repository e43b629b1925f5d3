"""The command line: qnst-backup [--store DIR] COMMAND ...

Exit codes (EXIT_CODES, shown by --help): the same meaning for every command.
"""

import argparse
import errno
import os
import sys
import time

from .errors import EXIT_USAGE, UserError

EXIT_ENGINE = 3
EXIT_INTERRUPTED = 130

EXIT_CODES = """exit codes (every command):
  0    done
  1    done, with failures: a source file that could not be read (backup), a file that
       could not be restored (restore), a problem found (verify, compact)
  2    nothing or only part done: a mistake on the command line (an unknown version or
       path; a restore into a file, or into a folder that is not empty without
       --overwrite), or a store or disk that cannot be used (no store, not a store,
       locked by another process, of another format, read-only, the disk full)
  3    an engine failure (details in the store's env/error.log)
  130  interrupted (Ctrl-C): the store stays consistent; run the command again (an
       interrupted restore with --overwrite)
  141  the reader of the output went away (ls ... | head)"""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UserError(message)


def version_number(text):
    """A version as given on the command line: a positive number (versions start at 1)."""
    try:
        ver = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("invalid int value: %r" % text) from None
    if not 1 <= ver < 0x7FFFFFF0:
        raise argparse.ArgumentTypeError("invalid version: %r (versions start at 1)" % text)
    return ver


def parser():
    p = Parser(prog="qnst-backup",
               description="Deduplicating backups of file trees into a qnst store.",
               epilog=EXIT_CODES, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--store", metavar="DIR",
                   help="the store (default: $QNST_STORE, else "
                        "$XDG_DATA_HOME/qnst-backup/store)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="show progress (default: when standard error is a terminal)")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    b = sub.add_parser("backup", help="back up trees as one new version")
    b.add_argument("sources", nargs="+", metavar="SRC", help="a file or folder to back up")
    r = sub.add_parser("restore", help="restore a version, whole or in part",
                       description="DEST must be a new or an empty folder: a restore does "
                                   "not write over what is there unless --overwrite is given "
                                   "(exit code 2 before anything is written). An interrupted "
                                   "restore completes when run again with --overwrite.")
    r.add_argument("version", type=version_number, metavar="VERSION")
    r.add_argument("dest", metavar="DEST", help="a new or empty folder to restore into (a "
                                                  "source /a/b lands in DEST/a/b)")
    r.add_argument("paths", nargs="*", metavar="PATH", help="only these paths of the version")
    r.add_argument("--overwrite", action="store_true",
                   help="restore into a folder that is not empty: an entry of the version "
                        "replaces what is at its place (folders are merged)")
    sub.add_parser("list", help="the versions: number, then summary")
    v = sub.add_parser("verify", help="check the store's consistency")
    v.add_argument("--data", action="store_true",
                   help="also read every stored chunk back and check its hash")
    ls = sub.add_parser("ls", help="the entries of a version, like ls -l",
                        description="Without PATH the whole tree of the version; PATH names "
                                    "a file (that entry) or a folder (its entries).")
    ls.add_argument("version", type=version_number, metavar="VERSION")
    ls.add_argument("path", nargs="?", metavar="PATH", help="a file or folder of the version")
    ls.add_argument("-R", "--recursive", action="store_true",
                    help="a folder's whole subtree (always so without PATH)")
    d = sub.add_parser("diff", help="what changed between two versions",
                       description="One path a line: + added, - removed, M content changed, "
                                   "m metadata only, T type changed.")
    d.add_argument("version1", type=version_number, metavar="V1")
    d.add_argument("version2", type=version_number, metavar="V2")
    s = sub.add_parser("stats", help="logical and stored bytes, dedup ratio, per-version sizes")
    s.add_argument("--json", action="store_true", help="the figures as one JSON object")
    f = sub.add_parser("forget", help="drop versions, by number or by a retention policy")
    f.add_argument("versions", nargs="*", type=version_number, metavar="VERSION",
                   help="a version to forget")
    for rule, unit in (("last", "the N newest versions"),
                       ("daily", "the newest version of each of the last N days with one"),
                       ("weekly", "the newest version of each of the last N weeks with one"),
                       ("monthly", "the newest version of each of the last N months with one")):
        f.add_argument("--keep-" + rule, type=int, default=0, metavar="N", help="keep " + unit)
    f.add_argument("--dry-run", action="store_true",
                   help="only list the versions that would go")
    c = sub.add_parser("compact", help="reclaim the space of forgotten content")
    c.add_argument("--threshold", type=percent, default=50, metavar="PERCENT",
                   help="rewrite a data file whose live share is below this (default 50)")
    return p


def percent(text):
    value = float(text.rstrip("%"))
    if not 0 <= value <= 100:
        raise ValueError(text)
    return value


def format_version(ver, s):
    when = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(s.get("time", 0)))
    return ("%d  %s  %d files  %d folders  %d bytes  %d new chunks (%d bytes)  %s"
            % (ver, when, s.get("files", 0), s.get("dirs", 0), s.get("bytes", 0),
               s.get("new_chunks", 0), s.get("new_bytes", 0),
               " ".join(s.get("sources", []))))


def expect_bytes(store, progress, ver=None, paths=None):
    """Gives the progress bar its total where the summaries tell it: the version's bytes for a
    whole restore, every version's for verify (which reads each version's files)."""
    if paths or not progress.enabled:
        return
    progress.expect(sum(s.get("bytes", 0) for v, s in store.versions()
                        if ver is None or v == ver))


def run(args):
    from .progress import Progress
    from .store import default_store

    path = args.store or default_store()
    progress = Progress(args.progress)
    try:
        return _run(args, path, progress)
    finally:
        progress.done()         # a failure's one line is not written after a bar


def _run(args, path, progress):
    from . import backup, browse, restore, stats, verify
    from .store import Store

    with Store(path, create=args.command == "backup") as store:
        if args.command == "backup":
            ver, summary, code = backup.run(store, args.sources, progress)
            print(format_version(ver, summary))
            return code
        if args.command == "restore":
            expect_bytes(store, progress, args.version, args.paths)
            return restore.run(store, args.version, args.dest, args.paths, progress,
                               args.overwrite)
        if args.command == "list":
            for ver, summary in store.versions():
                print(format_version(ver, summary))
            return 0
        if args.command == "forget":
            from . import forget
            if args.versions and any((args.keep_last, args.keep_daily, args.keep_weekly,
                                      args.keep_monthly)):
                raise UserError("name versions or give a policy, not both")
            if min([args.keep_last, args.keep_daily, args.keep_weekly, args.keep_monthly]) < 0:
                raise UserError("a --keep count cannot be negative")
            policy = dict(last=args.keep_last, daily=args.keep_daily, weekly=args.keep_weekly,
                          monthly=args.keep_monthly)
            return forget.run(store, args.versions, policy, args.dry_run, progress)
        if args.command == "compact":
            from . import compact
            return compact.run(store, args.threshold / 100, progress)
        if args.command == "ls":
            return browse.ls(store, args.version, args.path, args.recursive, print)
        if args.command == "diff":
            return browse.diff(store, args.version1, args.version2,
                               lambda code, path: print(code, browse.show(path)))
        if args.command == "stats":
            return stats.run(store, args.json, print)
        expect_bytes(store, progress)
        return verify.run(store, args.data, progress)


FULL = (errno.ENOSPC, errno.EDQUOT)
STORE_UNUSABLE = (errno.ENOENT, errno.EACCES, errno.EPERM, errno.EROFS) + FULL


def first_failure(e):
    """The failure to report: one raised while cleaning up after another (closing what the
    first left open, flushing to the same full disk) is reported as that first one."""
    import qnst
    while (isinstance(e, (OSError, qnst.QnstError)) and not e.__suppress_context__
           and isinstance(e.__context__, (OSError, qnst.QnstError, KeyboardInterrupt,
                                          UserError))):
        e = e.__context__
    return e


def disk_full(path):
    """Whether the file system of `path` is (about) full: a write cut short there is reported
    by the data files as an I/O error."""
    try:
        st = os.statvfs(path)
    except OSError:
        return False
    return st.f_bavail * st.f_frsize < 16 * 1024 * 1024


def report(e, store):
    """Prints the one line for failure `e`; returns the exit code."""
    import qnst
    if isinstance(e, UserError):
        print("qnst-backup: %s" % e, file=sys.stderr)
        return e.code
    if isinstance(e, KeyboardInterrupt):
        print("qnst-backup: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    if isinstance(e, OSError):
        where = " (%s)" % os.fsdecode(e.filename) if e.filename else ""
        if e.errno in FULL:
            print("qnst-backup: the disk is full%s" % where, file=sys.stderr)
        else:
            print("qnst-backup: %s%s" % (e.strerror or e, where), file=sys.stderr)
        return EXIT_USAGE if e.errno in STORE_UNUSABLE else 1
    if isinstance(e, qnst.QnstError):
        if e.code in FULL or (e.code == errno.EIO and store and disk_full(store)):
            print("qnst-backup: the disk is full (store %s)" % os.fsdecode(store),
                  file=sys.stderr)
            return EXIT_USAGE
        if e.code == errno.EROFS:
            print("qnst-backup: store %s is read-only" % os.fsdecode(store), file=sys.stderr)
            return EXIT_USAGE
        print("qnst-backup: the engine failed: %s (see the store's env/error.log)" % e,
              file=sys.stderr)
        return EXIT_ENGINE
    return None


def main(argv=None):
    p = parser()
    store = None
    try:
        args = p.parse_args(argv)
        if args.command is None:
            raise UserError("a command is needed (see --help)")
        store = args.store or _default_store()
        return run(args)
    except BrokenPipeError:
        # The reader went away (ls ... | head): stop quietly, as other tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except (Exception, KeyboardInterrupt) as e:  # noqa: BLE001 - reported, not dumped
        code = report(first_failure(e), store)
        if code is None:
            raise
        return code


def _default_store():
    from .store import default_store
    return default_store()
