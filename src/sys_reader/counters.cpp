// The monitoring readers: counters and gauges that say when their source
// could not be read. Where the one-shot readers already parse a file the way
// these need (device lines, uptime), their parsers are reused.
#include "sys_reader/counters.h"

#include <algorithm>
#include <array>
#include <cstring>  // ::memrchr (a GNU extension that musl has too)
#include <exception>
#include <string>
#include <utility>

#include <sys/stat.h>  // stat

#include "sys_reader/cutting.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"
#include "sys_reader/unicode_space.h"

namespace quillmere::sys_reader {
namespace {

// The second token of a "key value" line, parsed leniently.
std::uint64_t value_after_key(std::string_view line) noexcept {
  TokenCursor tokens(line);
  tokens.next();  // the key
  return parse_u64_or_zero(tokens.next());
}

// Hands `visit` the lines of `text` from the last to the first, cut exactly
// as text_lines cuts them, until it returns true. For files where the last
// line with a key counts: the scan can stop at the last occurrences.
template <typename Visit>
void visit_lines_backward(std::string_view text, Visit visit) noexcept {
  std::size_t end = text.size();
  // The piece after the last '\n' is a line only when it is not empty, and
  // keeps a '\r' at its end; every other piece loses one.
  bool after_last_newline = true;
  for (;;) {
    const auto* newline = static_cast<const char*>(end == 0 ? nullptr : ::memrchr(text.data(), '\n', end));
    const std::size_t start = newline == nullptr ? 0 : static_cast<std::size_t>(newline - text.data()) + 1;
    std::string_view line = text.substr(start, end - start);
    if (!after_last_newline && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    if ((!after_last_newline || !line.empty()) && visit(line)) return;
    if (newline == nullptr) return;
    after_last_newline = false;
    end = start - 1;
  }
}

// True when `line` starts with an ASCII byte that is not white space: its
// first token then starts at its first byte, so that token can only be a
// given key if the line starts with that key. Other lines (empty, white space
// first, or a multibyte character first) are left to the tokenizer.
bool begins_with_ascii_token(std::string_view line) noexcept {
  if (line.empty()) return false;
  const auto first = static_cast<unsigned char>(line[0]);
  return first < 0x80 && first != ' ' && (first < '\t' || first > '\r');
}

// Device readings in name order, one per name with its last line's values.
// The sort is stable, so of a run of equal names the last is the file's last.
std::optional<std::vector<DeviceReading>> sorted_devices(DeviceFormat format, const char* path) {
  const std::optional<std::string> text = read_whole_file(path);
  if (!text) return std::nullopt;
  std::vector<DeviceLine> lines;
  parse_device_lines(format, *text, lines);
  std::stable_sort(lines.begin(), lines.end(),
                   [](const DeviceLine& a, const DeviceLine& b) { return a.name < b.name; });
  std::vector<DeviceReading> devices;
  devices.reserve(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i + 1 < lines.size() && lines[i + 1].name == lines[i].name) continue;
    devices.push_back(DeviceReading{std::string(lines[i].name), lines[i].bytes, false});
  }
  return devices;
}

// sysfs names a block device whose kernel name holds a '/' (cciss/c0d0) with
// a '!' in its place (cciss!c0d0).
bool is_partition(std::string path, std::string_view name) {
  path.append("/");
  for (const char c : name) path.push_back(c == '/' ? '!' : c);
  path.append("/partition");
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

// Lines used, as the kernel writes them:
//   cpu  4705 356 584 3699 23 23 0 0 0 0
//   ctxt 1990473
// The aggregate line has 7 counters up to 2.6.10; 2.6.11 adds steal, 2.6.24
// guest and 2.6.33 guest_nice. The guest columns are already counted in user
// and nice, so they are left out. Per-CPU lines ("cpu0 ...") have a digit
// where the aggregate line has its space and so never match. The one-shot
// reader (stat.cpp) takes its ticks from here.
StatCounters parse_stat_counters(std::string_view text) noexcept {
  StatCounters counters;
  for (const std::string_view line : text_lines(text)) {
    if (starts_with(line, "cpu ")) {
      std::array<std::string_view, 9> tokens;
      const std::size_t count = count_tokens_keeping_first(line, tokens);
      if (count < 8) continue;
      // A later line overrides an earlier one column by column: without a
      // steal column it keeps the earlier steal.
      CpuTicks ticks = counters.cpu.value_or(CpuTicks{});
      ticks.user = parse_u64_or_zero(tokens[1]);
      ticks.nice = parse_u64_or_zero(tokens[2]);
      ticks.system = parse_u64_or_zero(tokens[3]);
      ticks.idle = parse_u64_or_zero(tokens[4]);
      ticks.iowait = parse_u64_or_zero(tokens[5]);
      ticks.irq = parse_u64_or_zero(tokens[6]);
      ticks.softirq = parse_u64_or_zero(tokens[7]);
      // Before 2.6.11 there is no steal column.
      if (count >= 9) ticks.steal = parse_u64_or_zero(tokens[8]);
      counters.cpu = ticks;
    } else if (starts_with(line, "ctxt ")) {
      counters.context_switches_total = value_after_key(line);
    }
  }
  return counters;
}

StatCounters read_stat_counters(const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  return text ? parse_stat_counters(*text) : StatCounters{};
}

// Lines used (kibibytes whatever the unit token says):
//   MemTotal:        8049048 kB
//   MemFree:          211684 kB
//   MemAvailable:    5123456 kB     (3.14 and later)
//   Buffers:          120992 kB
//   Cached:          3563700 kB
//   SwapTotal:       2097148 kB
//   SwapFree:        2097148 kB
// Keys are whole first tokens, colon included (SwapCached is not Cached).
MemoryCounters parse_memory_counters(std::string_view text) noexcept {
  std::optional<std::uint64_t> total, free, available, buffers, cached, swap_total, swap_free;
  struct Key {
    std::string_view name;
    std::optional<std::uint64_t>* value;
  };
  const std::array<Key, 7> keys = {{{"MemTotal:", &total},
                                    {"MemFree:", &free},
                                    {"MemAvailable:", &available},
                                    {"Buffers:", &buffers},
                                    {"Cached:", &cached},
                                    {"SwapTotal:", &swap_total},
                                    {"SwapFree:", &swap_free}}};
  // The last line with a key counts: the scan runs from the end of the file,
  // takes the first value it meets for each key and stops once it has them
  // all. Most lines are passed over on their first bytes, without cutting
  // them into tokens.
  std::size_t missing = keys.size();
  visit_lines_backward(text, [&keys, &missing](std::string_view line) {
    const auto line_starts_with = [line](const Key& key) {
      return line[0] == key.name[0] && starts_with(line, key.name);
    };
    if (begins_with_ascii_token(line) && std::none_of(keys.begin(), keys.end(), line_starts_with)) return false;
    TokenCursor tokens(line);
    const std::optional<std::string_view> first = tokens.next();
    if (!first) return false;
    for (const Key& key : keys) {
      if (*first == key.name) {
        if (!*key.value) {
          *key.value = parse_u64_or_zero(tokens.next());
          --missing;
        }
        break;
      }
    }
    return missing == 0;
  });

  MemoryCounters memory;
  const auto bytes = [](std::optional<std::uint64_t> kib) -> std::optional<std::uint64_t> {
    if (!kib) return std::nullopt;
    return *kib * 1024;
  };
  memory.total_bytes = bytes(total);
  if (total) {
    // The one-shot formula, with its absent parts counting 0 as there.
    memory.used_bytes = saturating_sub(*total, free.value_or(0) + buffers.value_or(0) + cached.value_or(0)) * 1024;
  }
  memory.available_bytes = bytes(available);
  memory.swap_total_bytes = bytes(swap_total);
  if (swap_total && swap_free) memory.swap_used_bytes = saturating_sub(*swap_total, *swap_free) * 1024;
  return memory;
}

MemoryCounters read_memory_counters(const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  return text ? parse_memory_counters(*text) : MemoryCounters{};
}

// "0.52 0.58 0.59 1/234 5678", the loads in double precision so that 0.52
// reads 0.52.
std::optional<LoadAverage64> parse_load_average64(std::string_view text) noexcept {
  std::array<std::string_view, 5> tokens;
  if (count_tokens_keeping_first(text, tokens) < tokens.size()) return std::nullopt;
  LoadAverage64 load;
  load.load_avg_1 = parse_f64_or_zero(tokens[0]);
  load.load_avg_5 = parse_f64_or_zero(tokens[1]);
  load.load_avg_15 = parse_f64_or_zero(tokens[2]);
  load.run_queue_length = parse_f64_or_zero(SplitCursor(tokens[3], '/').next());
  return load;
}

std::optional<LoadAverage64> read_load_average64(const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  return text ? parse_load_average64(*text) : std::nullopt;
}

std::optional<double> read_uptime_seconds(const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  if (!text || !TokenCursor(*text).next()) return std::nullopt;
  return parse_uptime(*text);
}

//   pgfault 184530912
//   pgmajfault 17830
// The last line with a key counts: the scan runs from the end of the file
// and stops once it has seen both keys (in a kernel's file, about half way).
PageFaultTotals parse_page_fault_totals(std::string_view text) noexcept {
  PageFaultTotals totals;
  visit_lines_backward(text, [&totals](std::string_view line) {
    if (!totals.faults && starts_with(line, "pgfault ")) {
      totals.faults = value_after_key(line);
    } else if (!totals.major_faults && starts_with(line, "pgmajfault ")) {
      totals.major_faults = value_after_key(line);
    }
    return totals.faults && totals.major_faults;
  });
  return totals;
}

PageFaultTotals read_page_fault_totals(const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  return text ? parse_page_fault_totals(*text) : PageFaultTotals{};
}

// Device files are read as bytes, like the one-shot readers read them: a
// name need not be UTF-8, and one odd name must not cost every other device.
// The partition check costs a sysfs path walk per device (about as much as
// reading a /proc file), so the names that /sys/block lists, whole disks
// all, skip it: one listing replaces most of the walks, and a device not
// listed there (or every device, when the listing fails) is still judged by
// its own `partition` entry.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): three paths, each named for its file
std::optional<std::vector<DeviceReading>> read_disk_devices(const char* path, const char* sys_block_dir,
                                                           const char* whole_disk_dir) {
  std::optional<std::vector<DeviceReading>> devices = sorted_devices(DeviceFormat::kDiskstats, path);
  if (!devices) return std::nullopt;
  const std::vector<std::string> whole_disks = directory_entries(whole_disk_dir);
  const std::string block_dir(sys_block_dir);
  for (DeviceReading& device : *devices) {
    if (std::binary_search(whole_disks.begin(), whole_disks.end(), device.name)) continue;
    device.partition = is_partition(block_dir, device.name);
  }
  return devices;
}

std::optional<std::vector<DeviceReading>> read_net_devices(const char* path) {
  return sorted_devices(DeviceFormat::kNetDev, path);
}

// Each zone: `temp` in millidegrees ("48312"), `type` a name ("x86_pkg_temp").
// A zone whose temp cannot be read or is not a number is left out, as the
// one-shot reader passes it over.
std::vector<ThermalZoneReading> read_thermal_zones(const char* thermal_dir) {
  std::vector<ThermalZoneReading> zones;
  for (std::string& zone : thermal_zone_names(thermal_dir)) {
    std::string path(thermal_dir);
    path.append("/").append(zone).append("/");
    const std::size_t dir_length = path.size();
    path.append("temp");
    const std::optional<std::string> temp = read_text_file(path.c_str());
    if (!temp) continue;
    const std::optional<double> millidegrees = parse_f64(trim_whitespace(*temp));
    if (!millidegrees) continue;
    path.resize(dir_length);
    path.append("type");
    std::optional<std::string> type;
    if (const std::optional<std::string> text = read_text_file(path.c_str())) {
      type = std::string(trim_whitespace(*text));
    }
    zones.push_back(ThermalZoneReading{std::move(zone), std::move(type), *millidegrees / 1000.0});
  }
  return zones;
}

}  // namespace quillmere::sys_reader
