"""The stream transport against a real nats-server: every role, fragmentation,
the work queue shared by several worker processes, timeouts, interrupts,
drain, a server restart mid-stream."""

import asyncio
import json
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import stream_ctypes as sc
from kolvane import interrupt
from natsfix import SMALL_MAX_PAYLOAD, nats_own, nats_server, nats_small  # noqa: F401  (fixtures)
from stream_ctypes import (SX_ERR_CLOSED, SX_ERR_EOF, SX_ERR_INTERRUPTED, SX_ERR_INVALID, SX_ERR_RECV, SX_ERR_SEND,
                           SX_ERR_TIMEOUT, SX_ERR_TOO_BIG, Ctx)

_streams = iter(range(1 << 30))


def fresh(prefix="s"):
    """A stream name of its own for each test (the work queue persists on the server)."""
    return f"{prefix}{next(_streams)}x{os.getpid()}"


def block(wire, n, seed=0):
    """n samples of the wire type as the flat element array the typed send takes."""
    rng = np.random.default_rng(seed)
    dtype = sc.TYPES[wire][1]
    if np.issubdtype(dtype, np.integer):
        info = np.iinfo(dtype)
        return rng.integers(info.min, info.max, size=2 * n, endpoint=True, dtype=dtype)
    return rng.standard_normal(2 * n).astype(dtype)


@pytest.fixture
def ctxs():
    made = []

    def make(role, endpoint, sample_type="cf32"):
        c = Ctx(role, endpoint, sample_type)
        made.append(c)
        return c

    yield make
    for c in made:
        c.close()


BAD_ENDPOINTS = ["127.0.0.1:4222", "nats:/127.0.0.1", "nats://", "nats:///a", "nats://h/a b", "nats://h/a*",
                 "nats://h/a.>", "nats://h/.a", "nats://h/a.", "nats://h/a..b", "nats://h/a\tb",
                 "nats://" + "h" * 505 + ":4222/a"]


@pytest.mark.parametrize("endpoint", BAD_ENDPOINTS)
@pytest.mark.parametrize("role", ["pub", "sub", "push", "pull", "req", "rep"])
def test_refused_endpoints(role, endpoint):
    ep = endpoint.encode()
    h = sc.create[role](ep, 0x4643) if role in ("pub", "push") else sc.create[role](ep)
    assert not h


def test_refused_sample_type_and_missing_server():
    assert not sc.create["pub"](b"nats://127.0.0.1:1/a", 0x4643)
    assert not sc.create["pub"](b"nats://127.0.0.1:1/a", 0x1234)


def test_calls_outside_a_role_are_invalid(nats_server, ctxs):
    ep = nats_server.endpoint(fresh())
    pub, push, tlm = ctxs("pub", ep), ctxs("push", ep), ctxs("tlm", ep)
    m = sc.P()
    x = block("cf32", 4)
    assert sc.recv["sub"](pub.h, m, None) == SX_ERR_INVALID and not m.value
    assert sc.recv["pull"](push.h, m, None) == SX_ERR_INVALID
    assert sc.recv["sub"](None, m, None) == SX_ERR_INVALID
    assert sc.send[("push", "cf32")](pub.h, x.ctypes.data, 2, 0.0, 0.0) == SX_ERR_INVALID
    assert tlm.send(x) == SX_ERR_INVALID  # a telemetry context takes records, not samples
    assert sc.send_tlm16(tlm.h, x.ctypes.data, 0, 0.0, 0.0) == SX_ERR_INVALID
    assert pub.send(x[:0]) == SX_ERR_INVALID


