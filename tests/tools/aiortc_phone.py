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
  video        as ok, but keeps the video for SECONDS: reassembles the chunks
               of the "video" channel, checks them, sends {"t":"rep"} each
               second as the page does, a ping and a pointer move each second,
               and writes what it kept as H.264 (Annex B) to $PHONE_H264 when
               set (ends early once the file $PHONE_STOP exists). Prints {"ev":"vstat",...} each second and
               {"ev":"video_summary",...} at the end. With PHONE_DIAG set,
               each second also {"ev":"sctp",...}: the SCTP association's
               cumulative TSN, window and each stream's expected sequence
               number and held chunks.
Prints one JSON object a line: {"ev": ...}."""
import asyncio
import hashlib
import hmac
import json
import base64
import re
import struct
import sys
import time

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

            keeper = VideoKeeper() if MODE == "video" else None
            if keeper:
                keeper.pc = pc

            @pc.on("datachannel")
            def on_dc(ch):
                channels[ch.label] = ch
                say(ev="channel", label=ch.label)

                @ch.on("message")
                def on_msg(msg):
                    if isinstance(msg, str):
                        say(ev="text", label=ch.label, text=msg)
                        if keeper:
                            keeper.text(msg)
                    elif keeper and ch.label == "video":
                        keeper.chunk(msg)

                @ch.on("close")
                def on_close():
                    say(ev="channel_closed", label=ch.label)

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
            if MODE not in ("ok", "closectl", "video"):
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
            if keeper:
                await keeper.run(ctl, STAY)
            else:
                # A phone that stays talks: the host ends a session silent for 8 s.
                left = STAY
                while left > 0:
                    await asyncio.sleep(min(2.0, left))
                    left -= 2.0
                    if MODE == "ok" and ctl.readyState == "open":
                        ctl.send('{"t":"ping","c":8}')
            await pc.close()
            say(ev="closed")
            await asyncio.sleep(1)
            return


class VideoKeeper:
    """The page's side of the video channel, with every check a test wants:
    one frame in assembly at a time, chunk sizes and indices checked, a frame
    lost or incomplete makes it wait for a key frame; what it keeps is a
    stream a decoder must take without complaint."""

    CHUNK = 15000

    def __init__(self):
        self.cur = None          # frame number in assembly
        self.parts = {}
        self.count = 0
        self.last = None         # last complete frame number
        self.wait_key = True
        self.stream = b""
        self.config = None
        self.frames = self.kept = self.keys = self.incomplete = self.gaps = 0
        self.bad = []
        self.first = None        # (frame number, key) of the first complete frame
        self.delays = []         # (arrival s, arrival - capture ms) of complete frames
        self.bytes_s = 0         # chunk bytes since the last report
        self.ids_back = set()
        self.key_before_config = 0
        self.texts = {}
        self.t0 = time.time()

    def text(self, msg):
        try:
            m = json.loads(msg)
        except ValueError:
            return
        t = m.get("t") if isinstance(m, dict) else None
        self.texts[t] = self.texts.get(t, 0) + 1
        if t == "hb":
            say(ev="hb", at=round(time.time() - self.t0, 3))
        if t == "config" and isinstance(m.get("desc"), str):
            self.config = base64.b64decode(m["desc"])

    def fail(self, why):
        if len(self.bad) < 20:
            self.bad.append(why)

    def chunk(self, b):
        self.bytes_s += len(b)
        if len(b) < 8:
            return self.fail("short chunk %d" % len(b))
        frame, idx, count = struct.unpack(">IHH", b[:8])
        payload = b[8:]
        if count == 0 or idx >= count or len(payload) > self.CHUNK:
            return self.fail("chunk header %d/%d/%d len %d" % (frame, idx, count, len(payload)))
        if idx + 1 < count and len(payload) != self.CHUNK:
            return self.fail("chunk %d of %d carries %d bytes" % (idx, count, len(payload)))
        if self.cur is not None and frame != self.cur:
            # A chunk of another frame: the one in assembly lost a chunk.
            self.incomplete += 1
            self.lost()
            self.cur = None
        if self.cur is None:
            self.cur, self.parts, self.count = frame, {}, count
        elif count != self.count:
            return self.fail("count changed within frame %d" % frame)
        if idx in self.parts:
            return self.fail("chunk %d of frame %d twice" % (idx, frame))
        self.parts[idx] = payload
        if len(self.parts) == count:
            data = b"".join(self.parts[i] for i in range(count))
            self.cur = None
            self.complete(frame, data)

    def lost(self):
        self.wait_key = True

    def complete(self, frame, data):
        self.frames += 1
        if self.last is not None and frame != (self.last + 1) % (1 << 32):
            self.gaps += 1
            self.lost()
        self.last = frame
        if len(data) < 11 or data[0] != 1 or data[1] not in (0, 1) or len(data) < 11 + 4 * data[10]:
            return self.fail("packet header of frame %d" % frame)
        key = data[1] == 1
        (cap,) = struct.unpack(">d", data[2:10])
        n = data[10]
        self.ids_back.update(struct.unpack(">%dI" % n, data[11:11 + 4 * n]))
        if self.first is None:
            self.first = (frame, key)
        now = time.time()
        self.delays.append((now, now * 1000 - cap))
        if key:
            self.keys += 1
            # Config travels on the control channel, the frame on its own:
            # a key frame that beats its config cannot be decoded yet.
            if self.config is None:
                self.key_before_config += 1
            else:
                self.wait_key = False
        if self.wait_key:
            return
        if key:
            self.stream += annexb_from_config(self.config)
        self.stream += annexb_from_frame(data[11 + 4 * n:])
        self.kept += 1

    def qd(self):
        # How much longer frames now take than the best of the last 30 s; the
        # clocks' offset cancels out.
        now = time.time()
        self.delays = [d for d in self.delays if now - d[0] <= 30]
        if not self.delays:
            return 0
        best = min(d for _, d in self.delays)
        recent = [d for t, d in self.delays if now - t <= 1] or [self.delays[-1][1]]
        return max(0, int(sum(recent) / len(recent) - best))

    async def run(self, ctl, seconds):
        end = time.time() + seconds
        n = 0
        stop = __import__("os").environ.get("PHONE_STOP")
        while time.time() < end and ctl.readyState == "open":
            if stop and __import__("os").path.exists(stop):
                break
            await asyncio.sleep(1)
            n += 1
            qd = self.qd()
            kbps = self.bytes_s * 8 // 1000
            self.bytes_s = 0
            if ctl.readyState != "open":
                break
            # Compact as the page writes it: the host spots reports by the
            # exact text "t":"rep".
            for m in ({"t": "rep", "qd": qd, "kbps": kbps, "inc": self.incomplete, "gaps": self.gaps},
                      {"t": "ping", "c": n}, {"t": "mv", "x": 0.25 + 0.01 * (n % 50), "y": 0.5, "id": 1000 + n}):
                ctl.send(json.dumps(m, separators=(",", ":")))
            say(ev="vstat", at=round(time.time() - self.t0, 3), frames=self.frames, kept=self.kept,
                kbps=kbps, qd=qd, inc=self.incomplete, gaps=self.gaps)
            if __import__("os").environ.get("PHONE_DIAG"):
                say(ev="sctp", **sctp_state(self.pc))
        path = __import__("os").environ.get("PHONE_H264")
        if path:
            with open(path, "wb") as f:
                f.write(self.stream)
        say(ev="video_summary", frames=self.frames, kept=self.kept, keys=self.keys, incomplete=self.incomplete,
            gaps=self.gaps, bad=self.bad, key_before_config=self.key_before_config, first_key=bool(self.first and self.first[1]),
            ids_back=sorted(i for i in self.ids_back if i >= 1000), texts=self.texts)


def sctp_state(pc):
    """The phone's SCTP association as aiortc holds it, for diagnosis."""
    try:
        s = pc.sctp
        streams = {}
        for sid, st in s._inbound_streams.items():
            head = st.reassembly[0] if st.reassembly else None
            streams[str(sid)] = {"seq": st.sequence_number, "held": len(st.reassembly),
                                 "head": [head.tsn, head.stream_seq, head.flags] if head else None}
        return {"cum": s._last_received_tsn, "rwnd": s._advertised_rwnd, "pr": s._remote_partial_reliability,
                "misordered": len(s._sack_misordered), "streams": streams}
    except AttributeError as e:
        return {"error": str(e)}


