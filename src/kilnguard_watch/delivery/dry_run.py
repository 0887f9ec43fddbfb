"""--dry-run: every message printed to standard output instead of sent."""


def print_instead_of_sending(text, token, chat_id):
    """Stands in for kilnguard.send_burn_telegram: each piece is printed."""
    print(text, end="\n\n", flush=True)
    return (True, "")


def print_photo_instead(token, chat, png, caption, silent=False):
    """Stands in for the picture sender: the caption and the picture's size."""
    print(f"[a picture of {len(png)} bytes]\n{caption}", end="\n\n", flush=True)
    return (True, "")
