#!/usr/bin/env python3
"""Per-call cost of the Python binding over the engine's C call, for two hot methods in one run:
pyBlkSIS.blk_lookup on a hit and pyInode.bmap_lookup of a mapped block.

Each pair calls the same engine function on the same store in the same transaction, from Python
through the binding and from C in a loop, alternating; the ratio of the medians and the
overhead per call are printed last:

    PYTHONPATH=build/release/python:python python3 bindings/bench/bench_lookups.py
"""

import argparse
import os
import statistics
import tempfile
import time

import qnst_bdb
import qnst_bench
import qnst_blksism
import qnst_dfile
import qnst_inode
import qnst_itabm

HASH = bytes([0]) + bytes(range(1, 20))
LIVE = 0x7FFFFFF0


def open_env(home):
    env = qnst_bdb.qnst_env()
    for recover in (1, 0):
        env.env_create(0)
        env.env_open(home, errfile=home + b"/error.log", recover=recover)
        if recover:
            env.env_close()
    return env


def measure(args, python_loop, c_loop):
    """Wall-clock and CPU nanoseconds per call of the binding and of the C loop, one figure per
    repetition; both loops return their last result, which must name the same block."""
    binding, engine, binding_cpu, engine_cpu = [], [], [], []
    for _ in range(args.repetitions):
        start, cpu_start = time.perf_counter_ns(), time.thread_time_ns()
        found = python_loop(args.calls)
        binding_cpu.append((time.thread_time_ns() - cpu_start) / args.calls)
        binding.append((time.perf_counter_ns() - start) / args.calls)
        ns, cpu_ns, handle = c_loop(args.calls)
        engine.append(ns / args.calls)
        engine_cpu.append(cpu_ns / args.calls)
        assert handle != 0 and found in (handle, (4096, 1, LIVE, handle)), (found, handle)
    return binding, engine, binding_cpu, engine_cpu


def report(name, c_name, binding, engine, binding_cpu, engine_cpu):
    b, e = statistics.median(binding), statistics.median(engine)
    bc, ec = statistics.median(binding_cpu), statistics.median(engine_cpu)
    print("%s per call: %s ns" % (name, ", ".join("%.0f" % x for x in binding)))
    print("%s per call: %s ns" % (c_name, ", ".join("%.0f" % x for x in engine)))
    print("ratio %s / %s = %.2f (%.0f ns / %.0f ns per call; binding overhead %.0f ns; "
          "cpu %.2f: %.0f ns / %.0f ns, overhead %.0f ns)"
          % (name, c_name, b / e, b, e, b - e, bc / ec, bc, ec, bc - ec))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200000, help="calls per measurement")
    parser.add_argument("--repetitions", type=int, default=7)
    args = parser.parse_args()

    qnst_bdb.bdb_init()
    with tempfile.TemporaryDirectory() as home:
        env = open_env(os.fsencode(home))
        dfile = qnst_dfile.pyDFile()
        dfile.dfile_open(env, 128, b"dfile.db", 1)
        store = qnst_blksism.pyBlkSIS()
        store.blksis_open(env, dfile, 1, b"store", 1, b"", 0)
        tables = qnst_itabm.pyITable()
        tables.itabm_create(env, 1, None, store, None, 1)
        tables.itabm_open(b"itab", 0, 1)
        root, inode = qnst_inode.pyInode(), qnst_inode.pyInode()
        root.inode_open(tables, None, 10)
        root.inode_init(1, False)
        inode.inode_open(tables, root, 11)
        inode.inode_init(1, False)
        with qnst_bdb.begin(env) as txn:
            root.quota_set(txn, *([0] * 10))
            handle = store.blk_gen_handle(HASH, 20)
            inode.bmap_enter(txn, 1 << 20, 4096, 1, handle, HASH, 20, 1, 1, 0, 4096)

        txn = qnst_bdb.begin(env)
        lookup, bmap_lookup = store.blk_lookup, inode.bmap_lookup

        def blk_loop(n):
            for _ in range(n):
                found = lookup(txn, HASH, 20)
            return found

        def bmap_loop(n):
            for _ in range(n):
                found = bmap_lookup(txn, 1 << 20, 2)
            return found

        results = [
            ("pyBlkSIS.blk_lookup", "qnst_sism_lookup",
             measure(args, blk_loop, lambda n: qnst_bench.lookup_loop(store, txn, HASH, 20, n))),
            ("pyInode.bmap_lookup", "qnst_bmap_lookup",
             measure(args, bmap_loop,
                     lambda n: qnst_bench.bmap_lookup_loop(inode, txn, 1 << 20, 2, n))),
        ]
        txn.txn_commit()
        inode.inode_close()
        root.inode_close()
        tables.itabm_close()
        store.blksis_close()
        dfile.dfile_close()
        env.env_close()

    for name, c_name, figures in results:
        report(name, c_name, *figures)


if __name__ == "__main__":
    main()
