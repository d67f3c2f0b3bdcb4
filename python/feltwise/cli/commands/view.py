"""`feltwise view`: a matplotlib heatmap of the taxels, arrows for triaxial shear.

Each grid cell is one unit of the parameter file, in the order of its
outputs: a taxel shows its calibrated value, a triaxial unit its normal
force (z) with an arrow for its shear (x, y). `--snapshot FILE.png` renders
one frame with the Agg backend and exits, so it works without a display.
`--foxglove [HOST:PORT]` serves the live sensor to the Foxglove app instead
(feltwise.foxglove: the samples with named values, and the map as an image)
until Ctrl-C, and needs no display either.
"""

import argparse
import io
import math
import os
import sys
import time

from ...foxglove import DEFAULT_HOST, DEFAULT_PORT
from ...layout import grid_values
from ..arguments import non_negative, positive
from ..connection import add_connection_arguments
from ..errors import UserError


class Heatmap:
    def __init__(self, source, raw, vmax=None):
        import matplotlib.pyplot as plt

        self.source, self.raw, self.fixed_vmax = source, raw, vmax
        self.figure, self.axes = plt.subplots(figsize=(6.4, 5.4), dpi=100)
        self.image = self.colorbar = self.quiver = None
        self.texts = []

    def draw(self, sample):
        import numpy as np

        layout, axes = self.source.layout, self.axes
        grid, arrows, labels = grid_values(layout, sample, self.raw)
        finite = grid[np.isfinite(grid)]
        vmax = self.fixed_vmax or max(1.0 if not self.raw else 100.0, float(finite.max()) if finite.size else 1.0)
        vmin = 0.0 if not self.raw else float(finite.min()) if finite.size else 0.0
        if self.image is None or self.image.get_array().shape != grid.shape:
            axes.clear()
            import matplotlib

            cmap = matplotlib.colormaps["inferno"].copy()
            cmap.set_bad("#d8d8d8")  # cells without a unit
            self.image = axes.imshow(grid, cmap=cmap, vmin=vmin, vmax=vmax, interpolation="nearest")
            if self.colorbar is None:
                self.colorbar = self.figure.colorbar(self.image, ax=axes, shrink=0.85)
            unit = f" ({layout.unit})" if layout.unit else ""
            self.colorbar.set_label("raw reading (counts)" if self.raw else f"calibrated value{unit}")
            axes.set_xticks(range(grid.shape[1]))
            axes.set_yticks(range(grid.shape[0]))
            axes.set_xlabel("column")
            axes.set_ylabel("row")
        else:
            self.image.set_data(grid)
            self.image.set_clim(vmin, vmax)
        self.colorbar.update_normal(self.image)
        for text in self.texts:
            text.remove()
        self.texts = []
        for (row, column), label in labels.items():
            value = grid[row, column]
            light = not math.isnan(value) and (value - vmin) > 0.6 * (vmax - vmin)
            colour = "black" if light else "white"
            self.texts.append(axes.text(column, row - 0.34, label, ha="center", va="center", fontsize=7, color=colour))
            shown = "-" if math.isnan(value) else (f"{value:.0f}" if self.raw else f"{value:.2f}")
            self.texts.append(axes.text(column, row + 0.34, shown, ha="center", va="center", fontsize=9, color=colour))
        if self.quiver is not None:
            self.quiver.remove()
            self.quiver = None
        if arrows:
            rows, cols, xs, ys = zip(*arrows)
            longest = max(max(math.hypot(x, y) for x, y in zip(xs, ys)), 1e-9)
            # Arrows scaled to the largest shear, centred in their cells and kept
            # clear of the labels: direction and relative size at a glance. The
            # image's y axis points down, so y is negated.
            self.quiver = axes.quiver(
                cols,
                rows,
                [0.36 * x / longest for x in xs],
                [-0.36 * y / longest for y in ys],
                angles="xy",
                scale_units="xy",
                scale=1,
                pivot="middle",
                color="cyan",
                width=0.012,
            )
        what = "raw" if self.raw else "calibrated"
        axes.set_title(
            f"Feltwise {self.source.describe}  protocol {self.source.version}  {what}\n"
            f"{time.strftime('%Y-%m-%d %H:%M:%S')}",
            fontsize=9,
        )


def _has_display():
    if sys.platform.startswith(("win", "darwin")):
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def add_parser(subparsers):
    view = subparsers.add_parser(
        "view",
        help="live heatmap window, or a PNG snapshot",
        description="A heatmap of the taxels with arrows for triaxial shear. "
        "--snapshot renders one frame to a file and needs no display.",
    )
    add_connection_arguments(view, zenoh=True)
    view.add_argument("--zero", action="store_true", help="zero the sensor first (it must be untouched)")
    view.add_argument("--raw", action="store_true", help="raw readings instead of calibrated values")
    view.add_argument("--snapshot", metavar="FILE.png", help="render one frame to this file and exit")
    view.add_argument(
        "--after",
        type=non_negative,
        default=1.0,
        metavar="S",
        help="with --snapshot: render the newest sample after S seconds (default 1)",
    )
    view.add_argument("--vmax", type=positive, metavar="V", help="top of the colour scale (default: automatic)")
    view.add_argument("--fps", type=positive, default=20.0, help="window updates per second (default 20)")
    view.add_argument(
        "--foxglove",
        nargs="?",
        const=f"{DEFAULT_HOST}:{DEFAULT_PORT}",
        type=address,
        metavar="HOST:PORT",
        help=f"serve the live sensor to the Foxglove app (Open connection, Foxglove WebSocket, "
        f"ws://HOST:PORT) instead of a window, until Ctrl-C; default {DEFAULT_HOST}:{DEFAULT_PORT}, "
        "this machine only (0.0.0.0 for every interface: anyone who reaches it sees the sensor)",
    )


