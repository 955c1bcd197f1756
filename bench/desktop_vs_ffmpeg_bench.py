#!/usr/bin/python3
"""The host capturing a busy X screen, side by side with FFmpeg's own X11
grabber and libx264 at the same settings, on one private Xvfb 1920x1080 screen
kept changing by bench/x11_animator.c (compiled here with cc):

  host     the host with one WebSocket client receiving video: CPU seconds per
           delivered frame and frames per second;
  ffmpeg   ffmpeg -f x11grab ... -c:v libx264 -preset superfast -tune
           zerolatency -b:v 8M -maxrate 12M -bufsize 8M -g 120 -bf 0 -f null -:
           CPU seconds per encoded frame (frame counts from -progress);
  matched  the same with -sc_threshold 0 -maxrate 8M -bufsize 4M, which is what
           the host asks of x264 (no scene-cut detection, VBV draining at the
           rate with half a second of buffer);
  idle     the host with a client while the screen stands still (animator
           stopped with SIGSTOP): its CPU use, frames sent;
  pattern  for reference, the host's test pattern at 1920x1080 and 60 fps.

The host and ffmpeg never run at the same time; the animator runs during both.
CPU comes from utime+stime in /proc/PID/stat; the X server's, the animator's,
this script's (the client) and the rest of the machine's (from /proc/stat) are
printed beside it, because on 2 cores they all compete.

Usage: desktop_vs_ffmpeg_bench.py [HOST_BINARY] [--rounds N] [--seconds S]
                                  [--idle-seconds S] [--fps N] [--anim-fps N] [--no-pattern]"""
import argparse
import asyncio
import ctypes
import json
import os
import re
import select
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

import websockets

HERE = os.path.dirname(os.path.abspath(__file__))
TICK = os.sysconf("SC_CLK_TCK")
WIDTH, HEIGHT = 1920, 1080

ap = argparse.ArgumentParser()
ap.add_argument("host", nargs="?", default=os.path.join(HERE, "..", "build", "tolvane-host"))
ap.add_argument("--rounds", type=int, default=1, help="host, ffmpeg, ffmpeg matched; order alternating")
ap.add_argument("--seconds", type=float, default=15.0, help="measured time of each streaming phase")
ap.add_argument("--idle-seconds", type=float, default=10.0)
ap.add_argument("--warmup", type=float, default=2.0)
ap.add_argument("--fps", type=int, default=60, help="capture rate asked of the host and of ffmpeg")
ap.add_argument("--anim-fps", type=int, default=60, help="redraws a second of the animator")
ap.add_argument("--no-pattern", action="store_true", help="skip the test-pattern reference")
args = ap.parse_args()

children = []  # every process started here, ended in cleanup()
libc = ctypes.CDLL(None, use_errno=True)


def die_with_parent():
    """Runs in each child before exec: it gets SIGTERM if this script dies."""
    libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def cleanup():
    for p in reversed(children):
        if p.poll() is None:
            try:
                os.kill(p.pid, signal.SIGCONT)
                p.terminate()
                p.wait(3)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                p.kill()
                p.wait()


def on_alarm(*_):
    raise TimeoutError("benchmark overran its time limit")


