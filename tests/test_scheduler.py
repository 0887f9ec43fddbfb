"""The delivery scheduler on a clock the test moves: a few hundred chats of
every kind delivered through it, judged from the recorded send times
against Telegram's limits; and the loopback Bot API's own enforcement of
those limits, which the benchmark delivers against."""

import math
from collections import deque

import pytest

from kilnguard_watch.delivery import scheduler
from kilnguard_watch.delivery import telegram as bot_api
from kilnguard_watch.delivery.scheduler import Scheduler, is_group, limit_key

SEND_COST = 0.003  # clock seconds one request takes


class Clock:
    def __init__(self):
        self.now = 5000.0

    def __call__(self):
        return self.now


def deliver(queued, throttle=lambda chat, n, at: None, sched=None, clock=None):
    """Runs the delivery loop over {chat: [texts]}: next(), send (SEND_COST),
    sent(); `throttle(chat, n, at)` may answer the chat's n-th attempt with a
    retry_after (a 429), whose message is then tried again later. Returns the
    sends as (time, chat, text, accepted) and the throttled() answers."""
    clock = clock or Clock()
    sched = sched or Scheduler(clock)
    pending = {chat: deque(texts) for chat, texts in queued.items()}
    for chat in pending:
        sched.waiting(chat)
    attempts, sends, global_pauses = {}, [], []
    while True:
        chat, wait = sched.next()
        if chat is None:
            if wait == math.inf:
                break
            assert wait > 0
            clock.now += wait
            continue
        attempts[chat] = attempts.get(chat, 0) + 1
        retry_after = throttle(chat, attempts[chat], clock.now)
        sends.append((clock.now, chat, pending[chat][0], retry_after is None))
        clock.now += SEND_COST
        sched.sent(chat)
        if retry_after is not None:
            global_pauses.append((chat, clock.now, sched.throttled(chat, retry_after)))
            continue
        pending[chat].popleft()
        if not pending[chat]:
            sched.done(chat)
    assert not any(pending.values())
    return sends, global_pauses


def mixed_chats():
    """300 chats: private ones with 1-3 messages, one private chat with 50,
    groups and channels with a few, one group with 45, and four topics of
    one forum group with 10 each."""
    chats = {str(n): [f"{n}-{i}" for i in range(1 + n % 3)] for n in range(1, 251)}
    chats["777"] = [f"777-{i}" for i in range(50)]
    chats.update({f"-100{n}": [f"g{n}-{i}" for i in range(1 + n % 4)] for n in range(40)})
    chats["@alerts_channel"] = [f"c-{i}" for i in range(3)]
    chats["-1009"] = [f"big-{i}" for i in range(45)]
    chats.update({f"-1005555:{t}": [f"t{t}-{i}" for i in range(10)] for t in range(1, 5)})
    return chats


def one_message_chats(n=600):
    return {str(n): [f"to {n}"] for n in range(1, n + 1)}


