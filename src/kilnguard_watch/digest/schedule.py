"""When the weekly digest comes: once a week, at a day and hour in UTC.

The moment of the latest digest due is worked out from the clock alone, and
the last moment made is kept in the database: a monitor that was stopped at
that hour makes the digest at its first pass after, a restart never makes
one twice, and a digest more than a day late is skipped, since a week's
summary that comes on Wednesday tells what the alerts already told."""

import dataclasses
import time

from kilnguard_watch.config import WEEKDAYS

DAY = 86_400
WEEK = 7 * DAY
LATEST = DAY  # seconds a digest may come after its moment; later it is skipped
# 1970-01-01 was a Thursday: the epoch's day 0 is weekday 3 (Monday 0).
_EPOCH_WEEKDAY = 3


@dataclasses.dataclass(frozen=True)
class Schedule:
    """`day`: the weekday, Monday 0 to Sunday 6; `hour`: 0 to 23, UTC."""
    day: int = 0
    hour: int = 8

    def latest(self, now):
        """The latest moment (whole seconds since the epoch) at or before
        `now` when a digest is due."""
        today = int(now) // DAY
        back = (today + _EPOCH_WEEKDAY - self.day) % 7
        moment = (today - back) * DAY + self.hour * 3600
        return moment if moment <= now else moment - WEEK

    def due(self, now, done):
        """What to do at `now`, the last moment made being `done` (None:
        never): None when nothing is due, else (moment, late), late when it
        is more than LATEST past and is to be skipped."""
        moment = self.latest(now)
        if done is not None and done >= moment:
            return None
        return moment, now - moment > LATEST

    def __str__(self):
        return f"{WEEKDAYS[self.day].capitalize()}s at {self.hour:02d}:00 UTC"


def week_before(moment):
    """(since, until) of the week a digest at `moment` tells: the seven
    whole UTC days before the moment's day, `until` excluded."""
    until = moment // DAY * DAY
    return until - WEEK, until


def day_text(seconds):
    """2026-12-07"""
    return time.strftime("%Y-%m-%d", time.gmtime(seconds))


def moment_text(seconds):
    """2026-12-07 08:00 UTC"""
    return time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime(seconds))

