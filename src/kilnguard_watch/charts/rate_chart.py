"""One subnet's owner burn rate over a period, as a PNG: a step line (a rate
holds until the next change) with the changes marked, 0 to 100 % up the
side and UTC dates along the bottom, and a one-line caption to go with it.

1200 × 800 pixels, with type large enough to read once a phone shrinks the
picture to its width. The colours are the Okabe–Ito set's blue and
vermillion, which people with any common colour blindness tell apart, and
the changes differ from the line by shape too, not by colour alone."""

import datetime
import io
import math

from kilnguard_watch.rates import rate_value, rate_values

WIDTH, HEIGHT = 1200, 800
LINE = "#0072B2"  # Okabe–Ito blue
MARK = "#D55E00"  # Okabe–Ito vermillion
INK = "#222222"
GRID = "#C8C8C8"
# More changes than this would hide the line under their dots: they are
# ticked in a strip under the 0 % line instead, one tick per column of
# pixels that has any; the line is drawn thinner, or it would be a blot.
MARKED_ONE_BY_ONE = 200
_STRIP = 0.07  # the strip's share of the plot's height
_DPI = 100
_UTC = datetime.timezone.utc


def caption(series):
    """One line for the chart: "SN12, 2026-01-01 00:00 to 2026-12-08 14:05
    UTC: now 97%, min 50%, max 100%, 14 changes"."""
    return _caption(series, rate_values(_held(series)))


def _held(series):
    """The rates the subnet held in the period, the one at its start first."""
    return ([] if series.start is None else [series.start]) + list(series.rates)


def _caption(series, held):
    """The caption, given rate_values of _held(series)."""
    period = f"SN{series.netuid}, {_moment(series.since)} to {_moment(series.until)} UTC"
    if not held:
        return f"{period}: no rate recorded"
    values = [v for v in held if v is not None]
    text = f"{period}: now {_percent(series.current)}"
    if values:
        text += f", min {_percent_of(min(values))}, max {_percent_of(max(values))}"
    count = series.changes
    return f"{text}, {count:,} change{'' if count == 1 else 's'}"


