"""The stream transport under faults with real servers: a slow reader, a full
work queue, a publisher cut off from its server, and a three-server JetStream
cluster losing a server while producers and worker processes run. Whatever
cannot be delivered must show up as a status somewhere, never vanish."""

import asyncio
import ctypes
import json
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import stream_ctypes as sc
from natsfix import NatsCluster, NatsServer, nats_own, nats_server  # noqa: F401  (fixtures)
from stream_ctypes import SX_ERR_TIMEOUT, Ctx
from test_stream_transport import block, fresh, with_nats_py


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


def tagged(tag, i, n=64):
    """A ci16 block whose first two elements say who sent it and which it is."""
    b = block("ci16", n, seed=tag * 100000 + i)
    b[0], b[1] = tag, i
    return b


@pytest.fixture
def nats_tight():
    """A server that buffers at most 256 KiB for a client before it cuts the
    client off as a slow consumer."""
    s = NatsServer(max_payload=131072, max_pending=262144)
    yield s
    s.close()


def test_slow_reader_loses_nothing(nats_tight, ctxs):
    # The reader starts late and takes its time while 6.5 MiB go past a server
    # that holds 256 KiB per client: every frame still arrives, in order, with
    # no gap in the sequence.
    ep = nats_tight.endpoint(fresh())
    sub = ctxs("sub", ep)
    pub = ctxs("pub", ep, "ci16")
    n = 400
    for i in range(n):
        assert pub.send(tagged(1, i, 4096), "ci16") == 0
    assert sc.flush(pub.h, 10000) == 0
    time.sleep(0.5)
    sub.timeout(3000)
    seqs = []
    for _ in range(n):
        rc, h, data, *_ = sub.recv()
        assert rc == 0
        assert np.frombuffer(data, np.int16)[1] == h["seq"]
        seqs.append(h["seq"])
        if len(seqs) % 100 == 0:
            time.sleep(0.05)
    assert seqs == list(range(n))


def test_full_work_queue_refuses_with_a_status(nats_server, ctxs):
    # A work queue that holds at most `cap` blocks: the sends beyond it report
    # a failure, and exactly the accepted blocks reach the worker.
    name, cap = fresh("full"), 5

    async def make(nc):
        from nats.js.api import DiscardPolicy, RetentionPolicy, StorageType, StreamConfig

        await nc.jetstream().add_stream(StreamConfig(
            name="SX_WORK_" + name, subjects=[f"work.{name}.>"], retention=RetentionPolicy.WORK_QUEUE,
            storage=StorageType.FILE, max_msgs=cap, discard=DiscardPolicy.NEW))

    with_nats_py(nats_server.url, make)
    ep = nats_server.endpoint(name)
    push = ctxs("push", ep, "ci16")
    status = [push.send(tagged(2, i), "ci16") for i in range(cap + 3)]
    assert status[:cap] == [0] * cap
    assert all(s == sc.SX_ERR_SEND for s in status[cap:])
    pull = ctxs("pull", ep)
    pull.timeout(1000)
    got = []
    while True:
        rc, h, data, *_ = pull.recv()
        if rc == SX_ERR_TIMEOUT:
            break
        assert rc == 0
        got.append(int(np.frombuffer(data, np.int16)[1]))
    assert got == list(range(cap))
    # Once drained, the queue takes blocks again.
    assert push.send(tagged(2, 99), "ci16") == 0


def test_publisher_cut_off_reports_what_it_cannot_hold(nats_own, ctxs):
    # While the server is away the client holds sends in its reconnect buffer;
    # a send that no longer fits is refused with a status, not dropped.
    pub = ctxs("pub", nats_own.endpoint(fresh()), "ci16")
    nats_own.stop()
    big = tagged(3, 0, 1 << 18)  # 1 MiB of payload per frame
    status = []
    for _ in range(24):
        status.append(pub.send(big, "ci16"))
        if status[-1] != 0:
            break
    assert status[-1] == sc.SX_ERR_SEND
    assert 1 <= status.count(0) <= 8  # what the 8 MiB reconnect buffer holds
    nats_own.start()


def test_acknowledgement_the_server_never_saw_is_reported(nats_own, ctxs):
    # A worker whose server goes away between receiving a block and
    # acknowledging it is told so. Whether the block then comes back depends on
    # whether the acknowledgement, held by the client, reaches the server after
    # all; nothing else comes.
    ep = nats_own.endpoint(fresh())
    push = ctxs("push", ep, "ci16")
    pull = ctxs("pull", ep)
    assert push.send(tagged(4, 7), "ci16") == 0
    pull.timeout(3000)
    m, h = sc.P(), sc.FrameHeader()
    assert sc.recv["pull"](pull.h, ctypes.byref(m), ctypes.byref(h)) == 0
    nats_own.stop()
    try:
        assert sc.sx_msg_ack(m.value) == sc.SX_ERR_SEND
    finally:
        sc.sx_msg_free(m.value)
        nats_own.start()
    pull.timeout(6500)  # past the 5 s acknowledgement wait
    rc, h, data, *_ = pull.recv()
    assert rc == SX_ERR_TIMEOUT or (rc == 0 and list(np.frombuffer(data, np.int16)[:2]) == [4, 7])


