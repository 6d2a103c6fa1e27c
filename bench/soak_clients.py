#!/usr/bin/env python3
"""The clients of bench/soak.sh, each a loop that runs until SIGTERM or its
time is up and then prints one JSON line of what it saw.

  soak_clients.py rtsp-churn URL SECONDS [--serial] [--log FILE] [--pause-file FILE]
      A new openRTSP client every second that plays 2 s and tears down;
      odd clients take RTP over TCP, even ones UDP; every fifth is killed
      after 2.5 s without a TEARDOWN.  --serial starts the next client only
      when the previous one is gone (a served file has one stream), and a
      refusal with 503 counts as "busy", not as a failure.  While the pause
      file exists no client starts (the running ones end as planned).
  soak_clients.py hls-player BASE_URL NAME SECONDS
      Follows NAME.m3u8 every second (every tenth time NAME.mpd) and fetches
      each new segment once over one keep-alive connection, as a player.
  soak_clients.py stalled-reader BASE_URL NAME SECONDS [--stall S]
      Asks for the newest segment with a tiny receive buffer, takes its first
      4 kB, stops reading for S seconds (default 30), then takes the rest and
      checks its length; again and again.
"""
import argparse
import glob
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

TS_PACKET = 188
CLIENT_TIMEOUT = 15  # seconds an openRTSP client may take in all
VANISH_AFTER = 2.5   # seconds before a vanishing client is killed

stopping = False


def on_term(_signum, _frame):
    global stopping
    stopping = True


def running(deadline):
    return not stopping and time.monotonic() < deadline


def nap(seconds, deadline):
    """Sleeps up to `seconds`, waking early at the deadline or on SIGTERM."""
    end = min(time.monotonic() + seconds, deadline)
    while not stopping and time.monotonic() < end:
        time.sleep(min(0.1, max(0.0, end - time.monotonic())))


def report(kind, counts):
    print(json.dumps({"client": kind, **counts}), flush=True)


# ---- RTSP churn -------------------------------------------------------------

class RtspClient:
    """One openRTSP run in a folder of its own."""

    def __init__(self, url, index):
        self.tcp = index % 2 == 1
        self.vanishes = index % 5 == 4
        self.folder = tempfile.mkdtemp(prefix="rtsp-")
        args = ["openRTSP", "-d", "30" if self.vanishes else "2"]
        if self.tcp:
            args.append("-t")
        args.append(url)
        self.started = time.monotonic()
        self.err = open(os.path.join(self.folder, "err"), "wb")
        self.proc = subprocess.Popen(args, cwd=self.folder, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self.err)

    def due(self):
        """Kills the client when its time is up; True once it has ended."""
        age = time.monotonic() - self.started
        limit = VANISH_AFTER if self.vanishes else CLIENT_TIMEOUT
        if self.proc.poll() is None and age >= limit:
            self.proc.kill()
        return self.proc.poll() is not None

    def media_files(self):
        """{file name: bytes} of what openRTSP wrote (video-*, audio-*)."""
        return {os.path.basename(f): os.path.getsize(f)
                for f in glob.glob(os.path.join(self.folder, "video-*")) + glob.glob(os.path.join(self.folder, "audio-*"))}

    def no_video_reason(self, err, files):
        """What a client without video saw: how long it ran, its exit status,
        the files it wrote, its last request and response status, and the
        last lines it printed that are not headers."""
        lines = [line.strip() for line in err.splitlines()]
        requests = [line.split()[2] for line in lines if line.startswith("Sending request:") and len(line.split()) > 2]
        statuses = [line for line in lines if line.startswith("RTSP/1.0")]
        tail = [line for line in lines if line and not line.startswith(("Date:", "CSeq:", "Session:", "Content-", "Server:",
                                                                       "Transport:", "Range:", "RTP-Info:", "Public:"))]
        return "no video received after %.1f s, exit status %s, files %s, last request %s, last status %s: %s" % (
            time.monotonic() - self.started, self.proc.returncode,
            ", ".join("%s %d B" % kv for kv in sorted(files.items())) or "none",
            requests[-1] if requests else "none", statuses[-1] if statuses else "none",
            " | ".join(tail[-3:]) if tail else "no output")

    def outcome(self):
        """"ok", "busy" or a failure reason; removes the client's folder."""
        self.proc.wait()
        self.err.close()
        with open(os.path.join(self.folder, "err"), "rb") as f:
            err = f.read().decode("utf-8", "replace")
        files = self.media_files()
        shutil.rmtree(self.folder, ignore_errors=True)
        if "503 Service Unavailable" in err:
            return "busy"
        if sum(size for name, size in files.items() if name.startswith("video-")) == 0:
            return self.no_video_reason(err, files)
        if not self.vanishes and self.proc.returncode != 0:
            return "exit status %d" % self.proc.returncode
        return "ok"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()


