"""The main job: a coded telemetry link from synthesis to recovered frames.

    python examples/pipeline.py [out_dir] [--frames N] [--esno DB] [--fs HZ] ...

Transmit. Each transfer frame (a frame number, random data and a CRC-16) becomes
a CADU through one `wfm.FrameDesc`: Reed-Solomon (255,223) parity, the
randomiser, the attached sync marker in front, and the rate-1/2 K=7
convolutional code over the whole CADU. `wfm._SynthEngine` maps the channel bits
to QPSK with root-raised-cosine pulses on a carrier, in noise calibrated to the
asked Es/No, with a carrier frequency error; a `resample.Resampler` running a
few tens of ppm fast plays the transmitter's sample clock error. One idle frame
goes before the data (while the receiver's loops settle) and one after it
(while the last data frame drains through the filters).

Block by block, under a telemetry capture written to a file:
- the block goes into a BLUE capture (`iqwriter.Writer`, ci16), which a second
  process follows while it grows (`iqreader.Reader.read_follow`) and measures
  with `spectral.PSD`;
- the block is sent with `iqsink.StreamSink` to a NATS server started for the
  run, and a worker process receives it (skipped when no server can be started);
- the receiver takes the block: `ddc.MatchedDDC` brings the carrier to DC at
  two samples per symbol through a matched filter with an AGC that reports to
  telemetry; a carrier loop and a timing loop steer the converter's frequency
  and rate control ports; `spectral.CorrDetector` finds each frame's sync marker
  (and, from the phase of the correlation peak, which of the four QPSK
  rotations the carrier loop settled on); `wfm.viterbi_decode` and the
  description's `deframe` (derandomise, Reed-Solomon repair) give the frame back,
  and its CRC says whether it was recovered.

At the end it prints a summary and draws out_dir/pipeline.png: the spectrum
before and after down-conversion, the constellation after the matched filter,
and the AGC gain and loop errors from the telemetry capture.
"""

import argparse
import dataclasses
import hashlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import numpy as np

from kolvane import clock, ddc, iqreader, iqsink, iqwriter, resample, spectral, telemetry, wfm


@dataclasses.dataclass
class Config:
    out_dir: str = os.path.join(os.path.dirname(os.path.abspath(__file__)), "out")
    frames: int = 64  # data frames sent
    esno_db: float = 5.0  # Es/No per QPSK symbol (all frames come through down to about 4 dB)
    fs: float = 1e6  # sample rate [Hz]
    sps: int = 8  # samples per symbol at fs
    carrier: float = 100e3  # nominal carrier [Hz], where the receiver tunes
    freq_error: float = 700.0  # the transmitter's carrier error [Hz]
    clock_ppm: float = 60.0  # the transmitter's sample clock error
    level_db: float = -15.0  # rms of signal plus noise below full scale, before the integer capture
    block: int = 16384  # samples per processing block
    beta: float = 0.35  # root-raised-cosine roll-off
    seed: int = 1
    nats: bool = True
    progress: bool = False

    @property
    def symbol_rate(self):
        return self.fs / self.sps


# ---------------------------------------------------------------------------
# Frames: one description for both ends of the link

DATA_BITS = 221 * 8  # transfer frame without its CRC: 221 octets
CADU_BITS = 32 + DATA_BITS + 16 + 256  # marker, data, CRC-16, RS parity
CHANNEL_BITS = 2 * CADU_BITS  # after the rate-1/2 code
FRAME_SYMBOLS = CHANNEL_BITS // 2  # QPSK: two channel bits per symbol
IDLE = 0xFFFF  # frame number of an idle frame
KIND_CRC16, KIND_RS, KIND_RANDOMISE, KIND_CONV = 0, 1, 2, 3


def cadu_description(data_bits):
    """A CADU around `data_bits` (DATA_BITS bits, one per byte), not built yet.

    Fields: 0 marker, 1 data, 2 CRC-16 (made by stage 0), 3 RS parity (made by
    stage 1). Each stage says which fields it covers: the CRC covers the data,
    RS and the randomiser the data with its CRC and parity, and the
    convolutional code everything, the marker included.
    """
    fd = wfm.FrameDesc(np.zeros(0, np.uint8), np.zeros(0, np.uint8), np.zeros(0, np.uint8))
    fd.add_field(wfm.ccsds_asm_bits())
    fd.add_field(data_bits)
    fd.add_field(np.zeros(0, np.uint8), derived_by=1, derived_bits=16)
    fd.add_field(np.zeros(0, np.uint8), derived_by=2, derived_bits=256)
    fd.add_stage(KIND_CRC16, first_field=1, n_fields=2)
    fd.add_stage(KIND_RS, first_field=1, n_fields=3, depth=1)
    fd.add_stage(KIND_RANDOMISE, first_field=1, n_fields=3)
    fd.add_stage(KIND_CONV, first_field=0, n_fields=4, emit_num=2, emit_den=1)
    return fd