def rate_chart(series, width=WIDTH, height=HEIGHT):
    """The PNG (bytes) of `series` (store.history.Series), `width` ×
    `height` pixels."""
    # Here, not at the top: only drawing pays for matplotlib (and numpy).
    import numpy
    from matplotlib import dates, ticker
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    since, until = series.since, max(series.until, series.since + 60)
    epoch = dates.date2num(datetime.datetime.fromtimestamp(0, _UTC))

    def x_of(seconds):
        return numpy.asarray(seconds, dtype=float) / 86400 + epoch

    times = ([] if series.start is None else [since]) + list(series.times)
    held = rate_values(_held(series))
    y = numpy.array([math.nan if v is None else v for v in held], dtype=float)
    changed = series.times[1:] if series.start is None else series.times
    dense = len(changed) > MARKED_ONE_BY_ONE

    figure = Figure(figsize=(width / _DPI, height / _DPI), dpi=_DPI, layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    figure.suptitle(f"SN{series.netuid} owner burn rate", fontsize=26, color=INK,
                    fontweight="bold")
    axes.set_title(_caption(series, held).partition(": ")[2], fontsize=19, color=INK, pad=12)
    if held:
        # The last rate holds to the end of the period.
        x, y_to_end = x_of(times + [until]), numpy.append(y, y[-1])
        if len(x) > 8 * width:
            axes.plot(*_by_column(numpy, x, y_to_end, *x_of([since, until]), width), color=LINE,
                      linewidth=1.2, label="rate", zorder=2)
        else:
            axes.step(x, y_to_end, where="post", color=LINE, linewidth=1.2 if dense else 3,
                      label="rate", zorder=2)
    else:
        axes.text(0.5, 0.5, "no rate recorded in this period", transform=axes.transAxes,
                  ha="center", va="center", fontsize=22, color=INK)

    finite = y[numpy.isfinite(y)]
    low = min(0.0, float(finite.min())) if finite.size else 0.0
    high = max(1.0, float(finite.max())) if finite.size else 1.0
    margin = (high - low) * 0.03
    below = (high - low) * _STRIP / (1 - _STRIP) + 2 * margin if dense else margin
    axes.set_ylim(low - below, high + margin)
    _mark(axes, numpy, x_of(changed), y[len(y) - len(changed):], x_of([since, until]))
    axes.yaxis.set_major_formatter(ticker.PercentFormatter(xmax=1, decimals=0))
    axes.set_ylabel("owner burn rate", fontsize=21, color=INK)
    axes.set_xlim(*x_of([since, until]))
    locator = dates.AutoDateLocator(tz=_UTC, minticks=3, maxticks=7)
    axes.xaxis.set_major_locator(locator)
    # Days as "Dec 15", the first of a month with its year ("Jan 2026"),
    # midnight as its day; the period's ends, to the minute, in the label.
    axes.xaxis.set_major_formatter(dates.ConciseDateFormatter(
        locator, tz=_UTC, formats=["%Y", "%b", "%b %d", "%H:%M", "%H:%M", "%S.%f"],
        zero_formats=["", "%Y", "%b %Y", "%b %d", "%H:%M", "%H:%M"], show_offset=False))
    axes.set_xlabel(f"UTC, {_moment(since)} to {_moment(until)}", fontsize=21, color=INK)
    axes.tick_params(labelsize=18, colors=INK, length=6, width=1.2)
    axes.grid(True, color=GRID, linewidth=1)
    for side in ("top", "right"):
        axes.spines[side].set_visible(False)
    if held:  # under the plot, where it hides nothing
        figure.legend(loc="outside lower center", ncols=2, fontsize=17, frameon=False)
    out = io.BytesIO()
    figure.savefig(out, format="png", dpi=_DPI, metadata={"Software": None})
    return out.getvalue()


def _by_column(numpy, x, y, left, right, columns):
    """The step line through (x, y) as it looks `columns` columns wide: in
    each column that has changes, the rate it came in with, the lowest and
    highest it took, and the one it left with. A year of changes every
    five minutes is then some 5 000 points to draw instead of 210 000,
    and the picture is the same."""
    column = numpy.clip(((x - left) / (right - left) * columns).astype(int), 0, columns - 1)
    starts = numpy.flatnonzero(numpy.r_[True, column[1:] != column[:-1]])
    ends = numpy.r_[starts[1:], len(x)] - 1
    before = numpy.r_[y[:1], y[:-1]][starts]  # the rate held until the column's first change
    low = numpy.fmin(numpy.fmin.reduceat(y, starts), before)
    high = numpy.fmax(numpy.fmax.reduceat(y, starts), before)
    points_x = numpy.stack([x[starts], x[starts], x[starts], x[ends]], axis=1).ravel()
    points_y = numpy.stack([before, low, high, y[ends]], axis=1).ravel()
    return points_x, points_y


def _mark(axes, numpy, x, y, span):
    """Each change as a dot on the line, or, when there are too many to
    see the line between them, as ticks along the bottom."""
    if not len(x):
        return
    if len(x) <= MARKED_ONE_BY_ONE:
        axes.plot(x, y, linestyle="none", marker="o", markersize=9, color=MARK,
                  markeredgecolor="white", markeredgewidth=1.2, label="change", zorder=3)
        return
    columns = 1000  # about the plot's width in pixels
    left, right = span
    ticks = numpy.unique(numpy.floor((x - left) / (right - left) * columns))
    axes.vlines(left + (ticks + 0.5) / columns * (right - left), 0, _STRIP,
                transform=axes.get_xaxis_transform(), color=MARK, linewidth=1.5,
                label="changes", zorder=3)


def _moment(seconds):
    return datetime.datetime.fromtimestamp(seconds, _UTC).strftime("%Y-%m-%d %H:%M")


def _percent(text):
    value = rate_value(text)
    return repr(text) if value is None else _percent_of(value)


def _percent_of(value):
    return f"{value * 100:.4g}%"
