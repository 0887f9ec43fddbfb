"""The burn state file: its exact layout, forgiving loads, and saves that
replace the file atomically or not at all."""

import errno
import os
import subprocess
import sys
import textwrap
import time

import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kilnguard

STAMP = "2026-12-06T18:09:52Z"

NINE_LINES = (
    b"{\n"
    b'  "owner_burn_rate": {\n'
    b'    "100": "1",\n'
    b'    "12": "0",\n'
    b'    "2": "0.5",\n'
    b'    "7": "0.18"\n'
    b"  },\n"
    b'  "updated_at_utc": "2026-12-06T18:09:52Z"\n'
    b"}\n"
)

AS_ROOT = hasattr(os, "geteuid") and os.geteuid() == 0


def read_bytes(path):
    with open(path, "rb") as file:
        return file.read()


def write_bytes(path, data):
    with open(path, "wb") as file:
        file.write(data)


# ------------------------------------------------------------------ layout

def test_layout_of_the_example(state_path):
    kilnguard.save_burn_state(state_path, {"7": "0.18", "12": "0", "2": "0.5", "100": "1"}, STAMP)
    assert read_bytes(state_path) == NINE_LINES


def test_layout_of_an_empty_map(state_path):
    kilnguard.save_burn_state(state_path, {}, STAMP)
    assert read_bytes(state_path) == (
        b'{\n  "owner_burn_rate": {},\n  "updated_at_utc": "2026-12-06T18:09:52Z"\n}\n')


def test_non_ascii_is_escaped_and_reads_back(state_path):
    burns = {"1": "0.5\u21920.7", "2": "\U0001f525", "3": 'q"\\\n\x7f'}
    kilnguard.save_burn_state(state_path, burns, "t\u00e9")
    data = read_bytes(state_path)
    assert data.isascii()
    assert b'"0.5\\u21920.7"' in data and b'"\\ud83d\\udd25"' in data
    assert b'"q\\"\\\\\\n\\u007f"' in data and b'"t\\u00e9"' in data
    assert kilnguard.load_burn_state(state_path) == burns


TEXTS = st.text(st.one_of(st.characters(), st.characters(categories=["Cs"])), max_size=8)
JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers(-(10**30), 10**30) | st.floats() | TEXTS,
    lambda children: st.lists(children, max_size=3) | st.tuples(children, children)
    | st.dictionaries(TEXTS, children, max_size=3),
    max_leaves=8,
)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(burns=st.dictionaries(TEXTS, JSON_VALUES, max_size=5), stamp=TEXTS)
def test_layout_matches_json_dumps(state_path, burns, stamp):
    kilnguard.save_burn_state(state_path, burns, stamp)
    document = {"owner_burn_rate": burns, "updated_at_utc": stamp}
    want = json.dumps(document, indent=2, sort_keys=True, ensure_ascii=True) + "\n"
    assert read_bytes(state_path) == want.encode("ascii")


def test_round_trip_in_text_order(state_path):
    burns = {"7": "0.18", "2": "0.5", "100": "1", "12": "0"}
    kilnguard.save_burn_state(state_path, burns, STAMP)
    loaded = kilnguard.load_burn_state(state_path)
    assert loaded == burns
    assert list(loaded) == ["100", "12", "2", "7"]


def test_save_replaces_the_whole_map_and_drops_other_members(state_path):
    write_bytes(state_path, b'{"note": "kept?", "owner_burn_rate": {"9": "1"}, "updated_at_utc": "x"}')
    assert kilnguard.load_burn_state(state_path) == {"9": "1"}
    kilnguard.save_burn_state(state_path, {"1": "0"}, STAMP)
    assert b"note" not in read_bytes(state_path)
    assert kilnguard.load_burn_state(state_path) == {"1": "0"}


# -------------------------------------------------------------------- load