@pytest.mark.parametrize("wire", list(sc.TYPES))
def test_pub_sub_round_trip_every_type(nats_server, ctxs, wire):
    ep = nats_server.endpoint(fresh("a.b"))
    sub = ctxs("sub", ep)
    sub.timeout(5000)
    pub = ctxs("pub", ep, wire)
    blocks = [block(wire, n, seed=n) for n in (1, 1000, 4097)]
    sc.set_timestamp(pub.h, 5)
    for i, b in enumerate(blocks):
        assert pub.send(b, wire, fs=1e6 + i, fc=-3.5) == 0
    assert sc.send_eos(pub.h) == 0
    for i, b in enumerate(blocks):
        rc, h, data, kind, st, n = sub.recv()
        assert (rc, kind, st, n, h["seq"], h["fs"], h["fc"]) == (0, 0, sc.TYPES[wire][0], b.size // 2, i, 1e6 + i, -3.5)
        assert data == b.tobytes()
        assert (h["timestamp_ns"] == 5) == (i == 0)
    rc, h, *_ = sub.recv()
    assert (rc, h["kind"], h["seq"], h["num_samples"]) == (SX_ERR_EOF, 2, 3, 0)


@pytest.mark.parametrize("n", [200000, 8184, 8185])
def test_fragmented_block_arrives_whole(nats_small, ctxs, n):
    ep = nats_small.endpoint(fresh())
    sub = ctxs("sub", ep)
    sub.timeout(5000)
    pub = ctxs("pub", ep)
    push = ctxs("push", ep)
    assert sc.max_payload(pub.h) == SMALL_MAX_PAYLOAD
    b = block("cf32", n)
    assert pub.send(b) == 0
    assert push.send(b, role="push") == (SX_ERR_TOO_BIG if 64 + 8 * n > SMALL_MAX_PAYLOAD else 0)
    rc, h, data, _, _, got = sub.recv()
    assert (rc, got, h["flags"], h["payload_bytes"], h["num_samples"]) == (0, n, 0, 8 * n, n)
    assert data == b.tobytes()


def start_workers(url, count):
    """Worker processes pulling from one work queue, each ready to fetch when this returns.
    Each takes a moment over every block, as real work would, so the queue is shared."""
    script = (
        "import json, sys, time, numpy as np, stream_ctypes as sc\n"
        "c = sc.Ctx('pull', sys.argv[1]); c.timeout(1500); got = []\n"
        "print('ready', flush=True)\n"
        "while True:\n"
        "    rc, h, data, *_ = c.recv()\n"
        "    if rc == sc.SX_ERR_EOF: continue\n"
        "    if rc != 0: break\n"
        "    assert np.frombuffer(data, np.int16)[0] == h['seq'] % 30000\n"
        "    got.append(h['seq']); time.sleep(0.005)\n"
        "c.close(); print(json.dumps(got))\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__)] + sys.path))
    procs = [subprocess.Popen([sys.executable, "-c", script, url], stdout=subprocess.PIPE, text=True, env=env)
             for _ in range(count)]
    for p in procs:
        assert p.stdout.readline().strip() == "ready"
    return procs


def finish_workers(procs):
    outs = [p.communicate(timeout=120)[0] for p in procs]
    assert all(p.returncode == 0 for p in procs)
    return [json.loads(o) for o in outs]


def test_work_queue_delivers_each_block_once_across_workers(nats_server, ctxs):
    ep = nats_server.endpoint(fresh("wq.x"))
    push = ctxs("push", ep, "ci16")
    workers = start_workers(ep, 3)
    n_blocks = 120
    for i in range(n_blocks):
        b = block("ci16", 256, seed=i)
        b[0] = i
        assert push.send(b, "ci16") == 0
    got = finish_workers(workers)
    every = sorted(s for g in got for s in g)
    assert every == list(range(n_blocks))
    assert sum(1 for g in got if g) >= 2  # the queue was really shared


def with_nats_py(url, fn):
    import nats

    async def run():
        nc = await nats.connect(url)
        try:
            return await fn(nc)
        finally:
            await nc.close()

    return asyncio.run(run())


def test_pull_takes_malformed_frames_off_the_queue(nats_server, ctxs):
    name = fresh("a.b")  # a dotted name: stream SX_WORK_a_b..., consumer SX_PULL_a_b...
    ep = nats_server.endpoint(name)
    push = ctxs("push", ep)
    pull = ctxs("pull", ep)
    pull.timeout(3000)
    stream, durable = "SX_WORK_" + name.replace(".", "_"), "SX_PULL_" + name.replace(".", "_")

    async def inject(nc):
        js = nc.jetstream()
        assert (await js.consumer_info(stream, durable)).config.filter_subject == f"work.{name}.>"
        await js.publish(f"work.{name}.CF32", b"not a frame")

    async def left(nc):  # acknowledgements travel asynchronously: give them a moment
        for _ in range(100):
            n = (await nc.jetstream().stream_info(stream)).state.messages
            if n == 0:
                break
            await asyncio.sleep(0.02)
        return n

    with_nats_py(nats_server.url, inject)
    assert push.send(block("cf32", 4), role="push") == 0
    assert pull.recv()[0] == SX_ERR_INVALID
    assert pull.recv()[0] == 0
    assert with_nats_py(nats_server.url, left) == 0  # nothing left to come back after the ack wait


def test_request_reply(nats_server, ctxs):
    ep = nats_server.endpoint(fresh("svc."))
    rep = ctxs("rep", ep)
    req = ctxs("req", ep)
    rep.timeout(5000)
    req.timeout(5000)
    assert rep.send(block("ci8", 3), "ci8") == SX_ERR_SEND  # nobody asked yet
    q = block("ci16", 500)
    assert req.send(q, "ci16", fs=8e3) == 0
    rc, h, data, _, st, n = rep.recv()
    assert (rc, st, n, h["fs"], data) == (0, 0x4943, 500, 8e3, q.tobytes())
    a = block("cf64", 7)
    assert rep.send(a, "cf64") == 0
    rc, h, data, *_ = req.recv()
    assert (rc, h["sample_type"], data) == (0, 0x4443, a.tobytes())
    big = block("cf32", 200000)
    assert req.send(big, "cf32") == SX_ERR_TOO_BIG
    # Raw bytes, no frame.
    assert sc.raw_send["req"](req.h, b"ping", 4) == 0
    m, ln = sc.P(), sc.SZ()
    assert sc.raw_recv["rep"](rep.h, m, ln) == 0
    assert (sc.msg_bytes(m.value), ln.value, sc.sx_msg_num_samples(m.value)) == (b"ping", 4, 0)
    sc.sx_msg_free(m.value)
    assert sc.raw_send["rep"](rep.h, b"pong", 4) == 0
    assert sc.raw_recv["req"](req.h, m, ln) == 0 and sc.msg_bytes(m.value) == b"pong"
    sc.sx_msg_free(m.value)


@pytest.mark.parametrize("role", ["sub", "pull", "req", "rep"])
def test_timeouts_and_interrupts(nats_server, ctxs, clean_interrupt, role):
    ep = nats_server.endpoint(fresh())
    if role == "pull":
        ctxs("push", ep)
    c = ctxs(role, ep)
    for ms in (0, 250):
        c.timeout(ms)
        assert c.recv()[0] == SX_ERR_TIMEOUT
    interrupt.request()  # the package's interrupt reaches the transport's waits
    assert c.recv()[0] == SX_ERR_INTERRUPTED
    sc.resume()
    c.timeout(-1)
    t = threading.Timer(0.3, sc.interrupt)
    t.start()
    assert c.recv()[0] == SX_ERR_INTERRUPTED
    t.join()


@pytest.mark.parametrize("role", ["pub", "sub", "push", "pull", "req", "rep"])
def test_drain_completes_for_every_role(nats_server, ctxs, role):
    ep = nats_server.endpoint(fresh())
    push = ctxs("push", ep)
    c = push if role == "push" else ctxs(role, ep)
    if role in ("sub", "pull"):  # a backlog the caller never read
        pub = ctxs("pub", ep)
        for _ in range(3):
            assert pub.send(block("cf32", 10)) == 0 and push.send(block("cf32", 10), role="push") == 0
        assert sc.flush(pub.h, 0) == 0
    assert sc.drain(c.h, 0) == 0
    if role in ("pub", "push"):
        assert c.send(block("cf32", 4), role=role) == SX_ERR_CLOSED


def test_drain_keeps_the_shared_consumer(nats_server, ctxs):
    ep = nats_server.endpoint(fresh())
    push = ctxs("push", ep)
    first = ctxs("pull", ep)
    other = ctxs("pull", ep)
    assert sc.drain(first.h, 0) == 0
    assert push.send(block("cf32", 4), role="push") == 0
    other.timeout(3000)
    assert other.recv()[0] == 0


def test_server_restart_loses_nothing_silently(nats_own, ctxs):
    ep = nats_own.endpoint(fresh())
    push = ctxs("push", ep, "ci16")
    pull = ctxs("pull", ep)
    status = {}
    for i in range(10):
        b = block("ci16", 64, seed=i)
        b[0] = i
        status[i] = push.send(b, "ci16")
        if i == 4:
            nats_own.stop()
            pull.timeout(300)
            assert pull.recv()[0] == SX_ERR_RECV  # the outage is reported to the receiver
        if i == 6:
            nats_own.start()
    assert all(status[i] == 0 for i in range(5))
    assert any(status[i] != 0 for i in (5, 6))  # sends during the outage report an error
    pull.timeout(3000)
    got = []
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        rc, h, data, *_ = pull.recv()
        if rc == SX_ERR_TIMEOUT:
            break
        if rc == 0:
            got.append(int(np.frombuffer(data, np.int16)[0]))
    ok = {i for i, s in status.items() if s == 0}
    assert ok <= set(got) <= set(status)
    assert len(got) == len(set(got))
