"""The state file survives the process dying at any instant of a save, and a
full disk: a reader always finds one whole document, the old or the new."""

import errno
import os
import random
import resource
import signal
import time

import kilnguard

STAMPS = ("2026-12-06T18:09:52Z", "2026-12-06T18:14:53Z")
KILLS = 200


def two_documents():
    """Two maps big enough that a save takes a while to write."""
    first = {str(n): str(round(n / 997, 6)) for n in range(1500)}
    second = {str(n): "1" if n % 3 else "0.5" for n in range(900)}
    return first, second


def exact_bytes(tmp_path, burns, stamp):
    path = str(tmp_path / f"reference-{stamp}.json")
    kilnguard.save_burn_state(path, burns, stamp)
    with open(path, "rb") as f:
        return f.read()


def saver(path, documents, told):
    """The child: saves the first document once and tells how long that took
    (a forked child may save far slower than its parent, under ASan above
    all), then saves the two documents in turn until it is killed."""
    try:
        started = time.monotonic()
        kilnguard.save_burn_state(path, *documents[0])
        os.write(told, repr(time.monotonic() - started).encode())
        while True:
            for burns, stamp in documents[1], documents[0]:
                kilnguard.save_burn_state(path, burns, stamp)
    finally:
        os._exit(1)  # never back into pytest's own code


def test_a_kill_at_any_instant_leaves_one_whole_document(tmp_path):
    first, second = two_documents()
    documents = [(first, STAMPS[0]), (second, STAMPS[1])]
    expected = {exact_bytes(tmp_path, burns, stamp): burns for burns, stamp in documents}
    folder = tmp_path / "state"
    folder.mkdir()
    path = str(folder / "burn_state.json")
    kilnguard.save_burn_state(path, first, STAMPS[0])
    rng = random.Random(20261206)
    seen = set()
    for _ in range(KILLS):
        ready, told = os.pipe()
        child = os.fork()
        if child == 0:
            saver(path, documents, told)
        os.close(told)
        save_time = float(os.read(ready, 64))
        os.close(ready)
        # Anywhere from the start of the second save to inside the fourth.
        deadline = time.monotonic() + rng.uniform(0.0, 2.5 * save_time)
        while time.monotonic() < deadline:
            pass
        os.kill(child, signal.SIGKILL)
        _, status = os.waitpid(child, 0)
        assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
        with open(path, "rb") as f:
            content = f.read()
        assert content in expected, content[:200]
        assert kilnguard.load_burn_state(path) == expected[content]
        seen.add(content)
        # A temporary file left by the kill is allowed; it is never the state.
        for name in os.listdir(folder):
            if name != "burn_state.json":
                assert name.startswith(".burn_state.json.") and name.endswith(".tmp"), name
                os.unlink(folder / name)
    # The kills landed on both sides of the rename.
    assert len(seen) == 2


def fill_up(path, new):
    """In a child limited to small files: a save that cannot be written whole."""
    child = os.fork()
    if child == 0:
        try:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # EFBIG instead of death
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
            try:
                kilnguard.save_burn_state(path, new, STAMPS[1])
            except OSError as error:
                os._exit(error.errno)
            os._exit(0)
        finally:
            os._exit(255)
    _, status = os.waitpid(child, 0)
    return os.WEXITSTATUS(status)


def test_a_full_disk_fails_the_save_and_keeps_the_old_file(tmp_path):
    first, second = two_documents()
    path = str(tmp_path / "burn_state.json")
    small = {"1": "0.5"}
    kilnguard.save_burn_state(path, small, STAMPS[0])
    with open(path, "rb") as f:
        before = f.read()
    errno_seen = fill_up(path, first)
    assert errno_seen == errno.EFBIG
    with open(path, "rb") as f:
        assert f.read() == before
    assert os.listdir(tmp_path) == ["burn_state.json"]  # the temporary file is gone
    assert kilnguard.load_burn_state(path) == small
