"""--dry-run: every message printed to standard output instead of sent."""


def print_instead_of_sending(text, token, chat_id):
    """Stands in for kilnguard.send_burn_telegram: each piece is printed."""
    print(text, end="\n\n", flush=True)
    return (True, "")
