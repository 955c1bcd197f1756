#!/usr/bin/python3
"""The host's CPU while the zoom crop glides after the pointer and while it
rests: a host on its own Xvfb, one WebSocket client reading the video, a
390x844 phone at zoom 2. Rest: the pointer stays put. Glide: xdotool moves the
pointer between far corners every half second, so the crop is always on its
way. Figures: CPU in percent of one core and frames a second, per phase.

Usage: view_glide_bench.py [HOST_BINARY] [SECONDS_PER_PHASE]"""
import asyncio
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

import websockets

here = os.path.dirname(os.path.abspath(__file__))
binary = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "build", "tolvane-host")
span = float(sys.argv[2]) if len(sys.argv) > 2 else 6.0


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_xvfb():
    r, w = os.pipe()
    p = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", "1920x1080x24", "-noreset",
                          "+extension", "RANDR", "-nolisten", "tcp"], pass_fds=(w,),
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(r, 16)
        if not chunk:
            break
        number += chunk
    os.close(r)
    return p, ":" + number.decode().strip()


async def phase(ws, pid, seconds, mover=None):
    frames = 0
    c0, t0 = cpu_seconds(pid), time.time()
    task = asyncio.create_task(mover()) if mover else None
    end = t0 + seconds
    while time.time() < end:
        try:
            m = await asyncio.wait_for(ws.recv(), max(0.01, end - time.time()))
        except asyncio.TimeoutError:
            break
        if isinstance(m, bytes):
            frames += 1
    if task:
        task.cancel()
    dt = time.time() - t0
    return 100 * (cpu_seconds(pid) - c0) / dt, frames / dt


async def main():
    xvfb, display = start_xvfb()
    env = dict(os.environ, DISPLAY=display, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent", NO_AT_BRIDGE="1")
    data = tempfile.mkdtemp(prefix="tolvane-bench-")
    port = free_port()
    host = subprocess.Popen([binary, "--port", str(port), "--no-tls", "--no-signal", "--no-prompt", "--token", "bench",
                             "--data-dir", data], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(1.5)
        xdo = lambda *a: subprocess.run(["xdotool", *a], env=env, check=False)
        xdo("mousemove", "960", "540")
        async with websockets.connect(f"ws://127.0.0.1:{port}/ws?t=bench", max_size=8_000_000,
                                      open_timeout=60, close_timeout=0.5) as ws:
            await ws.send(json.dumps({"t": "view", "w": 390, "h": 844, "m": "zoom", "z": 2}))
            while True:
                m = await asyncio.wait_for(ws.recv(), 60)
                if isinstance(m, str) and json.loads(m).get("t") == "view":
                    break
            await phase(ws, host.pid, 1.0)  # settle

            async def glide():
                corners = [("10", "10"), ("1910", "1070"), ("1910", "10"), ("10", "1070")]
                i = 0
                while True:
                    await asyncio.to_thread(xdo, "mousemove", *corners[i % 4])
                    i += 1
                    await asyncio.sleep(0.5)

            rest = await phase(ws, host.pid, span)
            moving = await phase(ws, host.pid, span, glide)
        print(f"rest:  cpu {rest[0]:5.1f} % of a core, {rest[1]:5.1f} frames/s")
        print(f"glide: cpu {moving[0]:5.1f} % of a core, {moving[1]:5.1f} frames/s")
    finally:
        host.terminate()
        host.wait(10)
        xvfb.terminate()
        xvfb.wait(10)
        shutil.rmtree(data, ignore_errors=True)


asyncio.run(main())
