"""The main job end to end, at a smaller size: every frame sent comes back with
a correct CRC, every stage hands on exactly what it got, and the link figures
agree with what was asked."""
import json
import math
import os
import shutil
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
pytest.importorskip("matplotlib")

import pipeline  # noqa: E402
from kolvane import iqreader  # noqa: E402

FRAMES = 6


@pytest.fixture(scope="module")
def short_run(tmp_path_factory):
    cfg = pipeline.Config(out_dir=str(tmp_path_factory.mktemp("pipeline")), frames=FRAMES)
    return cfg, pipeline.run(cfg)


def test_every_frame_comes_back(short_run):
    cfg, s = short_run
    assert s["frames_sent"] == FRAMES and s["frames_recovered"] == FRAMES
    assert s["bits_compared"] == FRAMES * pipeline.DATA_BITS and s["bit_errors"] == 0
    # Before decoding, the channel bits err as uncoded QPSK does at this Es/No.
    theory = 0.5 * math.erfc(math.sqrt(10 ** (cfg.esno_db / 10) / 2))
    assert s["channel_bits"] >= FRAMES * pipeline.CHANNEL_BITS
    assert 0.7 * theory < s["channel_bit_errors"] / s["channel_bits"] < 1.4 * theory


def test_link_figures_agree_with_what_was_asked(short_run):
    cfg, s = short_run
    assert abs(s["esno_measured_db"] - cfg.esno_db) < 0.5
    assert abs(s["psd_snr_measured_db"] - s["psd_snr_expected_db"]) < 1.0
    assert abs(s["obw_measured_hz"] / s["obw_expected_hz"] - 1) < 0.1
    assert abs(s["freq_found_hz"] - s["freq_seen_hz"]) < 10.0
    assert abs(s["clock_found_ppm"] - cfg.clock_ppm) < 15.0
    assert not s["clipped"] and s["peak_dbfs"] < 0


def test_files_hold_what_was_made(short_run):
    cfg, s = short_run
    blue, tlm, meta, png = s["files"]
    assert s["capture_samples_followed"] == s["samples"] and s["capture_ending"] == "eof"
    with iqreader.Reader(blue) as r:
        assert (r.file_type, r.sample_type, r.fs, r.num_samples) == ("blue", "ci16", cfg.fs, s["samples"])
    with open(meta) as f:
        side = json.load(f)
    assert side["records"] == s["telemetry_records"] == os.path.getsize(tlm) // 16 > 0
    assert side["dropped"] == s["telemetry_dropped"] == 0 and side["fs"] == cfg.fs
    assert {"rx.agc.gain_db", "rx.agc.level_db", "rx.timing_err", "rx.phase_err"} <= set(side["probes"])
    with open(png, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    assert os.path.getsize(png) > 10000


def test_stream_leg(short_run):
    _, s = short_run
    if shutil.which("nats-server") is None:
        assert s["nats"] is None and s["nats_note"]
    else:
        assert s["nats_same_samples"] and s["nats"]["in_order"]


@pytest.mark.parametrize("quarter", range(4))
def test_frames_found_and_decoded_whatever_the_carrier_rotation(quarter):
    """Clean symbols of idle + two frames + idle, turned by a quarter turn the
    carrier loop could have settled on, go straight to the frame stage."""
    from kolvane import telemetry

    cfg = pipeline.Config(frames=2, nats=False)
    tx = pipeline.Transmitter(cfg)
    numbers = sorted(tx.sent)
    idle = pipeline.qpsk_symbols(np.concatenate([tx.sent[numbers[0]][1][:64], np.zeros(
        pipeline.CHANNEL_BITS - 64, np.uint8)]))
    frames = [pipeline.qpsk_symbols(tx.sent[k][1]) for k in numbers]
    sym = np.concatenate([idle[7:]] + frames + [idle]) * np.complex64(1j ** quarter)
    with telemetry.Telemetry(1 << 12) as tlm:
        rx = pipeline.Receiver(cfg, tlm, tx.marker_symbols)
        for a in range(0, len(sym), 500):  # chunked as the loops hand them on
            rx.add_symbols(sym[a:a + 500])
        got = {f["number"]: f for f in rx.frames if f["crc_ok"]}
        rx.ddc.destroy()
    assert sorted(set(got) & set(numbers)) == numbers
    for k in numbers:
        assert np.array_equal(got[k]["data"], tx.sent[k][0])


def test_summary_prints(short_run, capsys):
    _, s = short_run
    pipeline.print_summary(s)
    out = capsys.readouterr().out
    wrote = next(line for line in out.splitlines() if line.startswith("wrote "))[len("wrote "):].split(", ")
    assert f"{FRAMES} of {FRAMES}" in out
    assert [os.path.realpath(w) for w in wrote] == [os.path.realpath(f) for f in s["files"]]
