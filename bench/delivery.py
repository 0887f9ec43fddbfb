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
import os
import statistics
import subprocess
import sys
import tempfile
import time
import types
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")

import kilnguard  # noqa: E402
from kilnguard_watch import seam  # noqa: E402
from kilnguard_watch.delivery.chats import Chat  # noqa: E402
from kilnguard_watch.delivery.deliver import Delivery  # noqa: E402
from kilnguard_watch.store.database import Database  # noqa: E402
from kilnguard_watch.store.outbox import Outbox  # noqa: E402

TOKEN = "123456:bench-token"
NOMINAL_PER_BOT = 30
RATIO_TARGET = 1.15


def deliver_waiting(folder, chats):
    """One message queued for each of `chats` in the host database's outbox
    under `folder`, then delivered by kilnguard-watch's own delivery (the
    scheduler, one small transaction per message). Gives the send tally."""
    database = Database(os.path.join(folder, "bench.kilnguard.db"))
    database.open()
    box = Outbox(database)
    with database.transaction() as connection:
        box.add(connection, [(chat.key, f"Bench message for chat {chat.key}") for chat in chats])
    delivery = Delivery(kilnguard, box, TOKEN, chats, log=print)
    while len(box):
        ok, why = delivery.flush()
        if not ok and delivery.refused:
            raise SystemExit(f"delivery refused: {delivery.refused}")
    tally, _ = delivery.take_tally()
    database.close()
    return tally


def pass_cpu(folder, chats):
    """CPU seconds of the host's share of a pass that alerts every chat
    (each chat's comparison, the alert's text and pieces, the queueing
    transaction with the baselines), the median of five."""
    host = seam.install(kilnguard, seam.Settings(
        os.path.join(folder, f"pass-{chats}.json"), TOKEN, [Chat(str(n)) for n in range(1, chats + 1)]),
        log=lambda line: None)
    try:
        def report(rate):
            rates = {str(n): "0" for n in range(129)}
            rates["1"] = rate
            return types.SimpleNamespace(kind="pass", rates=rates, failure=None,
                                         updated_at="2026-12-08T00:00:00Z")

        host._queue(report("0"), None, None)  # every chat's first baseline
        times = []
        for step in range(1, 6):
            started = time.process_time()
            host._queue(report(f"0.{step}"), None, None)
            times.append(time.process_time() - started)
            host.database.execute("DELETE FROM outbox")
        return statistics.median(times)
    finally:
        host.uninstall()
        host.database.close()


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
    folder = tempfile.mkdtemp(prefix="kilnguard-bench-")
    one, many = pass_cpu(folder, 1), pass_cpu(folder, args.chats)
    chats = [Chat(str(n)) for n in range(1, args.chats + 1)]
    child, base = start_fake()
    try:
        os.environ["TELEGRAM_API_BASE"] = base
        started, cpu_started = time.monotonic(), time.process_time()
        tally = deliver_waiting(folder, chats)
        wall, cpu = time.monotonic() - started, time.process_time() - cpu_started
        report = fake_report(child)
    finally:
        if child.poll() is None:
            child.terminate()
            child.wait()

    accepted = report["accepted"]
    exactly_once = (len(accepted) == args.chats and set(accepted.values()) == {1}
                    and set(accepted) == {chat.key for chat in chats})
    least = args.chats / NOMINAL_PER_BOT
    ratio = wall / least
    verdict = lambda met: "met" if met else "missed"
    print(f"chats: {args.chats}, one private message each")
    print(f"messages delivered: {tally['sent']} (the fake accepted {sum(accepted.values())})")
    for reason, count in sorted(tally.items()):
        if reason != "sent":
            print(f"  failed, {reason}: {count}")
    print(f"429 answers: {report['too_many']} (target 0 — {verdict(report['too_many'] == 0)})")
    print(f"each chat got exactly one: {'yes' if exactly_once else 'no'}")
    print(f"wall time: {wall:.1f} s against the least {least:.1f} s ({args.chats}/30): "
          f"{ratio:.3f}x (target <= {RATIO_TARGET}x — {verdict(ratio <= RATIO_TARGET)})")
    print(f"CPU time of delivery: {cpu:.2f} s ({cpu / max(tally['sent'], 1) * 1e3:.2f} ms "
          f"a message, its transaction included)")
    extra = many - one
    print(f"host's share of a pass alerting every chat: {one * 1e3:.1f} ms CPU with one chat, "
          f"{many * 1e3:.1f} ms with {args.chats}: {extra:.2f} s more (target <= 1 s — "
          f"{verdict(extra <= 1)})")
    met = report["too_many"] == 0 and exactly_once and ratio <= RATIO_TARGET and extra <= 1
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
