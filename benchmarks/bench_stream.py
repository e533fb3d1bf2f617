"""Stream transport throughput over a local nats-server (loopback).

Pub/sub: 256 KiB sample payloads (cf32 and ci16) published by kolvane's
StreamSink, by nats-py (the same frame bytes, already built) and by a bare
nats.c publisher called through ctypes (the same bytes again); a kolvane
subscriber in another process receives every block. Printed: payload MB/s at the
publisher (send loop plus the final flush or drain) and end to end (until the
subscriber holds the last block), best of several runs, and the ratios.

Work queue: the same blocks pushed with JetStream acknowledgement by kolvane and
by nats-py, then pulled (one at a time, acknowledged) by each.
"""

import asyncio
import ctypes
import math
import os
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import nats  # noqa: E402

import stream_ctypes as sc  # noqa: E402
from kolvane.iqsink import StreamSink  # noqa: E402
from natsfix import NatsServer  # noqa: E402
from timing import record  # noqa: E402

BLOCK_BYTES = 256 * 1024
BLOCKS = 1000
WQ_BLOCKS = 200
RUNS = 4

SUBSCRIBER = r"""
import ctypes, sys, time, stream_ctypes as sc
c = sc.Ctx("sub", sys.argv[1]); c.timeout(20000)
print("ready", flush=True)
need, got, nbytes, last, m = int(sys.argv[2]), 0, 0, 0.0, sc.P()
recv = sc.recv["sub"]
while got < need:
    if recv(c.h, ctypes.byref(m), None) != 0:
        break
    got += 1; nbytes += sc.sx_msg_size(m.value); last = time.monotonic()
    sc.sx_msg_free(m.value)
print(got, nbytes, repr(last), flush=True)
c.close()
"""


def bare_nats():
    """natsConnection_Publish of ready-made bytes, through ctypes."""
    lib = ctypes.CDLL("libnats.so.3.4")
    P = ctypes.c_void_p
    lib.natsOptions_Create.argtypes = [ctypes.POINTER(P)]
    lib.natsOptions_SetURL.argtypes = [P, ctypes.c_char_p]
    lib.natsConnection_Connect.argtypes = [ctypes.POINTER(P), P]
    lib.natsConnection_Publish.argtypes = [P, ctypes.c_char_p, P, ctypes.c_int]
    lib.natsConnection_FlushTimeout.argtypes = [P, ctypes.c_int64]
    lib.natsConnection_Destroy.argtypes = [P]
    lib.natsOptions_Destroy.argtypes = [P]
    return lib


def frame_bytes(wire, payload, n):
    return sc.build_frame(sample_type=sc.TYPES[wire][0], payload=payload, num_samples=n)


def timed(endpoint, publish, nblocks, subscriber):
    """(publisher seconds, end-to-end seconds); end to end only with a kolvane subscriber process attached."""
    if not subscriber:
        t0 = time.monotonic()
        publish()
        return time.monotonic() - t0, math.nan
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(HERE, "..", "tests")] + sys.path))
    p = subprocess.Popen([sys.executable, "-c", SUBSCRIBER, endpoint, str(nblocks)], stdout=subprocess.PIPE,
                         text=True, env=env)
    assert p.stdout.readline().strip() == "ready"
    t0 = time.monotonic()
    publish()
    t1 = time.monotonic()
    got, nbytes, last = p.stdout.readline().split()
    p.wait()
    if int(got) != nblocks:
        raise RuntimeError(f"subscriber received {got} of {nblocks} blocks")
    return t1 - t0, float(last) - t0


def timeit(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def mbps(nbytes, seconds):
    return nbytes / seconds / 1e6


def pubsub(server, wire):
    rng = np.random.default_rng(0)
    if wire == "cf32":
        n = BLOCK_BYTES // 8
        iq = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64) * 0.1
        payload = iq.tobytes()
    else:
        n = BLOCK_BYTES // 4
        iq = ((rng.standard_normal(n) + 1j * rng.standard_normal(n)) * 0.1).astype(np.complex64)
        payload = np.trunc(np.clip(iq.view(np.float32), -1, 1) * np.float32(32767)).astype(np.int16).tobytes()
    frame = frame_bytes(wire, payload, n)
    total = BLOCKS * len(payload)
    stream = f"bench{wire}"
    ep = server.endpoint(stream)
    subject = f"iq.{stream}.{sc.TYPES[wire][2]}"

    def kolvane():
        with StreamSink(ep, wire) as s:
            for _ in range(BLOCKS):
                rc = s.send(iq, 1e6, 0.0)
                if rc != 0:
                    raise RuntimeError(f"send returned {rc}")
            s.drain(20000)

    full = np.float32(32767)

    def nats_py():
        # The same job from the same complex64 block: convert, build the frame, publish.
        async def run():
            nc = await nats.connect(server.url, pending_size=8 * 1024 * 1024)
            for seq in range(BLOCKS):
                if wire == "cf32":
                    body = iq.tobytes()
                else:
                    x = iq.view(np.float32)
                    body = np.trunc(np.clip(x, -1, 1) * full).astype(np.int16).tobytes()
                head = sc.HDR.pack(b"SXSTREAM", b"EEEI", sc.TYPES[wire][0], 0, 2, 0, len(body), seq,
                                   time.time_ns(), 1e6, 0.0, n)
                await nc.publish(subject, head + body)
            await nc.flush(timeout=20)
            await nc.close()

        asyncio.run(run())

    lib = bare_nats()
    buf = np.frombuffer(frame, np.uint8).copy()
    subj = subject.encode()

    def bare():
        P = ctypes.c_void_p
        opts, nc = P(), P()
        lib.natsOptions_Create(ctypes.byref(opts))
        lib.natsOptions_SetURL(opts, server.url.encode())
        assert lib.natsConnection_Connect(ctypes.byref(nc), opts) == 0
        lib.natsOptions_Destroy(opts)
        for _ in range(BLOCKS):
            lib.natsConnection_Publish(nc, subj, buf.ctypes.data, buf.size)
        assert lib.natsConnection_FlushTimeout(nc, 20000) == 0
        lib.natsConnection_Destroy(nc)

    # Runs interleaved, best of each: a busy spell of the machine hits every peer alike.
    peers = {"kolvane StreamSink": kolvane, "nats-py": nats_py, "bare nats.c": bare}
    pub = {name: math.inf for name in peers}
    e2e = dict(pub)
    for _ in range(RUNS):
        for name, fn in peers.items():
            pub[name] = min(pub[name], timed(ep, fn, BLOCKS, False)[0])
            e2e[name] = min(e2e[name], timed(ep, fn, BLOCKS, True)[1])
    rows = {name: (mbps(total, pub[name]), mbps(total, e2e[name])) for name in peers}
    k = rows["kolvane StreamSink"]
    print(f"\npub/sub {wire}, {BLOCKS} blocks of {len(payload) // 1024} KiB payload "
          "(MB/s: publisher alone / end to end to a kolvane subscriber process)")
    for name, (p, e) in rows.items():
        print(f"  {name:20s} {p:8.0f} / {e:8.0f}   kolvane ratio {k[0] / p:5.2f} / {k[1] / e:5.2f}")
        if name != "kolvane StreamSink":
            record("stream", f"StreamSink {wire}, publisher alone", k[0] * 1e6, name, p * 1e6, "payload B/s")
            record("stream", f"StreamSink {wire}, end to end", k[1] * 1e6, name, e * 1e6, "payload B/s")
    return rows