def rtsp_churn(args):
    deadline = time.monotonic() + args.seconds
    counts = {"url": args.url, "started": 0, "ok": 0, "vanished": 0, "busy": 0, "failed": 0,
              "udp": 0, "tcp": 0}
    log = open(args.log, "a") if args.log else None
    active = []
    next_start = time.monotonic()

    def settle(client):
        result = client.outcome()
        if result == "busy":
            counts["busy"] += 1
        elif result != "ok":
            counts["failed"] += 1
            if log:
                log.write("client %s%s: %s\n" % ("tcp" if client.tcp else "udp",
                                                 " (vanishing)" if client.vanishes else "", result))
                log.flush()
        elif client.vanishes:
            counts["vanished"] += 1
        else:
            counts["ok"] += 1

    while running(deadline):
        for client in [c for c in active if c.due()]:
            active.remove(client)
            settle(client)
        now = time.monotonic()
        if args.pause_file and os.path.exists(args.pause_file):
            next_start = now
        elif now >= next_start and not (args.serial and active):
            client = RtspClient(args.url, counts["started"])
            counts["started"] += 1
            counts["tcp" if client.tcp else "udp"] += 1
            active.append(client)
            next_start = max(next_start + 1, now) if not args.serial else now + 1
        time.sleep(0.05)
    # The clients still running are cut short: not counted.
    for client in active:
        client.stop()
        client.outcome()
        counts["started"] -= 1
        counts["tcp" if client.tcp else "udp"] -= 1
    report("rtsp-churn", counts)


# ---- HTTP streaming ---------------------------------------------------------

def split_base(base_url):
    parts = urllib.parse.urlsplit(base_url)
    return parts.hostname, parts.port or 80


def playlist_segments(text):
    return [line.strip() for line in text.splitlines() if "?segment=" in line]


def valid_segment(body):
    return len(body) > 0 and len(body) % TS_PACKET == 0 and body[0] == 0x47


class Player:
    """A keep-alive connection that reconnects after an error."""

    def __init__(self, base_url):
        self.host, self.port = split_base(base_url)
        self.conn = None

    def get(self, path):
        for attempt in range(2):
            try:
                if self.conn is None:
                    self.conn = http.client.HTTPConnection(self.host, self.port, timeout=5)
                self.conn.request("GET", "/" + path)
                reply = self.conn.getresponse()
                return reply.status, reply.read()
            except (OSError, http.client.HTTPException):
                self.conn.close()
                self.conn = None
                if attempt == 1:
                    raise
        return None, b""


def hls_player(args):
    deadline = time.monotonic() + args.seconds
    counts = {"playlists": 0, "manifests": 0, "segments": 0, "bad_segments": 0, "missing": 0, "errors": 0}
    player = Player(args.base_url)
    seen = set()
    fetches = 0
    while running(deadline):
        fetches += 1
        try:
            if fetches % 10 == 0:
                status, body = player.get(args.name + ".mpd")
                counts["manifests" if status == 200 and b"<MPD" in body else "errors"] += 1
            status, body = player.get(args.name + ".m3u8")
            if status != 200:
                counts["errors"] += 1
            else:
                counts["playlists"] += 1
                for segment in playlist_segments(body.decode("ascii", "replace")):
                    if segment in seen:
                        continue
                    seen.add(segment)
                    status, data = player.get(segment)
                    if status == 404:
                        counts["missing"] += 1  # left the store before we came to it
                    elif status != 200 or not valid_segment(data):
                        counts["bad_segments"] += 1
                    else:
                        counts["segments"] += 1
                        offset = int(segment.rsplit("=", 1)[1])
                        counts.setdefault("first_offset", offset)
                        counts["last_offset"] = offset
        except (OSError, http.client.HTTPException):
            counts["errors"] += 1
        nap(1, deadline)
    report("hls-player", counts)


