"""Record the internals of a processing loop losslessly with a telemetry capture.

A toy block loop (a tone with drifting amplitude through a one-pole AGC, written
in NumPy) emits its gain and block power to two probes; a file capture records
every record, and a sample clock stamps the capture's sidecar with the rate and
the start time. `run(out_dir)` returns a summary the main pipeline can print.

    python3 examples/telemetry_example.py [out_dir]
"""
import json
import os
import sys
import tempfile

import numpy as np

from kolvane import clock, telemetry


def run(out_dir, blocks=200, block=1024, fs=1e6, pace=False):
    """Run the loop under a file capture in out_dir; returns a summary dict."""
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, "agc.tlm")
    tlm = telemetry.Telemetry(16384)
    gain_id = tlm.probe("agc.gain_db")
    power_id = tlm.probe("block.power_db", decim=4)  # every fourth block
    clk = clock.SampleClock(fs)
    clk.track(clock.real_ns(), 0)  # anchor sample 0 to now for the sidecar
    n = np.arange(block)
    gain = 1.0
    with telemetry.Capture(tlm, block, path, clk) as cap:
        for b in range(blocks):
            tlm.set_now(b * block)  # block boundary: the capture drains here
            amp = 0.2 + 0.15 * np.sin(2 * np.pi * b / blocks)
            x = amp * np.exp(2j * np.pi * 0.01 * (n + b * block))
            y = x * gain
            p = float(np.mean(np.abs(y) ** 2))
            gain *= (0.5 / max(p, 1e-12)) ** 0.05  # slow loop towards power 0.5
            tlm.emit(gain_id, 20 * np.log10(gain))
            tlm.emit(power_id, 10 * np.log10(p))
            if pace:
                clk.pace(block)
    rec = np.fromfile(path, np.dtype([("n", "<u8"), ("value", "<f4"), ("probe", "<u2"), ("flags", "<u2")]))
    meta = json.load(open(path + "-meta"))
    gains = rec["value"][rec["probe"] == gain_id]
    return {
        "records": int(cap.count),
        "dropped": int(cap.dropped),
        "file": path,
        "probes": meta["probes"],
        "fs": meta.get("fs"),
        "final_gain_db": float(gains[-1]) if len(gains) else None,
        "stats": dict(zip(("dropped", "emitted", "capacity", "probes"), tlm.stats())),
    }


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="kolvane-tlm-")
    print(json.dumps(run(out), indent=2))
