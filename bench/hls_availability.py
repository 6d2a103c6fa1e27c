#!/usr/bin/env python3
"""When a live HTTP segment becomes available, against when its frames were
handed to the library.

  hls_availability.py poll URL SECONDS OUT [--interval MS]
      Asks for the M3U8 playlist at URL over one keep-alive connection every
      MS milliseconds (default 2) for SECONDS.  When a segment URL appears
      for the first time it notes the instant (CLOCK_REALTIME), fetches the
      segment and finds the frame marks (yvkstreamer --latency-log) in its
      video; one line per segment goes to OUT:
      "segment appeared_ns first_frame last_frame bytes".
  hls_availability.py report POPS OUT [--target MS]
      Joins OUT with the host's pop log ("frame realtime_ns") and prints the
      delay from the hand-over of each segment's last frame, and from the
      hand-over of the next segment's first frame, to the segment's
      appearance in the playlist.  With --target the last line is a verdict
      on the delay after the last frame, and the exit status 1 when missed.
"""
import argparse
import http.client
import re
import sys
import time
import urllib.parse

sys.path.insert(0, __import__("os").path.dirname(__file__))
from latency_report import percentile  # noqa: E402

TAG = b"yvk-latency-mark"
TS_PACKET = 188


def video_payload(ts):
    """The video elementary stream bytes of a Transport Stream: the payloads
    of every PID whose PES packets carry a video stream id (0xE0-0xEF),
    joined per PID in order."""
    streams, video = {}, set()
    for offset in range(0, len(ts) - TS_PACKET + 1, TS_PACKET):
        packet = ts[offset:offset + TS_PACKET]
        if packet[0] != 0x47:
            continue
        pid = ((packet[1] & 0x1F) << 8) | packet[2]
        start = packet[1] & 0x40
        control = (packet[3] >> 4) & 3
        if not control & 1:
            continue
        body = 4
        if control & 2:
            body += 1 + packet[4]
        payload = packet[body:]
        if start and payload[:3] == b"\0\0\1" and 0xE0 <= payload[3] <= 0xEF:
            video.add(pid)
            payload = payload[9 + payload[8]:]  # past the PES header
        streams.setdefault(pid, bytearray()).extend(payload)
    return b"".join(bytes(streams[pid]) for pid in sorted(video))


def marks_in(ts):
    data = video_payload(ts)
    return [int(m.group(1)) for m in re.finditer(re.escape(TAG) + rb"([0-9]{10})", data)]


def poll(args):
    url = urllib.parse.urlsplit(args.url)
    base = url.path.rsplit("/", 1)[0] + "/"
    connection = http.client.HTTPConnection(url.hostname, url.port or 80, timeout=5)
    seen, lines, polls = set(), [], 0
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        try:
            connection.request("GET", url.path)
            response = connection.getresponse()
            body = response.read()
            stamp = time.clock_gettime_ns(time.CLOCK_REALTIME)
            polls += 1
        except (OSError, http.client.HTTPException):
            connection.close()
            time.sleep(0.1)
            continue
        if response.status == 200:
            for name in re.findall(rb"^([^#\r\n][^\r\n]*)", body, re.M):
                name = name.decode()
                if name in seen:
                    continue
                seen.add(name)
                try:
                    connection.request("GET", base + name)
                    segment = connection.getresponse().read()
                except (OSError, http.client.HTTPException):
                    connection.close()
                    continue
                marks = marks_in(segment)
                number = name.rsplit("=", 1)[-1]
                lines.append(f"{number} {stamp} {min(marks) if marks else -1} {max(marks) if marks else -1} "
                             f"{len(segment)}\n")
        time.sleep(args.interval / 1000)
    with open(args.out, "w") as f:
        f.writelines(lines)
    print(f"{polls} playlist polls in {args.seconds:.0f} s ({1000 * args.seconds / max(polls, 1):.2f} ms apart), "
          f"{len(lines)} segments")
    return 0


def report(args):
    pops = {}
    with open(args.pops) as f:
        for line in f:
            frame, ns = line.split()
            pops[int(frame)] = int(ns)
    rows = []
    with open(args.out) as f:
        for line in f:
            segment, appeared, first, last, size = (int(v) for v in line.split())
            rows.append((segment, appeared, first, last, size))
    # The first segment listed was already complete when polling began.
    rows = rows[1:] if len(rows) > 1 else []
    after_last, after_next = [], []
    for segment, appeared, first, last, size in rows:
        if last < 0 or last not in pops:
            continue
        after_last.append((appeared - pops[last]) / 1e6)
        if last + 1 in pops:
            after_next.append((appeared - pops[last + 1]) / 1e6)
        print(f"segment {segment}: frames {first}-{last} ({last - first + 1}), {size} bytes, listed "
              f"{(appeared - pops[last]) / 1e6:.1f} ms after its last frame's hand-over")

    def describe(name, values):
        values = sorted(values)
        if not values:
            return f"{name}: no samples"
        return (f"{name}: n={len(values)} min={values[0]:.1f} p50={percentile(values, 0.5):.1f} "
                f"p90={percentile(values, 0.9):.1f} max={values[-1]:.1f} ms")

    print(describe("last frame handed over -> segment listed", after_last))
    print(describe("next segment's first frame handed over -> segment listed", after_next))
    if args.target is None:
        return 0
    if not after_last:
        print("verdict: FAIL (no segments measured)")
        return 1
    worst = max(after_last)
    ok = worst <= args.target
    print(f"verdict: {'PASS' if ok else 'FAIL'} largest delay after the last frame {worst:.1f} ms "
          f"(target <= {args.target} ms)")
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("poll")
    p.add_argument("url")
    p.add_argument("seconds", type=float)
    p.add_argument("out")
    p.add_argument("--interval", type=float, default=2)
    r = commands.add_parser("report")
    r.add_argument("pops")
    r.add_argument("out")
    r.add_argument("--target", type=float)
    args = parser.parse_args()
    return poll(args) if args.command == "poll" else report(args)


if __name__ == "__main__":
    sys.exit(main())
