"""Two processes over NATS: this one sends a tone as ci16 blocks with a
StreamSink, a receiver process (nats-py, no kolvane needed) reads the frames.

    nats-server -js &                       # or any reachable server
    python examples/iqsink_two_process.py [nats://127.0.0.1:4222]
"""

import asyncio
import struct
import subprocess
import sys

import numpy as np

HEADER = struct.Struct("<8s4sHHHHIQQddQ")  # the 64-byte frame header
EXT = struct.Struct("<IIQQ")  # fragment extension, when flags bit 0 is set


async def receive(url, stream):
    import nats

    nc = await nats.connect(url)
    sub = await nc.subscribe(f"iq.{stream}.>")
    await nc.flush()
    print("ready", flush=True)
    parts, blocks, samples = {}, 0, 0
    while True:
        msg = await sub.next_msg(timeout=30)
        (magic, order, stype, kind, version, flags, nbytes, seq, ts, fs, fc, n) = HEADER.unpack_from(msg.data)
        if kind == 2:  # end of stream
            break
        payload = msg.data[64:]
        if flags & 1:  # a fragment: collect by (seq, timestamp) until every byte is there
            index, count, total, offset = EXT.unpack_from(msg.data, 64)
            frame = parts.setdefault((seq, ts), [bytearray(total), 0])
            frame[0][offset:offset + nbytes] = msg.data[88:]
            frame[1] += nbytes
            if frame[1] < total:
                continue
            payload = bytes(parts.pop((seq, ts))[0])
        iq = np.frombuffer(payload, np.int16).astype(np.float32).view(np.complex64) / 32767
        blocks += 1
        samples += iq.size
        if blocks == 1:
            print(f"first block: seq {seq}, {iq.size} samples at {fs:g} S/s, fc {fc:g} Hz, "
                  f"power {10 * np.log10(np.mean(np.abs(iq) ** 2)):.2f} dBFS", flush=True)
    print(f"received {blocks} blocks, {samples} samples, then end of stream", flush=True)
    await nc.close()


def send(url, stream):
    from kolvane.iqsink import StreamSink

    fs, n = 1e6, 65536
    t = np.arange(n)
    with StreamSink(f"{url}/{stream}", "ci16") as sink:
        sink.track_clipping()
        for b in range(20):
            iq = (0.5 * np.exp(2j * np.pi * 0.01 * (t + b * n))).astype(np.complex64)
            rc = sink.send(iq, fs, 100e6)
            if rc != 0:
                raise OSError(f"send returned {rc}")
        sink.send_eos()
        sink.drain(5000)  # everything reached the server
        print(f"sent 20 blocks, peak {sink.peak_dbfs:.2f} dBFS, clipped {sink.clipped}")


def main(url="nats://127.0.0.1:4222", stream="demo"):
    receiver = subprocess.Popen([sys.executable, __file__, "--receive", url, stream], stdout=subprocess.PIPE, text=True)
    assert receiver.stdout.readline().strip() == "ready"
    send(url, stream)
    out = receiver.communicate(timeout=60)[0]
    print(out, end="")
    return out


if __name__ == "__main__":
    if sys.argv[1:2] == ["--receive"]:
        asyncio.run(receive(*sys.argv[2:4]))
    else:
        main(*sys.argv[1:2])
