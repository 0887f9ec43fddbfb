"""
Watches the owner burn rate of every Bittensor subnet and reports changes to a Telegram chat.
"""

import types


OWNER_BURN_DECIMALS: int = 4

def api_base() -> str:
    """
    The Taostats API base URL, without a trailing "/".

    TAOSTATS_API_BASE as the environment holds it at this call, every trailing "/"
    removed; https://api.taostats.io when the variable is absent.
    """

def request_headers(auth: str) -> dict[str, str]:
    """
    The headers of a Taostats request, in sending order.

    Authorization carries the bare key; User-Agent is TAOSTATS_USER_AGENT
    unchanged (empty included) or a browser's signature; then Accept and
    Accept-Language. No compressed transfer is asked for.
    """

def taostats_auth() -> str | None:
    """
    The Taostats API key from TAOSTATS_API_KEY, trimmed.

    None when the variable is absent, empty or only white space: the Taostats API
    cannot be used then. Read afresh at every call.
    """

def http_get_json(path: str, params: dict[str, object], auth: str) -> dict[str, object] | None:
    """
    One authenticated GET of api_base() + path + "?" + the query.

    A 2xx JSON object comes back as it is (null as None); a 2xx body that is not
    JSON gives {"parse_error", "raw"}; another status gives the body's object, or
    {"status_code", "message"} (of a body over 1 MiB, only its start and how
    many characters were left out), with "http_status" set. Transport failures raise
    TimeoutError or ConnectionError; a URL or header that cannot be sent raises
    ValueError before any connection.
    """

def is_rate_limited(payload: dict[str, object]) -> bool:
    """
    Whether an answer says the client is being throttled.

    True when status_code equals 429 or the text form of message contains
    "Rate Limited"; http_status is not looked at.
    """

def with_retries(path: str, params: dict[str, object], auth: str, *, max_retries: int = 6) -> dict[str, object]:
    """
    http_get_json, repeated while the answer is throttled.

    At most max_retries requests, with pauses through time.sleep of 2.0 seconds
    growing by 1.8 up to 120.0 between them; the last payload comes back even if
    throttled. Any other answer returns at once; errors escape without a retry.
    """

def fetch_all_subnets_latest(auth: str) -> list[dict[str, object]] | dict[str, object]:
    """
    The latest record of every subnet, by ascending netuid.

    The answer's "data" rows as sent, from one request of up to 1024 rows; when
    there are none, {"error": "no_subnet_rows", "response": <the answer>}.
    """

def owner_burn_from_row(row: dict[str, object]) -> str:
    """
    The subnet's owner burn rate from its listing row, as text.

    The member "incentive_burn" in its text form: a text unchanged, a real in its
    shortest round-trip form, an integer in decimal. An absent, null, false, zero
    or empty value gives "0".
    """

def format_owner_burn(value: str) -> str:
    """
    A rate for display: OWNER_BURN_DECIMALS digits after the point.

    The text is read as a real (white space around it, a sign, single underscores
    between digits, inf and nan allowed) and rounded exactly, half to even, from
    its double value: "0.18" gives "0.1800", "-0" gives "-0.0000". A text that
    does not read as a real comes back unchanged.
    """

def owner_burn_changed(old: str, new: str, threshold: float) -> bool:
    """
    Whether a rate moved by more than the threshold.

    When both texts read as reals, true exactly when their absolute difference is
    strictly greater than threshold (a difference that is not a number is no
    change); otherwise true when the texts differ.
    """

def load_burn_state(path: str) -> dict[str, str]:
    """
    The rates stored by the last save, by netuid text, in the file's order.

    Each stored value comes back in its text form. A path that names no regular
    file, a file that cannot be read or is not JSON, and a file without an
    "owner_burn_rate" object all give an empty map; bytes that are not UTF-8 raise
    UnicodeDecodeError and a document that is not a JSON object raises TypeError.
    """

def save_burn_state(path: str, burns: dict[str, str], updated_at: str) -> None:
    """
    Stores the rates and the time of the pass, replacing the file atomically.

    The document holds "owner_burn_rate" and "updated_at_utc", names sorted, two
    spaces of indentation, pure ASCII, one final line feed. A symbolic link keeps
    pointing at the new file and an existing file keeps its permission bits; on
    failure the old file is left as it was and the OSError is raised.
    """

def _replace_file(path: str, text: str) -> None:
    """
    Replaces the file at path with text (UTF-8) as the state file is replaced.

    A temporary file in the same folder is written, synced and renamed over the
    path, then the folder is synced: a crash leaves the old document or the new
    one. A symbolic link keeps pointing at the new file and an existing file keeps
    its permission bits. A path naming a device, a FIFO or a socket is refused
    with OSError; on any failure the temporary file is removed, the old file is
    left as it was and the OSError names the path.
    """

