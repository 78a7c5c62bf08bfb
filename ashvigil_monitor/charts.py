"""Step charts of the burn rates, for `chart`, alerts and the daily digest.

matplotlib is an optional extra (`pip install 'ashvigil[charts]'`), imported only here and only
when a chart is drawn. The figure is drawn with the Agg canvas directly, never through pyplot, so
nothing process-wide changes. The image is 800 x 450 pixels, Telegram's preview width, on an
opaque light background, so it reads the same in a dark or a light chat.
"""

from __future__ import annotations

import datetime
import gc
import io
import logging
import math
import sys
import time
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, TextIO

from ashvigil_monitor import log
from ashvigil_monitor.errors import Failed, Refused
from ashvigil_monitor.policy import rate
from ashvigil_monitor.store import DAY, Database, Gap, Store, gaps, open_history
from ashvigil_monitor.times import stamp

# The interpreter the command runs in, so the extra lands in its own environment (a venv's pip).
INSTALL = f"charts need matplotlib: {sys.executable} -m pip install 'ashvigil[charts]'"
WIDTH, HEIGHT, DPI = 8.0, 4.5, 100
# Okabe and Ito's colours, told apart by most colour-blind readers, all dark enough on white.
COLOURS = ("#0072B2", "#D55E00", "#009E73", "#CC79A7", "#E69F00", "#56B4E9", "#000000")
GAP_COLOUR = "#9E9E9E"
MARKERS = ("o", "s", "^", "D", "v", "P", "X")
# The matplotlib whose private hook _light_artists() replaces was read; constraints.txt pins the
# same, and a moved pin fails a test until the hook is read again.
CHECKED_MATPLOTLIB = "3.10.9"


class ChartsMissing(Refused):
    """matplotlib is not installed."""


@dataclass(frozen=True)
class Chart:
    start: int
    end: int
    series: dict[str, list[tuple[int, float | None]]]  # subnet: (time, rate) steps; None breaks the line
    gaps: list[Gap]


def chart_data(store: Store, netuids: Sequence[str], start: int, end: int, interval_seconds: float) -> Chart:
    """Each subnet's rate at `start`, every recorded move up to `end`, and its last rate held to
    `end`; the missing polls in between."""
    first = store.first_poll()
    start = max(start, first) if first is not None and first < end else start  # no empty left side
    before = store.burns_before(start, netuids)
    series = {n: [(start, rate(before[n]))] if n in before else [] for n in netuids}
    for move in store.moves(start, netuids):
        if move.at <= end:
            series[move.netuid].append((move.at, rate(move.new)))
    for points in series.values():
        if points and points[-1][0] < end:
            points.append((end, points[-1][1]))
    recorded = [(at, ok) for at, ok in store.polls(start) if at <= end]
    return Chart(start, end, series, gaps(recorded, interval_seconds))


def render(chart: Chart, zoom: bool = False) -> bytes:
    """The chart as PNG bytes; ChartsMissing without matplotlib."""
    _warnings_to_log()
    try:
        _light_artists()
        import matplotlib.dates as mdates
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
        from matplotlib.layout_engine import ConstrainedLayoutEngine
        from matplotlib.ticker import FixedFormatter, FixedLocator
    except ImportError:
        raise ChartsMissing(INSTALL) from None

    utc = datetime.timezone.utc

    def when(at: int) -> Any:  # matplotlib's stubs take floats; its date converter takes datetimes
        return datetime.datetime.fromtimestamp(at, utc)

    # No layout engine, the matplotlibrc's included: savefig draws a figure that has one twice,
    # unpainted to lay it out, then painted. It is laid out once instead, just before saving.
    figure = Figure(figsize=(WIDTH, HEIGHT), dpi=DPI, facecolor="white", layout="none")  # type: ignore[arg-type]
    FigureCanvasAgg(figure)
    axes = figure.add_subplot(facecolor="white")
    for index, (netuid, points) in enumerate(chart.series.items()):
        axes.step(
            [when(at) for at, _ in points],
            [math.nan if value is None else value for _, value in points],
            where="post",
            linewidth=2.2,
            color=COLOURS[index % len(COLOURS)],
            label=f"SN{netuid}",
            # A mark at each change, of its own shape, tells lines that lie on one another apart.
            marker=MARKERS[index % len(MARKERS)],
            markevery=list(range(len(points) - 1)) if len(points) > 1 else None,
            markersize=6,
        )
    for index, gap in enumerate(chart.gaps):
        axes.axvspan(
            when(gap.start),
            when(gap.end),
            facecolor=GAP_COLOUR,
            alpha=0.35,
            hatch="//",
            edgecolor="#616161",
            linewidth=0,
            label="missing polls" if index == 0 else None,
        )
    values = [v for points in chart.series.values() for _, v in points if v is not None]
    if zoom and values:
        low, high = min(values), max(values)
        pad = max((high - low) * 0.1, 0.005)
        axes.set_ylim(low - pad, high + pad)
    else:
        axes.set_ylim(-0.05, 1.05)  # a rate of 0 or 1 stays off the frame
    axes.set_xlim(when(chart.start), when(chart.end))
    locator = mdates.AutoDateLocator(tz=utc, maxticks=8)  # type: ignore[no-untyped-call]
    axes.xaxis.set_major_locator(locator)
    formatter = mdates.DateFormatter(tick_format(chart.end - chart.start), tz=utc)  # type: ignore[no-untyped-call]
    # The times on the axis, and their labels, found once for the limits set above: the layout and
    # the drawing ask for them some 30 times, and the date locator makes its rule anew each time.
    ticks = locator()
    axes.xaxis.set_major_locator(FixedLocator(ticks))
    axes.xaxis.set_major_formatter(FixedFormatter(formatter.format_ticks(ticks)))
    axes.set_xlabel("time (UTC)", fontsize=11, color="#212121")
    axes.set_ylabel("owner burn rate" + (" (zoomed)" if zoom else ""), fontsize=11, color="#212121")
    axes.tick_params(labelsize=10, colors="#212121")
    axes.grid(color="#BDBDBD", linewidth=0.6, alpha=0.7)
    span = f"{when(chart.start):%Y-%m-%d %H:%M} \u2013 {when(chart.end):%Y-%m-%d %H:%M} UTC"
    axes.set_title(f"Owner burn rate, {span}", fontsize=13, color="#212121")
    figure.legend(loc="outside right upper", fontsize=10, frameon=False, labelcolor="#212121")
    ConstrainedLayoutEngine().execute(figure)
    out = io.BytesIO()
    figure.savefig(out, format="png", dpi=DPI, facecolor="white")
    return out.getvalue()


