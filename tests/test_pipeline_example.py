"""The main job end to end, at a smaller size: every stage must hand on exactly what it got."""
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
pytest.importorskip("matplotlib")

import pipeline  # noqa: E402


def test_pipeline_runs_losslessly(tmp_path):
    s = pipeline.run(str(tmp_path), n=1 << 16)
    assert s["samples_out"] in (int(1.5 * (1 << 16)), int(1.5 * (1 << 16)) + 1)
    assert s["sigmf_reads_back_identically"]
    assert 0 < s["blue_ci16_max_error"] <= 1.5 / 32767  # quantisation only, no clipping
    assert not s["blue_clipped"]
    assert s["blue_fs_read_back"] == s["sigmf_fs_read_back"] == pipeline.FS_OUT
    assert s["telemetry_dropped"] == 0 and s["telemetry_records"] == 2 * (1 << 16) // pipeline.BLOCK
    assert abs(s["snr_over_fs_measured_db"] - s["snr_over_fs_expected_db"]) < 0.2
    assert abs(s["esno_from_evm_db"] - s["esno_asked_db"]) < 0.5
    assert os.path.getsize(s["picture"]) > 10000
    # The DDC stage: exactly half the samples, the carrier at DC (a wrong oscillator
    # frequency of 20 Hz already turns the symbols), and the symbols as clean as the
    # reference receiver's, which mixes and filters in float64.
    assert s["ddc_samples_out"] == (1 << 16) // 2 and not s["ddc_clipped"]
    assert s["ddc_esno_from_evm_db"] > s["esno_from_evm_db"] - 0.5
    assert abs(s["ddc_carrier_phase_deg"]) < 1.0 and abs(s["ddc_carrier_freq_hz"]) < 0.5
