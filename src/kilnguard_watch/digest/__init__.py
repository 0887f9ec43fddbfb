"""The weekly digest: when it is due (schedule.py), what a week of changes
tells (week.py), and making it off the monitor's thread (weekly.py)."""
