#!/usr/bin/python3
"""The whole host in test mode: its CPU use at 60 fps with one client, and
the input-to-frame delay (an "mv" with an id sent until the first video packet
that carries the id arrives), p50 and p95, on loopback.

Usage: host_latency_bench.py [HOST_BINARY] [INPUTS]"""
import asyncio
import os
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

import websockets

here = os.path.dirname(os.path.abspath(__file__))
binary = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "build", "tolvane-host")
inputs = int(sys.argv[2]) if len(sys.argv) > 2 else 400
extra = sys.argv[3:]


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks


async def run(port):
    url = f"ws://127.0.0.1:{port}/ws?t=bench"
    async with websockets.connect(url, max_size=8_000_000, close_timeout=0.5) as ws:
        sent = {}
        delays = []
        frames = 0
        # Warm up: let the encoder reach steady state.
        t_end = time.time() + 1.0
        while time.time() < t_end:
            await ws.recv()

        async def sender():
            for i in range(1, inputs + 1):
                sent[i] = time.time() * 1000
                await ws.send('{"t":"mv","x":%f,"y":0.5,"id":%d}' % ((i % 100) / 100, i))
                await asyncio.sleep(0.025)

        task = asyncio.create_task(sender())
        cpu0, t0 = cpu_seconds(proc.pid), time.time()
        while len(delays) < inputs and time.time() - t0 < inputs * 0.025 + 10:
            m = await asyncio.wait_for(ws.recv(), 5)
            if isinstance(m, str):
                continue
            frames += 1
            now = time.time() * 1000
            n = m[10]
            for (i,) in struct.iter_unpack(">I", m[11:11 + 4 * n]):
                if i in sent:
                    delays.append(now - sent.pop(i))
        cpu1, t1 = cpu_seconds(proc.pid), time.time()
        await task
        return delays, frames / (t1 - t0), (cpu1 - cpu0) / (t1 - t0)


port = free_port()
data = tempfile.mkdtemp()
proc = subprocess.Popen([binary, "--test-pattern", "--no-tls", "--no-signal", "--port", str(port),
                         "--token", "bench", "--data-dir", data] + extra,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    time.sleep(0.5)
    delays, fps, cpu = asyncio.run(run(port))
finally:
    proc.terminate()
    proc.wait()
delays.sort()
print(f"inputs answered: {len(delays)} of {inputs}; frames received {fps:.1f}/s")
print(f"host CPU: {cpu * 100:.0f}% of one core ({cpu / fps * 1000:.2f} ms CPU per frame)")
if delays:
    p50 = statistics.median(delays)
    p95 = delays[int(len(delays) * 0.95) - 1]
    print(f"input-to-frame delay: p50 {p50:.1f} ms, p95 {p95:.1f} ms, max {delays[-1]:.1f} ms")
