"""Exit statuses of kilnguard-watch and the errors that carry them."""

EXIT_OK = 0
EXIT_FAILURE = 1  # a pass failed, or messages still wait in the outbox (--once)
EXIT_USAGE = 2  # a flag or value that cannot be used
EXIT_SETTING_REFUSED = 78  # a service refuses a setting (sysexits' EX_CONFIG): restarting cannot help
EXIT_INTERRUPTED = 130  # Ctrl-C
EXIT_TERMINATED = 143  # SIGTERM during --once


class UsageError(Exception):
    """A setting that keeps the monitor from starting; reported in one line."""


class SettingRefused(SystemExit):
    """Taostats or Telegram refuses a setting (key, token, chat id). An exit
    request rather than an ordinary error, so the poll loop does not log it
    and carry on for ever: it ends the program with EXIT_SETTING_REFUSED."""

    def __init__(self, message):
        super().__init__(EXIT_SETTING_REFUSED)
        self.message = message