WORKER = """
import json, sys, ctypes, numpy as np, stream_ctypes as sc
c = sc.Ctx('pull', sys.argv[1]); c.timeout(int(sys.argv[2]))
print('ready', flush=True)
acked, unacked = [], []
while True:
    m, h = sc.P(), sc.FrameHeader()
    rc = sc.recv['pull'](c.h, ctypes.byref(m), ctypes.byref(h))
    if rc == sc.SX_ERR_TIMEOUT:
        break
    if rc != 0:
        continue
    tag = [int(v) for v in np.frombuffer(sc.msg_bytes(m.value), np.int16)[:2]]
    (acked if sc.sx_msg_ack(m.value) == 0 else unacked).append(tag)
    sc.sx_msg_free(m.value)
c.close()
print(json.dumps({'acked': acked, 'unacked': unacked}))
"""


def start_pullers(endpoints, idle_ms):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__)] + sys.path))
    procs = [subprocess.Popen([sys.executable, "-c", WORKER, ep, str(idle_ms)], stdout=subprocess.PIPE, text=True,
                              env=env) for ep in endpoints]
    for p in procs:
        assert p.stdout.readline().strip() == "ready"
    return procs


def test_cluster_work_queue_survives_a_server_crash():
    cluster = NatsCluster(3)
    try:
        name = fresh("cl")
        stream = "SX_WORK_" + name

        async def make(nc):
            from nats.js.api import RetentionPolicy, StorageType, StreamConfig

            cfg = StreamConfig(name=stream, subjects=[f"work.{name}.>"], retention=RetentionPolicy.WORK_QUEUE,
                               storage=StorageType.FILE, num_replicas=3)
            for _ in range(150):  # until the cluster has elected its JetStream leader
                try:
                    await nc.jetstream().add_stream(cfg)
                    return (await nc.jetstream().stream_info(stream)).cluster.leader
                except Exception:
                    await asyncio.sleep(0.2)
            raise RuntimeError("the cluster never took the stream")

        # The server to lose is the stream's leader, with a producer and a
        # worker connected to it: the stream must fail over.
        victim = int(with_nats_py(cluster.urls[1], make)[2:])
        order = [victim] + [i for i in range(3) if i != victim]
        eps = [cluster.urls[i] + "/" + name for i in order]
        # A block in flight on the lost server comes back after the 5 s ack
        # wait, once the cluster has chosen new leaders for the stream and the
        # consumer: the workers stop only after 12 s without a block.
        workers = start_pullers([eps[0], eps[1], eps[2], eps[1]], 12000)
        status, killed = {}, threading.Event()

        def produce(tag, ep):
            # Until the stream takes blocks again after the loss (a run of 40
            # published in a row), at most 40 s.
            push = Ctx("push", ep, "ci16")
            try:
                i, run, start = 0, 0, time.monotonic()
                while time.monotonic() - start < 40 and not (killed.is_set() and run >= 40 and i >= 200):
                    status[(tag, i)] = push.send(tagged(tag, i), "ci16")
                    run = run + 1 if status[(tag, i)] == 0 else 0
                    i += 1
                    time.sleep(0.01)
            finally:
                push.close()

        threads = [threading.Thread(target=produce, args=(t, eps[t])) for t in (0, 1)]
        for t in threads:
            t.start()
        time.sleep(0.3)
        cluster.servers[victim].kill()
        killed.set()
        for t in threads:
            t.join(timeout=120)
        outs = [json.loads(p.communicate(timeout=120)[0]) for p in workers]
        assert all(p.returncode == 0 for p in workers)
    finally:
        cluster.close()

    acked = [tuple(t) for o in outs for t in o["acked"]]
    # A block whose acknowledgement was reported as failed was delivered all
    # the same; it comes again unless the acknowledgement reached the server.
    delivered = set(acked) | {tuple(t) for o in outs for t in o["unacked"]}
    sent_ok = {k for k, s in status.items() if s == 0}
    last = {tag: max(i for t, i in status if t == tag) for tag in (0, 1)}
    assert all(status[(tag, i)] == 0 for tag, i in last.items()), "the producers publish again after the loss"
    assert len(acked) == len(set(acked)), "a block was delivered again after its acknowledgement"
    assert sent_ok <= delivered, "a block the sink published was never delivered"
    assert delivered <= set(status)
    assert sum(1 for o in outs if o["acked"]) >= 2  # the queue was really shared
    print("cluster:", len(sent_ok), "published,", sum(s != 0 for s in status.values()), "refused,",
          sum(len(o["unacked"]) for o in outs), "acknowledgements failed")
