"""Delivery at Telegram's limits: one message to each of many private chats
through the delivery scheduler and the module's own sender, against the
tests' loopback Bot API enforcing the nominal limits (30 messages a second,
one a second per chat, 20 a minute per group), in a process of its own so
that its work never competes with the measured one.

Targets: no 429 answer, every chat gets its message exactly once, and the
whole takes at most 1.15 times the least time the bot's limit allows.

    python bench/delivery.py [--chats 10000]"""

import argparse
import json
import math
import os
import subprocess
import sys
import time
from collections import Counter, deque

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")

import kilnguard  # noqa: E402
from kilnguard_watch.delivery import telegram as bot_api  # noqa: E402
from kilnguard_watch.delivery.chats import sender_with_options  # noqa: E402
from kilnguard_watch.delivery.scheduler import Scheduler  # noqa: E402

TOKEN = "123456:bench-token"
NOMINAL_PER_BOT = 30
RATIO_TARGET = 1.15


def deliver_waiting(pending, send, scheduler, sleep=time.sleep):
    """Delivers every message in `pending` ({chat key: deque of texts, oldest
    first}) through `send(text, chat_key) -> (ok, error)`, each chat in turn
    at the pace `scheduler` allows, sleeping through its waits. A throttled
    message is tried again when the scheduler lets its chat go; any other
    failure is counted and dropped. Returns the tally of what happened."""
    tally = Counter()
    for chat, texts in pending.items():
        if texts:
            scheduler.waiting(chat)
    while True:
        chat, wait = scheduler.next()
        if chat is None:
            if wait == math.inf:
                return tally
            sleep(wait)
            continue
        ok, error = send(pending[chat][0], chat)
        scheduler.sent(chat)
        if not ok:
            failure = bot_api.classify(error)
            if failure.reason == bot_api.THROTTLED:
                tally["throttled"] += 1
                after = 1 if failure.retry_after is None else failure.retry_after
                tally["paused every chat"] += scheduler.throttled(chat, after)
                continue
            tally[f"failed: {failure.reason}"] += 1
        else:
            tally["delivered"] += 1
        pending[chat].popleft()
        if not pending[chat]:
            scheduler.done(chat)


def serve_fake():
    """The child: the loopback Bot API with the nominal limits. Prints its
    base URL; once a line arrives on standard input, prints how many
    sendMessage each chat had accepted and the 429s it gave, as JSON."""
    sys.path.insert(0, TESTS)
    from fake_telegram import FakeTelegram, api_method

    fake = FakeTelegram()
    fake.enforce_limits()
    print(fake.base_url, flush=True)
    sys.stdin.readline()
    accepted = Counter(r.field("chat_id") for r in list(fake.requests)
                       if api_method(r) == "sendMessage" and r.status == 200)
    print(json.dumps({"accepted": accepted, "too_many": fake.too_many}), flush=True)
    fake.close()


def start_fake():
    child = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--serve-fake"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    return child, child.stdout.readline().strip()


def fake_report(child):
    child.stdin.write("report\n")
    child.stdin.flush()
    report = json.loads(child.stdout.readline())
    child.wait(timeout=30)
    return report


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--chats", type=int, default=10_000,
                        help="private chats, one message each (default: %(default)s)")
    parser.add_argument("--serve-fake", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve_fake:
        return serve_fake()
    if args.chats < 1:
        parser.error(f"--chats must be at least 1, not {args.chats}")

    for name in ("http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
        os.environ.pop(name, None)
    os.environ["no_proxy"] = "127.0.0.1"
    child, base = start_fake()
    try:
        os.environ["TELEGRAM_API_BASE"] = base
        sender = sender_with_options(kilnguard, silent=False)
        pending = {str(n): deque([f"Bench message for chat {n}"])
                   for n in range(1, args.chats + 1)}
        started, cpu_started = time.monotonic(), time.process_time()
        tally = deliver_waiting(pending, lambda text, chat: sender(text, TOKEN, chat), Scheduler())
        wall, cpu = time.monotonic() - started, time.process_time() - cpu_started
        report = fake_report(child)
    finally:
        if child.poll() is None:
            child.terminate()
            child.wait()

    accepted = report["accepted"]
    exactly_once = (len(accepted) == args.chats and set(accepted.values()) == {1}
                    and set(accepted) == set(pending))
    least = args.chats / NOMINAL_PER_BOT
    ratio = wall / least
    verdict = lambda met: "met" if met else "missed"
    print(f"chats: {args.chats}, one private message each")
    print(f"messages delivered: {tally['delivered']} (the fake accepted {sum(accepted.values())})")
    for reason, count in sorted(tally.items()):
        if reason.startswith("failed"):
            print(f"  {reason}: {count}")
    print(f"429 answers: {report['too_many']} (target 0 — {verdict(report['too_many'] == 0)})"
          f"; {tally['paused every chat']} paused every chat")
    print(f"each chat got exactly one: {'yes' if exactly_once else 'no'}")
    print(f"wall time: {wall:.1f} s against the least {least:.1f} s ({args.chats}/30): "
          f"{ratio:.3f}x (target <= {RATIO_TARGET}x — {verdict(ratio <= RATIO_TARGET)})")
    print(f"CPU time of this process: {cpu:.2f} s ({cpu / max(tally['delivered'], 1) * 1e3:.2f} ms "
          f"a message)")
    return 0 if report["too_many"] == 0 and exactly_once and ratio <= RATIO_TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