def tick_format(seconds: int) -> str:
    """Times for a window of hours, with seconds for one of minutes; dates for one of days."""
    if seconds <= 3600:
        return "%H:%M:%S"
    return "%H:%M" if seconds <= 2 * DAY else "%Y-%m-%d"


def command(
    database: Database, netuids: Sequence[str], since: int, output: str, zoom: bool, interval_seconds: float
) -> int:
    """`ashvigil chart`: writes the PNG to `output`."""
    # One chart, then the process ends: the cyclic collector's passes over matplotlib's objects,
    # some 200 as it imports and the last ones as the interpreter ends, are a sixth of the
    # command's time and free nothing that the end would not.
    gc.disable()
    render_check()
    store = open_history(database)
    if store is None:
        raise Failed(f"no history recorded yet in {database.shown}")
    try:
        chart = chart_data(store, netuids, since, int(time.time()), interval_seconds)
    finally:
        store.close()
    if not any(chart.series.values()):
        raise Failed(f"nothing recorded for {', '.join('SN' + n for n in netuids)} since {stamp(since)}")
    png = render(chart, zoom)
    try:
        with open(output, "wb") as f:
            f.write(png)
    except OSError as e:
        raise Failed(f"--output {output}: {e.strerror or e}") from None
    print(f"chart written to {output} ({len(chart.series)} subnets, {stamp(chart.start)} to {stamp(chart.end)})")
    gc.freeze()
    return 0


def render_check() -> None:
    """ChartsMissing, before any work, when matplotlib cannot be imported."""
    _warnings_to_log()
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise ChartsMissing(INSTALL) from None


def recent(store: Store, netuids: Sequence[str], days: float, interval_seconds: float) -> bytes:
    """A chart of the last `days` days, for alerts and the daily digest."""
    end = int(time.time())
    return render(chart_data(store, netuids, end - int(days * DAY), end, interval_seconds))


def _light_artists() -> None:
    """As each of its artist classes is made, matplotlib gives its set() a signature of every
    setter and a docstring with a table of every property, reading each setter through
    inspect: 0.14 s of the 0.22 s that importing its figure, dates and Agg canvas takes (the
    tables 0.1 s). Neither is read here. The tables are left empty on any version (kwdoc is
    public); the signatures only on the version the private hook that makes them was checked
    against, which leaves set() itself as it was."""
    import matplotlib
    import matplotlib.artist

    if hasattr(matplotlib.artist, "kwdoc"):
        setattr(matplotlib.artist, "kwdoc", _empty_table)  # noqa: B010 - mypy: a module function
    if matplotlib.__version__ == CHECKED_MATPLOTLIB:
        setattr(matplotlib.artist.Artist, "_update_set_signature_and_docstring", classmethod(_set_made))  # noqa: B010


def _empty_table(artist: object) -> str:
    return ""


def _set_made(cls: Any) -> None:
    cls.set._autogenerated_signature = True  # a subclass's own set() is made from it, as before


class _LogLines(logging.Handler):
    def emit(self, record: logging.LogRecord) -> None:
        log.line(f"{record.name}: {record.getMessage().strip()}")


def _warning_line(
    message: Warning | str,
    category: type[Warning],
    filename: str,
    lineno: int,
    file: TextIO | None = None,
    line: str | None = None,
) -> None:
    log.line(f"{category.__name__}: {str(message).strip()}")


def _warnings_to_log() -> None:
    """matplotlib's warnings, from the warnings module and from its logger alike, as one log line
    each: set before matplotlib is imported, which reads its settings file then."""
    warnings.showwarning = _warning_line
    logger = logging.getLogger("matplotlib")
    if not any(isinstance(handler, _LogLines) for handler in logger.handlers):
        logger.addHandler(_LogLines(logging.WARNING))
        logger.propagate = False
