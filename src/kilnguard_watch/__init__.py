"""kilnguard-watch: the command-line host that runs the kilnguard monitor."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("kilnguard")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0+unknown"
