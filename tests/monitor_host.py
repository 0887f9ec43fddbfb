"""A host around the module for the monitoring tests: a Taostats key in the
environment, a scripted listing in place of the Taostats request, a recorded
Telegram delivery, and a recorded standard error stream. Only the network
edges are replaced; every other operation is the module's own."""

import kilnguard


class RecordingStream:
    """Stands in for sys.stderr: keeps every write() and counts flushes."""

    def __init__(self):
        self.writes = []
        self.flushes = 0

    def write(self, text):
        self.writes.append(text)
        return len(text)

    def flush(self):
        self.flushes += 1


class MonitorHost:
    def __init__(self, monkeypatch, capsys):
        self.listings = []  # what each fetch returns (or raises), in turn
        self.fetches = []
        self.sent = []
        self.delivery = (True, "")
        self._capsys = capsys
        self._lines = []
        monkeypatch.setenv("TAOSTATS_API_KEY", "taostats-secret-key")
        monkeypatch.setattr(kilnguard, "fetch_all_subnets_latest", self._fetch)
        monkeypatch.setattr(kilnguard, "send_burn_telegram_messages", self._send)

    def _fetch(self, auth):
        self.fetches.append(auth)
        listing = self.listings.pop(0) if len(self.listings) > 1 else self.listings[0]
        if isinstance(listing, BaseException):
            raise listing
        return listing

    def _send(self, text, token, chat_id):
        self.sent.append((text, token, chat_id))
        return self.delivery

    @property
    def lines(self):
        """The lines written to standard error so far."""
        self._lines += self._capsys.readouterr().err.splitlines(keepends=True)
        return list(self._lines)


def rows(rates):
    """Listing rows like the real service's, from {netuid: incentive_burn}."""
    return [{"netuid": netuid, "name": f"subnet {netuid}", "incentive_burn": burn,
             "emission": "1000000", "owner": None}
            for netuid, burn in rates.items()]
