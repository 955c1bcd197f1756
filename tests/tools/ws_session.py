#!/usr/bin/python3
"""A real WebSocket client (Debian's python3-websockets) for tests.

Usage: ws_session.py URL ACTIONS_JSON [CAFILE]
ACTIONS_JSON is a list of steps: {"send": {...}} sends a message,
{"recv": n} prints the next n text messages, {"video": n} prints the
headers of the next n binary packets as JSON, {"sleep": s} waits.
Each printed line is one JSON object."""
import asyncio
import json
import ssl
import struct
import sys
import time

import websockets


def packet_header(data):
    kind, key = data[0], data[1]
    (cap,) = struct.unpack(">d", data[2:10])
    n = data[10]
    ids = list(struct.unpack(">%dI" % n, data[11:11 + 4 * n]))
    return {"kind": kind, "key": key, "cap": cap, "ids": ids, "size": len(data),
            "frame_len": len(data) - 11 - 4 * n, "recv_ms": time.time() * 1000}


async def main():
    url, actions = sys.argv[1], json.loads(sys.argv[2])
    ctx = None
    if url.startswith("wss:"):
        ctx = ssl.create_default_context(cafile=sys.argv[3])
    async with websockets.connect(url, ssl=ctx, max_size=8_000_000) as ws:
        for step in actions:
            if "send" in step:
                await ws.send(json.dumps(step["send"]))
            elif "recv" in step:
                for _ in range(step["recv"]):
                    while True:
                        m = await asyncio.wait_for(ws.recv(), 10)
                        if isinstance(m, str):
                            print(json.dumps({"text": m}), flush=True)
                            break
            elif "video" in step:
                got = 0
                while got < step["video"]:
                    m = await asyncio.wait_for(ws.recv(), 10)
                    if isinstance(m, bytes):
                        print(json.dumps({"video": packet_header(m)}), flush=True)
                        got += 1
                    else:
                        print(json.dumps({"text": m}), flush=True)
            elif "sleep" in step:
                await asyncio.sleep(step["sleep"])


try:
    asyncio.run(main())
except Exception as e:  # the test reads the reason from the output
    print(json.dumps({"error": repr(e)}), flush=True)
    sys.exit(1)