def nominal_minimum(chats):
    """The least time Telegram's nominal limits allow between the first and
    the last send of these messages."""
    total = sum(map(len, chats.values()))
    per_key = {}
    for chat, texts in chats.items():
        per_key[limit_key(chat)] = per_key.get(limit_key(chat), 0) + len(texts)
    least = (total - 1) // 30 * 1.0
    for key, count in per_key.items():
        if is_group(key):
            least = max(least, (count - 1) // 20 * 60.0 + (count - 1) % 20 * 1.0)
        else:
            least = max(least, (count - 1) * 1.0)
    return least


def assert_within_limits(sends):
    times = [t for t, *_ in sends]
    for first, last in zip(times, times[scheduler.PER_BOT:]):
        assert last - first >= 1.0, f"over {scheduler.PER_BOT} sends in the second from {first}"
    by_key = {}
    for t, chat, *_ in sends:
        by_key.setdefault(limit_key(chat), []).append(t)
    for key, times in by_key.items():
        for before, after in zip(times, times[1:]):
            assert after - before >= scheduler.PER_CHAT_SECONDS - 1e-9, (key, before, after)
        if is_group(key):
            for first, last in zip(times, times[scheduler.PER_GROUP:]):
                assert last - first >= scheduler.GROUP_WINDOW - 1e-9, (key, first, last)


def busy_groups():
    """A group with 45 messages first, four topics of another with 10 each,
    then 100 private chats with one."""
    chats = {"-1009": [f"big-{i}" for i in range(45)]}
    chats.update({f"-1005555:{t}": [f"t{t}-{i}" for i in range(10)] for t in range(1, 5)})
    chats.update({str(n): ["once"] for n in range(1, 101)})
    return chats


@pytest.mark.parametrize("make", [mixed_chats, one_message_chats], ids=["mixed", "one-message"])
def test_every_message_goes_once_in_order_within_limits(make):
    chats = make()
    sends, _ = deliver(chats)
    assert_within_limits(sends)
    received = {}
    for _, chat, text, _ in sends:
        received.setdefault(chat, []).append(text)
    assert received == chats


# Where chats take turns the last message of a busy chat also waits for the
# turns of all the others, so the least time is judged where that wait is
# small: many one-message chats (the bot's limit), or a busy group first.
@pytest.mark.parametrize("make", [one_message_chats, busy_groups],
                         ids=["one-message", "busy-group"])
def test_delivery_takes_near_the_least_time_the_limits_allow(make):
    chats = make()
    sends, _ = deliver(chats)
    assert sends[-1][0] - sends[0][0] <= 1.1 * nominal_minimum(chats) + 2.0


@pytest.mark.parametrize("per_chat_seconds", [scheduler.PER_CHAT_SECONDS, 0.0],
                         ids=["chat-interval", "no-chat-interval"])
def test_a_chat_with_many_messages_waits_its_turn(per_chat_seconds):
    chats = {"1": [f"busy-{i}" for i in range(50)],
             **{str(n): ["once"] for n in range(2, 200)}}
    clock = Clock()
    sends, _ = deliver(chats, sched=Scheduler(clock, per_chat_seconds=per_chat_seconds),
                       clock=clock)
    order = [chat for _, chat, *_ in sends]
    second_busy = order.index("1", 1)
    assert set(order[:second_busy]) == set(chats)


def test_every_chat_with_an_alert_goes_before_any_with_only_answers():
    clock = Clock()
    sched = Scheduler(clock, per_bot=2)
    for chat in ("a1", "a2", "a3"):
        sched.waiting(chat, rank=1)  # answers, queued first
    sched.waiting("x", rank=0)
    sched.waiting("a3", rank=0)  # an alert joins its answers: it moves up
    order = []
    for _ in range(4):
        chat, wait = sched.next()
        if chat is None:  # the bot's window is full
            clock.now += wait
            chat, _ = sched.next()
        order.append(chat)
        sched.sent(chat)
        sched.done(chat)
    assert order == ["x", "a3", "a1", "a2"] and sched.next() == (None, math.inf)


def test_a_429_explained_by_a_group_pauses_only_that_group():
    # The group's 20th message in the window is refused: its own limit.
    chats = {"-1001": [f"g-{i}" for i in range(25)],
             **{str(n): [f"p{n}-{i}" for i in range(80)] for n in range(1, 4)}}
    sends, pauses = deliver(chats, throttle=lambda chat, n, at: 30 if (chat, n) == ("-1001", 20)
                            else None)
    assert [(chat, everyone) for chat, _, everyone in pauses] == [("-1001", False)]
    paused_at = pauses[0][1]
    group = [t for t, chat, *_ in sends if chat == "-1001" and t > paused_at]
    others = [t for t, chat, *_ in sends if chat != "-1001" and paused_at < t < paused_at + 30]
    assert group[0] >= paused_at + 30
    assert len(others) >= 3 * 25  # the private chats keep their pace meanwhile
    assert [text for _, chat, text, ok in sends if chat == "-1001" and ok] == chats["-1001"]


def test_a_429_its_chat_cannot_explain_pauses_every_chat():
    chats = {str(n): [f"{n}-{i}" for i in range(3)] for n in range(1, 100)}
    sends, pauses = deliver(chats, throttle=lambda chat, n, at: 7 if (chat, n) == ("42", 1)
                            else None)
    assert [(chat, everyone) for chat, _, everyone in pauses] == [("42", True)]
    paused_at = pauses[0][1]
    after = [t for t, *_ in sends if t > paused_at - SEND_COST]
    assert after[0] >= paused_at + 7


def test_paused_until_reports_the_pause():
    clock = Clock()
    sched = Scheduler(clock)
    sched.waiting("-1001:3")
    for n in range(scheduler.PER_GROUP):
        clock.now += scheduler.PER_CHAT_SECONDS
        assert sched.next() == ("-1001:3", 0.0)
        sched.sent("-1001:3")
    assert sched.throttled("-1001:3", 90) is False
    assert sched.paused_until("-1001") == clock.now + 90
    assert sched.next() == (None, 90)
    assert sched.paused_until("5") <= clock.now


def test_a_full_bot_window_answers_with_its_wait():
    clock = Clock()
    sched = Scheduler(clock)
    for n in range(10_000):
        sched.waiting(str(n))
    for _ in range(scheduler.PER_BOT):
        chat, _ = sched.next()
        sched.sent(chat)
    clock.now += 0.25
    assert sched.next() == (None, pytest.approx(0.75))
    clock.now += 0.75
    assert sched.next() == (str(scheduler.PER_BOT), 0.0)


@pytest.mark.parametrize("chat_key, key, group", [
    ("12345", "12345", False),
    ("-100123", "-100123", True),
    ("-100123:7", "-100123", True),
    ("@alerts_channel", "@alerts_channel", True),
    ("42:3", "42", False),
], ids=["private", "supergroup", "topic", "channel-name", "private-topic"])
def test_limit_key_and_is_group(chat_key, key, group):
    assert (limit_key(chat_key), is_group(chat_key)) == (key, group)


@pytest.mark.parametrize("first, second, options", [
    ("5", "5", {}),
    ("-1007", "-1007", {"message_thread_id": 4}),
], ids=["same-chat", "topic-of-the-group"])
def test_the_fake_refuses_a_second_message_within_the_chat_interval(kg, telegram, first, second,
                                                                    options):
    # A long interval: the test does not depend on how fast the machine is.
    telegram.enforce_limits(per_chat_seconds=30.0)
    token = "123456:limits-token"
    assert kg.send_telegram_message("one", token, first) == (True, "")
    assert kg.send_telegram_message("other chat", token, "6") == (True, "")
    ok, error = kg.send_telegram_message("two", token, second, **options)
    assert not ok
    failure = bot_api.classify(error)
    assert failure.reason == bot_api.THROTTLED and 1 <= failure.retry_after <= 30
    assert telegram.too_many == 1
    assert telegram.delivered() == ["one", "other chat"]
