#!/usr/bin/env python3
"""Per-call cost of pyBlkSIS.blk_lookup on a hit, beside the engine's lookup called from C.

Both sides look the same stored hash up in the same transaction of the same store, alternating in
one run; the ratio of the medians and the overhead per call are printed last:

    PYTHONPATH=build/release/python:python python3 bindings/blksis/bench_blk_lookup.py
"""

import argparse
import os
import statistics
import tempfile
import time

import qnst_bdb
import qnst_blksism
import qnst_blksism_bench
import qnst_dfile

HASH = bytes([0]) + bytes(range(1, 20))


def open_env(home):
    env = qnst_bdb.qnst_env()
    for recover in (1, 0):
        env.env_create(0)
        env.env_open(home, errfile=home + b"/error.log", recover=recover)
        if recover:
            env.env_close()
    return env


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200000, help="lookups per measurement")
    parser.add_argument("--repetitions", type=int, default=7)
    args = parser.parse_args()

    qnst_bdb.bdb_init()
    with tempfile.TemporaryDirectory() as home:
        env = open_env(os.fsencode(home))
        dfile = qnst_dfile.pyDFile()
        dfile.dfile_open(env, 128, b"dfile.db", 1)
        store = qnst_blksism.pyBlkSIS()
        store.blksis_open(env, dfile, 1, b"store", 1, b"", 0)
        with qnst_bdb.begin(env) as txn:
            handle = store.blk_gen_handle(HASH, 20)
            store.blk_store_hashid(txn, handle, HASH, 20)

        txn = qnst_bdb.begin(env)
        lookup = store.blk_lookup
        binding, engine, binding_cpu, engine_cpu = [], [], [], []
        for _ in range(args.repetitions):
            start, cpu_start = time.perf_counter_ns(), time.thread_time_ns()
            for _ in range(args.calls):
                found = lookup(txn, HASH, 20)
            binding_cpu.append((time.thread_time_ns() - cpu_start) / args.calls)
            binding.append((time.perf_counter_ns() - start) / args.calls)
            assert found == handle
            ns, cpu_ns, found = qnst_blksism_bench.lookup_loop(store, txn, HASH, 20, args.calls)
            engine.append(ns / args.calls)
            engine_cpu.append(cpu_ns / args.calls)
            assert found == handle
        txn.txn_commit()
        store.blksis_close()
        dfile.dfile_close()
        env.env_close()

    b, e = statistics.median(binding), statistics.median(engine)
    bc, ec = statistics.median(binding_cpu), statistics.median(engine_cpu)
    print("pyBlkSIS.blk_lookup per call: %s ns" % ", ".join("%.0f" % x for x in binding))
    print("qnst_sism_lookup per call:    %s ns" % ", ".join("%.0f" % x for x in engine))
    print("ratio pyBlkSIS.blk_lookup / qnst_sism_lookup = %.2f (%.0f ns / %.0f ns per call; "
          "binding overhead %.0f ns; cpu %.2f: %.0f ns / %.0f ns, overhead %.0f ns)"
          % (b / e, b, e, b - e, bc / ec, bc, ec, bc - ec))


if __name__ == "__main__":
    main()