def address(text):
    from ...foxglove import parse_address

    try:
        return parse_address(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def run(args):
    from ..source import open_source

    if args.foxglove is not None:
        if args.snapshot:
            raise UserError("give --snapshot or --foxglove, not both")
        return serve(args)
    try:
        import matplotlib
    except ImportError:
        raise UserError("feltwise view needs matplotlib: pip install 'feltwise-comm[view]'") from None

    if args.snapshot:
        matplotlib.use("Agg")
    elif not _has_display():
        raise UserError("no display for a live window; use --snapshot FILE.png")
    with open_source(args, queue=0) as source:
        raw = args.raw or source.layout.output_count == 0
        if args.zero:
            source.zero()

        def read(timeout_s):
            sample = source.read(timeout_s)
            return None if sample is None else (sample.raw if raw else sample.calibrated).tolist()

        if args.snapshot:
            return snapshot(source, read, raw, args)
        return live(source, read, raw, args)


def newest(read, within_s=0.05):
    """The newest of the samples waiting, None if none is. Bounded in time:
    a fast sensor can keep a sample waiting at every look."""
    sample, deadline = None, time.monotonic() + within_s
    while (next_sample := read(0)) is not None:
        sample = next_sample
        if time.monotonic() >= deadline:
            break
    return sample


def snapshot(source, read, raw, args):
    import matplotlib.pyplot as plt

    from ..source import Watch

    sample = None
    watch = Watch(source, args.reconnect)
    deadline = time.monotonic() + args.after
    while True:
        got = read(0.2)
        if got is not None:
            sample = got
            watch.sample()
        else:
            watch.idle()
        if time.monotonic() >= deadline and sample is not None:
            break
        if time.monotonic() >= deadline + 5.0 and not args.reconnect:
            raise no_samples(source)
    heatmap = Heatmap(source, raw, args.vmax)
    heatmap.draw(sample)
    # Rendered in memory, then written and closed here: matplotlib's own file
    # handling can drop the error of the last write (a full disk, /dev/full).
    image = io.BytesIO()
    kind = os.path.splitext(args.snapshot)[1][1:].lower() or "png"
    try:
        heatmap.figure.savefig(image, format=kind)
    except ValueError as error:
        raise UserError(f"cannot write {args.snapshot}: {error}") from None
    plt.close(heatmap.figure)
    try:
        with open(args.snapshot, "wb") as file:
            file.write(image.getvalue())
    except OSError as error:
        raise UserError(f"cannot write {args.snapshot}: {error.strerror}") from None
    print(f"wrote {args.snapshot}")
    return 0


def live(source, read, raw, args):
    import matplotlib.pyplot as plt
    from matplotlib.animation import FuncAnimation

    from ..source import Watch

    heatmap = Heatmap(source, raw, args.vmax)
    watch = Watch(source, args.reconnect)
    first = read(2.0)
    while first is None and args.reconnect:
        watch.idle()
        first = read(0.2)
    if first is None:
        watch.idle()  # a lost sensor says so
        raise no_samples(source)
    heatmap.draw(first)
    ended = []

    def update(_):
        # Everything that came since the last frame is taken, the newest drawn:
        # the window never waits on the sensor and never falls behind it.
        sample = newest(read)
        try:
            watch.sample() if sample is not None else watch.idle()
        except UserError as error:  # unplugged, without --reconnect
            ended.append(error)
            plt.close(heatmap.figure)
            return []
        if sample is not None:
            heatmap.draw(sample)
        return []

    animation = FuncAnimation(heatmap.figure, update, interval=max(20, int(1000 / args.fps)), cache_frame_data=False)
    try:
        plt.show()
    except KeyboardInterrupt:
        pass
    del animation
    if ended:
        raise ended[0]
    return 0


def serve(args):
    """Every sample to the Foxglove app: a source that keeps a queue, so that
    a subscriber sees each one, not the newest at each look."""
    from ...foxglove import FoxgloveMessages, LiveView
    from ...sample import ClockOffset
    from ..source import Watch, open_source

    host, port = args.foxglove
    with open_source(args) as source:
        if args.zero:
            source.zero()
        name = source.describe[len("zenoh:") :] if source.remote else (os.path.basename(source.describe) or "sensor")
        messages = FoxgloveMessages(source.layout, f"/feltwise/{name}", raw=args.raw)
        try:
            server = LiveView(messages, host, port, name=f"feltwise {source.describe}")
        except ImportError as error:
            raise UserError(str(error)) from None
        except Exception as error:  # the SDK's own: a port in use, an address not of this machine
            raise UserError(f"cannot serve Foxglove on {host}:{port}: {error}") from None
        with server:
            try:
                clock = ClockOffset()
                watch = Watch(source, args.reconnect, limit=5.0)
                announced = False
                while True:
                    # Whatever has queued since the last look: one read however far behind the
                    # sensor's rate the encoding is, and no wait for more (a live view).
                    batch = source.read_batch(0.2)
                    if batch is None:
                        watch.idle()
                        continue
                    watch.sample()
                    if not announced:  # once the sensor streams
                        announced = True
                        shown = f"[{host}]" if ":" in host else host
                        print(
                            f"serving {source.describe} to Foxglove on ws://{shown}:{server.port} "
                            f"(topics {messages.topic}, {messages.map_topic}); Ctrl-C ends",
                            file=sys.stderr,
                            flush=True,
                        )
                    offset = clock.unix_ns(0)
                    server.log_batch(batch, (batch.t_host_ns.astype("int64") + offset).tolist())
            except KeyboardInterrupt:
                pass
    return 0


def no_samples(source):
    return UserError(
        f"no samples from {source.describe}" + ("" if source.remote else f" (is it protocol {source.version}?)")
    )