def diff_burns(prev: dict[str, str], current: dict[str, str], threshold: float) -> list[tuple[str, str, str]]:
    """
    The subnets whose rate changed, as (netuid, old, new), by ascending netuid.

    Only subnets present in both maps can be reported; owner_burn_changed, as the
    module binds it at the time of the call, decides each one. A key of current
    that is not a base-10 integer text raises ValueError.
    """

def format_burn_alert(changes: list[tuple[str, str, str]], updated_at: str) -> str:
    """
    The alert text for the subnets whose owner burn rate changed.

    A title line, the time line (updated_at + " UTC"), an empty line, then one
    line "SN<netuid>: <old> → <new>" per change in the order given, both rates
    shown by format_owner_burn as the module binds it at the time of the call.
    """

def format_burn_snapshot(rows: list[dict[str, object]], updated_at: str) -> str:
    """
    The start-up snapshot text listing every subnet's owner burn rate.

    A title line, the time line, "<count> subnets", an empty line, then one line
    "SN<netuid>: <rate>" per row, sorted stably by int(netuid) (a row without one
    sorts as 0 and prints SNNone). The list passed in is not reordered.
    """

def _chunk_text(text: str, max_len: int = 3900) -> list[str]:
    """
    Splits a text longer than max_len into pieces at line boundaries.

    Lengths are counted in code points. Every piece repeats the header (the first
    three lines, or the first two when the third is empty, as in an alert), then
    an empty line in place of the separator line, then whole body lines; a piece
    exceeds max_len only when a single body line forces it.
    """

def _message_pieces(text: str) -> list[str]:
    """
    The messages send_burn_telegram_messages sends for text, in order.

    The pieces of _chunk_text as the module binds it at the time of the call,
    each numbered "(i/N)\\n" in front when there are several; made by the code
    that numbers the pieces delivery sends.
    """

def send_burn_telegram_messages(text: str, token: str, chat_id: str) -> tuple[bool, str]:
    """
    Sends a text of any length as one or more messages; returns (ok, error).

    The text is split by _chunk_text; several pieces go out numbered "(i/N)\\n",
    0.4 seconds apart through time.sleep, each by send_burn_telegram as the module
    binds them at the time of the call. The first failed piece ends the sending.
    """

def send_burn_telegram(text: str, token: str, chat_id: str) -> tuple[bool, str]:
    """
    Sends one message through the Bot API's sendMessage; returns (ok, error).

    The request goes to TELEGRAM_API_BASE (default https://api.telegram.org) with
    a 30-second time-out. Error replies, transport failures and an empty token or
    chat id come back as (False, explanation); the token never appears in it.
    """

def send_telegram_message(text: str, token: str, chat_id: str, *, message_thread_id: int | None = None, disable_notification: bool = False) -> tuple[bool, str]:
    """
    Sends one message with Telegram's options; returns (ok, error).

    send_burn_telegram with two choices more. message_thread_id, a whole number
    above zero, posts into that forum topic of a supergroup (anything else raises
    ValueError before any request); disable_notification=True delivers the message
    without a sound. Each is sent only when given, after the three fields every
    message carries, so with neither the request is send_burn_telegram's own.
    Outcomes, argument checks and the keeping of the token out of every text are
    the same.
    """

def _telegram_api_base() -> str:
    """
    The Bot API base URL every send of the module uses, read now.

    TELEGRAM_API_BASE with every trailing "/" removed, or https://api.telegram.org
    when the variable is absent; an empty value stays empty.
    """

def run_kilnguard_once(*, state_path: str, threshold: float, burn_token: str, burn_chat_id: str) -> int:
    """
    One monitoring pass; 0 when it completed, 1 when it failed.

    Fetches the listing, builds the rate map, compares it with the state file
    (unless that is empty), saves the new rates before anything is sent, and
    sends one alert when a rate moved by more than threshold. Writes its outcome
    as a "[burn] " line on standard error; catches no error.
    """

def run_burn_startup_snapshot(*, state_path: str, burn_token: str, burn_chat_id: str) -> int:
    """
    Fetch all subnets and send full burn-rate snapshot to burn Telegram.

    Stores every subnet's rate as the new baseline without comparing, then sends
    the table of all rates. 0 when the snapshot was delivered, 1 otherwise.
    """

