"""A loopback HTTP server with scripted replies and recorded requests, and
listing records shaped like the real Taostats service's.

Each request takes the next scripted Reply (an unscripted request gets a 599,
so a test that makes one request too many fails loudly). Every connection is
closed after its one reply, as the client never reuses connections."""

import dataclasses
import http.server
import random
import socket
import ssl
import struct
import threading
import time


@dataclasses.dataclass
class Reply:
    status: int = 200
    # None: the standard phrase for the status; "": a status line without one.
    reason: str | None = None
    body: bytes | str = b""
    headers: list = dataclasses.field(default_factory=list)
    # Seconds to wait before the status line.
    delay: float = 0.0
    # Interim responses sent before the final one, as (status, reason).
    interim: list = dataclasses.field(default_factory=list)
    # Close the connection after this many body bytes (Content-Length still
    # declares the whole body).
    hang_up_after: int | None = None
    # Seconds to go silent after the headers (and after any bytes allowed by
    # hang_up_after), then close.
    stall: float = 0.0
    # Close the connection at once, without any reply.
    drop: bool = False
    # Send the body as these chunks with chunked transfer coding.
    chunks: object = None
    # Seconds between two chunks: a body that trickles in.
    chunk_pause: float = 0.0
    # End the connection with a TCP reset instead of an orderly close, after
    # the bytes allowed by hang_up_after.
    reset: bool = False
    # Declare this Content-Length instead of the body's own.
    content_length: int | None = None


@dataclasses.dataclass
class Recorded:
    method: str
    target: str  # the raw request target: path, "?" and query as sent
    version: str
    headers: list  # (name, value) pairs in the order they arrived
    body: bytes

    @property
    def path(self):
        return self.target.split("?", 1)[0]

    @property
    def query(self):
        """The raw query string, or None when the target has no "?"."""
        return self.target.split("?", 1)[1] if "?" in self.target else None

    def header(self, name):
        values = [v for n, v in self.headers if n.lower() == name.lower()]
        return values[0] if values else None


def _encode(body):
    return body.encode() if isinstance(body, str) else body


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _serve(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        fake = self.server.fake
        fake._record(Recorded(self.command, self.path, self.request_version,
                              list(self.headers.items()), body))
        reply = fake._next_reply()
        self.close_connection = True
        if reply.drop:
            return
        if reply.delay:
            fake._wait(reply.delay)
        out = self.wfile
        for status, reason in reply.interim:
            out.write(f"HTTP/1.1 {status} {reason}\r\n\r\n".encode("latin-1"))
        reason = self.responses.get(reply.status, ("",))[0] if reply.reason is None else reply.reason
        status_line = f"HTTP/1.1 {reply.status} {reason}" if reason else f"HTTP/1.1 {reply.status}"
        out.write(status_line.encode("latin-1") + b"\r\n")
        payload = _encode(reply.body)
        for name, value in reply.headers:
            out.write(f"{name}: {value}\r\n".encode("latin-1"))
        if reply.chunks is not None:
            out.write(b"Transfer-Encoding: chunked\r\n")
        else:
            declared = len(payload) if reply.content_length is None else reply.content_length
            out.write(f"Content-Length: {declared}\r\n".encode())
        out.write(b"Connection: close\r\n\r\n")
        out.flush()
        if reply.chunks is not None:
            for n, chunk in enumerate(reply.chunks):
                if n and reply.chunk_pause:
                    out.flush()
                    fake._wait(reply.chunk_pause)
                out.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            out.write(b"0\r\n\r\n")
        elif reply.hang_up_after is not None:
            out.write(payload[:reply.hang_up_after])
        else:
            out.write(payload)
        out.flush()
        if reply.stall:
            fake._wait(reply.stall)
        if reply.reset:
            # Give the client a moment to read what was sent: a reset drops
            # whatever still waits in the socket buffers.
            fake._wait(0.1)
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.connection.close()

    def handle_one_request(self):
        try:
            super().handle_one_request()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            # The client gave up on us (a size cap, a time-out, Ctrl-C).
            self.close_connection = True

    do_GET = do_POST = do_PUT = do_HEAD = _serve


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    tls_context = None

    def get_request(self):
        conn, address = super().get_request()
        if self.tls_context is not None:
            conn = self.tls_context.wrap_socket(conn, server_side=True)
        return conn, address

    def handle_error(self, request, client_address):
        pass


class FakeServer:
    """Scripted replies on 127.0.0.1 at a free port; `url` is its base."""

    def __init__(self, tls_context=None):
        self._lock = threading.Lock()
        self._script = []
        self._stopping = threading.Event()
        self.requests = []
        self.request_seen = threading.Event()
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.fake = self
        self._server.tls_context = tls_context
        scheme = "https" if tls_context else "http"
        self.port = self._server.server_address[1]
        self.url = f"{scheme}://127.0.0.1:{self.port}"
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,),
                                        daemon=True)
        self._thread.start()

    def reply(self, *replies, **fields):
        """Queues replies: Reply objects, or one Reply made of the keywords."""
        with self._lock:
            self._script.extend(replies or [Reply(**fields)])
        return self

    def close(self):
        self._stopping.set()
        self._server.shutdown()
        self._server.server_close()

    def _record(self, recorded):
        with self._lock:
            self.requests.append(recorded)
        self.request_seen.set()

    def _next_reply(self):
        with self._lock:
            if self._script:
                return self._script.pop(0)
        return Reply(status=599, reason="Unscripted Request", body="no reply was scripted")

    def _wait(self, seconds):
        # Cut short when the server stops, so a stalled reply never holds up
        # the end of a test.
        self._stopping.wait(seconds)