def cpu_of(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except (FileNotFoundError, ProcessLookupError):
        return 0.0


def thread_cpu(pid):
    """CPU seconds by thread name; the main thread apart. The host names its
    queue threads ("capture", "enc", ...); x264's workers keep the process name."""
    out = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return out
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                text = f.read()
        except (FileNotFoundError, ProcessLookupError):
            continue
        name = "main" if int(tid) == pid else text[text.index("(") + 1:text.rindex(")")]
        fields = text.rsplit(")", 1)[1].split()
        out[name] = out.get(name, 0.0) + (int(fields[11]) + int(fields[12])) / TICK
    return out


def machine_busy():
    with open("/proc/stat") as f:
        v = [int(x) for x in f.readline().split()[1:]]
    # user nice system idle iowait irq softirq steal
    return (v[0] + v[1] + v[2] + v[5] + v[6] + v[7]) / TICK


def snapshot(subject, xvfb, anim, frames, extra=None):
    return {"t": time.monotonic(), "subject": cpu_of(subject), "xvfb": cpu_of(xvfb),
            "anim": cpu_of(anim) if anim else 0.0, "self": time.process_time(),
            "busy": machine_busy(), "frames": frames, "threads": thread_cpu(subject), **(extra or {})}


def diff(a, b):
    wall = b["t"] - a["t"]
    d = {k: b[k] - a[k] for k in ("subject", "xvfb", "anim", "self", "busy", "frames")}
    d["wall"] = wall
    d["fps"] = d["frames"] / wall
    d["cpu_pct"] = 100 * d["subject"] / wall
    d["ms_per_frame"] = 1000 * d["subject"] / d["frames"] if d["frames"] else float("nan")
    for k in ("xvfb", "anim", "self"):
        d[k + "_pct"] = 100 * d[k] / wall
    d["threads"] = {k: b["threads"][k] - a["threads"].get(k, 0.0) for k in b["threads"]}
    ours = d["subject"] + d["xvfb"] + d["anim"] + d["self"]
    d["others_pct"] = max(0.0, 100 * (d["busy"] - ours) / wall)
    return d


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_port(port, proc, limit=10.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if proc.poll() is not None:
            raise RuntimeError(f"host exited with {proc.returncode}")
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("host did not listen")


def start_xvfb():
    r, w = os.pipe()
    p = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", f"{WIDTH}x{HEIGHT}x24", "-noreset",
                          "+extension", "RANDR", "-nolisten", "tcp"],
                         pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         preexec_fn=die_with_parent)
    children.append(p)
    os.close(w)
    number = b""
    end = time.monotonic() + 15
    while b"\n" not in number and time.monotonic() < end:
        if select.select([r], [], [], 0.2)[0]:
            chunk = os.read(r, 32)
            if not chunk:
                break
            number += chunk
    os.close(r)
    if not number.strip():
        raise RuntimeError("Xvfb did not start")
    return p, ":" + number.decode().strip()


def percentile(values, q):
    if not values:
        return float("nan")
    v = sorted(values)
    return v[min(len(v) - 1, int(len(v) * q))]


# ---- the host -------------------------------------------------------------

async def host_client(port, host_pid, xvfb_pid, anim, seconds, warmup, idle=False):
    """Receives video; measures `seconds` after `warmup`. With idle, the animator
    is stopped after the warm-up and the measurement starts once frames stop."""
    url = f"ws://127.0.0.1:{port}/ws?t=bench"
    anim_pid = anim.pid if anim else 0
    info = {"config": None, "errors": []}
    async with websockets.connect(url, max_size=16_000_000, close_timeout=0.5) as ws:
        frames = 0
        arrivals, sizes, lat, keys = [], [], [], 0
        start = time.monotonic()
        s0 = None
        measuring_from = start + warmup
        stopped_anim = False
        while True:
            now = time.monotonic()
            if s0 is None and now >= measuring_from:
                if idle and not stopped_anim:
                    os.kill(anim.pid, signal.SIGSTOP)
                    stopped_anim = True
                    measuring_from = now + 1.5  # let the last changes drain
                    continue
                s0 = snapshot(host_pid, xvfb_pid, anim_pid, frames)
                arrivals, sizes, lat, keys = [], [], [], 0
            end = (s0["t"] + seconds) if s0 else measuring_from
            if s0 and now >= end:
                break
            try:
                m = await asyncio.wait_for(ws.recv(), max(0.01, end - now))
            except asyncio.TimeoutError:
                if s0 is None and not idle and frames == 0 and now > start + 10:
                    raise RuntimeError("no video from the host")
                continue
            if isinstance(m, str):
                msg = json.loads(m)
                if msg.get("t") == "config":
                    info["config"] = (msg.get("w"), msg.get("h"))
                elif msg.get("t") == "error":
                    info["errors"].append(msg)
                continue
            frames += 1
            t = time.monotonic()
            arrivals.append(t)
            sizes.append(len(m))
            keys += m[1]
            (cap,) = struct.unpack(">d", m[2:10])
            lat.append(time.time() * 1000 - cap)
        s1 = snapshot(host_pid, xvfb_pid, anim_pid, frames)
    if stopped_anim:
        os.kill(anim.pid, signal.SIGCONT)
    d = diff(s0, s1)
    gaps = [1000 * (b - a) for a, b in zip(arrivals, arrivals[1:])]
    d.update(info)
    d["keys"] = keys
    d["kbps"] = sum(sizes) * 8 / d["wall"] / 1000
    d["frame_kbit"] = sum(sizes) * 8 / len(sizes) / 1000 if sizes else float("nan")
    d["gap_p50"], d["gap_p95"] = percentile(gaps, 0.5), percentile(gaps, 0.95)
    d["gap_max"] = max(gaps) if gaps else float("nan")
    # A gap longer than 1.5 frame times means at least one tick delivered nothing.
    d["late_gaps"] = sum(1 for g in gaps if g > 1500 / args.fps)
    d["lat_p50"], d["lat_p95"] = percentile(lat, 0.5), percentile(lat, 0.95)
    return d


