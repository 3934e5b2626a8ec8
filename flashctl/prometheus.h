// node_exporter textfile metrics of an inventory: what the cards of this host
// run and hold, for Prometheus to watch a fleet's firmware.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

// The textfile (Prometheus text exposition format 0.0.4) of an inventory
// document as `flashctl inventory --json` prints it, taken at unix_time:
//   flash_update_card_info{card,serial_number,board_id,asic,sw_version,life_cycle,running_image,startup_image} 1
//   flash_update_partition_info{card,partition,id,slot,version} 1
//   flash_update_card_secure_boot_enabled{card} 0|1
//   flash_update_card_inventory_success{card} 0|1 (every card, failed ones too)
//   flash_update_inventory_timestamp_seconds unix_time
// Fields missing from the document give empty labels; label values are
// escaped and made valid UTF-8, so the file always parses.
std::string flashctl_prometheus_text(const nlohmann::json &inventory, long long unix_time);
