"""Charts of the recorded history, drawn to PNG for a person or a chat.
matplotlib is loaded by the drawing itself, never by importing this
package: the monitor's start and passes stay as light as they were.

    png = rate_chart(series)        # a store.history.Series
    text = caption(series)          # one line to go with it
    png = week_chart(week, netuids) # a digest.week.Week, as a heat map by day
"""

from kilnguard_watch.charts.rate_chart import caption, rate_chart
from kilnguard_watch.charts.week_chart import week_chart

__all__ = ["caption", "rate_chart", "week_chart"]