def run_host(env, xvfb, anim, seconds, extra=(), idle=False):
    port = free_port()
    data = tempfile.mkdtemp(prefix="tolvane-bench-")
    cmd = [args.host, "--no-tls", "--no-signal", "--port", str(port), "--token", "bench", "--data-dir", data,
           "--fps", str(args.fps), "--bitrate", "8000000", *extra]
    p = subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         preexec_fn=die_with_parent)
    children.append(p)
    try:
        wait_port(port, p)
        return asyncio.run(host_client(port, p.pid, xvfb.pid, anim, seconds, args.warmup, idle))
    finally:
        p.terminate()
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
        shutil.rmtree(data, ignore_errors=True)


# ---- ffmpeg ---------------------------------------------------------------

FFMPEG_ARGS = ["-f", "x11grab", "-framerate", "{fps}", "-video_size", f"{WIDTH}x{HEIGHT}", "-i", "{display}",
               "-c:v", "libx264", "-preset", "superfast", "-tune", "zerolatency", "-b:v", "8M", "-maxrate", "12M",
               "-bufsize", "8M", "-g", "{keyint}", "-bf", "0", "-f", "null", "-"]


# What still differs from the host's x264 set-up: ffmpeg leaves scene-cut
# detection on (scenecut=40; the host sets 0) and its VBV is 12 Mbit/s with an
# 8 Mbit buffer (the host's drains at the rate with half a second of buffer).
# The "matched" run closes both gaps (ffmpeg takes the last of a repeated
# option), so that what remains is the capture and colour-conversion path.
FFMPEG_MATCHED = ["-sc_threshold", "0", "-maxrate", "8M", "-bufsize", "4M"]


def ffmpeg_command(display, matched=False):
    # A key frame every 2 s of frames, as the host does (120 at 60 fps).
    out = [a.format(fps=args.fps, display=display, keyint=2 * args.fps) for a in FFMPEG_ARGS]
    if matched:
        out[-3:-3] = FFMPEG_MATCHED
    return (["ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "info", "-nostats", "-progress", "pipe:1",
             "-stats_period", "0.25"] + out)


