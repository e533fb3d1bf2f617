"""The main job: a shaped QPSK burst from synthesis to capture files and back.

    python examples/pipeline.py [out_dir]

1. `wfm._SynthEngine` synthesises a root-raised-cosine QPSK signal on a 50 kHz
   carrier at 1 MS/s (8 samples per symbol) in noise calibrated to
   Es/No = 25 dB, backed off to -12 dBFS.
2. A block loop, stamped for telemetry (`Telemetry.set_now` once per block, with
   a lossless memory capture open), resamples each block to 1.5 MS/s
   (`resample.Resampler`), accumulates its spectrum (`spectral.PSD`), writes it
   as a BLUE capture (ci16) and a SigMF recording (cf32), and emits the block
   power and peak to two telemetry probes. The same input block also goes
   through a receiver's first stage, `ddc.DDC`: the carrier comes to DC and the
   rate halves to 500 kS/s (4 samples per symbol, room for the 0.35 roll-off).
3. Both captures are read back (`iqreader.Reader`) and compared with what was
   written; the PSD gives the SNR and occupied bandwidth. The baseband output
   goes through a root-raised-cosine matched filter, is aligned on the
   transmitted symbols, and gives its Es/No (from the EVM) and the carrier
   left over (phase and frequency of the symbols against the ideal ones).
4. A picture (constellation, spectrum, telemetry, constellation after the DDC)
   goes to out_dir/pipeline.png and a short summary is printed.
"""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from capture_read_example import read_back  # noqa: E402
from kolvane import ddc, iqreader, iqwriter, resample, spectral, telemetry, wfm  # noqa: E402
from synth_example import synth_qpsk_burst  # noqa: E402

FS_IN = 1e6
RATE = 1.5  # output / input
FS_OUT = FS_IN * RATE
BLOCK = 8192
CARRIER = 50e3
SPS = 8  # samples per symbol at FS_IN
DDC_RATE = 0.5  # output / input: 4 samples per symbol
FS_BB = FS_IN * DDC_RATE


def baseband_quality(y, sent, sps, beta=0.35, span=8):
    """Matched filter, then find the sampling phase and symbol delay that line the
    output up with `sent`; returns the aligned symbols and the figures of merit.

    The complex gain fitted to the symbols takes out the level (the -12 dB back-off
    and the filters' DC gain); its angle is the carrier phase left over, the slope
    of the symbol phase error over the burst is the frequency left over.
    """
    taps = wfm.rrc_taps(beta, sps, span).astype(np.float64)
    # Only outputs the whole filter span saw data for. The DDC's delay (searched
    # up to `lags` symbols) keeps the last symbols sent inside its filters when
    # the input ends, so those are left out of the comparison.
    mf = np.convolve(y.astype(np.complex128), taps, mode="valid") / np.sqrt(sps)
    lags = 4 * span
    sent = sent[:-lags]
    best = max(((abs(np.vdot(sent, mf[p + sps * k::sps][:len(sent)])), p + sps * k)
                for p in range(sps) for k in range(lags)), key=lambda t: t[0])
    s = mf[best[1]::sps][:len(sent)]
    assert len(s) == len(sent)
    gain = np.vdot(sent, s) / np.vdot(sent, sent)
    err = s / gain - sent
    evm = float(np.sqrt(np.mean(np.abs(err) ** 2) / np.mean(np.abs(sent) ** 2)))
    phase = np.unwrap(np.angle(s / sent))
    k = np.arange(len(sent))
    slope = np.polyfit(k, phase, 1)[0]  # radians per symbol
    return {
        "symbols": (s / gain).astype(np.complex64),
        "esno_db": float(-20 * np.log10(evm)),
        "phase_deg": float(np.degrees(np.angle(gain))),
        "freq_hz": float(slope / (2 * np.pi) * FS_BB / sps),
    }


