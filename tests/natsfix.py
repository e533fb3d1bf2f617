"""A real nats-server with JetStream for the stream transport tests.

Each server listens on 127.0.0.1 at a free port with its own fresh store
directory, is waited for until its port accepts connections, and is stopped by
its own PID. `NatsServer.restart()` brings it back on the same port and store.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class NatsServer:
    def __init__(self, max_payload=None, extra=(), start=True, max_pending=None):
        self.dir = tempfile.mkdtemp(prefix="kolvane-nats-")
        self.port = free_port()
        self.args = ["nats-server", "-a", "127.0.0.1", "-p", str(self.port), "-js", "-sd",
                     os.path.join(self.dir, "store"), *extra]
        limits = {"max_payload": max_payload, "max_pending": max_pending}
        if any(v is not None for v in limits.values()):
            conf = os.path.join(self.dir, "server.conf")
            with open(conf, "w") as f:
                f.writelines(f"{k}: {v}\n" for k, v in limits.items() if v is not None)
            self.args += ["-c", conf]
        self.proc = None
        if start:
            self.start()

    @property
    def url(self):
        return f"nats://127.0.0.1:{self.port}"

    def endpoint(self, stream=None):
        return self.url + ("/" + stream if stream is not None else "")

    def start(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"nats-server exited with {self.proc.returncode}")
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    # JetStream answers shortly after the port opens.
                    time.sleep(0.2)
                    return
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise RuntimeError("nats-server did not open its port")

    def kill(self):
        """Ends the server at once, as a crash would (no shutdown handshake)."""
        if self.proc is not None and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        self.proc = None

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.proc = None

    def restart(self):
        self.stop()
        self.start()

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class NatsCluster:
    """Three JetStream servers on loopback joined by cluster routes, each with a
    fresh store of its own; ready once JetStream answers through every server."""

    def __init__(self, size=3):
        cports = [free_port() for _ in range(size)]
        routes = ",".join(f"nats://127.0.0.1:{p}" for p in cports)
        self.servers = []
        try:
            for i, cp in enumerate(cports):
                self.servers.append(NatsServer(extra=("-n", f"kv{i}", "--cluster_name", "kolvane",
                                                      "--cluster", f"nats://127.0.0.1:{cp}", "--routes", routes),
                                               start=False))
            for s in self.servers:
                s.start()
        except Exception:
            self.close()
            raise

    @property
    def urls(self):
        return [s.url for s in self.servers]

    def close(self):
        for s in self.servers:
            s.close()


@pytest.fixture(scope="session")
def nats_server():
    s = NatsServer()
    yield s
    s.close()


SMALL_MAX_PAYLOAD = 65536


@pytest.fixture(scope="session")
def nats_small():
    """A server whose max_payload makes large blocks travel as fragments."""
    s = NatsServer(max_payload=SMALL_MAX_PAYLOAD)
    yield s
    s.close()


@pytest.fixture
def nats_own():
    """A server of the test's own, free to stop and restart."""
    s = NatsServer()
    yield s
    s.close()