def run_ffmpeg(env, xvfb, anim, display, seconds, matched=False):
    p = subprocess.Popen(ffmpeg_command(display, matched), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True, preexec_fn=die_with_parent)
    children.append(p)
    snaps, errlines, cur = [], [], {}
    lock = threading.Lock()

    def read_progress():
        for line in p.stdout:
            k, _, v = line.strip().partition("=")
            cur[k] = v
            if k == "progress":
                # Sampled the moment the counts are reported, so both agree.
                s = snapshot(p.pid, xvfb.pid, anim.pid, int(cur.get("frame", 0)),
                             {"drop": int(cur.get("drop_frames", 0)), "dup": int(cur.get("dup_frames", 0))})
                with lock:
                    snaps.append(s)

    def read_log():
        for line in p.stderr:
            errlines.append(line.rstrip())

    threads = [threading.Thread(target=read_progress, daemon=True), threading.Thread(target=read_log, daemon=True)]
    for t in threads:
        t.start()
    start = time.monotonic()
    s0 = s1 = None
    try:
        while s1 is None:
            if p.poll() is not None:
                raise RuntimeError("ffmpeg exited: " + " | ".join(errlines[-5:]))
            if time.monotonic() > start + args.warmup + seconds + 15:
                raise RuntimeError("ffmpeg reported no progress")
            time.sleep(0.05)
            with lock:
                if s0 is None:
                    s0 = next((s for s in snaps if s["t"] >= start + args.warmup and s["frames"] > 0), None)
                if s0 is not None:
                    s1 = next((s for s in snaps if s["t"] >= s0["t"] + seconds), None)
    finally:
        p.send_signal(signal.SIGINT)  # lets x264 print its summary
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
        for t in threads:
            t.join(2)
    d = diff(s0, s1)
    d["drop"], d["dup"] = s1["drop"] - s0["drop"], s1["dup"] - s0["dup"]
    # x264's summary at exit: "frame P:1234  Avg QP:27.01  size: 17000" (whole run)
    count = total = 0
    for ln in errlines:
        m = re.search(r"frame [IPB]:(\d+)\s+Avg QP:\s*[\d.]+\s+size:\s*(\d+)", ln)
        if m:
            count += int(m.group(1))
            total += int(m.group(1)) * int(m.group(2))
    d["frame_kbit"] = total * 8 / count / 1000 if count else float("nan")
    d["kbps"] = d["frame_kbit"] * d["fps"]
    return d


# ---- the run --------------------------------------------------------------

def threads_text(d):
    n = max(d["frames"], 1)
    parts = sorted(d["threads"].items(), key=lambda kv: -kv[1])
    return ", ".join(f"{k} {1000 * v / n:.2f}" for k, v in parts if v > 0)


def line(name, d):
    return (f"| {name:<18} | {d['fps']:6.1f} | {d['ms_per_frame']:7.2f} | {d['cpu_pct']:6.0f} | "
            f"{d['xvfb_pct']:5.0f} | {d['anim_pct']:5.0f} | {d['self_pct']:6.0f} | {d['others_pct']:6.0f} |")