@pytest.mark.parametrize(
    ("stored", "text"),
    [("0.10", "0.1"), ("1E2", "100.0"), ("5", "5"), ("NaN", "nan"), ("-Infinity", "-inf"),
     ("true", "True"), ("false", "False"), ("null", "None"), ("1e-05", "1e-05"),
     ('{"a": [1, "b\'"]}', "{'a': [1, \"b'\"]}"), ('"0.18"', "0.18")],
    ids=["fraction", "exponent", "integer", "nan", "minus-infinity", "true", "false", "null",
         "small-real", "container", "text"],
)
def test_stored_values_come_back_in_text_form(state_path, stored, text):
    write_bytes(state_path, b'{"owner_burn_rate": {"1": ' + stored.encode() + b"}}")
    assert kilnguard.load_burn_state(state_path) == {"1": text}


def _make(kind, path):
    folder = os.path.dirname(path)
    if kind == "missing":
        return path
    if kind == "directory":
        os.mkdir(path)
    elif kind == "dangling-link":
        os.symlink(os.path.join(folder, "nowhere"), path)
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "empty-path":
        return ""
    elif kind == "nul-in-path":
        return path + "\0x"
    elif kind == "unencodable-path":
        return path + "\ud800"
    else:
        write_bytes(path, kind.encode("utf-8"))
    return path


@pytest.mark.parametrize(
    "kind",
    ["missing", "directory", "dangling-link", "fifo", "empty-path", "nul-in-path",
     "unencodable-path", "", "{}", '{"owner_burn_rate": null}', '{"owner_burn_rate": []}',
     '{"owner_burn_rate": "7"}', '{"owner_burn_rate": 1}', '{"owner_burn_rate": {"1": "0.5"',
     '{"owner_burn_rate": {}} {}', "\ufeff" + '{"owner_burn_rate": {"1": "0.5"}}',
     "{'owner_burn_rate': {}}"],
)
def test_forgiving_loads_give_an_empty_map(state_path, kind):
    path = _make(kind, state_path)
    first = kilnguard.load_burn_state(path)
    assert first == {}
    assert kilnguard.load_burn_state(path) is not first  # a new map each time


@pytest.mark.skipif(AS_ROOT, reason="root reads every file")
def test_unreadable_file_loads_as_empty(state_path):
    write_bytes(state_path, b'{"owner_burn_rate": {"1": "0"}}')
    os.chmod(state_path, 0)
    assert kilnguard.load_burn_state(state_path) == {}


@pytest.mark.parametrize("top", [b"[]", b"null", b'"x"', b"1", b"true"])
def test_top_level_that_is_not_an_object_is_an_error(state_path, top):
    write_bytes(state_path, top)
    with pytest.raises(TypeError, match="burn state file .* not an object"):
        kilnguard.load_burn_state(state_path)


def test_bytes_that_are_not_utf8_are_an_error(state_path):
    data = b'{"owner_burn_rate": {"1": "\xff"}}'
    write_bytes(state_path, data)
    with pytest.raises(UnicodeDecodeError) as raised:
        kilnguard.load_burn_state(state_path)
    with pytest.raises(UnicodeDecodeError) as python:
        data.decode("utf-8")
    assert str(raised.value) == str(python.value)


def test_link_to_a_state_file_is_followed(tmp_path):
    write_bytes(tmp_path / "real.json", b'{"owner_burn_rate": {"3": "1"}}')
    os.symlink("real.json", tmp_path / "link.json")
    assert kilnguard.load_burn_state(str(tmp_path / "link.json")) == {"3": "1"}


def test_relative_paths_use_the_current_folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    kilnguard.save_burn_state("state.json", {"1": "0.5"}, STAMP)
    assert (tmp_path / "state.json").exists()
    assert kilnguard.load_burn_state("state.json") == {"1": "0.5"}


def test_any_str_path_works(tmp_path):
    # A name that is not UTF-8 on disk reaches Python as a surrogate escape.
    path = os.path.join(str(tmp_path), "st\udcffte\u00e9.json")
    kilnguard.save_burn_state(path, {"1": "0"}, STAMP)
    assert os.listdir(os.fsencode(str(tmp_path))) == [b"st\xffte\xc3\xa9.json"]
    assert kilnguard.load_burn_state(path) == {"1": "0"}


