#!/usr/bin/env python3
"""Delivery latency from the host's hand-over of each frame to its first RTP
packet, from two logs on one machine (CLOCK_REALTIME on both sides):

  pops:  "frame realtime_ns" per frame the library popped (yvkstreamer --latency-log)
  marks: "session frame kernel_ns user_ns" per frame mark a client received
         (yvk_rtsp_load --marks); kernel_ns is the socket's receive time of
         the packet, -1 when unknown

Prints the distribution of kernel_ns - pop (the packet left the server's
socket; on loopback it is received as it is sent) and of user_ns - pop (the
client's event loop saw it), in milliseconds.

  latency_report.py POPS MARKS [--p50 MS] [--p99 MS]

With --p50/--p99, the last line is a verdict against those targets and the
exit status is 1 when they are missed.
"""
import argparse
import sys


def percentile(values, fraction):
    """Nearest-rank percentile of sorted values."""
    if not values:
        return float("nan")
    rank = max(1, -(-len(values) * fraction // 1))  # ceil
    return values[int(rank) - 1]


def describe(name, delays):
    delays = sorted(delays)
    if not delays:
        return f"{name}: no samples"
    return (f"{name}: n={len(delays)} p50={percentile(delays, 0.50):.3f} ms p90={percentile(delays, 0.90):.3f} ms "
            f"p99={percentile(delays, 0.99):.3f} ms max={delays[-1]:.3f} ms min={delays[0]:.3f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("pops")
    parser.add_argument("marks")
    parser.add_argument("--p50", type=float)
    parser.add_argument("--p99", type=float)
    args = parser.parse_args()

    pops = {}
    with open(args.pops) as f:
        for line in f:
            frame, ns = line.split()
            pops[int(frame)] = int(ns)
    sent, seen = [], []
    sessions, unmatched = set(), 0
    per_frame = {}
    with open(args.marks) as f:
        for line in f:
            session, frame, kernel_ns, user_ns = (int(v) for v in line.split())
            pop = pops.get(frame)
            if pop is None:
                unmatched += 1
                continue
            sessions.add(session)
            seen.append((user_ns - pop) / 1e6)
            if kernel_ns >= 0:
                sent.append((kernel_ns - pop) / 1e6)
                per_frame.setdefault(frame, []).append((kernel_ns - pop) / 1e6)
    print(f"frames popped {len(pops)}, marks received {len(seen) + unmatched} from {len(sessions)} sessions"
          f" ({len(per_frame)} frames), without a pop {unmatched}")
    print(describe("pop -> first packet sent (kernel receive stamp)", sent))
    print(describe("pop -> first packet seen by the client", seen))
    if per_frame:
        first = [min(v) for v in per_frame.values()]
        last = [max(v) for v in per_frame.values()]
        print(describe("pop -> first packet to the first client", first))
        print(describe("pop -> first packet to the last client", last))
    if args.p50 is None and args.p99 is None:
        return 0
    figures = sorted(sent if sent else seen)
    if not figures:
        print("verdict: FAIL (no samples)")
        return 1
    ok = True
    verdict = []
    if args.p50 is not None:
        p50 = percentile(figures, 0.50)
        ok &= p50 <= args.p50
        verdict.append(f"p50 {p50:.3f} ms (target <= {args.p50} ms)")
    if args.p99 is not None:
        p99 = percentile(figures, 0.99)
        ok &= p99 <= args.p99
        verdict.append(f"p99 {p99:.3f} ms (target <= {args.p99} ms)")
    print(("verdict: PASS " if ok else "verdict: FAIL ") + ", ".join(verdict))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
