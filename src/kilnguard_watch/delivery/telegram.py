"""What kilnguard-watch needs to know about Telegram beyond sending: what a
failed delivery's error text means, and the Bot API's questions (getMe,
getChat, getChatMember, sendChatAction) for the set-up checks and for finding
the chat a group was moved to.

Text messages always go through the module's send operation; this client
asks questions, and sends the pictures the module has no operation for
(sendPhoto, a multipart upload). It uses Python's own HTTP client, which honours
the proxies (https_proxy, no_proxy) and SSL_CERT_FILE as the module does,
with an overall deadline and a bounded reply, so a Bot API server that
trickles or never ends its answer cannot hold the start."""

import http.client
import json
import re
import secrets
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass

import kilnguard
from kilnguard_watch import deadline_http
from kilnguard_watch import log

TIMEOUT_SECONDS = 30  # for the whole call: connect, send and read
REPLY_LIMIT = 1024 * 1024  # getMe and getChat answer in a few hundred bytes

# Reasons a delivery failed, as counted in pass outcomes.
THROTTLED = "throttled"
MIGRATED = "migrated"
TOKEN = "token"
CHAT = "chat"
MESSAGE = "message"  # this message can never go, as it is
OTHER = "other"

_RETRY_AFTER = re.compile(r"retry after (\d+)", re.IGNORECASE)


@dataclass(frozen=True)
class Failure:
    reason: str
    retry_after: int | None = None  # seconds, for THROTTLED when the reply said
    migrate_to: str | None = None  # the new chat id, for MIGRATED when the reply said


def _reply_document(text):
    """A failed delivery whose reply had no description carries (part of)
    the reply body; when that is a whole JSON object its parameters count."""
    try:
        document = json.loads(text)
    except ValueError:
        return {}
    return document if isinstance(document, dict) else {}


def classify(error):
    """What the error text of a failed send means for the operator. The text
    is a reply's description, or (when it had none) its body, which may be
    the whole JSON reply."""
    text = str(error)
    document = _reply_document(text)
    parameters = document.get("parameters") if isinstance(document.get("parameters"), dict) else {}
    code = document.get("error_code")
    lowered = str(document.get("description") or text).lower()
    if code == 429 or lowered.startswith("too many requests") or "http error 429" in lowered:
        after = parameters.get("retry_after")
        if not isinstance(after, int) or isinstance(after, bool):
            found = _RETRY_AFTER.search(lowered)
            after = int(found.group(1)) if found else None
        return Failure(THROTTLED, retry_after=after)
    if "upgraded to a supergroup" in lowered or "migrate_to_chat_id" in parameters:
        new = parameters.get("migrate_to_chat_id")
        return Failure(MIGRATED, migrate_to=None if new is None else str(new))
    if code in (401, 404) or lowered in ("unauthorized", "not found") or "http error 401" in lowered:
        return Failure(TOKEN)
    # A bot that may not post in a chat (restricted, not an administrator
    # of a channel) or a topic that does not exist can no more arrive than
    # a kicked bot's messages.
    if code == 403 or lowered.startswith("forbidden") or "http error 403" in lowered \
            or "chat not found" in lowered or "thread not found" in lowered \
            or "not enough rights" in lowered or "have no rights to send" in lowered:
        return Failure(CHAT)
    if code == 400 or lowered.startswith("bad request"):
        return Failure(MESSAGE)
    return Failure(OTHER)


class Unreachable(Exception):
    """No answer from the Bot API (network, TLS, time-out, a reply that is
    not the Bot API's)."""


class ApiError(Exception):
    """The Bot API answered a question with an error; the text is its
    description without the token."""


def base_problem(base, name="TELEGRAM_API_BASE"):
    """Why the API base `name` (as the module reads it) can never work, or
    None. The Bot API's URL carries the token, so such a value is refused
    before any request, never handed to an HTTP client whose error would
    quote the URL."""
    # What is not a URL at all is named as such first; only then is a
    # URL's stray character worth percent-encoding.
    try:
        parts = urllib.parse.urlsplit(base)
        host = parts.hostname
    except ValueError:
        parts, host = None, None
    if parts is None or parts.scheme not in ("http", "https") or not host:
        return f"{name} must be an http:// or https:// URL with a host"
    if any(not 0x21 <= ord(c) <= 0x7e for c in base):
        return (f"{name} holds a space, a control character or non-ASCII text; "
                "percent-encode it")
    return None


def call(method, token, **params):
    """GET /bot<token>/<method>: the reply's JSON object, whatever its status.
    Unreachable when there is none within TIMEOUT_SECONDS all told, or when
    it is over REPLY_LIMIT; its text never holds the token."""
    return request(method, token, params, TIMEOUT_SECONDS, REPLY_LIMIT)