def main():
    signal.signal(signal.SIGALRM, on_alarm)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))  # runs cleanup()
    budget = args.rounds * 3 * (args.seconds + args.warmup + 20) + args.idle_seconds + args.seconds + 120
    signal.alarm(int(budget))
    for tool in ("Xvfb", "ffmpeg", "cc"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is missing (scripts/install-deps.sh installs it)")
    if not os.access(args.host, os.X_OK):
        sys.exit(f"no host binary at {args.host}; build first")
    work = tempfile.mkdtemp(prefix="tolvane-desk-bench-")
    anim_bin = os.path.join(work, "x11_animator")
    subprocess.run(["cc", "-O2", "-o", anim_bin, os.path.join(HERE, "x11_animator.c"), "-lX11", "-lm"], check=True)

    load_before = loadavg()
    xvfb, display = start_xvfb()
    env = dict(os.environ, DISPLAY=display, DBUS_SESSION_BUS_ADDRESS="unix:path=/nonexistent", NO_AT_BRIDGE="1")
    anim = subprocess.Popen([anim_bin, str(args.anim_fps)], env=env, preexec_fn=die_with_parent)
    children.append(anim)
    time.sleep(1.5)
    if anim.poll() is not None:
        raise RuntimeError("animator failed")

    results = []
    for r in range(args.rounds):
        order = ["host", "ffmpeg", "matched"] if r % 2 == 0 else ["matched", "ffmpeg", "host"]
        pair = {}
        for what in order:
            if what == "host":
                pair[what] = run_host(env, xvfb, anim, args.seconds)
            else:
                pair[what] = run_ffmpeg(env, xvfb, anim, display, args.seconds, matched=what == "matched")
            time.sleep(0.5)
        results.append(pair)
    idle = run_host(env, xvfb, anim, args.idle_seconds, idle=True)
    anim.terminate()
    anim.wait(5)
    pattern = None
    if not args.no_pattern:
        time.sleep(0.5)
        pattern = run_host(env, xvfb, None, args.seconds, extra=("--test-pattern", "--test-size", f"{WIDTH}x{HEIGHT}"))
    load_after = loadavg()
    shutil.rmtree(work, ignore_errors=True)

    print(f"screen {WIDTH}x{HEIGHT} redrawn {args.anim_fps} times a second, captured at {args.fps} fps, "
          f"{args.seconds:.0f} s measured after {args.warmup:.0f} s "
          f"warm-up; {os.cpu_count()} cores; load average before {load_before}, after {load_after}")
    print("CPU is % of one core; ms/frame is the subject's CPU ms per delivered (host) or encoded (ffmpeg) frame;")
    print("client = this script (receives the host's video; idle during ffmpeg); others = the rest of the machine")
    print()
    print("| run                |  fps   | ms/frm  |  CPU%  | Xvfb% | anim% | client% | others% |")
    print("|--------------------|--------|---------|--------|-------|-------|---------|---------|")
    ratios = []
    for i, pair in enumerate(results, 1):
        h, f = pair["host"], pair["ffmpeg"]
        print(line(f"host #{i}", h))
        print(line(f"ffmpeg #{i}", f))
        print(line(f"ffmpeg matched #{i}", pair["matched"]))
        ratios.append(h["ms_per_frame"] / f["ms_per_frame"])
    print(line("host idle", idle))
    if pattern:
        print(line("host test pattern", pattern))
    print()
    for i, pair in enumerate(results, 1):
        h, f = pair["host"], pair["ffmpeg"]
        with_x = ((h["subject"] + h["xvfb"]) / h["frames"]) / ((f["subject"] + f["xvfb"]) / f["frames"])
        mt = pair["matched"]
        print(f"round {i}: host/ffmpeg CPU per frame {ratios[i - 1]:.2f} (with the X server's share {with_x:.2f}; "
              f"against the matched run {h['ms_per_frame'] / mt['ms_per_frame']:.2f}); "
              f"fps host {h['fps']:.1f} vs ffmpeg {f['fps']:.1f} (matched {mt['fps']:.1f})")
        print(f"  host: {h['frame_kbit']:.0f} kbit a frame, {h['kbps']:.0f} kb/s received, {h['keys']} key frames, "
              f"size {h['config']}" + (f", errors {h['errors']}" if h["errors"] else ""))
        print(f"        frame gaps p50 {h['gap_p50']:.1f} p95 {h['gap_p95']:.1f} max {h['gap_max']:.1f} ms, "
              f"{h['late_gaps']} of {h['frames']} longer than 1.5 frame times; "
              f"capture-to-client p50 {h['lat_p50']:.1f} p95 {h['lat_p95']:.1f} ms")
        print(f"  ffmpeg: {f['frame_kbit']:.0f} kbit a frame (x264's summary of its run), about {f['kbps']:.0f} kb/s, "
              f"dropped {f['drop']}, duplicated {f['dup']}")
        print(f"  CPU ms per frame by thread: host: {threads_text(h)}")
        print(f"                              ffmpeg: {threads_text(f)}; matched: {threads_text(mt)}")
    if len(ratios) > 1:
        print(f"host/ffmpeg CPU per frame: median {statistics.median(ratios):.2f} of {len(ratios)} rounds")
    print(f"idle: host {idle['cpu_pct']:.2f}% of a core over {idle['wall']:.1f} s, {idle['frames']} frames sent, "
          f"X server {idle['xvfb_pct']:.2f}%")
    busy = sorted(((k, v) for k, v in idle["threads"].items() if v > 0), key=lambda kv: -kv[1])
    print("  by thread, CPU ms per second: " + (", ".join(f"{k} {1000 * v / idle['wall']:.2f}" for k, v in busy)
                                                or "none measurable"))
    if pattern:
        print(f"test pattern {pattern['config']}: {pattern['fps']:.1f} fps, {pattern['ms_per_frame']:.2f} ms CPU "
              f"per frame, {pattern['frame_kbit']:.0f} kbit a frame; by thread: {threads_text(pattern)}")
    print("ffmpeg: " + " ".join(ffmpeg_command(display)))
    print("matched adds: " + " ".join(FFMPEG_MATCHED))


if __name__ == "__main__":
    try:
        main()
    finally:
        cleanup()
