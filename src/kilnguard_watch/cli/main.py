"""The command line of kilnguard-watch: settings from flags, secrets from the
environment (flags show up in `ps`), then the start-up pass or snapshot and
the poll loop, one pass, the set-up checks, a dry run, or the built-in demo.
What the host adds to the module is wired in seam.install().
`kilnguard-watch history ...` reads the recorded history (cli/history.py)."""

import argparse
import dataclasses
import math
import os
import signal
import stat
import sys
import threading

import kilnguard
from kilnguard_watch import __version__, config, files, reporting, seam
from kilnguard_watch.cli import checks
from kilnguard_watch.delivery import telegram as telegram_api
from kilnguard_watch.delivery.chats import Chat, parse_chats
from kilnguard_watch.log import ERROR, WARNING, log_line
from kilnguard_watch.seam.listing_check import pass_error_text
from kilnguard_watch.store.history import DEFAULT_DAYS
from kilnguard_watch.cli.errors import (EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, EXIT_SETTING_REFUSED,
                                    EXIT_TERMINATED, EXIT_USAGE, SettingRefused, UsageError)

PROG = "kilnguard-watch"
LONGEST_INTERVAL = 7 * 24 * 60  # minutes: a week


class Parser(argparse.ArgumentParser):
    def error(self, message):
        # One line naming the setting and the value, not the whole usage text.
        self.exit(EXIT_USAGE, f"{self.prog}: {message} (see --help)\n")