def _burn_check_listing(rows: list[tuple[str | None, object]], pagination: object, stored: dict[str, str] | None) -> object:
    """
    Listing check a host binds in its place; the module's own accepts all.

    While a host's check is bound, a pass and the start-up snapshot call it once
    the rate map is built and before anything is compared or saved: rows holds
    (key, incentive_burn) per listing row that is a dict, key as the rate map
    keys the row's subnet or None when it names none, incentive_burn as listed or
    None; pagination is the page's pagination member or None; stored is the map
    load_burn_state gave the pass, None for the snapshot. None or an empty value
    accepts; anything else is the reason for refusing: the pass logs it as a
    failed fetch ({"error": "listing_looks_wrong", "reason": ...}), saves and
    sends nothing and returns 1.
    """

class PassReport:
    """
    What one watch pass or start-up snapshot came to.

    Handed once to the module's _burn_pass_report after every run_kilnguard_once
    and run_burn_startup_snapshot, whatever their outcome. Read-only; made by the
    module only.
    """

    @property
    def kind(self, /) -> str:
        """"pass" or "snapshot"."""

    @property
    def result(self, /) -> int | BaseException:
        """0 or 1 as returned, or the exception the pass raised."""

    @property
    def failure(self, /) -> str | None:
        """
        None for 0; else "taostats_key", "fetch", "listing", "delivery" or "error".
        """

    @property
    def updated_at(self, /) -> str | None:
        """The pass's time stamp text; None when it stopped before taking one."""

    @property
    def subnets(self, /) -> int | None:
        """Entries of the rate map the pass built; None when it built none."""

    @property
    def changes(self, /) -> tuple[tuple[str, str, str], ...]:
        """
        (netuid, old, new) as diff_burns gave them; empty when nothing changed.
        """

    @property
    def rates(self, /) -> types.MappingProxyType[str, str] | None:
        """
        Read-only view of the rate map the pass built; None when it built none.
        """

    @property
    def pagination(self, /) -> object:
        """The listing page's top-level "pagination" member, or None."""

    @property
    def attempts(self, /) -> int:
        """
        Listing requests the module made; 0 while a host's fetch stands in for it.
        """

    @property
    def throttled(self, /) -> int:
        """How many of those answers were throttled."""

    @property
    def http_status(self, /) -> int | None:
        """
        The HTTP status of a listing that came back as an error answer, else None.
        """

    @property
    def error(self, /) -> str:
        """"" for 0; else what the pass logged after its prefix, on one line."""

    @property
    def duration(self, /) -> float:
        """Seconds the pass took, on a monotonic clock."""

    def __repr__(self, /) -> str: ...

def _burn_pass_report(report: PassReport) -> None:
    """
    Report hook a host binds in its place; the module's own does nothing.

    After every run_kilnguard_once and run_burn_startup_snapshot that accepted its
    arguments, whatever the outcome, the hook bound now is called with one
    PassReport (none is built while this one is bound). An exception from it is
    logged as "[burn] pass report failed: ..." and changes neither the pass's
    result nor its exception; KeyboardInterrupt and SystemExit go on.
    """

def _burn_is_paused(pause_path: str) -> bool:
    """
    Whether the pause file is in place.

    True when pause_path is not empty and names an existing regular file
    (symbolic links followed). Every failure to examine the path means not paused.
    """

def _sleep_until_interval(interval_seconds: float, pause_path: str) -> bool:
    """
    Sleep in 1s steps. Returns False if paused before interval elapsed.

    Tests the pause file before each step of at most one second and once at the
    end; sleeps through the host's time.sleep.
    """

def run_burn_poll_loop(*, state_path: str, threshold: float, interval_minutes: float, burn_token: str, burn_chat_id: str, pause_path: str = '') -> None:
    """
    Monitor without end: wait an interval, run a pass, repeat.

    The interval is interval_minutes * 60 seconds, at least one minute. A pass
    that raises an ordinary error is logged as "[burn] error: ..." and the loop
    goes on. Returns only when the pause file appears.
    """

def _scrub_secrets(text: str, secrets: list[str]) -> str:
    """
    text with every form of every secret blotted out, as the module's texts are.

    Each secret of at least 8 characters is found plainly, JSON-escaped,
    percent-encoded or in any mixture of these and replaced by "..."; shorter
    secrets are left alone.
    """

def _log_line(text: str) -> None:
    """
    Writes text and a line feed to sys.stderr as the module writes its lines.

    One write, no flush, no prefix added; CR and LF inside text are written as
    \\r and \\n, and a line over 8000 characters is cut with a note of how many
    more there were.
    """
