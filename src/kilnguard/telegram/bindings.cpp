// Telegram reporting's operations, in interface order.
#include "bindings.hpp"
#include "telegram/operations.hpp"
#include "names.hpp"

namespace kilnguard {

namespace nb = nanobind;

void bind_telegram(nb::module_& m) {
    m.def(names::format_burn_alert.name, &telegram::format_burn_alert, param("changes"),
          param("updated_at"),
          nb::sig("def format_burn_alert(changes: list[tuple[str, str, str]], "
                  "updated_at: str) -> str"),
          R"(The alert text for the subnets whose owner burn rate changed.

A title line, the time line (updated_at + " UTC"), an empty line, then one
line "SN<netuid>: <old> → <new>" per change in the order given, both rates
shown by format_owner_burn as the module binds it at the time of the call.)");

    m.def(names::format_burn_snapshot.name, &telegram::format_burn_snapshot, param("rows"),
          param("updated_at"),
          nb::sig("def format_burn_snapshot(rows: list[dict[str, object]], "
                  "updated_at: str) -> str"),
          R"(The start-up snapshot text listing every subnet's owner burn rate.

A title line, the time line, "<count> subnets", an empty line, then one line
"SN<netuid>: <rate>" per row, sorted stably by int(netuid) (a row without one
sorts as 0 and prints SNNone). The list passed in is not reordered.)");

    m.def(names::chunk_text.name, &telegram::chunk_text, param("text"), param("max_len") = 3900,
          nb::sig("def _chunk_text(text: str, max_len: int = 3900) -> list[str]"),
          R"(Splits a text longer than max_len into pieces at line boundaries.

Lengths are counted in code points. Every piece repeats the header (the first
three lines, or the first two when the third is empty, as in an alert), then
an empty line in place of the separator line, then whole body lines; a piece
exceeds max_len only when a single body line forces it.)");

    m.def(names::message_pieces.name, &telegram::message_pieces, param("text"),
          nb::sig("def _message_pieces(text: str) -> list[str]"),
          R"(The messages send_burn_telegram_messages sends for text, in order.

The pieces of _chunk_text as the module binds it at the time of the call,
each numbered "(i/N)\n" in front when there are several; made by the code
that numbers the pieces delivery sends.)");

    m.def(names::send_burn_telegram_messages.name, &telegram::send_burn_telegram_messages,
          param("text"),
          param("token"), param("chat_id"),
          nb::sig("def send_burn_telegram_messages(text: str, token: str, chat_id: str) "
                  "-> tuple[bool, str]"),
          R"(Sends a text of any length as one or more messages; returns (ok, error).

The text is split by _chunk_text; several pieces go out numbered "(i/N)\n",
0.4 seconds apart through time.sleep, each by send_burn_telegram as the module
binds them at the time of the call. The first failed piece ends the sending.)");

    m.def(names::send_burn_telegram.name, &telegram::send_burn_telegram, param("text"),
          param("token"),
          param("chat_id"),
          nb::sig("def send_burn_telegram(text: str, token: str, chat_id: str) -> tuple[bool, str]"),
          R"(Sends one message through the Bot API's sendMessage; returns (ok, error).

The request goes to TELEGRAM_API_BASE (default https://api.telegram.org) with
a 30-second time-out. Error replies, transport failures and an empty token or
chat id come back as (False, explanation); the token never appears in it.)");

    m.def(names::send_telegram_message.name, &telegram::send_telegram_message, param("text"),
          param("token"), param("chat_id"), nb::kw_only(),
          param("message_thread_id") = nb::none(), param("disable_notification") = false,
          nb::sig("def send_telegram_message(text: str, token: str, chat_id: str, *, "
                  "message_thread_id: int | None = None, disable_notification: bool = False) "
                  "-> tuple[bool, str]"),
          R"(Sends one message with Telegram's options; returns (ok, error).

send_burn_telegram with two choices more. message_thread_id, a whole number
above zero, posts into that forum topic of a supergroup (anything else raises
ValueError before any request); disable_notification=True delivers the message
without a sound. Each is sent only when given, after the three fields every
message carries, so with neither the request is send_burn_telegram's own.
Outcomes, argument checks and the keeping of the token out of every text are
the same.)");

    m.def(names::telegram_api_base.name, &telegram::telegram_api_base,
          nb::sig("def _telegram_api_base() -> str"),
          R"(The Bot API base URL every send of the module uses, read now.

TELEGRAM_API_BASE with every trailing "/" removed, or https://api.telegram.org
when the variable is absent; an empty value stays empty.)");
}

}  // namespace kilnguard
