"""A week of owner burn rates as a PNG heat map: one row per subnet, one
column per UTC day, each cell coloured by the rate at the end of that day
and labelled with it, so the value never rests on colour alone.

The colours are cividis, a sequential map that reads the same to people
with any common colour blindness and in grey; 0 % is dark blue, 100 % light
yellow. 1200 pixels wide, like the rate chart, and 800 high up to
ROWS_IN_800 subnets; more rows make the picture taller, so every label keeps
the same large type once a phone shrinks the picture to its width."""

import datetime
import io

from kilnguard_watch.charts.rate_chart import _DPI, INK, WIDTH
from kilnguard_watch.rates import rate_value

HEIGHT = 800
ROWS_IN_800 = 16
ROW = 34  # pixels a row takes beyond those
MISSING = "#E8E8E8"  # a day before the subnet was first seen
_UTC = datetime.timezone.utc


def size(rows):
    """(width, height) in pixels of the picture of `rows` subnets."""
    return WIDTH, HEIGHT + max(0, rows - ROWS_IN_800) * ROW


def week_chart(week, netuids):
    """The PNG (bytes) of the subnets `netuids` of `week` (a
    digest.week.Week), in that order from the top."""
    # Here, not at the top: only drawing pays for matplotlib (and numpy).
    import numpy
    from matplotlib import colormaps, ticker
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    width, height = size(len(netuids))
    rows = [week.subnets[netuid] for netuid in netuids]
    values = numpy.array([[_value(rate) for rate in row.days] for row in rows], dtype=float)
    days = [datetime.datetime.fromtimestamp(week.since + n * 86_400, _UTC)
            for n in range(len(rows[0].days) if rows else 7)]

    figure = Figure(figsize=(width / _DPI, height / _DPI), dpi=_DPI, layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    figure.suptitle("Owner burn rate at the end of each day", fontsize=26, color=INK,
                    fontweight="bold")
    axes.set_title(f"{days[0]:%a %Y-%m-%d} to {days[-1]:%a %Y-%m-%d}, UTC", fontsize=19,
                   color=INK, pad=12)
    colours = colormaps["cividis"].with_extremes(bad=MISSING)
    image = axes.imshow(numpy.ma.masked_invalid(values), cmap=colours, vmin=0, vmax=1,
                        aspect="auto", interpolation="nearest")
    label_size = 15 if len(rows) <= ROWS_IN_800 else 13
    for y, row in enumerate(values):
        for x, value in enumerate(row):
            if numpy.isnan(value):
                text, ink = "–", INK
            else:
                # cividis is light from about 60 %: dark type there, light below.
                text, ink = f"{value * 100:.4g}%", INK if value >= 0.6 else "white"
            axes.text(x, y, text, ha="center", va="center", fontsize=label_size, color=ink)
    axes.set_xticks(range(len(days)), [f"{day:%a}\n{day:%b %d}" for day in days])
    axes.set_yticks(range(len(rows)),
                    [f"SN{row.netuid} ({row.changes})" for row in rows])
    unseen = "; –: not seen yet" if numpy.isnan(values).any() else ""
    axes.set_xlabel(f"UTC day (the rate when it ended{unseen})", fontsize=21, color=INK)
    axes.set_ylabel("subnet (changes in the week)", fontsize=21, color=INK)
    axes.tick_params(labelsize=17, colors=INK, length=0)
    axes.tick_params(axis="y", labelsize=label_size + 2)
    # White lines between the cells.
    axes.set_xticks(numpy.arange(len(days) + 1) - 0.5, minor=True)
    axes.set_yticks(numpy.arange(len(rows) + 1) - 0.5, minor=True)
    axes.grid(which="minor", color="white", linewidth=2)
    axes.tick_params(which="minor", length=0)
    for side in axes.spines.values():
        side.set_visible(False)
    # The bar as tall beside many rows as beside few.
    bar = figure.colorbar(image, ax=axes, fraction=0.05, pad=0.02, aspect=20 * height / HEIGHT)
    bar.ax.yaxis.set_major_formatter(ticker.PercentFormatter(xmax=1, decimals=0))
    bar.ax.tick_params(labelsize=17, colors=INK)
    bar.set_label("owner burn rate", fontsize=19, color=INK)
    bar.outline.set_visible(False)
    out = io.BytesIO()
    figure.savefig(out, format="png", dpi=_DPI, metadata={"Software": None})
    return out.getvalue()


def _value(rate):
    value = None if rate is None else rate_value(rate)
    return float("nan") if value is None else value
