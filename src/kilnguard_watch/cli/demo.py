"""The built-in demo: loopback stand-ins for the Taostats API (129 subnets
whose burn rates drift) and the Telegram Bot API (printing each message),
and the real monitor pointed at them. Needs no keys and no network, and ends
by itself after a few passes."""

import json
import os
import random
import tempfile
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import kilnguard
from kilnguard_watch.cli.sample_listing import subnet_listing

SUBNETS = 129
PASSES = 4
SECONDS_BETWEEN_PASSES = 2.0
DEMO_TOKEN = "123456:demo-token"
DEMO_CHAT = "-1001234567890"
LISTING_PATH = "/api/subnet/latest/v1"

class DriftingSubnets:
    """Burn rates that move a little between requests: most stay at 0 or 1,
    as on mainnet, and a few change by more than the alert threshold."""

    def __init__(self, seed=7):
        self.rng = random.Random(seed)
        self.rates = {n: self.rng.choice(["0", "0", "0", "1", "0.5", "0.97"]) for n in range(SUBNETS)}
        self.requests = 0
        self.lock = threading.Lock()

    def listing(self):
        with self.lock:
            if self.requests:
                for netuid in self.rng.sample(range(SUBNETS), 3):
                    self.rates[netuid] = f"{self.rng.randrange(0, 101) / 100:g}"
            self.requests += 1
            return subnet_listing(SUBNETS, self.rates)


class _QuietHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # the demo prints what matters itself
        pass

    def reply(self, status, document):
        body = json.dumps(document).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def _taostats_handler(subnets):
    class Handler(_QuietHandler):
        def do_GET(self):
            if urllib.parse.urlsplit(self.path).path != LISTING_PATH:
                return self.reply(404, {"message": "Not Found"})
            if not self.headers.get("Authorization"):
                return self.reply(401, {"message": "Unauthorized"})
            self.reply(200, subnets.listing())
    return Handler


def _telegram_handler(out):
    class Handler(_QuietHandler):
        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            form = urllib.parse.parse_qs(self.rfile.read(length).decode(), keep_blank_values=True)
            text = form.get("text", [""])[0]
            chat = form.get("chat_id", [""])[0]
            out(f"── Telegram message to chat {chat} ──\n{text}\n")
            self.reply(200, {"ok": True, "result": {"message_id": 1, "chat": {"id": chat}, "text": text}})
    return Handler


def _serve(handler):
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def run_demo(out=print):
    """Runs the snapshot and a few watch passes against the loopback servers;
    returns the exit status (0)."""
    subnets = DriftingSubnets()
    taostats = _serve(_taostats_handler(subnets))
    telegram = _serve(_telegram_handler(lambda text: out(text, flush=True)))
    os.environ.update({
        "TAOSTATS_API_BASE": f"http://127.0.0.1:{taostats.server_port}",
        "TAOSTATS_API_KEY": "demo-key",
        "TELEGRAM_API_BASE": f"http://127.0.0.1:{telegram.server_port}",
        "no_proxy": "127.0.0.1",
    })
    try:
        with tempfile.TemporaryDirectory(prefix="kilnguard-demo-") as folder:
            state = os.path.join(folder, "burn_state.json")
            out(f"kilnguard demo: {SUBNETS} subnets on a loopback Taostats, messages to a "
                f"loopback Telegram; state in {state}\n", flush=True)
            kilnguard.run_burn_startup_snapshot(state_path=state, burn_token=DEMO_TOKEN,
                                                burn_chat_id=DEMO_CHAT)
            for number in range(1, PASSES + 1):
                time.sleep(SECONDS_BETWEEN_PASSES)
                out(f"kilnguard demo: pass {number} of {PASSES}", flush=True)
                kilnguard.run_kilnguard_once(state_path=state, threshold=0.01,
                                             burn_token=DEMO_TOKEN, burn_chat_id=DEMO_CHAT)
            out("kilnguard demo: done", flush=True)
    finally:
        taostats.shutdown()
        telegram.shutdown()
    return 0
