"""An independent client (nats-py) reads what kolvane sends and writes frames
kolvane's receivers accept."""

import asyncio

import numpy as np
import pytest

import stream_ctypes as sc
from natsfix import nats_server  # noqa: F401  (fixture)
from stream_ctypes import SX_ERR_EOF, SX_ERR_INVALID, Ctx, build_frame, parse_frame


def collect(url, subject, produce, count):
    """Subscribes with nats-py, runs produce() (blocking kolvane sends), returns `count` (subject, bytes)."""
    import nats

    async def run():
        nc = await nats.connect(url)
        sub = await nc.subscribe(subject)
        await nc.flush()
        await asyncio.get_running_loop().run_in_executor(None, produce)
        got = []
        for _ in range(count):
            m = await sub.next_msg(timeout=10)
            got.append((m.subject, m.data))
        await nc.close()
        return got

    return asyncio.run(run())


def publish(url, items):
    import nats

    async def run():
        nc = await nats.connect(url)
        for subject, data in items:
            await nc.publish(subject, data)
        await nc.flush()
        await nc.close()

    asyncio.run(run())


def test_nats_py_reads_kolvane_frames(nats_server):
    name = "interop.a"
    pub = Ctx("pub", nats_server.endpoint(name))
    assert sc.max_payload(pub.h) == 1048576
    big = np.random.default_rng(1).standard_normal(400000).astype(np.float32)  # 200000 cf32 samples
    small = np.arange(-300, 300, dtype=np.int16)

    def produce():
        sc.set_timestamp(pub.h, 123456789)
        assert pub.send(big, "cf32", fs=2.5e6, fc=1e9) == 0
        assert sc.send[("pub", "ci16")](pub.h, small.ctypes.data, small.size // 2, 8e3, -1.0) == 0
        assert sc.send_eos(pub.h) == 0
        assert sc.flush(pub.h, 0) == 0

    got = collect(nats_server.url, f"iq.{name}.>", produce, 4)
    pub.close()
    assert [s for s, _ in got] == [f"iq.{name}.CF32"] * 2 + [f"iq.{name}.CI16", f"iq.{name}.EOS"]
    frags = [parse_frame(d) for _, d in got[:2]]
    for i, (h, x, payload) in enumerate(frags):
        assert (h["magic"], h["byte_order"], h["version"], h["kind"], h["sample_type"]) == (
            b"SXSTREAM", b"EEEI", 2, 0, 0x4643)
        assert (h["flags"], h["seq"], h["timestamp_ns"], h["fs"], h["fc"]) == (1, 0, 123456789, 2.5e6, 1e9)
        assert (x["frag_index"], x["frag_count"], x["total_bytes"], x["frag_offset"]) == (i, 2, 1600000, i * 1048488)
        assert h["payload_bytes"] == len(payload) and h["num_samples"] == (131061, 68939)[i]
    assert frags[0][2] + frags[1][2] == big.tobytes()
    h, x, payload = parse_frame(got[2][1])
    assert (x, h["flags"], h["seq"], h["sample_type"], h["num_samples"], h["fs"], h["fc"]) == (
        None, 0, 1, 0x4943, 300, 8e3, -1.0)
    assert payload == small.tobytes() and h["timestamp_ns"] != 123456789
    h, x, payload = parse_frame(got[3][1])
    assert (len(got[3][1]), h["kind"], h["seq"], h["num_samples"], h["sample_type"]) == (64, 2, 2, 0, 0)


def test_kolvane_accepts_nats_py_frames(nats_server):
    name = "interop-b"
    sub = Ctx("sub", nats_server.endpoint(name))
    sub.timeout(5000)
    data = np.arange(2 * 50, dtype=np.float32).tobytes()
    other = np.arange(2 * 50, 0, -1, dtype=np.float32).tobytes()
    total, chunk = len(data), 128

    def frags(payload, ts):
        return [build_frame(payload=payload[o:o + chunk], seq=4, ts=ts, fs=1.0,
                            ext=(i, 4, total, o)) for i, o in enumerate(range(0, total, chunk))]

    mine, theirs = frags(data, 10), frags(other, 20)
    subj = f"iq.{name}.CF32"
    items = [(subj, mine[3]), (subj, theirs[0]), (subj, b"garbage"), (subj, mine[1]), (subj, mine[0]),
             (subj, build_frame(payload=data[:16], seq=9)), (subj, mine[2]), (subj, mine[2]),
             (subj, theirs[3]), (subj, theirs[2]), (subj, theirs[1]), (f"iq.{name}.EOS", build_frame(kind=2))]
    publish(nats_server.url, items)
    assert sub.recv()[0] == SX_ERR_INVALID
    rc, h, payload, *_ = sub.recv()  # the whole frame passes the one in progress
    assert (rc, h["seq"], payload) == (0, 9, data[:16])
    assert sc.pending_frames(sub.h) == 2
    rc, h, payload, kind, st, n = sub.recv()
    assert (rc, h["timestamp_ns"], payload, n) == (0, 10, data, 50)
    rc, h, payload, *_ = sub.recv()
    assert (rc, h["timestamp_ns"], payload) == (0, 20, other)
    assert sub.recv()[0] == SX_ERR_EOF
    sub.close()


@pytest.mark.parametrize("records", [1300, 0])
def test_telemetry_sink_frames(nats_server, records):
    ctx = sc.tlm_create(2048)
    assert sc.tlm_probe(ctx, b"agc.gain", 1) == 0
    for i in range(records):
        sc.tlm_set_now(ctx, i)
        assert sc.tlm_emit_checked(ctx, 0, i * 0.5) == 0
    sink = sc.tlm_sink_open(nats_server.endpoint("tlm").encode())
    frames = []

    def produce():
        frames.append(sc.tlm_sink_pump(sink, ctx))
        frames.append(sc.tlm_sink_pump(sink, ctx))

    sizes = [512, 512, 276] if records else []
    got = collect(nats_server.url, "iq.tlm.>", produce, len(sizes))
    assert frames == [records, 0] and sc.tlm_sink_sent(sink) == records
    rec = np.dtype({"names": ["n", "value", "probe", "flags"], "formats": ["<u8", "<f4", "<u2", "<u2"]})
    seen = []
    for (subject, d), size in zip(got, sizes):
        h, x, payload = parse_frame(d)
        assert (subject, h["kind"], h["sample_type"], h["num_samples"], x) == ("iq.tlm.TLM16", 1, 0, size, None)
        seen.append(np.frombuffer(payload, rec))
    if records:
        allrec = np.concatenate(seen)
        assert np.array_equal(allrec["n"], np.arange(records)) and np.array_equal(allrec["value"], np.arange(records) * 0.5)
    sc.tlm_sink_close(sink)
    sc.tlm_destroy(ctx)


def test_two_process_example(nats_server):
    import os
    import sys

    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
    import iqsink_two_process

    out = iqsink_two_process.main(nats_server.url, "example")
    assert "received 20 blocks, 1310720 samples, then end of stream" in out
    assert "power -6.02 dBFS" in out
