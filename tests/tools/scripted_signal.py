#!/usr/bin/python3
"""A scripted rendezvous server (Debian's python3-websockets) for the host's
signalling client tests.

Usage: scripted_signal.py MODE [CERT KEY]
Prints "PORT n" once listening on 127.0.0.1, then one line per event:
"CONN", "RECV <text>", "CLOSE <code>". MODE:
  ok        "ok" to every "host", "pong" to every "ping"
  reject    "reject" with a reason, then closes the socket
  replaced  "ok", then "replaced"
  silent    answers nothing (the client must give up by itself)
  drop      closes every socket right after its "host"
  binary    "ok", then a binary frame and an oversized text
With CERT and KEY it serves wss."""
import asyncio
import json
import ssl
import sys

import websockets

MODE = sys.argv[1]


def say(line):
    print(line, flush=True)


async def handler(ws, path=None):
    say("CONN")
    try:
        async for text in ws:
            say("RECV " + (text if isinstance(text, str) else "<binary>"))
            m = json.loads(text)
            t = m.get("t")
            if t == "ping" and MODE in ("ok", "replaced", "binary"):
                await ws.send('{"t":"pong"}')
            if t != "host":
                continue
            if MODE == "ok":
                await ws.send('{"t":"ok"}')
            elif MODE == "reject":
                await ws.send('{"reason":"bad rid","t":"reject"}')
                await ws.close()
            elif MODE == "replaced":
                await ws.send('{"t":"ok"}')
                await ws.send('{"t":"replaced"}')
            elif MODE == "drop":
                await ws.close()
            elif MODE == "binary":
                await ws.send('{"t":"ok"}')
                await ws.send(b"\x00\x01")
                await ws.send('{"t":"pong"}')
                await ws.send('{"t":"' + "x" * (1 << 20) + '"}')
    except websockets.ConnectionClosed:
        pass
    say("CLOSE %s" % ws.close_code)


async def main():
    ctx = None
    if len(sys.argv) > 3:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(sys.argv[2], sys.argv[3])
    async with websockets.serve(handler, "127.0.0.1", 0, ssl=ctx, max_size=None) as server:
        say("PORT %d" % server.sockets[0].getsockname()[1])
        await asyncio.Future()


asyncio.run(main())