def frame_data(number, rng):
    """A transfer frame's data: its number (16 bits, most significant first),
    then random octets (zeros for an idle frame)."""
    head = (number >> np.arange(15, -1, -1)) & 1
    body = np.zeros(DATA_BITS - 16, np.int64) if number == IDLE else rng.integers(0, 2, DATA_BITS - 16)
    return np.concatenate([head, body]).astype(np.uint8)


def frame_number(data_bits):
    return int(np.dot(data_bits[:16].astype(np.int64), 1 << np.arange(15, -1, -1)))


def qpsk_symbols(channel_bits):
    """The engine's QPSK mapping: pair (first, second) -> index 2*first + second."""
    pairs = channel_bits.reshape(-1, 2).astype(np.uint8)
    return wfm.qpsk_map(2 * pairs[:, 0] + pairs[:, 1])


# ---------------------------------------------------------------------------
# Transmit


class Transmitter:
    """Frames -> channel bits -> QPSK on a carrier in calibrated noise -> clock error."""

    def __init__(self, cfg):
        rng = np.random.default_rng(cfg.seed)
        numbers = [IDLE] + list(range(cfg.frames)) + [IDLE]
        self.sent = {}  # frame number -> (data bits, channel bits)
        wire = []
        for number in numbers:
            data = frame_data(number, rng)
            fd = cadu_description(data)
            fd.build()
            bits = fd.bits(1)
            wire.append(bits)
            if number != IDLE:
                self.sent[number] = (data, bits)
        self.marker_symbols = qpsk_symbols(wire[0][:64])  # every CADU starts with these
        channel = np.concatenate(wire)
        self.total = len(channel) // 2 * cfg.sps  # samples of the whole stream at the engine
        self.engine = wfm._SynthEngine(type="bits", snr_mode="esno", fs=cfg.fs, freq=cfg.carrier + cfg.freq_error,
                                       snr=cfg.esno_db, sps=cfg.sps, seed=cfg.seed)
        self.engine.set_rrc(wfm.rrc_taps(cfg.beta, cfg.sps, 8))  # unit energy: unit signal power
        self.engine.set_bits(channel, 2)
        self.clock = resample.Resampler(rate=1 + cfg.clock_ppm * 1e-6)
        # Unit signal power plus the noise over the whole band: back the total
        # off below full scale before the integer capture.
        noise = 10 ** (-(cfg.esno_db - 10 * np.log10(cfg.sps)) / 10)
        self.scale = np.float32(10 ** (cfg.level_db / 20) / np.sqrt(1 + noise))
        self.block = cfg.block
        self.made = 0

    def next_block(self):
        """The next block at the receiver's rate, or None after the last frame."""
        n = min(self.block, self.total - self.made)
        if n <= 0:
            return None
        self.made += n
        # The resampler returns a view of its own buffer: copy it out.
        return np.array(self.clock.execute(self.engine.steps(n))) * self.scale


# ---------------------------------------------------------------------------
# Receive


