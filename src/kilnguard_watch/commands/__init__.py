"""Questions asked in the chat: updates read with the Bot API's getUpdates
long polling on a thread of its own, commands answered through the same
outbox and scheduler as alerts (alerts first)."""
