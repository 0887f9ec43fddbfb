"""The command line of kilnguard-watch: settings from flags, secrets from the
environment (flags show up in `ps`), then the startup snapshot and the poll
loop, one pass, a dry run, or the built-in demo."""

import argparse
import math
import os
import signal
import sys

import kilnguard
from kilnguard_watch import __version__

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
PROG = "kilnguard-watch"


class UsageError(Exception):
    """A setting that keeps the monitor from starting; reported in one line."""


class Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line naming the setting and the value, not the whole usage text.
        self.exit(EXIT_USAGE, f"{PROG}: {message} (see --help)\n")


def build_parser():
    parser = Parser(
        prog=PROG,
        description="Watch the owner burn rate of every Bittensor subnet and report "
                    "changes to a Telegram chat.",
        epilog="Secrets come from the environment: TAOSTATS_API_KEY (Taostats API key), "
               "TELEGRAM_BOT_TOKEN and TELEGRAM_CHAT_ID. TAOSTATS_API_BASE, "
               "TAOSTATS_USER_AGENT and TELEGRAM_API_BASE change the endpoints. "
               "Create the pause file to stop monitoring.")
    parser.add_argument("--state", default="./burn_state.json", metavar="PATH",
                        help="state file holding the last rates (default: %(default)s)")
    parser.add_argument("--threshold", type=float, default=0.01,
                        help="alert when a rate moves by more than this (default: %(default)s)")
    parser.add_argument("--interval", type=float, default=5.0, metavar="MINUTES",
                        help="minutes between passes, at least 1 (default: %(default)s)")
    parser.add_argument("--pause-file", default="", metavar="PATH",
                        help="stop monitoring when this file appears (default: never)")
    parser.add_argument("--no-snapshot", action="store_true",
                        help="do not send the snapshot of all rates at start-up")
    parser.add_argument("--once", action="store_true",
                        help="run one pass; the exit status is its result (0 or 1)")
    parser.add_argument("--dry-run", action="store_true",
                        help="print messages to standard output instead of sending them")
    parser.add_argument("--demo", action="store_true",
                        help="run against built-in loopback Taostats and Telegram servers")
    parser.add_argument("--token-file", metavar="PATH",
                        help="read the bot token from this file instead of TELEGRAM_BOT_TOKEN "
                             "(for systemd credentials)")
    parser.add_argument("--chat-id", metavar="ID",
                        help="Telegram chat id (default: $TELEGRAM_CHAT_ID)")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser


def check_settings(args):
    if not math.isfinite(args.threshold) or args.threshold < 0:
        raise UsageError(f"--threshold must be a finite number, 0 or more, not {args.threshold}")
    if not math.isfinite(args.interval) or args.interval <= 0:
        raise UsageError(f"--interval must be a positive number of minutes, not {args.interval}")
    folder = os.path.dirname(os.path.abspath(args.state))
    if not os.path.isdir(folder):
        raise UsageError(f"--state {args.state}: folder {folder} does not exist")
    if not os.access(folder, os.W_OK):
        raise UsageError(f"--state {args.state}: folder {folder} is not writable")


def telegram_secrets(args):
    if args.token_file:
        try:
            with open(args.token_file, encoding="utf-8") as f:
                token = f.read().strip()
        except OSError as error:
            raise UsageError(f"cannot read --token-file {args.token_file}: {error.strerror}")
    else:
        token = os.environ.get("TELEGRAM_BOT_TOKEN", "").strip()
    chat_id = args.chat_id if args.chat_id is not None else os.environ.get("TELEGRAM_CHAT_ID", "")
    chat_id = chat_id.strip()
    if not args.dry_run:
        if not token:
            raise UsageError("no bot token: set TELEGRAM_BOT_TOKEN or give --token-file")
        if not chat_id:
            raise UsageError("no chat id: set TELEGRAM_CHAT_ID or give --chat-id")
    return token, chat_id


def print_instead_of_sending(text, token, chat_id):
    """Stands in for kilnguard.send_burn_telegram in a dry run: the module
    still splits and numbers long texts, and each piece is printed."""
    print(text, end="\n\n", flush=True)
    return (True, "")


def monitor(args, token, chat_id):
    common = dict(state_path=args.state, burn_token=token, burn_chat_id=chat_id)
    if args.once:
        return kilnguard.run_kilnguard_once(threshold=args.threshold, **common)
    if not args.no_snapshot:
        try:
            kilnguard.run_burn_startup_snapshot(**common)
        except Exception as error:  # the loop retries every interval; keep going
            print(f"{PROG}: startup snapshot failed: {error}", file=sys.stderr)
    kilnguard.run_burn_poll_loop(threshold=args.threshold, interval_minutes=args.interval,
                                 pause_path=args.pause_file, **common)
    return 0


def stop_on_sigterm(signum, frame):
    # systemd stops a service with SIGTERM: end like a pause, between two
    # writes of the state file rather than in the middle of one.
    raise SystemExit(0)


def main(argv=None):
    args = build_parser().parse_args(argv)
    signal.signal(signal.SIGTERM, stop_on_sigterm)
    try:
        if args.demo:
            from kilnguard_watch.demo import run_demo
            return run_demo()
        check_settings(args)
        if kilnguard.taostats_auth() is None:
            raise UsageError("no Taostats API key: set TAOSTATS_API_KEY")
        token, chat_id = telegram_secrets(args)
        if args.dry_run:
            kilnguard.send_burn_telegram = print_instead_of_sending
        return monitor(args, token, chat_id)
    except UsageError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as error:  # --once: one line, not a traceback
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return EXIT_FAILURE
