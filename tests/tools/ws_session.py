#!/usr/bin/python3
"""A real WebSocket client (Debian's python3-websockets) for tests.

Usage: ws_session.py URL ACTIONS_JSON [CAFILE]
ACTIONS_JSON is a list of steps: {"send": {...}} sends a message,
{"recv": n} prints the next n text messages, {"video": n} prints the
headers of the next n binary packets as JSON, {"sleep": s} waits, {"h264": n, "path": P} writes the next n packets
(after the latest "config") to P as an Annex B stream for an independent
decoder and prints their headers. With "until_id": I, "video" and "h264"
instead end after the packet that carries input id I, taking at most n.
Each printed line is one JSON object."""
import asyncio
import base64
import json
import ssl
import struct
import sys
import time

import websockets

# How long one message may take to come: long enough for a sanitizer build of
# the host on a busy machine; a passing test never waits it out.
WAIT = 60


def packet_header(data):
    kind, key = data[0], data[1]
    (cap,) = struct.unpack(">d", data[2:10])
    n = data[10]
    ids = list(struct.unpack(">%dI" % n, data[11:11 + 4 * n]))
    return {"kind": kind, "key": key, "cap": cap, "ids": ids, "size": len(data),
            "frame_len": len(data) - 11 - 4 * n, "recv_ms": time.time() * 1000}


def annexb_from_config(desc):
    """SPS and PPS out of an AVC decoder configuration record, with start codes."""
    out, i = b"", 5
    nsps = desc[i] & 0x1F
    i += 1
    for _ in range(nsps):
        n = int.from_bytes(desc[i:i + 2], "big")
        out += b"\0\0\0\1" + desc[i + 2:i + 2 + n]
        i += 2 + n
    npps = desc[i]
    i += 1
    for _ in range(npps):
        n = int.from_bytes(desc[i:i + 2], "big")
        out += b"\0\0\0\1" + desc[i + 2:i + 2 + n]
        i += 2 + n
    return out


def annexb_from_frame(frame):
    out, i = b"", 0
    while i + 4 <= len(frame):
        n = int.from_bytes(frame[i:i + 4], "big")
        out += b"\0\0\0\1" + frame[i + 4:i + 4 + n]
        i += 4 + n
    return out


async def main():
    url, actions = sys.argv[1], json.loads(sys.argv[2])
    ctx = None
    if url.startswith("wss:"):
        ctx = ssl.create_default_context(cafile=sys.argv[3])
    # The Annex B stream grows across "h264" steps so that later files decode.
    stream, config = b"", None
    # The host closes without a close frame; do not wait long for one.
    async with websockets.connect(url, ssl=ctx, max_size=8_000_000, open_timeout=WAIT,
                                  close_timeout=0.5) as ws:
        for step in actions:
            if "send" in step:
                await ws.send(json.dumps(step["send"]))
            elif "recv" in step:
                for _ in range(step["recv"]):
                    while True:
                        m = await asyncio.wait_for(ws.recv(), WAIT)
                        if isinstance(m, str):
                            print(json.dumps({"text": m}), flush=True)
                            break
            elif "video" in step:
                got = 0
                while got < step["video"]:
                    m = await asyncio.wait_for(ws.recv(), WAIT)
                    if isinstance(m, bytes):
                        hdr = packet_header(m)
                        print(json.dumps({"video": hdr}), flush=True)
                        got += 1
                        if step.get("until_id") in hdr["ids"]:
                            break
                    else:
                        print(json.dumps({"text": m}), flush=True)
            elif "h264" in step:
                got = 0
                while got < step["h264"]:
                    m = await asyncio.wait_for(ws.recv(), WAIT)
                    if isinstance(m, str):
                        print(json.dumps({"text": m}), flush=True)
                        msg = json.loads(m)
                        if msg.get("t") == "config":
                            config = base64.b64decode(msg["desc"])
                            stream += annexb_from_config(config)
                        continue
                    if config is None:
                        continue
                    hdr = packet_header(m)
                    print(json.dumps({"video": hdr}), flush=True)
                    stream += annexb_from_frame(m[11 + 4 * len(hdr["ids"]):])
                    got += 1
                    if step.get("until_id") in hdr["ids"]:
                        break
                with open(step["path"], "wb") as f:
                    f.write(stream)
            elif "sleep" in step:
                await asyncio.sleep(step["sleep"])


try:
    asyncio.run(main())
except Exception as e:  # the test reads the reason from the output
    print(json.dumps({"error": repr(e)}), flush=True)
    sys.exit(1)