@pytest.mark.parametrize(
    ("call", "message"),
    [(lambda: kilnguard.load_burn_state(None),
      "load_burn_state() argument 'path' must be str, not None"),
     (lambda: kilnguard.save_burn_state("p", [], STAMP),
      "save_burn_state() argument 'burns' must be dict, not list"),
     (lambda: kilnguard.save_burn_state("p", {}, 1),
      "save_burn_state() argument 'updated_at' must be str, not int")],
    ids=["load-path", "save-burns", "save-stamp"],
)
def test_arguments_are_checked(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


# -------------------------------------------------------------------- save

def folder_listing(path):
    return sorted(os.listdir(os.path.dirname(path)))


@pytest.mark.parametrize(
    ("burns", "error", "message"),
    [({"1": object()}, TypeError, "Object of type object is not JSON serializable"),
     ({(1, 2): "0"}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
     ({"1": {1}}, TypeError, "Object of type set is not JSON serializable")],
    ids=["value", "key", "nested-value"],
)
def test_a_map_with_no_json_form_leaves_the_old_file(state_path, burns, error, message):
    kilnguard.save_burn_state(state_path, {"1": "0.5"}, STAMP)
    before, listing = read_bytes(state_path), folder_listing(state_path)
    with pytest.raises(error, match=message):
        kilnguard.save_burn_state(state_path, burns, STAMP)
    assert read_bytes(state_path) == before
    assert folder_listing(state_path) == listing


@pytest.mark.parametrize(
    ("where", "code"),
    [("missing-folder", errno.ENOENT), ("directory", errno.EISDIR), ("empty", errno.ENOENT),
     ("file-as-folder", errno.ENOTDIR)],
)
def test_unwritable_paths_raise_oserror(tmp_path, where, code):
    write_bytes(tmp_path / "old.json", b"old")
    path = {"missing-folder": tmp_path / "no" / "state.json", "directory": tmp_path,
            "empty": "", "file-as-folder": tmp_path / "old.json" / "x"}[where]
    listing = sorted(os.listdir(tmp_path))
    with pytest.raises(OSError) as raised:
        kilnguard.save_burn_state(str(path), {"1": "0"}, STAMP)
    assert (raised.value.errno, raised.value.strerror, raised.value.filename) == (
        code, os.strerror(code), str(path))
    assert sorted(os.listdir(tmp_path)) == listing
    assert read_bytes(tmp_path / "old.json") == b"old"


def test_embedded_nul_is_refused_like_open(state_path):
    with pytest.raises(ValueError, match="embedded null byte"):
        kilnguard.save_burn_state(state_path + "\0", {}, STAMP)


@pytest.mark.skipif(AS_ROOT, reason="root may write anything")
@pytest.mark.parametrize("locked", ["file", "folder"])
def test_no_permission_leaves_the_old_file(state_path, locked):
    kilnguard.save_burn_state(state_path, {"1": "0.5"}, STAMP)
    before = read_bytes(state_path)
    target = state_path if locked == "file" else os.path.dirname(state_path)
    mode = os.stat(target).st_mode
    os.chmod(target, 0o444 if locked == "file" else 0o555)
    try:
        with pytest.raises(PermissionError):
            kilnguard.save_burn_state(state_path, {"1": "0.9"}, STAMP)
        assert read_bytes(state_path) == before
        assert folder_listing(state_path) == [os.path.basename(state_path)]
    finally:
        os.chmod(target, mode)


def test_a_failed_write_leaves_the_old_file(state_path):
    # A file-size limit makes the write itself fail half-way (EFBIG), in a
    # child process so the limit does not outlive the test.
    kilnguard.save_burn_state(state_path, {"1": "0.5"}, STAMP)
    before = read_bytes(state_path)
    script = textwrap.dedent(f"""
        import errno, resource, signal, kilnguard
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (len({before!r}) + 10, resource.RLIM_INFINITY))
        try:
            kilnguard.save_burn_state({state_path!r}, {{str(n): "0.5" for n in range(500)}}, "t")
        except OSError as error:
            assert error.errno == errno.EFBIG, error
            assert error.filename == {state_path!r}
        else:
            raise SystemExit("the save did not fail")
    """)
    subprocess.run([sys.executable, "-c", script], check=True, env=dict(os.environ))
    assert read_bytes(state_path) == before
    assert folder_listing(state_path) == [os.path.basename(state_path)]


def test_existing_permission_bits_are_kept(state_path):
    kilnguard.save_burn_state(state_path, {}, STAMP)
    os.chmod(state_path, 0o604)
    kilnguard.save_burn_state(state_path, {"1": "0"}, STAMP)
    assert os.stat(state_path).st_mode & 0o7777 == 0o604


def test_new_file_gets_default_permissions(state_path):
    previous = os.umask(0o027)
    try:
        kilnguard.save_burn_state(state_path, {}, STAMP)
    finally:
        os.umask(previous)
    assert os.stat(state_path).st_mode & 0o7777 == 0o640


@pytest.mark.parametrize("target_exists", [True, False], ids=["existing-target", "dangling"])
def test_a_link_keeps_pointing_at_the_new_file(tmp_path, target_exists):
    (tmp_path / "data").mkdir()
    target = tmp_path / "data" / "real.json"
    if target_exists:
        write_bytes(target, b"old")
    link = tmp_path / "link.json"
    os.symlink("data/real.json", link)
    kilnguard.save_burn_state(str(link), {"1": "0"}, STAMP)
    assert os.path.islink(link) and os.readlink(link) == "data/real.json"
    assert kilnguard.load_burn_state(str(target)) == {"1": "0"}
    assert sorted(os.listdir(tmp_path / "data")) == ["real.json"]



# ------------------------------------------------- what sits at the path

def _special(kind, path):
    import socket
    import stat

    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(path)
        return listener
    elif kind == "character-device":
        try:
            os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # as /dev/null
        except PermissionError:
            pytest.skip("creating a device needs root")
    return None


@pytest.mark.parametrize("kind, named", [("fifo", "a FIFO"), ("socket", "a socket"),
                                         ("character-device", "a character device")])
@pytest.mark.parametrize("through_link", [False, True], ids=["direct", "through-a-link"])
def test_only_a_regular_file_is_replaced(tmp_path, kind, named, through_link):
    target = str(tmp_path / "special")
    keep = _special(kind, target)
    path = target
    if through_link:
        path = str(tmp_path / "state.json")
        os.symlink(target, path)
    listing = sorted(os.listdir(tmp_path))
    before = os.lstat(target)
    with pytest.raises(OSError) as raised:
        kilnguard.save_burn_state(path, {"1": "0"}, STAMP)
    assert raised.value.errno == errno.EINVAL and raised.value.filename == path
    assert named in str(raised.value) and path in str(raised.value)
    after = os.lstat(target)
    assert (after.st_mode, after.st_ino) == (before.st_mode, before.st_ino)
    assert sorted(os.listdir(tmp_path)) == listing
    if keep is not None:
        keep.close()


def test_stale_temporaries_of_this_file_are_removed(tmp_path):
    path = tmp_path / "burn_state.json"
    hour_ago = time.time() - 3600
    ours = [f".burn_state.json.{pid}-{n}-{ns}.tmp" for pid, n, ns in
            [(4242, 0, 123456789), (1, 17, 5)]]
    kept = [
        ".burn_state.json.4242-1-99.tmp",       # ours, but too fresh to be stale
        ".other_state.json.4242-0-1.tmp",       # another state file's
        ".burn_state.json.4242-0.tmp",          # not our pattern
        ".burn_state.json.x-0-1.tmp",
        "burn_state.json.4242-0-1.tmp",
        "notes.txt",
    ]
    for name in ours + kept:
        (tmp_path / name).write_text("partial")
        if name != kept[0]:
            os.utime(tmp_path / name, (hour_ago, hour_ago))
    stale_dir = tmp_path / ".burn_state.json.4242-2-3.tmp"   # ours by name, but a folder
    stale_dir.mkdir()
    os.utime(stale_dir, (hour_ago, hour_ago))
    kilnguard.save_burn_state(str(path), {"1": "0"}, STAMP)
    assert sorted(os.listdir(tmp_path)) == sorted(kept + [stale_dir.name, path.name])
