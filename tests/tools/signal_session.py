#!/usr/bin/python3
"""Several named WebSocket clients (Debian's python3-websockets) against the
rendezvous server, driven by a list of steps.

Usage: signal_session.py BASE_URL STEPS_JSON [CAFILE]
BASE_URL is ws://host:port or wss://host:port; clients open BASE_URL + "/ws".
Steps (each names its client under the step's kind):
  {"open": "h"}                       connect; {"open": "x", "may_fail": true} prints
                                      {"c": "x", "open_failed": "..."} instead of failing
  {"send": "h", "msg": {...}}         one text message, the JSON of msg
  {"send": "h", "raw": "..."}         one text message as given
  {"send": "h", "pad": N, "msg": {}}  msg with "pad" (in its "d" if it has one): a
                                      string making the text N bytes
  {"binary": "h", "n": 10}            one binary message of n bytes
  {"recv": "h", "n": 1}               prints the next n messages {"c": "h", "text": ...}
  {"until": "h", "t": "pong"}         prints messages up to the first of that kind
  {"closed": "h"}                     prints messages until the server closes, then
                                      {"c": "h", "closed": code}
  {"flood": "h", "n": 3000, "msg": {...}}  sends msg n times as fast as it can,
                                      stopping when the socket closes; prints
                                      {"c": "h", "flooded": sent}
  {"close": "h"}                      closes the client's socket
  {"sleep": seconds}
Every printed line is one JSON object; a failure prints {"error": ...} and exits 1."""
import asyncio
import json
import ssl
import sys

import websockets

WAIT = 15


def out(obj):
    print(json.dumps(obj), flush=True)


async def main():
    base, steps = sys.argv[1], json.loads(sys.argv[2])
    ctx = None
    if base.startswith("wss:"):
        ctx = ssl.create_default_context(cafile=sys.argv[3])
    clients = {}
    try:
        for step in steps:
            if "open" in step:
                name = step["open"]
                try:
                    clients[name] = await websockets.connect(
                        base + step.get("path", "/ws"), ssl=ctx, max_size=None, max_queue=None,
                        close_timeout=2, open_timeout=WAIT, ping_interval=None)
                except Exception as e:
                    if not step.get("may_fail"):
                        raise
                    out({"c": name, "open_failed": repr(e)})
            elif "send" in step:
                ws = clients[step["send"]]
                if "raw" in step:
                    text = step["raw"]
                else:
                    msg = json.loads(json.dumps(step["msg"]))
                    if "pad" in step:
                        # Inside "d" when there is one, so that it is relayed.
                        where = msg["d"] if isinstance(msg.get("d"), dict) else msg
                        where["pad"] = ""
                        short = len(json.dumps(msg, separators=(",", ":")).encode())
                        where["pad"] = "x" * (step["pad"] - short)
                    text = json.dumps(msg, separators=(",", ":"))
                await ws.send(text)
            elif "binary" in step:
                await clients[step["binary"]].send(bytes(step["n"]))
            elif "recv" in step:
                ws = clients[step["recv"]]
                for _ in range(step["n"]):
                    m = await asyncio.wait_for(ws.recv(), WAIT)
                    out({"c": step["recv"], "text": m})
            elif "until" in step:
                ws = clients[step["until"]]
                while True:
                    m = await asyncio.wait_for(ws.recv(), WAIT)
                    out({"c": step["until"], "text": m})
                    if isinstance(m, str) and json.loads(m).get("t") == step["t"]:
                        break
            elif "closed" in step:
                name, ws = step["closed"], clients[step["closed"]]
                try:
                    while True:
                        m = await asyncio.wait_for(ws.recv(), WAIT)
                        out({"c": name, "text": m})
                except websockets.ConnectionClosed as e:
                    out({"c": name, "closed": e.code})
            elif "flood" in step:
                name, ws = step["flood"], clients[step["flood"]]
                text, sent = json.dumps(step["msg"]), 0
                try:
                    for _ in range(step["n"]):
                        await ws.send(text)
                        sent += 1
                except websockets.ConnectionClosed:
                    pass
                out({"c": name, "flooded": sent})
            elif "close" in step:
                await clients.pop(step["close"]).close()
            elif "sleep" in step:
                await asyncio.sleep(step["sleep"])
    finally:
        for ws in clients.values():
            await ws.close()


try:
    asyncio.run(main())
except Exception as e:  # the test reads the reason from the output
    out({"error": repr(e)})
    sys.exit(1)
