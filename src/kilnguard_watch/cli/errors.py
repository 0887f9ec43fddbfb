"""Exit statuses of kilnguard-watch and the errors that carry them."""

EXIT_OK = 0
EXIT_FAILURE = 1  # a pass failed, or messages still wait in the outbox (--once)
EXIT_USAGE = 2  # a flag or value that cannot be used
EXIT_SETTING_REFUSED = 78  # a service refuses a setting (sysexits' EX_CONFIG): restarting cannot help
EXIT_INTERRUPTED = 130  # Ctrl-C
EXIT_TERMINATED = 143  # SIGTERM during --once


class UsageError(Exception):
    """A setting that keeps the monitor from starting; reported in one line."""


class SettingRefused(Exception):
    """Taostats or Telegram refuses a setting (key, token, chat id): nothing
    can work until the operator changes it, so the program ends with
    EXIT_SETTING_REFUSED instead of failing every pass for ever."""
