// SPDX-License-Identifier: Apache-2.0
// node_exporter textfile metrics of an inventory: what the cards of this host
// run and hold, for Prometheus to watch a fleet's firmware.
#pragma once

#include "card_documents.h"

#include <string>
#include <string_view>

// The textfile (Prometheus text exposition format 0.0.4) of an inventory,
// taken at unix_time:
//   flash_update_card_info{card,serial_number,board_id,asic,sw_version,life_cycle,running_image,startup_image} 1
//   flash_update_partition_info{card,partition,id,slot,version} 1
//   flash_update_card_secure_boot_enabled{card} 0|1
//   flash_update_card_inventory_success{card} 0|1 (every card, failed ones too)
//   flash_update_inventory_timestamp_seconds unix_time
// Label values are escaped and made valid UTF-8, so the file always parses. A control
// character in a card's text (below 0x20 but a line break, DEL, U+0080 to
// U+009F) is written as the visible text \xHH of each of its bytes, which the
// format carries as \\xHH: a terminal that prints the file shows it.
std::string flashctl_prometheus_text(const doc_inventory_s &inventory, long long unix_time);

// A label value of the exposition format: escaped, valid UTF-8, control
// characters as the visible text \xHH.
std::string fc_prometheus_label(std::string_view text);

// Text from a card as a person's terminal shows it, with nothing in it that
// the terminal would act on: each byte of a control character (below 0x20,
// DEL, U+0080 to U+009F) and each byte that is not part of a UTF-8 sequence
// becomes \xHH (lower-case hex) and a backslash becomes \\, so the rendering
// also tells a card's "\x1b" apart from an escape byte. Printable UTF-8
// stays as it is.
std::string fc_visible_text(std::string_view text);
