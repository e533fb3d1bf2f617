"""Telemetry hot path: sx_tlm_emit cost, drain throughput and a lossless file
capture at full rate, each next to a peer doing the bare memory or file work.

The C++ part (bench_telemetry_emit.cpp) is compiled here with g++ -O3 against
the core sources; it is not part of the package build. The Python part times
Telemetry.read() against a NumPy copy of the same records.

    python3 benchmarks/bench_telemetry.py [--records N] [--dir DIR]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

from timing import record

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SOURCES = ["src/core/sx_tlm_core.cpp", "src/core/sx_tlm_capture_core.cpp", "src/core/timing_core.cpp",
           "src/core/sx_interrupt_guard_core.cpp", "src/core/sx_status.cpp"]


def build(out_dir):
    exe = os.path.join(out_dir, "bench_telemetry_emit")
    cmd = ["g++", "-std=c++20", "-O3", "-Wall", "-Wextra", "-I", os.path.join(ROOT, "src"),
           os.path.join(HERE, "bench_telemetry_emit.cpp")] + [os.path.join(ROOT, s) for s in SOURCES] + \
          ["-o", exe, "-pthread"]
    subprocess.run(cmd, check=True)
    return exe


def run_native(exe, records, directory):
    out = subprocess.run([exe, directory, str(records)], check=True, capture_output=True, text=True).stdout
    return {k: float(v) for k, v in (line.split() for line in out.splitlines())}


def best(fn, reps=7):
    t = 1e300
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        t = min(t, time.perf_counter() - t0)
    return t


def python_read(n=16384):
    from kolvane import telemetry

    t = telemetry.Telemetry(n)
    pid = t.probe("p")
    out = np.zeros(n, t.read(out=None).dtype)
    src = np.zeros(n, out.dtype)
    times = []
    for _ in range(20):
        for k in range(n):
            t.emit(pid, k)
        t0 = time.perf_counter()
        t.read(out=out)
        times.append(time.perf_counter() - t0)
    t_read = min(times)
    # byte views: NumPy copies a structured dtype field by field, which would flatter us
    ob, sb = out.view(np.uint8), src.view(np.uint8)
    t_copy = best(lambda: np.copyto(ob, sb), 50)
    t_emit = best(lambda: [t.emit(pid, 1.0) for _ in range(10000)] and t.read(), 5) / 10000
    return t_read, t_copy, t_emit


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--records", type=int, default=20_000_000, help="records per file capture run")
    ap.add_argument("--dir", default=None, help="directory for the capture file (default: a temp dir)")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        exe = build(tmp)
        r = run_native(exe, args.records, args.dir or tmp)
    t_read, t_copy, t_emit_py = python_read()
    rows = [
        ("sx_tlm_emit, tight loop", f"{r['emit_ns']:.2f} ns/record", f"{1e3 / r['emit_ns']:.0f} M rec/s",
         "plain array store", f"{r['emit_peer_ns']:.2f} ns", f"{r['emit_ns'] / r['emit_peer_ns']:.2f}x"),
        ("sx_tlm_emit, decim 16", f"{r['emit_decim_ns']:.2f} ns/event", f"{1e3 / r['emit_decim_ns']:.0f} M ev/s",
         "", "", ""),
        ("sx_tlm_emit, ring full", f"{r['emit_drop_ns']:.2f} ns/record", f"{1e3 / r['emit_drop_ns']:.0f} M rec/s",
         "", "", ""),
        ("sx_tlm_read, 16384 records", f"{r['drain_ns'] / 1e3:.2f} us", f"{16384 / r['drain_ns'] * 1e3:.0f} M rec/s",
         "memcpy 256 KiB", f"{r['drain_peer_ns'] / 1e3:.2f} us", f"{r['drain_ns'] / r['drain_peer_ns']:.2f}x"),
        ("file capture, full speed (block 4096)", f"{r['file_rps'] / 1e6:.1f} M rec/s", f"dropped {int(r['file_dropped'])}",
         "fwrite", f"{r['fwrite_rps'] / 1e6:.1f} M rec/s", f"{r['fwrite_rps'] / r['file_rps']:.2f}x"),
        ("file capture paced to 10 M rec/s, 2 s", f"{r['paced_rps'] / 1e6:.1f} M rec/s",
         f"dropped {int(r['paced_dropped'])}, late blocks {int(r['paced_late'])}", "", "", ""),
        ("Telemetry.read(out=), 16384", f"{t_read * 1e6:.1f} us", f"{16384 / t_read / 1e6:.0f} M rec/s",
         "np.copyto (bytes)", f"{t_copy * 1e6:.1f} us", f"{t_read / t_copy:.2f}x"),
        ("Telemetry.emit from Python", f"{t_emit_py * 1e9:.0f} ns/call", "", "", "", ""),
    ]
    rec = "records/s"
    record("telemetry", "sx_tlm_emit, tight loop", 1e9 / r["emit_ns"], "plain array store", 1e9 / r["emit_peer_ns"], rec)
    record("telemetry", "sx_tlm_read, 16384 records", 16384e9 / r["drain_ns"], "memcpy 256 KiB",
           16384e9 / r["drain_peer_ns"], rec)
    record("telemetry", "file capture, full speed, blocks of 4096", r["file_rps"], "fwrite", r["fwrite_rps"], rec)
    record("telemetry", "Telemetry.read(out=), 16384 records", 16384 / t_read, "np.copyto (bytes)", 16384 / t_copy, rec)
    record("telemetry", "Telemetry.emit from Python", 1 / t_emit_py, unit=rec)
    print("| operation | ours | rate | peer | peer time | ours/peer |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    if r["file_dropped"] != 0 or r["file_verdict"] != 0 or r["paced_dropped"] != 0 or r["paced_verdict"] != 0:
        print("FILE CAPTURE LOST RECORDS", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
