"""Questions asked in the chat: updates read with the Bot API's getUpdates
long polling on a thread of its own, commands answered through the same
outbox and scheduler as alerts (alerts first).

    poller = commands.start(host, kilnguard, token, interval_seconds)
"""

from kilnguard_watch.log import WARNING, log_line


def start(host, module, token, interval, admins=(), log=log_line):
    """Answers the commands of the host's configured chats (and, in public
    mode, of any chat) from now on (`admins`: user ids that may change any
    chat's subscription); gives the running Poller."""
    from kilnguard_watch.commands.handlers import MENU, Commands
    from kilnguard_watch.commands.poller import Poller
    from kilnguard_watch.commands.view import HostView
    from kilnguard_watch.delivery import telegram as telegram_api

    try:
        me = telegram_api.call("getMe", token).get("result")
        username = me.get("username") if isinstance(me, dict) else None
    except telegram_api.Unreachable as error:
        log(f"cannot ask Telegram for the bot's name now ({error}): commands written "
            f"as /status@bot are taken as this bot's", WARNING)
        username = None
    view = HostView(host, interval, token)
    answers = Commands(view, module, {chat.id for chat in host.settings.chats}, username, log,
                       keys={chat.key for chat in host.settings.chats}, admins=admins,
                       subscriptions=host.subscriptions, digest_schedule=host.digest.schedule)
    courier = host.deliver_on_a_thread()
    poller = Poller(token, host.database, host.outbox, answers.handle, log, wake=courier.wake,
                    menu=MENU)
    poller.start()
    return poller
