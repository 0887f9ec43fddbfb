"""The host's own data, in one SQLite database beside the state file: what
waits to be delivered, what each chat was last told, the chats Telegram
moved, the monitor's health record and the history of every rate change.
The module's JSON state file stays the module's."""
