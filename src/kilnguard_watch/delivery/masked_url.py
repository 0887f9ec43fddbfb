"""What an Apprise URL may show of itself. Apprise's own url(privacy=True)
masks only what a service declares secret (a json:// path, which often holds
a webhook's key, comes back whole), so the host makes its own rule: a name
of the scheme and a host that is a network address, nothing else, and no
text repeated that holds any other part of the URL."""

import ipaddress
import re
import urllib.parse

SHOWN_LIMIT = 300  # characters of a text shown

_LABEL = re.compile(r"(?!-)[a-z0-9-]{1,63}(?<!-)", re.IGNORECASE | re.ASCII)
_TOP_LABEL = re.compile(r"[a-z]{2,63}", re.IGNORECASE | re.ASCII)
_HOST_PORT = re.compile(r"(\[[^\]]*\]|[^:]*)(?::(\d+))?")


def _is_address(host):
    """Whether `host` reads as a network address: an IP address,
    localhost, or a DNS name with a top-level domain. A token in a host's
    place (a Discord webhook id, a Slack token, an ntfy topic) does not."""
    try:
        ipaddress.ip_address(host[1:-1] if host.startswith("[") else host)
        return True
    except ValueError:
        pass
    labels = host.split(".")
    return host.lower() == "localhost" or (
        len(labels) >= 2 and all(_LABEL.fullmatch(label) for label in labels)
        and bool(_TOP_LABEL.fullmatch(labels[-1])))


class MaskedUrl:
    """An Apprise URL of `service` (its plugin class): `name` for logs,
    `--check` output and metric labels, and `shown` for texts that may
    quote the URL."""

    def __init__(self, url, service):
        scheme, _, after = url.partition("://")
        ends = [index for index in (after.find(c) for c in "/?#") if index >= 0]
        cut = min(ends, default=len(after))
        authority, rest = after[:cut], after[cut:]
        userinfo, _, host_port = authority.rpartition("@")
        found = _HOST_PORT.fullmatch(host_port)
        # What is not host[:port] (a bot token "123:ABC" in the host's
        # place) is all host, and a host of that kind is never shown.
        host, port = (found.group(1), found.group(2) or "") if found else (host_port, "")
        # A host is shown only where the service takes one: in a service
        # whose URL starts with a token the first part is never shown,
        # however it looks.
        shows_host = _is_address(host) and any("{host}" in form for form in service.templates)
        self.name = self._name(scheme.lower(), userinfo, host if shows_host else None, port, rest)
        hidden = userinfo.split(":", 1) if userinfo else []
        if not shows_host:
            hidden.append(host)
        # Query keys are names, not secrets; their values may be.
        split = urllib.parse.urlsplit("//h" + rest)
        hidden += split.path.split("/") + split.fragment.split("/")
        hidden += [pair.partition("=")[2] for pair in split.query.split("&")]
        # A token "123:ABC" in the host's place may be quoted in halves.
        hidden += [half for part in hidden for half in part.split(":")]
        hidden += [urllib.parse.unquote(part) for part in hidden]
        self._hidden = frozenset(part.casefold() for part in hidden if part)

    @staticmethod
    def _name(scheme, userinfo, host, port, rest):
        """scheme://host[:port] with "…" for what is left out: the user and
        password, the path and query, and the host too unless it is shown."""
        if host is None:
            return f"{scheme}://…"
        name = f"{scheme}://{'…@' if userinfo else ''}{host}{':' + port if port else ''}"
        return name + ("/…" if rest.strip("/") else "")

    def shown(self, text):
        """`text` on one line and cut short, or None when it holds any part
        of the URL the name leaves out, as written or percent-decoded, in
        any case."""
        folded = text.casefold()
        if any(part in folded for part in self._hidden):
            return None
        return " ".join(text.split())[:SHOWN_LIMIT]