def request(method, token, params, seconds, reply_limit):
    """`call` with its own overall deadline and reply limit in bytes, for a
    question that waits longer or answers more (getUpdates' long poll). The
    parameters are a dict: a Bot API parameter may be called `limit`."""
    query = "?" + urllib.parse.urlencode(params) if params else ""
    return _answer(method, token, lambda url: url + query, seconds, reply_limit)


def upload(method, token, fields, files, seconds=TIMEOUT_SECONDS, reply_limit=REPLY_LIMIT):
    """A multipart/form-data POST: `fields` {name: text}, `files` {name:
    (file name, content type, bytes)}; the reply's JSON object, as `call`."""
    boundary = "kilnguard-" + secrets.token_hex(16)
    parts = []
    for name, value in fields.items():
        parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n'
                     .encode() + str(value).encode("utf-8") + b"\r\n")
    for name, (filename, content_type, data) in files.items():
        parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"; '
                     f'filename="{filename}"\r\nContent-Type: {content_type}\r\n\r\n'
                     .encode() + data + b"\r\n")
    body = b"".join(parts) + f"--{boundary}--\r\n".encode()

    def post(url):
        return urllib.request.Request(url, data=body, method="POST", headers={
            "Content-Type": f"multipart/form-data; boundary={boundary}"})

    return _answer(method, token, post, seconds, reply_limit)


def send_photo(token, chat, png, caption, silent=False):
    """Sends a PNG to `chat` (a Chat: its topic too), with `caption` under
    it. (True, "") or (False, why) as the module's own sends answer, so the
    delivery reads both alike: Telegram's description, or why no answer
    came."""
    fields = {"chat_id": chat.id, "caption": caption}
    if chat.topic is not None:
        fields["message_thread_id"] = chat.topic
    if silent:
        fields["disable_notification"] = "true"
    try:
        document = upload("sendPhoto", token, fields, {"photo": ("chart.png", "image/png", png)})
    except Unreachable as error:
        return False, str(error)
    if document.get("ok") is True:
        return True, ""
    return False, describe(document, token)


def _answer(method, token, prepared, seconds, reply_limit):
    """The JSON object the Bot API answers to `prepared(url)` (the URL, or
    a Request for it)."""
    base = kilnguard._telegram_api_base()  # the rule the module's own sends follow
    problem = base_problem(base)
    if problem is not None:
        raise Unreachable(problem)
    try:
        status, _reason, body = deadline_http.get(prepared(f"{base}/bot{token}/{method}"),
                                                  seconds, reply_limit)
    except urllib.error.URLError as error:
        reason = error.reason
        if isinstance(reason, TimeoutError):
            reason = f"no answer within {seconds} s"
        raise Unreachable(log.scrub(str(reason), token)) from None
    except TimeoutError:
        raise Unreachable(f"no answer within {seconds} s") from None
    except (OSError, ValueError, http.client.HTTPException) as error:
        raise Unreachable(log.scrub(str(error), token)) from None
    if len(body) > reply_limit:
        raise Unreachable(f"HTTP {status}, a reply of over {reply_limit // 1024} KiB: "
                          f"not a Bot API reply")
    try:
        document = json.loads(body.decode("utf-8"))
        if not isinstance(document, dict):
            raise ValueError
    except ValueError:
        raise Unreachable(f"HTTP {status}, not a Bot API reply: "
                          f"{log.scrub(body.decode('utf-8', 'replace'), token)[:200]!r}") from None
    return document


def describe(document, token):
    """One line for a failed Bot API reply, without the token a proxy or a
    server may have echoed in it."""
    text = log.scrub(document.get("description") or f"error {document.get('error_code')}", token)
    return " ".join(text.split())


def migrated_chat(token, chat_id):
    """The id a group chat was moved to, asking the Bot API about the old id
    (it answers every method with migrate_to_chat_id); None when it will
    not say."""
    try:
        document = call("getChat", token, chat_id=chat_id)
    except Unreachable:
        return None
    parameters = document.get("parameters")
    if isinstance(parameters, dict) and parameters.get("migrate_to_chat_id") is not None:
        return str(parameters["migrate_to_chat_id"])
    return None


def webhook_url(token):
    """The URL of the bot's webhook (getWebhookInfo), None when none is set:
    while one is, Telegram refuses getUpdates and commands cannot be read.
    Unreachable without an answer, ApiError for a failed one."""
    document = call("getWebhookInfo", token)
    if not document.get("ok"):
        raise ApiError(describe(document, token))
    info = document.get("result")
    if not isinstance(info, dict) or not isinstance(info.get("url"), str):
        raise ApiError("getWebhookInfo answered without a url")
    return info["url"] or None


def site(url):
    """scheme://host of a URL: what a line may show of a webhook's address,
    whose path usually holds a secret (often the token itself)."""
    try:
        parts = urllib.parse.urlsplit(url)
        host = parts.hostname
    except ValueError:
        host = None
    return f"{parts.scheme}://{host}" if host else "an address that is not a URL"