def read_head(sock):
    """The reply's status code, Content-Length and the body bytes already read."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(1024)
        if not chunk:
            raise OSError("connection closed in the reply head")
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    length = None
    for line in lines[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "content-length":
            length = int(value.strip())
    return status, length, rest


def stalled_read(host, port, name, stall, deadline):
    """One stalled segment read: "ok", "missing" or a failure reason."""
    with socket.create_connection((host, port), timeout=5) as probe:
        probe.sendall(("GET /%s.m3u8 HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % (name, host)).encode())
        status, _, body = read_head(probe)
        while True:
            chunk = probe.recv(65536)
            if not chunk:
                break
            body += chunk
    segments = playlist_segments(body.decode("ascii", "replace"))
    if status != 200 or not segments:
        return "playlist status %d with %d segments" % (status, len(segments))
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        # A small window, so the server holds most of the segment meanwhile.
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.settimeout(5)
        sock.connect((host, port))
        sock.sendall(("GET /%s HTTP/1.1\r\nHost: %s\r\n\r\n" % (segments[-1], host)).encode())
        status, length, body = read_head(sock)
        if status == 404:
            return "missing"
        if status != 200 or length is None:
            return "segment status %d" % status
        while len(body) < min(4096, length):
            chunk = sock.recv(4096 - len(body))
            if not chunk:
                return "closed after %d of %d bytes" % (len(body), length)
            body += chunk
        nap(stall, deadline)
        if stopping or time.monotonic() >= deadline:
            return "cut"
        while len(body) < length:
            chunk = sock.recv(65536)
            if not chunk:
                return "closed after the stall at %d of %d bytes" % (len(body), length)
            body += chunk
        if len(body) == length and valid_segment(body):
            return "ok"
        return "bad segment %s: %d bytes for a length of %d, first byte 0x%02x, %d bytes past whole packets" % (
            segments[-1], len(body), length, body[0] if body else 0, len(body) % TS_PACKET)
    finally:
        sock.close()


def stalled_reader(args):
    deadline = time.monotonic() + args.seconds
    host, port = split_base(args.base_url)
    counts = {"reads": 0, "missing": 0, "failed": 0, "failures": []}
    while running(deadline):
        try:
            result = stalled_read(host, port, args.name, args.stall, deadline)
        except (OSError, ValueError, IndexError) as error:
            result = "error: %s" % error
        if result == "ok":
            counts["reads"] += 1
        elif result == "missing":
            counts["missing"] += 1
        elif result != "cut":
            counts["failed"] += 1
            counts["failures"] = (counts["failures"] + [result])[-5:]
        nap(1, deadline)
    report("stalled-reader", counts)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    churn = sub.add_parser("rtsp-churn")
    churn.add_argument("url")
    churn.add_argument("seconds", type=float)
    churn.add_argument("--serial", action="store_true")
    churn.add_argument("--log")
    churn.add_argument("--pause-file")
    for name in ("hls-player", "stalled-reader"):
        http_client = sub.add_parser(name)
        http_client.add_argument("base_url")
        http_client.add_argument("name")
        http_client.add_argument("seconds", type=float)
        if name == "stalled-reader":
            http_client.add_argument("--stall", type=float, default=30)
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, on_term)
    signal.signal(signal.SIGINT, on_term)
    {"rtsp-churn": rtsp_churn, "hls-player": hls_player, "stalled-reader": stalled_reader}[args.command](args)


if __name__ == "__main__":
    sys.exit(main())