def build_parser():
    parser = Parser(
        prog=PROG,
        description="Watch the owner burn rate of every Bittensor subnet and report "
                    "changes to a Telegram chat. `kilnguard-watch history --help`: the "
                    "recorded changes, as a table, CSV, JSON or a chart.",
        epilog="Secrets come from the environment (or the files named by --taostats-key-file "
               "and --token-file): TAOSTATS_API_KEY (Taostats API key), "
               "TELEGRAM_BOT_TOKEN and TELEGRAM_CHAT_ID (comma-separated for several chats). "
               "TAOSTATS_API_BASE, TAOSTATS_USER_AGENT and TELEGRAM_API_BASE change the "
               "endpoints. Create the pause file to stop monitoring. Exit status: 0 done or "
               "paused, 1 a pass failed or messages still wait (--once), 2 a setting that can "
               "never work (a bad flag or value, an environment value that is not UTF-8 or holds "
               "a space or control character, a secret file that is not a regular file, a "
               "state folder that does not exist), 78 a service refuses a setting, 130 Ctrl-C, "
               "143 SIGTERM during --once. A state folder that cannot be written now (read-only, "
               "full) or a service that cannot be reached is never status 2 or 78: the monitor "
               "keeps running and its passes fail until that clears.")
    parser.add_argument("--state", default="./burn_state.json", metavar="PATH",
                        help="state file holding the last rates; the host's database (what "
                             "waits to be delivered, what each chat was last told) is beside "
                             "it: burn_state.kilnguard.db for burn_state.json "
                             "(default: %(default)s)")
    parser.add_argument("--config", metavar="PATH",
                        help="TOML file naming the chats and, for each, its subnets, threshold "
                             "and level rules (see the README); instead of --chat-id and "
                             "TELEGRAM_CHAT_ID")
    parser.add_argument("--threshold", type=float, default=0.01, metavar="RATE",
                        help="alert when a rate moves by more than this; rates are fractions "
                             "from 0 to 1, so 0.01 is one percentage point (default: %(default)s)")
    parser.add_argument("--history-days", type=int, default=DEFAULT_DAYS, metavar="DAYS",
                        help="keep the history of rate changes and passes (in the database) "
                             "this many days, from 1 to 3650; history_days in the configuration "
                             "file says the same (default: %(default)s)")
    parser.add_argument("--interval", type=float, default=5.0, metavar="MINUTES",
                        help="minutes between passes, from 1 to a week (default: %(default)s)")
    parser.add_argument("--pause-file", default="", metavar="PATH",
                        help="stop monitoring when this file appears (default: never)")
    parser.add_argument("--snapshot", choices=("auto", "always", "never"), default="auto",
                        help="send the snapshot of all rates at start-up: auto (when there are "
                             "no stored rates; otherwise the first pass reports what changed "
                             "while stopped), always (also resets the baseline) or never "
                             "(default: %(default)s)")
    parser.add_argument("--no-snapshot", dest="snapshot", action="store_const", const="never",
                        help="the same as --snapshot never")
    parser.add_argument("--alert-after", type=int, default=3, metavar="N",
                        help="tell the chat after N passes in a row without a listing or that "
                             "failed (default: %(default)s)")
    parser.add_argument("--once", action="store_true",
                        help="run one pass; exit status 0, or 1 when it failed or messages "
                             "still wait in the outbox")
    parser.add_argument("--check", action="store_true",
                        help="check the Taostats key, the bot token, every chat (the bot's "
                             "right to post, a topic's existence) and the state folder, one "
                             "line each; exit status 0 all good, 78 a setting a service "
                             "refuses, 1 could not check (a service out of reach or answering "
                             "with an error page, a folder that cannot be written now)")
    parser.add_argument("--send-test", action="store_true",
                        help="with --check: also send one short test message to every chat "
                             "(and topic, honouring --silent), one line each saying whether "
                             "Telegram took it; 78 when a chat refuses it, 1 when it could not "
                             "be sent now")
    parser.add_argument("--dry-run", action="store_true",
                        help="print messages to standard output instead of sending them")
    parser.add_argument("--verbose", action="store_true",
                        help="one line per pass: its outcome, subnets, changes and duration")
    parser.add_argument("--demo", action="store_true",
                        help="run against built-in loopback Taostats and Telegram servers")
    parser.add_argument("--token-file", metavar="PATH",
                        help="read the bot token from this file instead of TELEGRAM_BOT_TOKEN "
                             "(for systemd credentials)")
    parser.add_argument("--taostats-key-file", metavar="PATH",
                        help="read the Taostats API key from this file instead of "
                             "TAOSTATS_API_KEY (for systemd credentials)")
    parser.add_argument("--metrics-listen", metavar="HOST:PORT",
                        help="serve Prometheus metrics at http://HOST:PORT/metrics, for "
                             "example 127.0.0.1:9817; at most 16 connections at once, each "
                             "given 5 seconds (default: off)")
    parser.add_argument("--heartbeat-url", metavar="URL",
                        help="dead-man heartbeat (healthchecks.io and the like): URL/start as "
                             "a pass begins, URL after a pass that did its job, a POST of "
                             "URL/fail with the reason after one that got no listing or whose "
                             "messages Telegram did not take; a URL with status= in its query "
                             "(Uptime Kuma) gets status=down&msg=REASON instead. 10 seconds all "
                             "told for each (default: off)")
    parser.add_argument("--chat-id", action="append", metavar="ID[:TOPIC]",
                        help="Telegram chat id, with a forum topic id after a colon; give it "
                             "again for more chats (default: $TELEGRAM_CHAT_ID)")
    parser.add_argument("--commands", action="store_true",
                        help="answer /status, /burn, /top, /watch, /mute and the other "
                             "commands (/help lists them) asked in the configured "
                             "chats (commands = true in the configuration file does the same); "
                             "reads every update of the bot with getUpdates, so the bot must not "
                             "be read by another program")
    parser.add_argument("--notify", action="append", metavar="URL",
                        help="also send every alert to this Apprise URL (discord://…, "
                             "slack://…, ntfy://…, mailto://…, json://…: see Apprise's list of "
                             "services); give it again for more; its messages wait in the "
                             "database until the service takes them. The URL's secrets are "
                             "never logged: lines name it by scheme and host only")
    parser.add_argument("--public", action="store_true",
                        help="with commands: any chat may subscribe itself with /watch (and "
                             "leave with /unwatch all), at most 10000 chats (public_chats = N "
                             "in the configuration file changes that); a chat that blocks the "
                             "bot is dropped (public = true in the configuration file does the "
                             "same)")
    parser.add_argument("--silent", action="store_true",
                        help="deliver messages without a notification sound")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser


# Settings read from the environment.
ENVIRONMENT = ("TAOSTATS_API_KEY", "TELEGRAM_BOT_TOKEN", "TELEGRAM_CHAT_ID", "TAOSTATS_API_BASE",
               "TELEGRAM_API_BASE", "TAOSTATS_USER_AGENT")


def check_text(name, value):
    """A value that the services can never accept: text that is not UTF-8
    (the environment is bytes), or a key or token with a character that
    cannot travel in a header or a URL. The value is not repeated."""
    if any("\udc80" <= c <= "\udcff" for c in value):
        raise UsageError(f"{name} is not valid UTF-8 text")
    if name in ("TAOSTATS_API_KEY", "TELEGRAM_BOT_TOKEN", "--taostats-key-file", "--token-file") \
            and any(not 0x21 <= ord(c) <= 0x7e for c in value.strip()):
        raise UsageError(f"{name} holds a space, a control character or non-ASCII text "
                         f"(value not shown: it is a secret)")


def check_environment(environ=os.environ):
    for name in ENVIRONMENT:
        check_text(name, environ.get(name, ""))
    # Each base as the module reads it (an empty Bot API base has a line of
    # its own, where the Telegram settings are read).
    for name, base in (("TAOSTATS_API_BASE", kilnguard.api_base()),
                       ("TELEGRAM_API_BASE", kilnguard._telegram_api_base())):
        problem = telegram_api.base_problem(base, name) if base else None
        if problem is not None:
            raise UsageError(problem)


def check_settings(args):
    if not math.isfinite(args.threshold) or not 0 <= args.threshold <= 1:
        raise UsageError(f"--threshold must be a rate from 0 to 1, not {args.threshold}")
    # The module never waits less than a minute between passes: a shorter
    # value would be silently stretched, so it is refused instead.
    if not math.isfinite(args.interval) or args.interval < 1:
        raise UsageError(f"--interval must be at least 1 minute, not {args.interval:g}")
    if args.interval > LONGEST_INTERVAL:
        raise UsageError(f"--interval must be at most a week ({LONGEST_INTERVAL} minutes), "
                         f"not {args.interval}")
    if args.alert_after < 1:
        raise UsageError(f"--alert-after must be 1 or more, not {args.alert_after}")
    problem = config.days_problem(args.history_days)
    if problem is not None:
        raise UsageError(f"--history-days {problem} ({args.history_days})")
    check_environment()
    try:
        reporting.check_flags(args.metrics_listen, args.heartbeat_url)
    except ValueError as error:
        raise UsageError(str(error))
    if not args.state.strip():
        raise UsageError("--state must name a file, not ''")
    try:
        mode = os.stat(args.state).st_mode
    except FileNotFoundError:
        pass
    except OSError as error:
        raise UsageError(f"--state {args.state}: {error.strerror}")
    else:
        if not stat.S_ISREG(mode):
            raise UsageError(f"--state {args.state} is {files.kind(mode)}, not a regular file")
    # A missing folder is a wrong path: nothing creates it (systemd's
    # StateDirectory= does, before the start). A folder that cannot be
    # written now may be remounted or freed: the monitor starts, its
    # passes fail and are reported until then, and a restart would not help.
    folder = os.path.dirname(os.path.abspath(args.state))
    if not os.path.isdir(folder):
        raise UsageError(f"--state {args.state}: folder {folder} does not exist")
    problem = checks.folder_unwritable(folder)
    if problem is not None:
        log_line(f"--state {args.state}: cannot write in folder {folder} now ({problem}); "
                 f"passes fail until it can be written", WARNING)


def read_secret(flag, path):
    try:
        with files.open_regular(path) as f:
            secret = f.read().strip()
    except files.NotRegularFile as error:  # a FIFO would have hung the start
        raise UsageError(f"{flag} {error}")
    except (OSError, UnicodeDecodeError) as error:
        raise UsageError(f"cannot read {flag} {path}: {getattr(error, 'strerror', None) or error}")
    if not secret:
        raise UsageError(f"{flag} {path} is empty")
    check_text(flag, secret)
    return secret


def taostats_key_from_file(args):
    """The module reads TAOSTATS_API_KEY from this process's environment at
    every request; a key from a file goes there, and nowhere else."""
    if args.taostats_key_file:
        os.environ["TAOSTATS_API_KEY"] = read_secret("--taostats-key-file", args.taostats_key_file)


