"""Timing for the benchmarks: the shortest of several runs, and functions
timed alternately so that a busy machine slows them all alike."""

import json
import os
import time


def _once(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def best(fn, repeat=5):
    """Shortest of `repeat` timed calls, after one untimed call."""
    fn()
    return min(_once(fn) for _ in range(repeat))


def best_all(fns, repeat=5):
    """Shortest time of each function: one untimed call of each, then `repeat`
    rounds timing each once in turn."""
    for f in fns:
        f()
    times = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, f in enumerate(fns):
            times[i] = min(times[i], _once(f))
    return times


def best_pair(ours, peer, repeat=5):
    """best_all for two functions: (ours, peer)."""
    t_ours, t_peer = best_all([ours, peer], repeat)
    return t_ours, t_peer


def record(bench, block, ours, peer=None, peer_rate=None, unit="samples/s"):
    """One measured row for the README's summary table (benchmarks/table.py).

    `ours` and `peer_rate` are rates in `unit` (higher is faster); the ratio is
    ours / peer_rate. Nothing happens unless KOLVANE_BENCH_RECORD names the
    file the rows are appended to (one JSON object a line), so the scripts run
    on their own exactly as before."""
    path = os.environ.get("KOLVANE_BENCH_RECORD")
    if not path:
        return
    row = {"bench": bench, "block": block, "ours": float(ours), "unit": unit,
           "peer": peer, "peer_rate": None if peer_rate is None else float(peer_rate)}
    with open(path, "a", encoding="utf-8") as f:
        f.write(json.dumps(row) + "\n")