class Loops:
    """Carrier and timing loops, updated once per chunk of CHUNK_SYMBOLS symbols.

    Both are proportional-plus-integral. The carrier loop measures the phase of
    the chunk's symbols (the fourth power removes the QPSK data) and steers the
    converter's oscillator; the timing loop measures the Gardner error on the
    two samples per symbol and steers the terminal resampler's rate. Control
    values act on the next chunk.
    """

    CARRIER_P, CARRIER_I = 0.2, 0.01  # fraction of the phase error removed per chunk
    TIMING_P, TIMING_I = 0.01, 2e-4  # relative rate deviation per unit of normalised error

    def __init__(self, chunk, freq0, terminal_rate):
        self.chunk = chunk  # input samples per chunk
        self.freq_int = freq0  # oscillator deviation [cycles per input sample]
        self.rate_int = 0.0  # relative rate deviation (the clock error, negated)
        self.terminal_rate = terminal_rate  # rate_ctrl adds to this ratio
        self.freq_ctrl, self.rate_ctrl = freq0, 0.0
        self.history = []

    def update(self, on, mid):
        """`on`: k+1 on-time samples, `mid`: the k samples between them."""
        power = float(np.mean(np.abs(on) ** 2)) or 1.0
        timing_err = float(np.mean(np.real((on[1:] - on[:-1]) * np.conj(mid)))) / power
        phase_err = float(np.angle(-np.sum(on[:-1].astype(np.complex128) ** 4)) / 4)  # QPSK sits at 45 degrees
        to_freq = 1 / (2 * np.pi * self.chunk)  # a phase error removed over one chunk
        self.freq_int -= self.CARRIER_I * phase_err * to_freq
        self.freq_ctrl = self.freq_int - self.CARRIER_P * phase_err * to_freq
        self.rate_int += self.TIMING_I * timing_err
        self.rate_ctrl = (self.rate_int + self.TIMING_P * timing_err) * self.terminal_rate
        self.history.append((self.freq_int, self.rate_int))
        return timing_err, phase_err

    def found(self, fs):
        """What the integrators settled on over the second half: the carrier
        error [Hz] and the clock error [ppm] they compensate."""
        h = np.array(self.history[len(self.history) // 2:]).reshape(-1, 2)
        return -float(np.mean(h[:, 0])) * fs, -float(np.mean(h[:, 1])) * 1e6


CHUNK_SYMBOLS = 32


def coarse_frequency(cfg, block):
    """The carrier error from the fourth power of a first block, through a twin
    of the receiver's converter (the receiver's own state stays untouched)."""
    with ddc.MatchedDDC(norm_freq=-cfg.carrier / cfg.fs, rate=2 / cfg.sps, beta=cfg.beta, pulse_sps=2.0) as twin:
        y = twin.execute(block).astype(np.complex128)
    n = 1 << int(np.ceil(np.log2(max(len(y), 2))))
    spectrum = np.abs(np.fft.fft(y ** 4, n))
    k = int(np.argmax(spectrum))
    f4 = (k if k < n // 2 else k - n) * (2 * cfg.symbol_rate) / n
    return f4 / 4  # Hz


class Receiver:
    def __init__(self, cfg, tlm, marker_symbols):
        self.cfg = cfg
        self.tlm = tlm
        self.ddc = ddc.MatchedDDC(norm_freq=-cfg.carrier / cfg.fs, rate=2 / cfg.sps, beta=cfg.beta, pulse_sps=2.0)
        # A slow AGC with smoothed power: a fast one modulates the symbols it levels.
        self.ddc.enable_agc(0.01, 0.01)
        self.ddc.set_telemetry(tlm, "rx.agc", decim=4)
        self.p_timing = tlm.probe("rx.timing_err")
        self.p_phase = tlm.probe("rx.phase_err")
        self.p_freq = tlm.probe("rx.freq_hz")
        self.p_clock = tlm.probe("rx.clock_ppm")
        self.chunk = CHUNK_SYMBOLS * cfg.sps
        self.loops = None
        self.pending = np.zeros(0, np.complex64)  # converter outputs not yet paired
        # The detector correlates one frame period of symbols at a time against
        # the marker's symbols: the stream repeats with that period, so the
        # marker is in every window, if need be wrapped around its end.
        ref = np.zeros(FRAME_SYMBOLS, np.complex64)
        ref[: len(marker_symbols)] = marker_symbols
        self.detector = spectral.CorrDetector(ref, noise_mode="median", threshold=3.0)
        self.buf = np.zeros(0, np.complex64)  # on-time symbols not yet done with
        self.base = 0  # symbol index of buf[0]
        self.windows = 0  # detector windows pushed
        self.starts = []  # (symbol index of a frame start, rotation in quarter turns)
        self.rx_desc = cadu_description(np.zeros(DATA_BITS, np.uint8))
        self.rx_desc.build()
        self.frames = []  # decoded frames
        self.bb_psd = spectral.PSD(n=1024, fs=2 * cfg.symbol_rate, window="blackman-harris")

    def process(self, x, n0):
        if self.loops is None:
            self.loops = Loops(self.chunk, -coarse_frequency(self.cfg, x) / self.cfg.fs, self.ddc.terminal_rate)
        baseband = []
        for a in range(0, len(x), self.chunk):
            self.tlm.set_now(n0 + a)  # loop telemetry stamped per chunk
            baseband.append(self.step(x[a:a + self.chunk]))
        self.bb_psd.accumulate(np.concatenate(baseband))  # whole PSD frames: one call per block

    def step(self, x):
        """One chunk through the converter and the loops; returns the converter's output."""
        lp = self.loops
        out = self.ddc.execute_ctrl(x, lp.rate_ctrl, lp.freq_ctrl)
        y = np.concatenate([self.pending, out])
        pairs = (len(y) - 1) // 2  # keep the on-time phase: pairs start at an even index
        if pairs < 2:
            self.pending = y
            return out
        on, mid = y[0:2 * pairs + 1:2], y[1:2 * pairs:2]
        timing_err, phase_err = lp.update(on, mid)
        self.pending = y[2 * pairs:]
        self.tlm.emit(self.p_timing, timing_err)
        self.tlm.emit(self.p_phase, np.degrees(phase_err))
        self.tlm.emit(self.p_freq, -lp.freq_int * self.cfg.fs)
        self.tlm.emit(self.p_clock, -lp.rate_int * 1e6)
        self.add_symbols(on[:-1])
        return out

    def add_symbols(self, s):
        """On-time symbols in stream order: find the markers, decode the frames
        whose symbols are all there, drop what no one needs any more."""
        self.buf = np.concatenate([self.buf, s])
        end = self.base + len(self.buf)  # symbols so far
        while (self.windows + 1) * FRAME_SYMBOLS <= end:
            self.find_marker(self.windows * FRAME_SYMBOLS)
            self.windows += 1
        while self.starts and self.starts[0][0] + FRAME_SYMBOLS <= end:
            start, quarter = self.starts.pop(0)
            frame = self.buf[start - self.base:start - self.base + FRAME_SYMBOLS]
            self.frames.append(self.decode(frame * np.complex64(1j ** -quarter)))
        oldest = min([start for start, _ in self.starts] + [self.windows * FRAME_SYMBOLS])
        self.buf = self.buf[oldest - self.base:]
        self.base = oldest

    def find_marker(self, first):
        """One frame period of symbols from `first` to the detector: one dump,
        so last_corr belongs to this window. The phase of the peak is the
        rotation the carrier loop settled on, in quarter turns."""
        w = first - self.base
        for lag, peak, noise, stat in self.detector.push(self.buf[w:w + FRAME_SYMBOLS]):
            quarter = int(np.round(np.angle(self.detector.last_corr[lag]) / (np.pi / 2))) % 4
            self.starts.append((first + lag, quarter))

    def decode(self, sym):
        """Symbols of one CADU, rotation removed -> a frame record."""
        rms = float(np.sqrt(np.mean(np.abs(sym) ** 2))) or 1.0
        z = sym * np.float32(np.sqrt(2) / rms)  # each component nominally +-1
        soft = np.empty(2 * len(z), np.float32)
        soft[0::2] = z.imag  # first bit of a pair sets the sign of Q (positive: 0)
        soft[1::2] = z.real
        cadu = wfm.viterbi_decode(soft, start_state=0)  # every CADU starts from a zero register
        d = self.rx_desc
        out = d.deframe(cadu)  # derandomised, Reed-Solomon repaired, CRC checked
        data = out[32:32 + DATA_BITS]
        return {
            "number": frame_number(data),
            # CRC, Reed-Solomon and randomiser undone, every one of them ok.
            "crc_ok": d.rx_checked == 3 and d.rx_ok == d.rx_units,
            "data": data,
            "hard": (soft < 0).astype(np.uint8),
            "symbols": z / np.float32(np.sqrt(2)),
            "rs_symbols": int(self.rx_desc.rx_symbols),
        }


# ---------------------------------------------------------------------------
# The capture follower (second process)


def follow_capture(path, result_path, lo_hz, hi_hz, nfft=1024):
    """Follows the BLUE capture until its writer closes it and measures its
    spectrum: the peak over the noise floor in the signal's band, and the
    occupied bandwidth of what stands above the floor."""
    with iqreader.Reader(path) as r:
        r.follow_timeout_ms = 60000  # a writer that died leaves a follower that gives up
        psd = spectral.PSD(n=nfft, fs=r.fs, window="blackman-harris")
        count = 0
        digest = hashlib.sha256()
        while len(x := r.read_follow(1 << 16)) > 0:
            psd.accumulate(x)
            digest.update(x.tobytes())
            count += len(x)
        # The noise fills the whole band: take its floor (the median bin, plus
        # three standard deviations of an average of `count` frames) out
        # before asking where 99 % of the power lies.
        power = psd.power_twosided().astype(np.float64)
        above = np.clip(power - np.median(power) * (1 + 3 / np.sqrt(psd.count)), 0.0, None)
        np.savez(result_path, count=count, ending=r.ending, psd_db=psd.psd_db(), sha256=digest.hexdigest(),
                 snr=psd.snr(lo_hz, hi_hz), obw=spectral.obw_from_power(above, r.fs, 0.99))


def start_follower(capture, result_path, lo_hz, hi_hz):
    return subprocess.Popen([sys.executable, os.path.abspath(__file__), "--follow", capture, result_path,
                             repr(lo_hz), repr(hi_hz)])


# ---------------------------------------------------------------------------
# NATS: a server for the run and a worker process


def start_nats():
    """(process, url), or (None, why not)."""
    exe = shutil.which("nats-server")
    if exe is None:
        return None, "no nats-server on PATH"
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen([exe, "-a", "127.0.0.1", "-p", str(port)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return None, f"nats-server exited with {proc.returncode}"
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return proc, f"nats://127.0.0.1:{port}"
        except OSError:
            time.sleep(0.05)
    stop_process(proc)
    return None, "nats-server did not open its port"


def stop_process(proc):
    if proc is not None and proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait()


FRAME_HEADER = "<8s4sHHHHIQQddQ"  # the stream frame's 64-byte header
FRAGMENT = "<IIQQ"  # the fragment extension, when flags bit 0 is set


async def nats_receive(url, stream, result_path):
    """Receives the stream's frames in order, reassembling fragments, until end of stream."""
    import struct

    import nats

    head, ext = struct.Struct(FRAME_HEADER), struct.Struct(FRAGMENT)
    nc = await nats.connect(url)
    sub = await nc.subscribe(f"iq.{stream}.>")
    await nc.flush()
    print("ready", flush=True)
    parts, digest, blocks, samples, seqs = {}, hashlib.sha256(), 0, 0, []
    while True:
        msg = await sub.next_msg(timeout=60)
        magic, order, stype, kind, version, flags, nbytes, seq, ts, fs, fc, n = head.unpack_from(msg.data)
        if kind == 2:  # end of stream
            break
        payload = msg.data[64:]
        if flags & 1:
            index, count, total, offset = ext.unpack_from(msg.data, 64)
            frame = parts.setdefault((seq, ts), [bytearray(total), 0])
            frame[0][offset:offset + nbytes] = msg.data[88:]
            frame[1] += nbytes
            if frame[1] < total:
                continue
            payload = bytes(parts.pop((seq, ts))[0])
        digest.update(payload)
        blocks += 1
        samples += len(payload) // 8
        seqs.append(seq)
    await nc.close()
    in_order = seqs == sorted(seqs) and len(set(seqs)) == len(seqs)
    with open(result_path, "w") as f:
        json.dump({"blocks": blocks, "samples": samples, "sha256": digest.hexdigest(), "in_order": in_order}, f)


def start_nats_worker(url, stream, result_path):
    proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--nats-worker", url, stream, result_path],
                            stdout=subprocess.PIPE, text=True)
    if proc.stdout.readline().strip() != "ready":
        stop_process(proc)
        return None
    return proc


# ---------------------------------------------------------------------------
# The job


class StreamLeg:
    """The NATS leg: a server for the run, a worker process subscribed to the
    stream, and the sink that sends the blocks. `note` says why it is off."""

    def __init__(self, cfg, result_path):
        self.server = self.worker = self.sink = None
        self.result_path = result_path
        if not cfg.nats:
            self.note = "turned off"
            return
        self.server, self.note = start_nats()
        if self.server is None:
            return
        url = self.note
        self.worker = start_nats_worker(url, "demo", result_path)
        if self.worker is None:
            self.note = "the worker process did not start (is nats-py installed?)"
            return
        self.sink = iqsink.StreamSink(f"{url}/demo", "cf32")

    def send(self, x, fs, fc):
        if self.sink is not None and self.sink.send(x, fs, fc) != 0:
            print("NATS: a send failed; the worker's count will say how many arrived", file=sys.stderr)

    def finish(self):
        """End of stream; returns what the worker received (None when off)."""
        if self.sink is None:
            return None
        self.sink.send_eos()
        self.sink.drain(5000)  # everything reached the server
        self.sink.close()
        self.worker.wait(timeout=60)
        if not os.path.exists(self.result_path):
            self.note = "the worker did not report"
            return None
        with open(self.result_path) as f:
            return json.load(f)

    def stop(self):
        stop_process(self.worker)
        stop_process(self.server)


def run(cfg):
    """Runs the whole link; returns the summary (a dict)."""
    t_start = time.monotonic()
    os.makedirs(cfg.out_dir, exist_ok=True)
    paths = {name: os.path.join(cfg.out_dir, name) for name in ("capture.blue", "telemetry.tlm", "pipeline.png")}
    scratch = tempfile.mkdtemp(prefix="kolvane-demo-")  # what the two processes report back
    paths.update({name: os.path.join(scratch, name) for name in ("follower.npz", "nats.json")})
    tx = Transmitter(cfg)
    tlm = telemetry.Telemetry(1 << 16)
    p_tx_power = tlm.probe("tx.power_db")
    rx = Receiver(cfg, tlm, tx.marker_symbols)
    # Every probe is registered: the capture sizes its ring from them.
    cap = telemetry.Capture(tlm, cfg.block, paths["telemetry.tlm"], clock.SampleClock(cfg.fs))
    writer = iqwriter.Writer(paths["capture.blue"], cfg.fs, file_type="blue", sample_type="ci16", fc=cfg.carrier)
    writer.track_clipping()
    writer.flush()  # the header is on disk before the follower opens the file
    centre = cfg.carrier + cfg.freq_error
    follower = start_follower(paths["capture.blue"], paths["follower.npz"], centre - cfg.symbol_rate / 2,
                              centre + cfg.symbol_rate / 2)
    stream = StreamLeg(cfg, paths["nats.json"])
    sent = hashlib.sha256()
    n, shown = 0, time.monotonic()
    try:
        while (x := tx.next_block()) is not None:
            tlm.set_now(n)  # block boundary: the capture drains the previous block's records
            tlm.emit(p_tx_power, 10 * np.log10(np.mean(np.abs(x.astype(np.complex128)) ** 2)))
            writer.write(x)
            writer.flush()  # the follower sees whole blocks as they are made
            stream.send(x, cfg.fs, cfg.carrier)
            sent.update(x.tobytes())
            rx.process(x, n)
            n += len(x)
            if cfg.progress and time.monotonic() - shown > 0.5:
                shown = time.monotonic()
                print(f"\r{100 * tx.made / tx.total:5.1f} % of {tx.total} samples, {len(rx.frames)} frames decoded",
                      end="", file=sys.stderr, flush=True)
        if cfg.progress:
            print(file=sys.stderr)
        tlm.set_now(n)
        peak_dbfs, clipped = writer.peak_dbfs, writer.clipped
        writer.close()  # patches the header: the follower reads to the end and stops
        cap.close()  # drains the last records and writes the sidecar
        nats = stream.finish()
        if follower.wait(timeout=120) != 0:
            raise RuntimeError(f"the capture follower failed (exit status {follower.returncode})")
        summary = measure(cfg, tx, rx, n, paths["follower.npz"])
    finally:  # also on an error or Ctrl-C: no process left behind
        writer.close()
        stream.stop()
        stop_process(follower)
        shutil.rmtree(scratch, ignore_errors=True)
    summary.update(peak_dbfs=peak_dbfs, clipped=clipped, telemetry_records=int(cap.count),
                   telemetry_dropped=int(cap.dropped), nats=nats, nats_note=stream.note,
                   nats_same_samples=bool(nats is not None and nats["sha256"] == sent.hexdigest()
                                          and nats["samples"] == n))
    records = np.fromfile(paths["telemetry.tlm"], dtype=[("n", "<u8"), ("value", "<f4"), ("probe", "<u2"),
                                                         ("flags", "<u2")])
    draw(paths["pipeline.png"], cfg, summary, rx, records, tlm.probe_names)
    rx.ddc.destroy()  # the converter reports to the telemetry context: release it first
    tlm.destroy()
    summary["files"] = [paths["capture.blue"], paths["telemetry.tlm"], paths["telemetry.tlm"] + "-meta",
                        paths["pipeline.png"]]
    summary["seconds"] = time.monotonic() - t_start
    return summary


def rrc_occupied_bw(beta, rs, fraction):
    """The band holding `fraction` of a root-raised-cosine signal's power: its
    spectrum is the raised-cosine shape (flat to (1 - beta) rs / 2, then a
    half cosine down to zero at (1 + beta) rs / 2)."""
    f = np.linspace(0, (1 + beta) * rs / 2, 20001)
    edge = (1 - beta) * rs / 2
    p = np.where(f <= edge, 1.0, 0.5 * (1 + np.cos(np.pi / (beta * rs) * (f - edge))))
    c = np.cumsum(p)
    return 2 * float(f[np.searchsorted(c, fraction * c[-1])])


def measure(cfg, tx, rx, n, follower_result):
    """Frames, bit errors and link figures against what was sent and asked."""
    good = [f for f in rx.frames if f["crc_ok"] and f["number"] in tx.sent]
    recovered = {f["number"] for f in good}
    bit_errors = sum(int(np.count_nonzero(f["data"] != tx.sent[f["number"]][0])) for f in good)
    known = [f for f in rx.frames if f["number"] in tx.sent]
    raw_errors = sum(int(np.count_nonzero(f["hard"] != tx.sent[f["number"]][1])) for f in known)
    # Es/No from the error vector against the symbols that were sent.
    if known:
        y = np.concatenate([f["symbols"] for f in known]).astype(np.complex128)
        s = np.concatenate([qpsk_symbols(tx.sent[f["number"]][1]) for f in known]).astype(np.complex128)
        g = np.vdot(s, y) / np.vdot(s, s)
        esno = float(10 * np.log10(np.mean(np.abs(s) ** 2) / np.mean(np.abs(y / g - s) ** 2)))
    else:
        esno = float("nan")
    fol = np.load(follower_result)
    freq_found, clock_found = rx.loops.found(cfg.fs)
    return {
        "samples": n,
        "fs": cfg.fs,
        "symbol_rate": cfg.symbol_rate,
        "esno_asked_db": cfg.esno_db,
        "esno_measured_db": esno,
        "obw_expected_hz": rrc_occupied_bw(cfg.beta, cfg.symbol_rate, 0.99),
        "obw_measured_hz": float(fol["obw"]),
        # A flat-topped spectrum of power P over Rs in noise of density N0
        # stands 10 log10(1 + Es/No) above the floor.
        "psd_snr_expected_db": float(10 * np.log10(1 + 10 ** (cfg.esno_db / 10))),
        "psd_snr_measured_db": float(fol["snr"]),
        "freq_error_hz": cfg.freq_error,
        # The fast clock also lowers the carrier the receiver sees.
        "freq_seen_hz": (cfg.carrier + cfg.freq_error) / (1 + cfg.clock_ppm * 1e-6) - cfg.carrier,
        "freq_found_hz": freq_found,
        "clock_ppm": cfg.clock_ppm,
        "clock_found_ppm": clock_found,
        "frames_sent": len(tx.sent),
        "frames_recovered": len(recovered),
        "frames_decoded": len(rx.frames),
        "bits_compared": len(good) * DATA_BITS,
        "bit_errors": bit_errors,
        "channel_bits": len(known) * CHANNEL_BITS,
        "channel_bit_errors": raw_errors,
        "rs_symbols_repaired": sum(f["rs_symbols"] for f in known),
        "capture_samples_followed": int(fol["count"]),
        "capture_ending": str(fol["ending"]),
        "capture_psd_db": fol["psd_db"],
    }


# ---------------------------------------------------------------------------
# The picture


def draw(path, cfg, s, rx, records, probe_names):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (a, b, c) = plt.subplots(1, 3, figsize=(18, 5))
    # Spectrum before (the capture, as the follower measured it) and after down-conversion.
    before = s["capture_psd_db"]
    f_before = (np.arange(len(before)) - len(before) // 2) * (cfg.fs / len(before))
    a.plot(f_before / 1e3, before, lw=0.8,
           label=f"capture at {cfg.fs / 1e6:g} MS/s (carrier {cfg.carrier / 1e3:g} kHz)")
    after = rx.bb_psd.psd_db()
    fs_bb = 2 * cfg.symbol_rate
    f_after = (np.arange(len(after)) - len(after) // 2) * (fs_bb / len(after))
    a.plot(f_after / 1e3, after, lw=0.8, label=f"after MatchedDDC at {fs_bb / 1e3:g} kS/s")
    a.set_xlabel("frequency [kHz]")
    a.set_ylabel("PSD [dB]")
    a.set_title("spectrum before and after down-conversion")
    a.legend(fontsize=8, loc="lower center")
    a.grid(True, alpha=0.3)

    sym = np.concatenate([f["symbols"] for f in rx.frames]) if rx.frames else np.zeros(0, np.complex64)
    sym = sym[-20000:]  # enough to show the clouds, few enough to keep the file small
    b.plot(sym.real, sym.imag, ".", ms=1, alpha=0.3)
    b.set_aspect("equal")
    b.set_xlim(-1.8, 1.8)
    b.set_ylim(-1.8, 1.8)
    b.set_title(f"symbols after the matched filter and loops\nEs/No asked {s['esno_asked_db']:.1f} dB, "
                f"measured {s['esno_measured_db']:.1f} dB")
    b.grid(True, alpha=0.3)

    ids = {name: i for name, i in probe_names.items()}
    t = records["n"] / cfg.fs * 1e3

    def series(name):
        m = records["probe"] == ids[name]
        return t[m], records["value"][m]

    c.plot(*series("rx.agc.gain_db"), lw=0.8, label="AGC gain [dB]")
    c.set_xlabel("time [ms]")
    c.set_ylabel("AGC gain [dB]")
    c.grid(True, alpha=0.3)
    c2 = c.twinx()
    tt, te = series("rx.timing_err")
    tp, pe = series("rx.phase_err")
    c2.plot(tp, pe / 45.0, lw=0.5, color="tab:orange", alpha=0.7, label="carrier phase error / 45 deg")
    c2.plot(tt, te, lw=0.5, color="tab:green", alpha=0.7, label="timing error (Gardner, normalised)")
    c2.set_ylim(-1.5, 1.5)
    c.set_title("telemetry: AGC gain and loop errors per chunk")
    lines = c.get_lines() + c2.get_lines()
    c.legend(lines, [ln.get_label() for ln in lines], fontsize=8, loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


# ---------------------------------------------------------------------------
# Command line


def print_summary(s):
    print(f"sent {s['samples']} samples at {s['fs'] / 1e6:g} MS/s, {s['symbol_rate'] / 1e3:g} kS/s QPSK, "
          f"carrier error {s['freq_error_hz']:+g} Hz, clock error {s['clock_ppm']:+g} ppm")
    print(f"Es/No asked {s['esno_asked_db']:.1f} dB, measured {s['esno_measured_db']:.2f} dB (EVM against the "
          f"symbols sent); occupied bandwidth (99 %) {s['obw_measured_hz'] / 1e3:.1f} kHz, "
          f"{s['obw_expected_hz'] / 1e3:.1f} kHz for the pulse")
    print(f"spectrum of the capture: peak {s['psd_snr_measured_db']:.2f} dB over the noise floor, expected "
          f"{s['psd_snr_expected_db']:.2f} dB")
    print(f"loops found the carrier {s['freq_found_hz']:+.1f} Hz off ({s['freq_seen_hz']:+.1f} Hz seen through the "
          f"clock error) and the clock {s['clock_found_ppm']:+.1f} ppm off")
    ber = s["bit_errors"] / s["bits_compared"] if s["bits_compared"] else float("nan")
    raw = s["channel_bit_errors"] / s["channel_bits"] if s["channel_bits"] else float("nan")
    print(f"frames: {s['frames_recovered']} of {s['frames_sent']} recovered with a correct CRC; bit errors "
          f"{s['bit_errors']} in {s['bits_compared']} (BER {ber:.1e}), before decoding {raw:.1e}; "
          f"Reed-Solomon repaired {s['rs_symbols_repaired']} octets")
    print(f"capture: peak {s['peak_dbfs']:.2f} dBFS, clipped {s['clipped']}; the follower read "
          f"{s['capture_samples_followed']} samples, ending {s['capture_ending']}")
    if s["nats"] is not None:
        print(f"NATS: the worker received {s['nats']['blocks']} blocks, {s['nats']['samples']} samples, "
              f"identical to those sent: {s['nats_same_samples']}")
    else:
        print(f"NATS: skipped ({s['nats_note']})")
    print(f"telemetry: {s['telemetry_records']} records, {s['telemetry_dropped']} dropped")
    # Paths under the working directory print short; others in full, not as ../.. chains.
    shown = (os.path.relpath(f) for f in s["files"])
    print("wrote " + ", ".join(r if not r.startswith("..") else os.path.abspath(f) for r, f in zip(shown, s["files"])))
    print(f"done in {s['seconds']:.1f} s for {s['samples'] / s['fs']:.2f} s of signal")


def parse(argv):
    d = Config()
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("out_dir", nargs="?", default=d.out_dir)
    p.add_argument("--frames", type=int, default=d.frames, help="data frames to send (%(default)s)")
    p.add_argument("--esno", type=float, default=d.esno_db, help="Es/No [dB] (%(default)s)")
    p.add_argument("--fs", type=float, default=d.fs, help="sample rate [Hz] (%(default)g)")
    p.add_argument("--sps", type=int, default=d.sps, help="samples per symbol (%(default)s)")
    p.add_argument("--freq-error", type=float, default=d.freq_error, help="carrier error [Hz] (%(default)g)")
    p.add_argument("--clock-ppm", type=float, default=d.clock_ppm, help="sample clock error [ppm] (%(default)g)")
    p.add_argument("--seed", type=int, default=d.seed, help="seed of the data and the noise (%(default)s)")
    p.add_argument("--no-nats", action="store_true", help="skip the NATS leg")
    a = p.parse_args(argv)
    if a.frames < 1 or a.sps < 2 or not a.fs > 0:
        p.error("need --frames >= 1, --sps >= 2 (the receiver works at two samples per symbol) and --fs > 0")
    return Config(out_dir=a.out_dir, frames=a.frames, esno_db=a.esno, fs=a.fs, sps=a.sps, carrier=a.fs / 10,
                  freq_error=a.freq_error, clock_ppm=a.clock_ppm, seed=a.seed, nats=not a.no_nats,
                  progress=sys.stderr.isatty())


def main(argv):
    if argv[1:2] == ["--follow"]:
        follow_capture(argv[2], argv[3], float(argv[4]), float(argv[5]))
        return 0
    if argv[1:2] == ["--nats-worker"]:
        import asyncio

        asyncio.run(nats_receive(*argv[2:5]))
        return 0
    s = run(parse(argv[1:]))
    print_summary(s)
    return 0 if s["frames_recovered"] == s["frames_sent"] and s["telemetry_dropped"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