def refused_port():
    """A loopback port with nothing listening on it."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# ------------------------------------------------------------ listing data

_SS58_ALPHABET = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"


def _account(rng):
    return {"ss58": "5" + "".join(rng.choice(_SS58_ALPHABET) for _ in range(47)),
            "hex": "0x" + "".join(rng.choice("0123456789abcdef") for _ in range(64))}


def _iso(rng, year=2025):
    return (f"{year}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T"
            f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}Z")


def _rao(rng, high=10**15):
    return str(rng.randint(0, high))


def _signed_rao(rng):
    return str(rng.randint(-10**13, 10**13))


def _fraction(rng):
    return str(round(rng.random(), rng.randint(1, 9)))


def subnet_record(netuid, rng=None, incentive_burn=None):
    """One record of /api/subnet/latest/v1, with the service's ~77 fields:
    numbers mostly as strings (some huge or negative), nullable owners, ISO
    time stamps, and incentive_burn as a decimal fraction in a string."""
    rng = rng or random.Random(netuid)
    if incentive_burn is None:
        incentive_burn = rng.choice(["0", "0", "0", "1", "1", "1", "0.97", "0.5", "0.18", "0.999"])
    block = 5_800_000 + rng.randint(0, 9_999)
    root = netuid == 0
    return {
        "block_number": block,
        "timestamp": _iso(rng),
        "netuid": netuid,
        "owner": None if root else _account(rng),
        "owner_hotkey": None if root else rng.choice([None, _account(rng)]),
        "registration_block_number": 0 if root else rng.randint(1, block),
        "registration_timestamp": None if root else _iso(rng, rng.randint(2023, 2025)),
        "registration_cost": _rao(rng),
        "neuron_registration_cost": _rao(rng, 10**10),
        "max_neurons": 64 if root else 256,
        "neuron_registrations_this_interval": rng.randint(0, 3),
        "active_keys": rng.randint(1, 256),
        "validators": rng.randint(0, 64),
        "active_validators": rng.randint(0, 64),
        "active_miners": rng.randint(0, 192),
        "active_dual": rng.randint(0, 5),
        "emission": _rao(rng, 10**9),
        "projected_emission": _fraction(rng),
        "tempo": 360 if not root else 100,
        "difficulty": "18446744073709551615",
        "raw_difficulty": "18446744073709551615",
        "min_difficulty": "10000000",
        "max_difficulty": "18446744073709551615",
        "immunity_period": 5000,
        "max_weights_limit": 65535,
        "min_allowed_weights": rng.randint(0, 8),
        "weights_version": rng.randint(0, 3000),
        "weights_rate_limit": 100,
        "activity_cutoff": 5000,
        "max_validators": 64,
        "bonds_moving_avg": "900000",
        "adjustment_interval": 360,
        "adjustment_alpha": "17893341751498265066",
        "target_regs_per_interval": 1,
        "max_regs_per_block": 1,
        "serving_rate_limit": 50,
        "registration_allowed": rng.choice([True, False]),
        "pow_registration_allowed": False,
        "kappa": "32767",
        "rho": "10",
        "commit_reveal_weights_enabled": rng.choice([True, False]),
        "commit_reveal_period": rng.choice([None, 1, 2]),
        "liquid_alpha_enabled": rng.choice([True, False]),
        "alpha_high": "58982",
        "alpha_low": "45875",
        "min_burn": "500000",
        "max_burn": "100000000000",
        "burn": _rao(rng, 10**11),
        "recycled_lifetime": _rao(rng),
        "recycled_24_hours": _rao(rng, 10**12),
        "recycled_since_registration": _rao(rng),
        "incentive_burn": incentive_burn,
        "immune_owner_uids_limit": rng.choice([None, 1]),
        "yuma_version": rng.choice([2, 3]),
        "transfers_enabled": rng.choice([True, False]),
        "subtoken_enabled": not root,
        "user_liquidity_enabled": rng.choice([True, False]),
        "bonds_reset_enabled": False,
        "ema_tao_inflow": _signed_rao(rng),
        "net_flow_1_day": _signed_rao(rng),
        "net_flow_7_days": _signed_rao(rng),
        "net_flow_30_days": _signed_rao(rng),
        "tao_in": _rao(rng),
        "alpha_in": _rao(rng),
        "alpha_out": _rao(rng),
        "alpha_staked": _rao(rng),
        "price": _fraction(rng),
        "liquidity": _rao(rng),
        "total_tao": _rao(rng),
        "owner_alpha_emission": _rao(rng, 10**9),
        "miner_alpha_emission": _rao(rng, 10**9),
        "validator_alpha_emission": _rao(rng, 10**9),
        "hotkey_alpha_min_stake": rng.choice([None, _rao(rng, 10**9)]),
        "symbol": rng.choice(["τ", "α", "β", "γ", "δ", "ש", "ת"]),
        "name": rng.choice([None, f"subnet-{netuid}"]),
        "last_step": block - rng.randint(0, 360),
        "blocks_since_last_step": rng.randint(0, 360),
    }


def subnet_listing(count=129, incentive_burns=None):
    """The service's answer for the listing: pagination, then the records in
    ascending netuid order."""
    burns = incentive_burns or {}
    data = [subnet_record(n, incentive_burn=burns.get(n)) for n in range(count)]
    return {
        "pagination": {"current_page": 1, "per_page": 1024, "total_items": count,
                       "total_pages": 1, "next_page": None, "prev_page": None},
        "data": data,
    }


def throttled(n=None):
    """A throttling answer as the service gives it: 429 with a plain body."""
    return Reply(status=429, body="" if n is None else f"throttled {n}")


def wait_until(predicate, timeout=30.0):
    # Not time.sleep: tests replace it with a recorder.
    deadline = time.monotonic() + timeout
    pause = threading.Event()
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not met in time")
        pause.wait(0.01)
