"""Opening the files the host reads (secrets, the outbox) so that whatever
sits at the path cannot hang or fool it: a FIFO with no writer would block
open() and read() for ever, a device would be read as a secret. The path is
opened without blocking and the open file itself is checked, so nothing can
be swapped in between the check and the read."""

import os
import stat

_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"))


class NotRegularFile(OSError):
    """What is at the path is not a regular file; the text says what it is."""


def kind(mode):
    for test, name in _KINDS:
        if test(mode):
            return name
    return "not a regular file"


def open_regular(path, encoding="utf-8"):
    """`path` opened for reading as text; NotRegularFile when it is anything
    but a regular file (or a link to one), other OSErrors as open() raises
    them."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    try:
        mode = os.fstat(fd).st_mode
        if not stat.S_ISREG(mode):
            raise NotRegularFile(f"{path} is {kind(mode)}, not a regular file")
        return os.fdopen(fd, encoding=encoding)
    except BaseException:
        os.close(fd)
        raise
