#!/usr/bin/python3
"""A scriptable phone for the host's internet transport: Debian's
python3-aiortc joins a room on our rendezvous server and answers the host's
offer. Run it inside the test's network namespace only.

Usage: aiortc_phone.py WS_URL KEY MODE [SECONDS]
When "joined" names relay servers ("turn"), the phone gathers through the
first usable one with the credentials that came with it, and reports the
candidate types of the pair its ICE agent chose ({"ev": "pair", ...}).
MODE:
  ok           answer, open the session, send a ping and a stats message, stay
               SECONDS (default 3), then close the peer connection
  badkey       answer signed with another key
  badsdp       a correctly signed answer that is not SDP
  fingerprint  a correctly signed answer with another DTLS fingerprint
  leave        join, then leave before answering
  silent       join and never answer
  twice        join, then join again on a second socket before answering
  closectl     as ok, but closes only the control channel after the ping
Prints one JSON object a line: {"ev": ...}."""
import asyncio
import hashlib
import hmac
import json
import re
import sys

import websockets
from aiortc import RTCConfiguration, RTCIceServer, RTCPeerConnection, RTCSessionDescription
from aiortc.sdp import candidate_from_sdp

URL, KEY, MODE = sys.argv[1], sys.argv[2], sys.argv[3]
STAY = float(sys.argv[4]) if len(sys.argv) > 4 else 3.0


def say(**kw):
    print(json.dumps(kw), flush=True)


def mac(key, text):
    return hmac.new(key.encode(), text.encode(), hashlib.sha256).hexdigest()


async def join(ws):
    rid = hashlib.sha256(("rid:" + KEY).encode()).hexdigest()
    await ws.send(json.dumps({"t": "join", "rid": rid}))


def ice_servers(joined):
    turn = joined.get("turn")
    if not isinstance(turn, dict):
        return None
    servers = [RTCIceServer(urls=u) for u in joined.get("ice", []) if isinstance(u, str)]
    servers.append(RTCIceServer(urls=turn["urls"], username=turn["username"], credential=turn["credential"]))
    return RTCConfiguration(iceServers=servers)


def chosen_pair(pc):
    # The ICE agent's nominated pair, read from aioice's own objects.
    try:
        conn = pc.sctp.transport.transport._connection
        pair = conn._nominated.get(1)
        return pair.local_candidate.type, pair.remote_candidate.type
    except AttributeError:
        return None


async def main():
    async with websockets.connect(URL) as ws:
        await join(ws)
        pc = None
        config = None
        channels = {}
        async for text in ws:
            m = json.loads(text)
            t = m.get("t")
            if t in ("joined", "nohost", "hostup", "hostgone", "gone", "error"):
                say(ev=t)
                if t == "joined":
                    config = ice_servers(m)
                if t == "hostup":
                    await join(ws)
                if t == "joined" and MODE == "leave":
                    await ws.send('{"t":"leave"}')
                    await asyncio.sleep(1)
                    return
                if t == "joined" and MODE == "twice":
                    async with websockets.connect(URL) as ws2:
                        await join(ws2)
                        await asyncio.wait_for(ws2.recv(), 10)
                        say(ev="second_joined")
                        await asyncio.sleep(STAY)
                    return
                continue
            if t != "sig":
                continue
            d = m.get("d", {})
            if d.get("kind") == "ice" and pc is not None:
                line = d["cand"]
                if line.startswith("candidate:"):
                    line = line[len("candidate:"):]
                if line:
                    c = candidate_from_sdp(line)
                    c.sdpMid = d.get("mid") or None
                    c.sdpMLineIndex = d.get("idx", 0)
                    await pc.addIceCandidate(c)
                continue
            if d.get("kind") != "offer":
                continue
            sid, sdp = d["sid"], d["sdp"]
            say(ev="offer", mac_ok=hmac.compare_digest(mac(KEY, "sdp|offer|" + sid + "|" + sdp), d["mac"]))
            if MODE == "silent":
                continue
            pc = RTCPeerConnection(config)

            @pc.on("datachannel")
            def on_dc(ch):
                channels[ch.label] = ch
                say(ev="channel", label=ch.label)

                @ch.on("message")
                def on_msg(msg):
                    if isinstance(msg, str):
                        say(ev="text", label=ch.label, text=msg)

            await pc.setRemoteDescription(RTCSessionDescription(sdp, "offer"))
            await pc.setLocalDescription(await pc.createAnswer())
            answer = pc.localDescription.sdp
            key = KEY
            if MODE == "badkey":
                key = "f" * 64
            if MODE == "badsdp":
                answer = "this is not sdp"
            if MODE == "fingerprint":
                answer = re.sub(r"a=fingerprint:sha-256 [0-9A-F:]+",
                                "a=fingerprint:sha-256 " + ":".join(["AB"] * 32), answer)
            await ws.send(json.dumps({"t": "sig", "d": {"kind": "answer", "sdp": answer, "sid": sid,
                                                        "mac": mac(key, "sdp|answer|" + sid + "|" + answer)}}))
            if MODE not in ("ok", "closectl"):
                continue
            for _ in range(600):
                if "ctl" in channels and channels["ctl"].readyState == "open":
                    break
                await asyncio.sleep(0.05)
            ctl = channels.get("ctl")
            if ctl is None:
                say(ev="no_ctl")
                return
            say(ev="ctl_open")
            pair = chosen_pair(pc)
            if pair:
                say(ev="pair", local=pair[0], remote=pair[1])
            ctl.send('{"t":"ping","c":7}')
            ctl.send('{"t":"stats","p50":1,"n":1}')
            if MODE == "closectl":
                await asyncio.sleep(0.5)
                ctl.close()
                say(ev="ctl_closed")
            await asyncio.sleep(STAY)
            await pc.close()
            say(ev="closed")
            await asyncio.sleep(1)
            return


try:
    asyncio.run(asyncio.wait_for(main(), 90))
except asyncio.TimeoutError:
    say(ev="timeout")