def subscriptions(args):
    """The configuration the settings give: the file's, or every chat of
    --chat-id or TELEGRAM_CHAT_ID watching every subnet at --threshold.
    ConfigInvalid names each mistake of a file."""
    if args.config is not None:
        if args.chat_id:
            raise UsageError("--config and --chat-id do not go together: name the chats in "
                             f"the file {args.config}")
        if args.notify:
            raise UsageError("--config and --notify do not go together: name the "
                             f"destinations in the file {args.config} ([[destination]])")
        loaded = config.load(args.config, default_threshold=args.threshold,
                             default_history_days=args.history_days)
        if os.environ.get("TELEGRAM_CHAT_ID", "").strip():
            log_line(f"TELEGRAM_CHAT_ID is not read: the chats are those of {args.config}",
                     WARNING)
        return loaded
    try:
        chats = parse_chats(args.chat_id if args.chat_id else [os.environ.get("TELEGRAM_CHAT_ID", "")])
    except ValueError as error:
        raise UsageError(f"{'--chat-id' if args.chat_id else 'TELEGRAM_CHAT_ID'}: {error}")
    destinations = []
    for url in args.notify or []:
        try:
            destinations.append(config.load_destination(url=url))
        except ValueError as error:  # DestinationError: says what, never the URL's secrets
            raise UsageError(f"--notify: {error}")
    if len({key for _, key in destinations}) < len(destinations):
        raise UsageError("--notify: the same destination is given twice")
    return config.everything(chats, args.threshold, args.silent, destinations, args.history_days)


def telegram_secrets(args, configured):
    if args.token_file:
        token = read_secret("--token-file", args.token_file)
    else:
        token = os.environ.get("TELEGRAM_BOT_TOKEN", "").strip()
    if not args.dry_run:
        if kilnguard._telegram_api_base() == "":
            raise UsageError("TELEGRAM_API_BASE is set but empty: unset it for "
                             "https://api.telegram.org or give the URL of a Bot API server")
        if not token:
            raise UsageError("no bot token: set TELEGRAM_BOT_TOKEN or give --token-file")
        if not configured.chats and not configured.public:
            raise UsageError("no chat id: set TELEGRAM_CHAT_ID or give --chat-id")
    return token


def run_checks(args, token, configured):
    chats = [sub.chat for sub in configured.chats]
    if args.dry_run and not token:
        telegram = checks.skipped_telegram_checks("no bot token is needed for a dry run")
    else:
        telegram = checks.telegram_checks(token, chats)
    results = [checks.taostats_check(kilnguard), *telegram,
               *checks.destination_checks(configured.destinations),
               checks.state_folder_check(args.state)]
    if (args.commands or configured.commands) and token:
        results.append(checks.webhook_check(token))
    if args.send_test:
        if args.dry_run:
            results += checks.skipped_telegram_checks("a dry run sends no test message")
        elif not any(check.status == checks.REFUSED and check.name == "telegram token"
                     for check in telegram):
            silent = {sub.chat.key for sub in configured.chats if sub.silent}
            results += checks.send_test(kilnguard, token, chats, silent)
        if not args.dry_run:
            results += checks.send_destination_tests(configured.destinations)
    for check in results:
        print(check.line(), flush=True)
    return checks.exit_status(results)


def check_telegram_at_start(host, token, chats):
    """A token or chat Telegram refuses ends the program before the first
    pass; a chat that moved is followed; no answer is no verdict."""
    for check in checks.telegram_checks(token, chats):
        if check.status == checks.REFUSED:
            raise SettingRefused(check.detail)
        if check.status == checks.MOVED:
            host.outbox.remember_moved(check.chat.id, check.new_id)
            log_line(f"{check.name}: {check.detail}", WARNING)
        elif check.status == checks.UNKNOWN:
            log_line(f"cannot check {check.name} now: {check.detail}", WARNING)


ONCE_DESTINATIONS_WAIT = 120  # seconds a single run gives the destinations in all