def run(out_dir, n=1 << 18, esno_db=25.0, level_db=-12.0):
    os.makedirs(out_dir, exist_ok=True)
    burst = synth_qpsk_burst(n=n, sps=SPS, snr_db=esno_db, snr_mode="esno", fs=FS_IN, freq=CARRIER)
    # Unit signal power plus noise peaks well above full scale: back off before the integer capture.
    x = (burst["samples"] * np.float32(10 ** (level_db / 20))).astype(np.complex64)

    tlm = telemetry.Telemetry(16384)
    p_power = tlm.probe("block.power_db")
    p_peak = tlm.probe("block.peak_dbfs")
    blue_path = os.path.join(out_dir, "burst.blue")
    sigmf_path = os.path.join(out_dir, "burst.sigmf-data")
    written = []
    baseband = []
    with telemetry.MemoryCapture(tlm, BLOCK, None) as cap, \
            resample.Resampler(rate=RATE) as rs, \
            ddc.DDC(norm_freq=-CARRIER / FS_IN, rate=DDC_RATE) as dd, \
            spectral.PSD(n=1024, fs=FS_OUT, window="blackman-harris", mode="mean") as psd, \
            iqwriter.Writer(blue_path, FS_OUT, file_type="blue", sample_type="ci16", fc=0.0) as blue, \
            iqwriter.Writer(sigmf_path, FS_OUT, file_type="sigmf", sample_type="cf32", fc=0.0) as sigmf:
        blue.track_clipping()
        out_index = 0
        for start in range(0, len(x), BLOCK):
            tlm.set_now(out_index)  # block boundary: the capture drains the previous block here
            y = np.array(rs.execute(x[start:start + BLOCK]))  # the resampler returns a reused view
            psd.accumulate(y)
            blue.write(y)
            sigmf.write(y)
            written.append(y)
            mag2 = np.abs(y.astype(np.complex128)) ** 2
            tlm.emit(p_power, 10 * np.log10(mag2.mean()))
            tlm.emit(p_peak, 10 * np.log10(mag2.max()))
            out_index += len(y)
            baseband.append(dd.execute(x[start:start + BLOCK]))
        tlm.set_now(out_index)
        freqs = (np.arange(psd.nfft) - psd.nfft // 2) * (FS_OUT / psd.nfft)
        trace = psd.psd_db()
        obw = psd.occupied_bw(0.99)
        band = (burst["freq"] - obw / 2, burst["freq"] + obw / 2)
        snr_db = psd.snr(*band)
        floor_db = psd.noise_floor()
        peak_dbfs = blue.peak_dbfs
        clipped = blue.clipped
        ddc_clipped = dd.clipped
    telem = cap.read_dict(index=True)
    y_all = np.concatenate(written)
    # What was sent: the reference receiver's decisions (error free at this Es/No).
    sent = (np.sign(burst["symbols"].real) + 1j * np.sign(burst["symbols"].imag)) / np.sqrt(2)
    bb = baseband_quality(np.concatenate(baseband), sent, int(SPS * DDC_RATE))

    back = read_back(blue_path, sigmf_path)
    with iqreader.Reader(sigmf_path) as r:
        sigmf_same = bool(np.array_equal(r.read(r.num_samples), y_all))
    with iqreader.Reader(blue_path) as r:
        ci16_err = float(np.max(np.abs(r.read(r.num_samples) - y_all)))

    summary = {
        "samples_in": len(x),
        "samples_out": len(y_all),
        "esno_asked_db": esno_db,
        "esno_from_evm_db": burst["esno_from_evm_db"],
        "snr_over_fs_expected_db": burst["expected_snr_fs_db"],
        "snr_over_fs_measured_db": burst["measured_snr_fs_db"],
        "psd_snr_db": snr_db,
        "psd_obw_hz": obw,
        "psd_noise_floor_db": floor_db,
        "blue_peak_dbfs": peak_dbfs,
        "blue_clipped": clipped,
        "sigmf_reads_back_identically": sigmf_same,
        "blue_ci16_max_error": ci16_err,
        "blue_fs_read_back": back["blue"]["fs"],
        "sigmf_fs_read_back": back["sigmf"]["fs"],
        "ddc_samples_out": sum(len(b) for b in baseband),
        "ddc_clipped": ddc_clipped,
        "ddc_esno_from_evm_db": bb["esno_db"],
        "ddc_carrier_phase_deg": bb["phase_deg"],
        "ddc_carrier_freq_hz": bb["freq_hz"],
        "telemetry_records": int(cap.count),
        "telemetry_dropped": int(cap.dropped),
        "picture": os.path.join(out_dir, "pipeline.png"),
    }
    draw(summary["picture"], burst, freqs, trace, band, floor_db, telem, bb)
    return summary


def draw(path, burst, freqs, trace, band, floor_db, telem, bb):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (a, b, c, d) = plt.subplots(1, 4, figsize=(21, 4.6))
    s = burst["symbols"]
    a.plot(s.real, s.imag, ".", ms=1.5, alpha=0.4)
    a.set_aspect("equal")
    a.set_title(f"constellation after matched filter (Es/No {burst['snr_db']:.0f} dB)")
    a.grid(True, alpha=0.3)
    b.plot(freqs / 1e3, trace, lw=0.8)
    b.axvspan(band[0] / 1e3, band[1] / 1e3, color="tab:orange", alpha=0.15, label="occupied band")
    b.axhline(floor_db, color="gray", ls="--", lw=0.7, label="noise floor")
    b.set_xlabel("frequency [kHz]")
    b.set_ylabel("PSD [dBFS]")
    b.set_title(f"spectrum at {FS_OUT / 1e6:g} MS/s (spectral.PSD)")
    b.legend(loc="lower left", fontsize=8)
    b.grid(True, alpha=0.3)
    for name, (idx, val) in telem.items():
        c.plot(idx / FS_OUT * 1e3, val, ".-", ms=3, label=name)
    c.set_xlabel("time [ms]")
    c.set_ylabel("dB")
    c.set_title("telemetry, one record per block")
    c.legend(fontsize=8)
    c.grid(True, alpha=0.3)
    s = bb["symbols"]
    d.plot(s.real, s.imag, ".", ms=1.5, alpha=0.4, color="tab:green")
    d.set_aspect("equal")
    d.set_title(f"after ddc.DDC ({FS_BB / 1e3:g} kS/s) + matched filter\nEs/No from EVM {bb['esno_db']:.1f} dB")
    d.grid(True, alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main(argv):
    out_dir = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "out")
    s = run(out_dir)
    print(f"synthesised {s['samples_in']} samples at {FS_IN / 1e6:g} MS/s, resampled to {s['samples_out']} "
          f"at {FS_OUT / 1e6:g} MS/s")
    print(f"Es/No asked {s['esno_asked_db']:.1f} dB, from EVM {s['esno_from_evm_db']:.2f} dB; SNR over fs "
          f"expected {s['snr_over_fs_expected_db']:.2f} dB, measured {s['snr_over_fs_measured_db']:.2f} dB")
    print(f"PSD: SNR {s['psd_snr_db']:.1f} dB in the occupied band, occupied bandwidth (99 %) "
          f"{s['psd_obw_hz'] / 1e3:.1f} kHz, noise floor {s['psd_noise_floor_db']:.1f} dBFS")
    print(f"captures: BLUE ci16 peak {s['blue_peak_dbfs']:.2f} dBFS, clipped {s['blue_clipped']}, max error "
          f"{s['blue_ci16_max_error']:.2e} on read-back; SigMF cf32 reads back identically: "
          f"{s['sigmf_reads_back_identically']}; fs read back {s['blue_fs_read_back']:g} / "
          f"{s['sigmf_fs_read_back']:g} Hz")
    print(f"DDC: {CARRIER / 1e3:g} kHz carrier to DC, {s['ddc_samples_out']} samples at {FS_BB / 1e3:g} kS/s "
          f"({SPS * DDC_RATE:g} per symbol); after matched filter Es/No from EVM {s['ddc_esno_from_evm_db']:.2f} dB, "
          f"carrier left {s['ddc_carrier_phase_deg']:+.2f} deg, {s['ddc_carrier_freq_hz'] * 1e3:+.2f} mHz")
    print(f"telemetry: {s['telemetry_records']} records, {s['telemetry_dropped']} dropped")
    print(f"wrote {s['picture']}")
    ok = s["sigmf_reads_back_identically"] and s["telemetry_dropped"] == 0 and s["blue_ci16_max_error"] < 1e-4
    ok = ok and s["ddc_esno_from_evm_db"] > s["esno_from_evm_db"] - 1.0
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
