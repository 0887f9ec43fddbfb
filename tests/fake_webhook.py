"""A loopback receiver for the Apprise services a local server can stand in
for, on the shared fake server: json:// and form:// post to the URL's path,
ntfy:// posts JSON naming the topic to the root. Replies come from the
script, then 200."""

import json

import fake_taostats

Reply = fake_taostats.Reply


class FakeWebhook(fake_taostats.FakeServer):
    def unscripted_reply(self):
        return Reply(status=200, body=b"{}")

    def apprise_url(self, scheme, path="/hook"):
        return f"{scheme}://127.0.0.1:{self.port}{path}"  # for ntfy:// the path is the topic

    def arrived(self, taken_only=False):
        """(title, message) of every request (or of those answered with
        success), in order."""
        requests = [r for r in self.requests if not taken_only or 200 <= r.status < 300]
        fields = [json.loads(r.body) if (r.header("Content-Type") or "").startswith("application/json")
                  else dict(r.form()) for r in requests]
        return [(each.get("title"), each.get("message")) for each in fields]

    def taken(self):
        """The messages the receiver took, in order."""
        return [message for _, message in self.arrived(taken_only=True)]