def start_commands(args, host, token, admins):
    """Commands are answered by the running monitor: not by a single pass,
    and not in a dry run, which has no bot to read."""
    if args.once or args.dry_run:
        log_line(f"commands are not answered {'in a single pass' if args.once else 'in a dry run'}",
                 WARNING)
        return
    from kilnguard_watch import commands
    commands.start(host, kilnguard, token, args.interval * 60, admins)
    _threads_left_running.set()


# Set once a thread may still be in a send when the program ends: ours
# inside the module (the delivery thread), or Apprise's own.
_threads_left_running = threading.Event()


def leave(status):
    """Ends the process with `status`. When a thread may still be in a
    send, the interpreter is not finalized under it: one of ours that comes
    back from the module then would abort the whole process instead of
    ending with `status`, and Apprise's would hold the exit until its socket
    gives up. Everything the host keeps is committed by then; only the
    output is flushed."""
    if not _threads_left_running.is_set():
        return status
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(status)


def verbose_line(outcome):
    log_line(outcome.summary())


def monitor(args, host, token, outside):
    # The host's delivery knows its chats; the module's chat id is not read.
    common = dict(state_path=args.state, burn_token=token, burn_chat_id="")
    threshold = host.settings.threshold
    if args.once:
        outside.pass_starting()
        result = kilnguard.run_kilnguard_once(threshold=threshold, **common)
        host.finish_digest()
        stop_when_refused(host)
        # Each destination's messages go on their own thread: one try for
        # what waits before the run ends and says whether all arrived.
        host.destinations.settle(ONCE_DESTINATIONS_WAIT)
        return EXIT_FAILURE if result != 0 or len(host.outbox) else EXIT_OK
    first = "snapshot" if args.snapshot == "always" or (args.snapshot == "auto"
                                                        and not host.stored_subnets) \
        else "pass"
    if not first_listing(args, host, first, common, outside):
        return EXIT_OK
    kilnguard.run_burn_poll_loop(threshold=threshold, interval_minutes=args.interval,
                                 pause_path=args.pause_file, **common)
    # The loop also ends, as for the pause file, once a setting is refused.
    stop_when_refused(host)
    return EXIT_OK


def first_listing(args, host, first, common, outside):
    """The start-up snapshot or first pass, the snapshot tried again each
    interval until it got a listing; False when the pause file ended it."""
    outside.pass_starting()
    while True:
        host.last_outcome = None
        try:
            if first == "snapshot":
                kilnguard.run_burn_startup_snapshot(**common)
            else:
                # Against the stored rates: what changed while the monitor was
                # stopped is alerted as changes.
                kilnguard.run_kilnguard_once(threshold=host.settings.threshold, **common)
        except Exception as error:  # the loop retries every interval; keep going
            log_line(f"first {first} failed: {pass_error_text(error)}", ERROR)
        stop_when_refused(host)
        # A snapshot without a listing stored nothing: the loop's first pass
        # would store the rates silently, and the snapshot would never be
        # sent. It is tried again, each interval, until a listing came. (A
        # first pass against stored rates is what the loop's passes are.)
        if first == "pass" or (host.last_outcome is not None
                               and host.last_outcome.subnets is not None):
            return True
        if not wait_like_the_loop(args):
            sys.stderr.write("[burn] monitoring paused\n")
            stop_when_refused(host)
            return False


def wait_like_the_loop(args):
    """The loop's own wait between passes (the pause file tested every
    second, which keeps systemd's watchdog fed), then its last test right
    before a pass; False when it saw the pause file."""
    return bool(kilnguard._sleep_until_interval(args.interval * 60, args.pause_file)) \
        and not kilnguard._burn_is_paused(args.pause_file)


def stop_when_refused(host):
    if host.refused is not None:
        raise SettingRefused(host.refused)


def chat_ids_joined(argv):
    """argv with each `--chat-id VALUE` written as `--chat-id=VALUE`: argparse
    takes a separate value that starts with "-" for a flag, and every group,
    supergroup and channel id is negative (`--chat-id -1001234567890:7`)."""
    joined = []
    values = iter(argv)
    for arg in values:
        if arg == "--":
            joined.append(arg)
            joined.extend(values)
            break
        if arg == "--chat-id":
            value = next(values, None)
            if value is not None:
                arg = f"--chat-id={value}"
        joined.append(arg)
    return joined


