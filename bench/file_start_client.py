#!/usr/bin/env python3
"""Time from sending an RTSP PLAY to receiving the first RTP packet.

    file_start_client.py URL [--runs N] [--range npt=10-] [--timeout S]

Each run is one RTSP session on a fresh connection: DESCRIBE, SETUP of every
track over RTP/UDP, PLAY (the clock starts just before its bytes are sent),
then the first RTP packet on any track stops the clock; the first video
packet is noted too, and the time from DESCRIBE sent to the first packet
(the whole start a player sees).  TEARDOWN closes the session before the next run.  One
line per run on stderr, then one summary line on stdout:

    runs=10 first_median_ms=.. first_p90_ms=.. first_max_ms=.. video_median_ms=..
        session_median_ms=.. failed=0

Raw sockets, no decoding: the client adds only its own wake-up to the
figures, the same for every server.
"""
import argparse
import math
import re
import select
import socket
import statistics
import sys
import time
from urllib.parse import urlsplit


class RtspError(Exception):
    pass


class Rtsp:
    def __init__(self, url, timeout):
        parts = urlsplit(url)
        self.url = url
        self.cseq = 0
        self.session = None
        self.sock = socket.create_connection((parts.hostname, parts.port or 554), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""

    def close(self):
        self.sock.close()

    def request_bytes(self, method, url, headers=()):
        self.cseq += 1
        lines = [f"{method} {url} RTSP/1.0", f"CSeq: {self.cseq}", "User-Agent: file_start_client"]
        if self.session:
            lines.append(f"Session: {self.session}")
        lines.extend(headers)
        return ("\r\n".join(lines) + "\r\n\r\n").encode()

    def reply(self):
        while b"\r\n\r\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RtspError("connection closed")
            self.buffer += chunk
        head, self.buffer = self.buffer.split(b"\r\n\r\n", 1)
        text = head.decode("latin-1")
        status = text.split("\r\n", 1)[0]
        headers = {}
        for line in text.split("\r\n")[1:]:
            if ":" in line:
                key, value = line.split(":", 1)
                headers[key.strip().lower()] = value.strip()
        length = int(headers.get("content-length", "0"))
        while len(self.buffer) < length:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RtspError("connection closed")
            self.buffer += chunk
        body, self.buffer = self.buffer[:length], self.buffer[length:]
        if " 200 " not in status + " ":
            raise RtspError(status)
        return headers, body.decode("latin-1")

    def call(self, method, url, headers=()):
        self.sock.sendall(self.request_bytes(method, url, headers))
        return self.reply()


def tracks_of(sdp, base):
    """(control URL, is video) per media section."""
    out = []
    media = None
    for line in sdp.splitlines():
        if line.startswith("m="):
            media = line[2:].split()[0]
            out.append([None, media == "video"])
        elif line.startswith("a=control:") and out:
            control = line[len("a=control:"):].strip()
            if not re.match(r"^[a-z]+://", control):
                control = base.rstrip("/") + "/" + control
            out[-1][0] = control
    return [(c, v) for c, v in out if c]


def udp_pair():
    """Two UDP sockets on an even/odd port pair."""
    for _ in range(100):
        rtp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        rtp.bind(("127.0.0.1", 0))
        port = rtp.getsockname()[1]
        if port % 2:
            rtp.close()
            continue
        rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            rtcp.bind(("127.0.0.1", port + 1))
        except OSError:
            rtp.close()
            rtcp.close()
            continue
        rtp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        return rtp, rtcp
    raise RtspError("no UDP port pair")


def one_run(url, range_header, timeout):
    rtsp = Rtsp(url, timeout)
    sockets = []
    try:
        described = time.perf_counter()
        headers, sdp = rtsp.call("DESCRIBE", url, ["Accept: application/sdp"])
        base = headers.get("content-base", url)
        tracks = tracks_of(sdp, base)
        if not tracks:
            raise RtspError("no tracks in the SDP")
        video_sockets = set()
        for control, is_video in tracks:
            rtp, rtcp = udp_pair()
            sockets += [rtp, rtcp]
            if is_video:
                video_sockets.add(rtp)
            port = rtp.getsockname()[1]
            headers, _ = rtsp.call("SETUP", control, [f"Transport: RTP/AVP;unicast;client_port={port}-{port + 1}"])
            rtsp.session = headers.get("session", "").split(";")[0]
        play = rtsp.request_bytes("PLAY", base, [f"Range: {range_header}"])
        rtp_sockets = sockets[0::2]
        start = time.perf_counter()
        rtsp.sock.sendall(play)
        first = video = None
        deadline = start + timeout
        while video is None:
            left = deadline - time.perf_counter()
            if left <= 0:
                break
            ready, _, _ = select.select(rtp_sockets, [], [], left)
            now = time.perf_counter()
            for s in ready:
                s.recv(65536)
                if first is None:
                    first = now
                if s in video_sockets and video is None:
                    video = now
            if not video_sockets and first is not None:
                break
        rtsp.reply()  # the PLAY reply, read after the clock stopped
        try:
            rtsp.call("TEARDOWN", base)
        except (RtspError, OSError):
            pass
        if first is None:
            raise RtspError("no RTP packet within %.1f s" % timeout)
        return ((first - start) * 1000, (video - start) * 1000 if video is not None else None,
                (first - described) * 1000)
    finally:
        rtsp.close()
        for s in sockets:
            s.close()


def percentile(values, p):
    """Nearest rank: the 9th of 10 values for p90."""
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, math.ceil(p / 100 * len(ordered)) - 1))
    return ordered[index]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("url")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--range", default="npt=0.000-")
    parser.add_argument("--timeout", type=float, default=5.0)
    parser.add_argument("--pause", type=float, default=0.2, help="seconds between runs")
    args = parser.parse_args()
    firsts, videos, sessions, failed = [], [], [], 0
    for run in range(args.runs):
        try:
            first, video, session = one_run(args.url, args.range, args.timeout)
            firsts.append(first)
            sessions.append(session)
            if video is not None:
                videos.append(video)
            print(f"run {run + 1}: first packet {first:.3f} ms, first video packet "
                  f"{video if video is None else round(video, 3)} ms, from DESCRIBE {session:.3f} ms",
                  file=sys.stderr)
        except (RtspError, OSError) as error:
            failed += 1
            print(f"run {run + 1}: failed: {error}", file=sys.stderr)
        time.sleep(args.pause)
    if not firsts:
        print(f"runs={args.runs} failed={failed}")
        return 1
    print(f"runs={args.runs} first_median_ms={statistics.median(firsts):.3f} "
          f"first_p90_ms={percentile(firsts, 90):.3f} first_max_ms={max(firsts):.3f} "
          f"video_median_ms={(statistics.median(videos) if videos else float('nan')):.3f} "
          f"session_median_ms={statistics.median(sessions):.3f} failed={failed}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
