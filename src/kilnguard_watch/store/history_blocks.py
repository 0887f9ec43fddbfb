"""One subnet's changes of one UTC day, packed into a compressed block.

A year of a thousand subnets changing every five minutes is a hundred
million changes: one SQLite row each would be several gigabytes. A block
holds a column of times and a column of rates, each laid out so that zlib
finds the repetition in it:

  times   seconds since the previous change (the first since the start of
          the day) as 32-bit integers, their bytes grouped by position
          ("byte planes"): a steady interval makes every plane one repeated
          byte;
  rates   either as numbers (each decimal text scaled to the block's largest
          count of decimals, stored as the zigzag difference from the rate
          before, in 64-bit byte planes, with each text's own count of
          decimals beside it), which suits rates that drift; or as the texts
          themselves one per line, which suits rates that come back to a few
          values. Both are tried and the shorter kept.

Only the new rate of each change is kept: the old one is the rate before
it, and the block keeps the old rate of its first change. Texts come back
exactly as they went in ("0.50" stays "0.50"); a text that is not a plain
decimal ("1e-05", "-0") rides along as it is."""

import array
import itertools
import re
import struct
import sys
import zlib

DAY = 86_400
_NUMBERS, _TEXTS = 1, 2
_HEAD = struct.Struct("<BI")  # form, count
_LENGTH = struct.Struct("<I")
_NONE = 0xFFFFFFFF  # the length that stands for no text (a subnet first seen)
_LITERAL = 255  # in the decimals column: the text is stored as it is
_PLAIN_DECIMAL = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.([0-9]{1,18}))?")
_LARGEST = 1 << 62  # scaled magnitudes stay below this, so differences fit 64 bits
_LEVEL = 9  # blocks are written once a day and read often: the smallest is worth it


class DamagedBlock(ValueError):
    """A block that cannot be read back."""


def encode(day, times, first_old, rates):
    """The block of `rates` (texts) that took effect at `times` (seconds
    since the epoch, ascending, within UTC day `day`); `first_old` is the
    rate before the first of them (None: the subnet was not seen before)."""
    start = day * DAY
    if not rates or len(times) != len(rates) or not start <= times[0] or times[-1] >= start + DAY:
        raise ValueError(f"a block holds one day's changes, in order: day {day}, "
                         f"{len(times)} times, {len(rates)} rates")
    gaps = array.array("i", (b - a for a, b in zip(itertools.chain((start,), times), times)))
    if min(gaps) < 0:
        raise ValueError(f"times of day {day} are not in order")
    head = (_text_field(first_old) + _planes(gaps))
    forms = [_HEAD.pack(_NUMBERS, len(rates)) + head + _numbers(rates)]
    joined = _joined(rates)
    if joined is not None:
        forms.append(_HEAD.pack(_TEXTS, len(rates)) + head + joined)
    return min((zlib.compress(form, _LEVEL) for form in forms), key=len)


def decode(day, data):
    """(times, first_old, rates) of a block written by encode()."""
    try:
        raw = zlib.decompress(data)
        form, count = _HEAD.unpack_from(raw)
        first_old, at = _read_text(raw, _HEAD.size)
        gaps = _from_planes("i", raw, at, count)
        at += 4 * count
        times = list(itertools.accumulate(gaps, initial=day * DAY))[1:]
        if form == _NUMBERS:
            rates = _read_numbers(raw, at, count)
        elif form == _TEXTS:
            rates = raw[at:].decode("utf-8", "surrogatepass").split("\n")
        else:
            raise ValueError(f"unknown form {form}")
    except (zlib.error, struct.error, ValueError, IndexError, TypeError) as error:
        raise DamagedBlock(f"damaged history block of day {day}: {error}") from None
    if len(rates) != count:
        raise DamagedBlock(f"damaged history block of day {day}: {len(rates)} rates for "
                           f"{count} times")
    return times, first_old, rates


# ------------------------------------------------------------------ texts

def _text_field(text):
    if text is None:
        return _LENGTH.pack(_NONE)
    data = text.encode("utf-8", "surrogatepass")
    return _LENGTH.pack(len(data)) + data


def _read_text(raw, at):
    (length,) = _LENGTH.unpack_from(raw, at)
    at += _LENGTH.size
    if length == _NONE:
        return None, at
    if at + length > len(raw):
        raise ValueError("a text runs past the end")
    return raw[at:at + length].decode("utf-8", "surrogatepass"), at + length


def _joined(rates):
    """The texts one per line, or None when one holds a line break."""
    if any("\n" in rate for rate in rates):
        return None
    return "\n".join(rates).encode("utf-8", "surrogatepass")


# ---------------------------------------------------------------- numbers

def _plain(text):
    """(integer, decimals) of a plain decimal text, which _decimal_text
    gives back from them; None for any other text."""
    match = _PLAIN_DECIMAL.fullmatch(text)
    if match is None:
        return None
    number = int(text.replace(".", ""))
    if number == 0 and text[0] == "-":  # "-0": the sign would be lost
        return None
    return number, len(match[1] or "")


def _decimal_text(number, decimals):
    digits = str(abs(number))
    sign = "-" if number < 0 else ""
    if not decimals:
        return sign + digits
    digits = digits.rjust(decimals + 1, "0")
    return f"{sign}{digits[:-decimals]}.{digits[-decimals:]}"


def _numbers(rates):
    plain = [_plain(rate) for rate in rates]
    scale = max((p[1] for p in plain if p is not None), default=0)
    steps, decimals, literals = array.array("Q"), bytearray(), []
    before = 0
    for rate, p in zip(rates, plain):
        scaled = None if p is None else p[0] * 10 ** (scale - p[1])
        if scaled is None or abs(scaled) >= _LARGEST:
            steps.append(0)  # the literal keeps the number before it
            decimals.append(_LITERAL)
            literals.append(_text_field(rate))
            continue
        step = scaled - before
        before = scaled
        steps.append((step << 1) ^ (step >> 63))  # zigzag: small either way is small
        decimals.append(p[1])
    return bytes([scale]) + _planes(steps) + bytes(decimals) + b"".join(literals)


def _read_numbers(raw, at, count):
    scale = raw[at]
    at += 1
    steps = _from_planes("Q", raw, at, count)
    at += 8 * count
    decimals = raw[at:at + count]
    if len(decimals) != count:
        raise ValueError("the decimals column is short")
    at += count
    rates, scaled = [], 0
    for zigzag, places in zip(steps, decimals):
        if places == _LITERAL:
            text, at = _read_text(raw, at)
            rates.append(text)
            continue
        scaled += (zigzag >> 1) ^ -(zigzag & 1)
        if places > scale:
            raise ValueError(f"{places} decimals in a block of {scale}")
        rates.append(_decimal_text(scaled // 10 ** (scale - places), places))
    return rates


# ------------------------------------------------------------- byte planes

def _planes(values):
    """The values' little-endian bytes, all first bytes, then all second
    bytes, and so on."""
    if sys.byteorder != "little":
        values = array.array(values.typecode, values)
        values.byteswap()
    data, width = values.tobytes(), values.itemsize
    return b"".join(data[k::width] for k in range(width))


def _from_planes(typecode, raw, at, count):
    values = array.array(typecode)
    width = values.itemsize
    planes = raw[at:at + width * count]
    if len(planes) != width * count:
        raise ValueError("a column is short")
    data = bytearray(width * count)
    for k in range(width):
        data[k::width] = planes[k * count:(k + 1) * count]
    values.frombytes(bytes(data))
    if sys.byteorder != "little":
        values.byteswap()
    return values