def mend_forward_tsn():
    """aiortc 1.4.0 mishandles FORWARD TSN on ordered streams (RFC 3758): it
    moves its cumulative TSN over the whole messages received after the
    abandoned one, then throws away everything up to that point, those
    messages included, while the stream still expects the first of them.
    Every later message on the stream then waits forever. Here only what
    the sender gave up on goes, and what is whole after it is delivered."""
    from aiortc import rtcsctptransport as m

    async def receive_forward_tsn(self, chunk):
        self._sack_needed = True
        if m.uint32_gte(self._last_received_tsn, chunk.cumulative_tsn):
            return  # a duplicate
        self._last_received_tsn = chunk.cumulative_tsn
        for tsn in sorted(t for t in self._sack_misordered if m.uint32_gt(t, self._last_received_tsn)):
            if tsn != m.tsn_plus_one(self._last_received_tsn):
                break
            self._last_received_tsn = tsn
        self._sack_duplicates = [t for t in self._sack_duplicates if m.uint32_gt(t, self._last_received_tsn)]
        self._sack_misordered = {t for t in self._sack_misordered if m.uint32_gt(t, self._last_received_tsn)}

        skipped = {}  # stream -> last stream sequence number given up on
        for stream_id, seq in chunk.streams:
            if stream_id not in skipped or m.uint16_gt(seq, skipped[stream_id]):
                skipped[stream_id] = seq

        def abandoned(stream_id, c):
            if m.uint32_gt(c.tsn, chunk.cumulative_tsn):
                return False
            if c.flags & m.SCTP_DATA_UNORDERED:
                return True
            return stream_id in skipped and not m.uint16_gt(c.stream_seq, skipped[stream_id])

        for stream_id, inbound in self._inbound_streams.items():
            kept = []
            for c in inbound.reassembly:
                if abandoned(stream_id, c):
                    self._advertised_rwnd += len(c.user_data)
                else:
                    kept.append(c)
            inbound.reassembly = kept
        for stream_id, seq in skipped.items():
            inbound = self._get_inbound_stream(stream_id)
            after = m.uint16_add(seq, 1)
            if m.uint16_gt(after, inbound.sequence_number):
                inbound.sequence_number = after
            for message in inbound.pop_messages():
                self._advertised_rwnd += len(message[2])
                await self._receive(*message)

    m.RTCSctpTransport._receive_forward_tsn_chunk = receive_forward_tsn


mend_forward_tsn()


def annexb_from_config(desc):
    """SPS and PPS of an AVC decoder configuration record, with start codes."""
    out, i = b"", 5
    for count_mask in (0x1F, 0xFF):
        count = desc[i] & count_mask
        i += 1
        for _ in range(count):
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


try:
    asyncio.run(asyncio.wait_for(main(), 90 + (STAY if MODE == "video" else 0)))
except asyncio.TimeoutError:
    say(ev="timeout")
