"""Read back captures written by iqwriter: a BLUE file and a SigMF recording.

`read_back(blue_path, sigmf_path)` returns a summary of each capture (type,
sample type, fs, fc and where they came from, sample count, peak magnitude,
keywords) and checks that both hold the same samples when they share a sample
type. Run directly, it writes a short tone to both formats first.
"""

import os
import sys
import tempfile

import numpy as np

from kolvane import iqreader


def summarize(path, block=65536):
    """Reads the whole capture in blocks; returns its metadata and sample statistics."""
    with iqreader.Reader(path) as r:
        n = 0
        peak = 0.0
        power = 0.0
        while True:
            y = r.read(block)
            if len(y) == 0:
                break
            n += len(y)
            mag = np.abs(y)
            peak = max(peak, float(mag.max()))
            power += float(np.sum(mag.astype(np.float64) ** 2))
        return {
            "path": os.fspath(path),
            "file_type": r.file_type,
            "sample_type": r.sample_type,
            "endian": r.endian,
            "fs": r.fs,
            "fs_source": r.fs_source,
            "fc": r.fc,
            "fc_source": r.fc_source,
            "t0": r.t0,
            "num_samples": r.num_samples,
            "samples_read": n,
            "peak": peak,
            "mean_power_db": 10 * np.log10(power / n) if n and power > 0 else float("-inf"),
            "keywords": r.keywords,
        }


def read_back(blue_path, sigmf_path):
    """Summaries of the BLUE and SigMF captures, and whether their samples agree."""
    blue = summarize(blue_path)
    sigmf = summarize(sigmf_path)
    same = None
    if blue["sample_type"] == sigmf["sample_type"]:
        with iqreader.Reader(blue_path) as a, iqreader.Reader(sigmf_path) as b:
            same = bool(np.array_equal(a.read(a.num_samples), b.read(b.num_samples)))
    return {"blue": blue, "sigmf": sigmf, "same_samples": same}


def _write_demo(directory, n=48000, fs=48e3):
    from kolvane import iqwriter

    t = np.arange(n) / fs
    x = (0.7 * np.exp(2j * np.pi * 1e3 * t)).astype(np.complex64)
    paths = os.path.join(directory, "demo.blue"), os.path.join(directory, "demo.sigmf-data")
    for path, ftype in zip(paths, ("blue", "sigmf")):
        with iqwriter.Writer(path, fs, file_type=ftype, sample_type="ci16", fc=1e8) as w:
            if ftype == "blue":
                w.add_keyword("COMMENT", "A", "1 kHz tone at -3 dBFS")
            w.write(x)
    return paths


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as d:
        blue, sigmf = sys.argv[1:3] if len(sys.argv) > 2 else _write_demo(d)
        result = read_back(blue, sigmf)
        for kind in ("blue", "sigmf"):
            s = result[kind]
            print(f"{kind:6} {s['file_type']}/{s['sample_type']}: {s['samples_read']} samples, fs {s['fs']:g} Hz "
                  f"({s['fs_source']}), fc {s['fc']:g} Hz ({s['fc_source']}), peak {s['peak']:.4f}, "
                  f"power {s['mean_power_db']:.2f} dB, keywords {s['keywords']}")
        print("same samples in both:", result["same_samples"])
