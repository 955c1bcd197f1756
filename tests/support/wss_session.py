"""A phone-like WebSocket session over TLS: trusts only the given authority,
waits for "hello", then checks a control ping and a protocol ping.

usage: wss_session.py URL CA_FILE
"""
import asyncio
import json
import ssl
import sys

import websockets


async def next_control(ws, kind):
    while True:
        message = await asyncio.wait_for(ws.recv(), 5)
        if isinstance(message, str):
            body = json.loads(message)
            if body.get("t") == kind:
                return body


async def main(url, ca_file):
    ctx = ssl.create_default_context(cafile=ca_file)
    async with websockets.connect(url, ssl=ctx, close_timeout=2, max_size=None) as ws:
        hello = await next_control(ws, "hello")
        print("hello", json.dumps(hello, sort_keys=True))
        await ws.send(json.dumps({"t": "ping", "c": 7}))
        pong = await next_control(ws, "pong")
        print("pong", pong["c"])
        waiter = await ws.ping(b"ab")
        await asyncio.wait_for(waiter, 5)
        print("wsping ok")


asyncio.run(main(sys.argv[1], sys.argv[2]))