def main(argv=None):
    try:
        status = run(argv)
    except SystemExit as stop:  # SIGTERM, and argparse's own exits
        status = stop.code if isinstance(stop.code, int) else (0 if stop.code is None else 1)
        if not _threads_left_running.is_set():
            raise
    return leave(status)


def run(argv=None):
    # A message with a character the output cannot encode (an ASCII locale,
    # PYTHONIOENCODING=ascii) is written with that character escaped, not
    # lost to an error.
    for stream in (sys.stdout, sys.stderr):
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    argv = sys.argv[1:] if argv is None else list(argv)
    # The monitor takes no positional argument, so a first word of "history"
    # was always a mistake before: every earlier command line means what it did.
    if argv[:1] == ["history"]:
        from kilnguard_watch.cli.history import run_history
        return run_history(argv[1:])
    args = build_parser().parse_args(chat_ids_joined(argv))

    def stop_on_sigterm(signum, frame):
        # systemd stops a service with SIGTERM: the loop ends like a pause,
        # between two writes of a file rather than in the middle of one; a
        # single pass cut short did not do its job.
        raise SystemExit(EXIT_TERMINATED if args.once else EXIT_OK)

    signal.signal(signal.SIGTERM, stop_on_sigterm)
    try:
        if args.demo:
            from kilnguard_watch.cli.demo import run_demo
            return run_demo()
        # The configuration file first: its mistakes are the ones to see.
        configured = subscriptions(args)
        check_settings(args)
        if not args.check and kilnguard._burn_is_paused(args.pause_file):
            sys.stderr.write("[burn] monitoring paused\n")
            return EXIT_OK
        taostats_key_from_file(args)
        if kilnguard.taostats_auth() is None:
            raise UsageError("no Taostats API key: set TAOSTATS_API_KEY or give --taostats-key-file")
        if args.public and not configured.public:
            configured = dataclasses.replace(configured, public=True, commands=True)
        token = telegram_secrets(args, configured)
        if args.check:
            return run_checks(args, token, configured)
        if args.send_test:
            raise UsageError("--send-test goes with --check")
        chosen = list(configured.chats)
        if args.dry_run:
            chosen = chosen or list(config.everything([Chat("dry-run")], args.threshold,
                                                      False).chats)
            log_line("dry run: messages are printed to standard output, not sent")
        host = seam.install(kilnguard, seam.Settings(
            state_path=args.state, token=token, alert_after=args.alert_after,
            dry_run=args.dry_run, threshold=configured.threshold, subscriptions=chosen,
            public=configured.public, most_chats=configured.most_chats,
            destinations=list(configured.destinations), history_days=configured.history_days,
            digest_day=configured.digest_day, digest_hour=configured.digest_hour))
        if configured.destinations:
            _threads_left_running.set()  # Apprise's own threads may still be in a send
        chats = host.settings.chats
        if args.verbose:
            host.observers.subscribe(verbose_line)
        if args.commands or configured.commands:
            start_commands(args, host, token, configured.admins)
        try:
            outside = reporting.attach(host, kilnguard, args.state, args.metrics_listen,
                                       args.heartbeat_url,
                                       interval_minutes=None if args.once else args.interval)
        except OSError as error:  # the metrics port: perhaps free again at the next start
            log_line(error, ERROR)
            return EXIT_FAILURE
        if not args.dry_run:
            check_telegram_at_start(host, token, chats)
        try:
            return monitor(args, host, token, outside)
        finally:
            outside.notifier.stopping("stopped")
    except UsageError as error:
        log_line(error, ERROR)
        return EXIT_USAGE
    except config.ConfigInvalid as invalid:
        for problem in invalid.problems:
            log_line(problem, ERROR)
        return EXIT_USAGE
    except SettingRefused as error:
        log_line(error, ERROR)
        return EXIT_SETTING_REFUSED
    except KeyboardInterrupt:
        log_line("interrupted")
        return EXIT_INTERRUPTED
    except Exception as error:  # --once: one line, not a traceback
        log_line(f"error: {pass_error_text(error)}", ERROR)
        return EXIT_FAILURE
