// {procfs}/net/wireless: link quality and signal level per wireless
// interface.
//
// Promises: a pure parse; one line per interface after the two header lines,
// in file order, the name a view into the text. The kernel writes
//    wlan0: 0000   70.  -40.  -256        0      0      0      0      0        0
// with a '.' after a figure the driver updated since the last reading and a
// space after one it did not; both read the same. The level is in dBm for
// drivers that report dBm (every cfg80211 driver). A figure that is missing
// or not a finite number is nullopt. The name is every byte before the first
// ':' once the padding spaces in front are skipped (interface names hold no
// ':'); a line without ':' is skipped.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

inline constexpr SourceFile kWirelessFile{Root::kProcfs, "net/wireless"};

struct WirelessLine {
  std::string_view name;
  std::optional<double> link_quality;
  std::optional<double> signal_dbm;
};

// Throws only std::bad_alloc.
std::vector<WirelessLine> parse_wireless(std::string_view text);

}  // namespace quillmere::sys_reader
