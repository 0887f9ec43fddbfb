// Telegram reporting: the alert and snapshot texts, their splitting into
// pieces that fit one message, and delivery through the Bot API's sendMessage.
#pragma once

#include <nanobind/nanobind.h>

namespace kilnguard::telegram {

namespace nb = nanobind;

nb::str format_burn_alert(nb::handle changes, nb::handle updated_at);
nb::str format_burn_snapshot(nb::handle rows, nb::handle updated_at);
nb::list chunk_text(nb::handle text, nb::handle max_len);
nb::list message_pieces(nb::handle text);
nb::tuple send_burn_telegram_messages(nb::handle text, nb::handle token, nb::handle chat_id);
nb::tuple send_burn_telegram(nb::handle text, nb::handle token, nb::handle chat_id);
nb::tuple send_telegram_message(nb::handle text, nb::handle token, nb::handle chat_id,
                                nb::handle message_thread_id, nb::handle disable_notification);
nb::str telegram_api_base();

}  // namespace kilnguard::telegram
