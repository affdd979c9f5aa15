// The monitoring readers: counters and gauges that say when their source
// could not be read. Where the one-shot readers already parse a file the way
// these need (device lines, uptime), their parsers are reused.
#include "sys_reader/counters.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>  // ::memrchr (a GNU extension that musl has too)
#include <exception>
#include <string>
#include <utility>

#include <sys/stat.h>     // stat
#include <sys/utsname.h>  // uname

#include "sys_reader/cutting.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"
#include "sys_reader/unicode_space.h"

namespace quillmere::sys_reader {
namespace {

// A number field as `malformed` takes it: nullopt or 0 for a token (or a
// missing token) outside the grammar.
std::optional<std::uint64_t> field_u64(std::optional<std::string_view> token, Malformed malformed) noexcept {
  std::optional<std::uint64_t> value = token ? parse_u64(*token) : std::nullopt;
  if (!value && malformed == Malformed::kZero) value = 0;
  return value;
}

// The second token of a "key value" line.
std::optional<std::uint64_t> value_after_key(std::string_view line, Malformed malformed) noexcept {
  TokenCursor tokens(line);
  tokens.next();  // the key
  return field_u64(tokens.next(), malformed);
}

// Kibibytes as bytes: nullopt when they do not fit (kAbsent) or the wrapped
// product (kZero).
std::optional<std::uint64_t> kib_to_bytes(std::optional<std::uint64_t> kib, Malformed malformed) noexcept {
  if (!kib) return std::nullopt;
  if (malformed == Malformed::kZero) return *kib * 1024;
  return checked_mul(*kib, 1024);
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
    const DeviceLine& line = lines[i];
    devices.push_back(DeviceReading{std::string(line.name),
                                    line.in_known ? std::optional(line.bytes.in_bytes) : std::nullopt,
                                    line.out_known ? std::optional(line.bytes.out_bytes) : std::nullopt, false});
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
StatCounters parse_stat_counters(std::string_view text, Malformed malformed) noexcept {
  StatCounters counters;
  // Bit i set: column i (user first) of the line that gave it is malformed
  // and reads 0.
  unsigned malformed_columns = 0;
  for (const std::string_view line : text_lines(text)) {
    if (starts_with(line, "cpu ")) {
      std::array<std::string_view, 9> tokens;
      const std::size_t count = count_tokens_keeping_first(line, tokens);
      if (count < 8) continue;
      // A later line overrides an earlier one column by column: without a
      // steal column it keeps the earlier steal.
      CpuTicks ticks = counters.cpu.value_or(CpuTicks{});
      const std::array<std::uint64_t*, 8> columns = {&ticks.user,   &ticks.nice, &ticks.system,  &ticks.idle,
                                                     &ticks.iowait, &ticks.irq,  &ticks.softirq, &ticks.steal};
      // Before 2.6.11 there is no steal column.
      const std::size_t present = count >= 9 ? 8 : 7;
      for (std::size_t i = 0; i < present; ++i) {
        const std::optional<std::uint64_t> value = parse_u64(tokens[i + 1]);
        *columns[i] = value.value_or(0);
        malformed_columns = value ? malformed_columns & ~(1U << i) : malformed_columns | (1U << i);
      }
      counters.cpu = ticks;
    } else if (starts_with(line, "ctxt ")) {
      counters.context_switches_total = value_after_key(line, malformed);
    }
  }
  if (malformed == Malformed::kAbsent && malformed_columns != 0) counters.cpu.reset();
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
MemoryCounters parse_memory_counters(std::string_view text, Malformed malformed) noexcept {
  // Each key's value in kibibytes: nullopt while the key is absent, and a
  // malformed value as `malformed` says (nullopt once seen, or 0).
  struct Key {
    std::string_view name;
    bool seen = false;
    std::optional<std::uint64_t> kib;
  };
  std::array<Key, 7> keys = {{{"MemTotal:", false, std::nullopt},
                              {"MemFree:", false, std::nullopt},
                              {"MemAvailable:", false, std::nullopt},
                              {"Buffers:", false, std::nullopt},
                              {"Cached:", false, std::nullopt},
                              {"SwapTotal:", false, std::nullopt},
                              {"SwapFree:", false, std::nullopt}}};
  auto& [total, free, available, buffers, cached, swap_total, swap_free] = keys;
  // The last line with a key counts: the scan runs from the end of the file,
  // takes the first value it meets for each key and stops once it has them
  // all. Most lines are passed over on their first bytes, without cutting
  // them into tokens.
  std::size_t missing = keys.size();
  visit_lines_backward(text, [&keys, &missing, malformed](std::string_view line) {
    const auto line_starts_with = [line](const Key& key) {
      return line[0] == key.name[0] && starts_with(line, key.name);
    };
    if (begins_with_ascii_token(line) && std::none_of(keys.begin(), keys.end(), line_starts_with)) return false;
    TokenCursor tokens(line);
    const std::optional<std::string_view> first = tokens.next();
    if (!first) return false;
    for (Key& key : keys) {
      if (*first == key.name) {
        if (!key.seen) {
          key.seen = true;
          key.kib = field_u64(tokens.next(), malformed);
          --missing;
        }
        break;
      }
    }
    return missing == 0;
  });

  MemoryCounters memory;
  memory.total_bytes = kib_to_bytes(total.kib, malformed);
  memory.available_bytes = kib_to_bytes(available.kib, malformed);
  memory.swap_total_bytes = kib_to_bytes(swap_total.kib, malformed);
  if (malformed == Malformed::kZero) {
    // The one-shot formula, with its absent parts counting 0 as there, in
    // plain 64-bit arithmetic.
    if (total.seen) {
      memory.used_bytes = saturating_sub(*total.kib, free.kib.value_or(0) + buffers.kib.value_or(0) +
                                                         cached.kib.value_or(0)) * 1024;
    }
    if (swap_total.seen && swap_free.seen) memory.swap_used_bytes = saturating_sub(*swap_total.kib, *swap_free.kib) * 1024;
    return memory;
  }
  // An absent part counts 0; a malformed part, or a sum that does not fit,
  // leaves the difference unknown.
  const auto part = [](const Key& key) { return key.seen ? key.kib : std::optional<std::uint64_t>(0); };
  std::optional<std::uint64_t> unused = part(free);
  for (const Key* key : {&buffers, &cached}) {
    const std::optional<std::uint64_t> kib = part(*key);
    unused = unused && kib ? checked_add(*unused, *kib) : std::nullopt;
  }
  if (total.kib && unused) memory.used_bytes = kib_to_bytes(saturating_sub(*total.kib, *unused), malformed);
  if (swap_total.kib && swap_free.kib) {
    memory.swap_used_bytes = kib_to_bytes(saturating_sub(*swap_total.kib, *swap_free.kib), malformed);
  }
  return memory;
}

MemoryCounters read_memory_counters(const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  return text ? parse_memory_counters(*text) : MemoryCounters{};
}

// "0.52 0.58 0.59 1/234 5678", the loads in double precision so that 0.52
// reads 0.52. A load or a run queue is never negative.
std::optional<LoadAverage64> parse_load_average64(std::string_view text) noexcept {
  std::array<std::string_view, 5> tokens;
  if (count_tokens_keeping_first(text, tokens) < tokens.size()) return std::nullopt;
  LoadAverage64 load;
  load.load_avg_1 = finite_non_negative(parse_f64(tokens[0]));
  load.load_avg_5 = finite_non_negative(parse_f64(tokens[1]));
  load.load_avg_15 = finite_non_negative(parse_f64(tokens[2]));
  load.run_queue_length = finite_non_negative(parse_f64(SplitCursor(tokens[3], '/').next().value_or("")));
  return load;
}

std::optional<LoadAverage64> read_load_average64(const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  return text ? parse_load_average64(*text) : std::nullopt;
}

// "250.50 900.25": seconds since boot first.
std::optional<double> parse_uptime_seconds(std::string_view text) noexcept {
  const std::optional<std::string_view> first = TokenCursor(text).next();
  return first ? finite_non_negative(parse_f64(*first)) : std::nullopt;
}

std::optional<double> read_uptime_seconds(const char* path) {
  const std::optional<std::string> text = read_text_file(path);
  return text ? parse_uptime_seconds(*text) : std::nullopt;
}

//   pgfault 184530912
//   pgmajfault 17830
// The last line with a key counts: the scan runs from the end of the file
// and stops once it has seen both keys (in a kernel's file, about half way).
PageFaultTotals parse_page_fault_totals(std::string_view text, Malformed malformed) noexcept {
  PageFaultTotals totals;
  bool faults_seen = false;
  bool major_seen = false;
  visit_lines_backward(text, [&](std::string_view line) {
    if (!faults_seen && starts_with(line, "pgfault ")) {
      faults_seen = true;
      totals.faults = value_after_key(line, malformed);
    } else if (!major_seen && starts_with(line, "pgmajfault ")) {
      major_seen = true;
      totals.major_faults = value_after_key(line, malformed);
    }
    return faults_seen && major_seen;
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

// Every 64-bit architecture's name holds "64" (x86_64, aarch64, ppc64le,
// riscv64, mips64, loongarch64, sparc64, parisc64, ia64) but two.
std::uint32_t kernel_word_bits(std::string_view machine) noexcept {
  if (machine.empty() || machine.find("64") != std::string_view::npos || machine == "s390x" ||
      machine == "alpha" || starts_with(machine, "armv8")) {
    return 64;
  }
  return 32;
}

std::uint32_t kernel_word_bits() noexcept {
  static const std::uint32_t bits = [] {
    struct utsname names {};
    // The machine field is the C API's NUL-terminated char array.
    return ::uname(&names) == 0 ? kernel_word_bits(names.machine)  // NOLINT(*-array-to-pointer-decay)
                                : std::uint32_t{64};
  }();
  return bits;
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
    if (!millidegrees || !std::isfinite(*millidegrees)) continue;
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
