#!/usr/bin/env python3
"""gst-rtsp-server serving one shared live H.264 stream read from a file.

    gst_rtsp_server.py FILE [--port P] [--name N] [--fps F] [--address A]

The file's access units are read into memory once (any container GStreamer
demuxes, or an Annex-B stream), then pushed at F frames per second, looped,
into one shared media: every client gets the same live stream, as from a
camera.  Prints "ready rtsp://A:P/N" when clients may connect; stops on
SIGINT or SIGTERM.
"""
import argparse
import signal
import sys
import time

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402

LAUNCH = ("( appsrc name=src is-live=true do-timestamp=true format=time "
          "caps=video/x-h264,stream-format=byte-stream,alignment=au "
          "! h264parse ! rtph264pay name=pay0 pt=96 config-interval=-1 )")


def read_access_units(path):
    """The file's video as a list of Annex-B access units (Gst.Buffer)."""
    pipeline = Gst.parse_launch(
        "filesrc name=file ! parsebin ! h264parse "
        "! video/x-h264,stream-format=byte-stream,alignment=au "
        "! appsink name=sink sync=false")
    pipeline.get_by_name("file").set_property("location", path)
    sink = pipeline.get_by_name("sink")
    pipeline.set_state(Gst.State.PLAYING)
    units = []
    while True:
        sample = sink.emit("try-pull-sample", 10 * Gst.SECOND)
        if sample is None:
            break
        units.append(sample.get_buffer())
    bus_error = pipeline.get_bus().pop_filtered(Gst.MessageType.ERROR)
    pipeline.set_state(Gst.State.NULL)
    if bus_error is not None:
        err, _ = bus_error.parse_error()
        raise RuntimeError(f"{path}: {err.message}")
    if not units:
        raise RuntimeError(f"{path}: no H.264 video")
    return units


class Feeder:
    """Pushes the access units in a loop at a fixed rate into the appsrc of
    the shared media, from the first client on, like a camera that runs
    whether anyone watches or not."""

    def __init__(self, units, fps):
        self.units = units
        self.period = 1.0 / fps
        self.appsrc = None
        self.index = 0
        self.start = None
        self.pushed = 0

    def on_media_configure(self, _factory, media):
        # A shared media is made again after its last client left; pushes
        # into an appsrc that is not playing just come back FLUSHING.
        self.appsrc = media.get_element().get_by_name_recurse_up("src")
        if self.start is None:
            self.start = time.monotonic()
            GLib.idle_add(self.tick)

    def tick(self):
        # Every unit that is due, then sleep until the next one: the rate
        # holds over time even when one wake-up comes late.
        while self.start + self.pushed * self.period <= time.monotonic():
            buffer = self.units[self.index].copy()  # shares the data
            buffer.pts = buffer.dts = buffer.duration = Gst.CLOCK_TIME_NONE  # appsrc stamps it
            self.appsrc.emit("push-buffer", buffer)
            self.index = (self.index + 1) % len(self.units)
            self.pushed += 1
        delay = self.start + self.pushed * self.period - time.monotonic()
        GLib.timeout_add(max(1, int(delay * 1000)), self.tick)
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--port", type=int, default=8554)
    parser.add_argument("--name", default="live")
    parser.add_argument("--fps", type=float, default=25.0)
    parser.add_argument("--address", default="127.0.0.1")
    args = parser.parse_args()

    Gst.init(None)
    try:
        units = read_access_units(args.file)
    except RuntimeError as error:
        print(f"gst_rtsp_server: {error}", file=sys.stderr)
        return 1

    server = GstRtspServer.RTSPServer()
    server.set_address(args.address)
    server.set_service(str(args.port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(LAUNCH)
    factory.set_shared(True)
    feeder = Feeder(units, args.fps)
    factory.connect("media-configure", feeder.on_media_configure)
    server.get_mount_points().add_factory("/" + args.name, factory)
    if server.attach(None) == 0:
        print(f"gst_rtsp_server: cannot listen on {args.address}:{args.port}", file=sys.stderr)
        return 1

    loop = GLib.MainLoop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signum, loop.quit)
    print(f"{len(units)} access units; ready rtsp://{args.address}:{args.port}/{args.name}", flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
