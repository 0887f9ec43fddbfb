"""A loopback receiver for the Apprise services a local server can stand in
for, on the shared fake server: json:// and form:// post to the URL's path,
ntfy:// posts JSON naming the topic to the server's root. It records every
request and answers from a script of replies, or 200 once that is used up."""

import json

import fake_taostats

Reply = fake_taostats.Reply


class FakeWebhook(fake_taostats.FakeServer):
    def unscripted_reply(self):
        return Reply(status=200, body=b"{}")

    def apprise_url(self, scheme, path="/hook"):
        """A URL of `scheme` aimed at this server: for ntfy:// the path is
        the topic."""
        return f"{scheme}://127.0.0.1:{self.port}{path}"

    def arrived(self):
        """(title, message) of every request, in order; None for a field
        that did not come."""
        found = []
        for request in self.requests:
            if (request.header("Content-Type") or "").startswith("application/json"):
                fields = json.loads(request.body)
            else:
                fields = dict(request.form())
            found.append((fields.get("title"), fields.get("message")))
        return found