def work_queue(server, wire):
    n = BLOCK_BYTES // 8 if wire == "cf32" else BLOCK_BYTES // 4
    rng = np.random.default_rng(1)
    dtype = sc.TYPES[wire][1]
    samples = (rng.standard_normal(2 * n) * (0.1 if wire == "cf32" else 3000)).astype(dtype)
    frame = frame_bytes(wire, samples.tobytes(), n)
    total = WQ_BLOCKS * samples.nbytes
    rows = {}

    def kolvane(stream):
        ep = server.endpoint(stream)
        push = sc.Ctx("push", ep, wire)
        pull = sc.Ctx("pull", ep)
        pull.timeout(10000)
        send = sc.send[("push", wire)]
        t0 = time.monotonic()
        for _ in range(WQ_BLOCKS):
            assert send(push.h, samples.ctypes.data, n, 1e6, 0.0) == 0
        t1 = time.monotonic()
        m = sc.P()
        for _ in range(WQ_BLOCKS):
            assert sc.recv["pull"](pull.h, ctypes.byref(m), None) == 0
            assert sc.sx_msg_ack(m.value) == 0
            sc.sx_msg_free(m.value)
        t2 = time.monotonic()
        push.close()
        pull.close()
        return t1 - t0, t2 - t1

    def nats_py(stream):
        async def run():
            nc = await nats.connect(server.url)
            js = nc.jetstream()
            name = f"PY_{stream}"
            await js.add_stream(name=name, subjects=[f"pywork.{stream}.>"], retention="workqueue")
            psub = await js.pull_subscribe(f"pywork.{stream}.>", durable=f"PYPULL_{stream}", stream=name)
            subj = f"pywork.{stream}.{sc.TYPES[wire][2]}"
            t0 = time.monotonic()
            for _ in range(WQ_BLOCKS):
                await js.publish(subj, frame)
            t1 = time.monotonic()
            for _ in range(WQ_BLOCKS):
                (msg,) = await psub.fetch(1, timeout=10)
                await msg.ack()
            await nc.flush()
            t2 = time.monotonic()
            await nc.close()
            return t1 - t0, t2 - t1

        return asyncio.run(run())

    peers = {"kolvane push/pull": kolvane, "nats-py": nats_py}
    runs = {name: [] for name in peers}
    for i in range(RUNS):
        for name, fn in peers.items():
            runs[name].append(fn(f"wq{wire}{name[:3]}{i}"))
    for name, r in runs.items():
        rows[name] = (mbps(total, min(x[0] for x in r)), mbps(total, min(x[1] for x in r)))
    k = rows["kolvane push/pull"]
    print(f"\nwork queue {wire}, {WQ_BLOCKS} blocks of {samples.nbytes // 1024} KiB (MB/s: push with ack / pull with ack)")
    for name, (p, q) in rows.items():
        print(f"  {name:20s} {p:8.0f} / {q:8.0f}   kolvane ratio {k[0] / p:5.2f} / {k[1] / q:5.2f}")
        if name != "kolvane push/pull":
            record("stream", f"work queue {wire}, push with ack", k[0] * 1e6, name, p * 1e6, "payload B/s")
            record("stream", f"work queue {wire}, pull with ack", k[1] * 1e6, name, q * 1e6, "payload B/s")
    return rows


def main():
    big = np.ones(64 * 1024 * 1024 // 8, np.complex64)
    dst = np.empty_like(big)
    np.copyto(dst, big)
    t = min(timeit(lambda: np.copyto(dst, big)) for _ in range(5))
    print(f"memory bandwidth ceiling (NumPy copy of 64 MiB): {big.nbytes / t / 1e6:.0f} MB/s")
    server = NatsServer()
    try:
        for wire in ("cf32", "ci16"):
            pubsub(server, wire)
        for wire in ("cf32", "ci16"):
            work_queue(server, wire)
    finally:
        server.close()


if __name__ == "__main__":
    main()
