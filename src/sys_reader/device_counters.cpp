// Readers of the per-device byte counters, /proc/diskstats (bytes read and
// written per block device) and /proc/net/dev (bytes received and sent per
// interface), and the throughput between two readings.
//
// A file with 10,000 devices is about 1.5 MB, read twice per one-shot call,
// so the work per line is kept to what reading the line costs anyway: each
// line is cut in place with a plain ASCII scan that stops once the fields it
// needs are found, the devices land in a flat vector in file order (names are
// views into the file's text), and two readings are compared line by line,
// since the kernel keeps its order. Names are hashed only where that order
// breaks.
#include "sys_reader/readers.h"

#include <algorithm>
#include <bit>  // std::bit_ceil
#include <cstring>
#include <exception>
#include <functional>  // std::hash
#include <limits>
#include <new>  // std::bad_alloc
#include <optional>
#include <span>

#include "sys_reader/text.h"

namespace quillmere::sys_reader {
namespace {

// Where a format keeps what we read: the index of the name token and of the
// two byte counters, and how many tokens a line needs to count at all.
struct LineLayout {
  std::size_t header_lines;
  std::size_t name;
  std::size_t in;
  std::size_t out;
  std::size_t min_tokens;
  std::uint64_t unit_bytes;  // bytes per counted unit
  bool strip_colons;         // the name token ends in ':'s that are not part of it
};

// One line per device, partitions and loop devices included:
//    8       0 sda 95146 27386 5836294 40233 127390 110474 9406024 127437 0 97000 193460
// Fields after the name: reads, reads merged, sectors read, ms reading,
// writes, writes merged, sectors written, ms writing, I/Os in flight, ms doing
// I/O, weighted ms. 4.18 adds four discard fields and 5.5 two flush fields;
// only the first 14 tokens are relied on. Sectors are 512 bytes whatever the
// device's own size; the product wraps like any uint64 arithmetic.
constexpr LineLayout kDiskstats{0, 2, 5, 9, 14, 512, false};

// Two header lines, then one line per interface:
//     eth0: 1293745   10342    0    0    0     0          0        12   893421    7231    0    0    0     0       0          0
// Eight receive fields (bytes first) and eight transmit fields (bytes
// first), unchanged since 2.6. Kernels before 4.x could fuse the name to a
// wide first counter ("eth0:1293745"); such a line has one token too few and
// is skipped rather than guessed at.
constexpr LineLayout kNetDev{2, 0, 1, 9, 17, 1, true};
constexpr std::size_t kMostTokens = 17;

constexpr const LineLayout& layout_of(DeviceFormat format) noexcept {
  return format == DeviceFormat::kDiskstats ? kDiskstats : kNetDev;
}

// --- Cutting a line ----------------------------------------------------------

// The fast path reads a line as ASCII. Its white space is the ASCII part of
// the tokenizer's set (U+0009..U+000D, U+0020), and every other byte below
// 0x80 belongs to a token, as it does for the tokenizer. A byte at or above
// 0x80 may begin multibyte white space, which only the tokenizer knows: the
// fast path gives such a line up, and the tokenizer cuts it instead.
constexpr bool is_space(unsigned char c) noexcept { return c == ' ' || static_cast<unsigned>(c - 0x09) < 5; }
constexpr bool is_high(unsigned char c) noexcept { return c >= 0x80; }
constexpr bool is_token_byte(unsigned char c) noexcept {
  return static_cast<unsigned>(c - 0x21) < 0x5F || (c < 0x21 && !is_space(c));
}

enum class LineKind { kDevice, kShort, kNotAscii };

constexpr std::string_view strip_trailing_colons(std::string_view name) noexcept {
  while (!name.empty() && name.back() == ':') name.remove_suffix(1);
  return name;
}

// The number grammar of parse_u64_or_zero (an optional '+', then digits,
// 0 for anything else or for a value above 2^64 - 1), read while the token
// is skipped. `p` is at the token's first byte; on return it is past the
// token's last byte.
inline std::uint64_t scan_u64_or_zero(const unsigned char*& p, const unsigned char* end) noexcept {
  if (*p == '+') ++p;
  const unsigned char* const digits = p;
  std::uint64_t value = 0;
  bool valid = true;
  for (; p < end; ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (digit < 10) {
      valid = valid && !__builtin_mul_overflow(value, std::uint64_t{10}, &value) &&
              !__builtin_add_overflow(value, std::uint64_t{digit}, &value);
    } else if (is_token_byte(*p)) {
      valid = false;
    } else {
      break;
    }
  }
  return valid && p != digits ? value : 0;
}

// Cuts one line [p, end) the fast way: its name and counters when it has the
// layout's tokens, kShort when it has fewer, kNotAscii when a byte at or
// above 0x80 lies where the answer could depend on it. Scanning stops at the
// first byte of the last token the layout needs: whatever follows cannot
// change a field used nor the count that matters.
LineKind cut_ascii_line(const LineLayout& layout, const unsigned char* p, const unsigned char* end,
                        DeviceLine& line) noexcept {
  for (std::size_t index = 0;; ++index) {
    while (p < end && is_space(*p)) ++p;
    if (p == end) return LineKind::kShort;
    if (is_high(*p)) return LineKind::kNotAscii;
    if (index + 1 == layout.min_tokens) return LineKind::kDevice;
    if (index == layout.in) {
      line.bytes.in_bytes = scan_u64_or_zero(p, end) * layout.unit_bytes;
    } else if (index == layout.out) {
      line.bytes.out_bytes = scan_u64_or_zero(p, end) * layout.unit_bytes;
    } else {
      const unsigned char* const start = p;
      while (p < end && is_token_byte(*p)) ++p;
      if (index == layout.name) {
        line.name = std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(p - start));
      }
    }
    if (p < end && is_high(*p)) return LineKind::kNotAscii;
  }
}

// The same line cut by the Unicode tokenizer, for lines the fast path gave up.
bool cut_unicode_line(const LineLayout& layout, std::string_view text, DeviceLine& line) noexcept {
  std::array<std::string_view, kMostTokens> tokens;
  const std::span<std::string_view> wanted(tokens.data(), layout.min_tokens);
  if (first_whitespace_tokens(text, wanted) < layout.min_tokens) return false;
  line.name = tokens[layout.name];
  line.bytes.in_bytes = parse_u64_or_zero(tokens[layout.in]) * layout.unit_bytes;
  line.bytes.out_bytes = parse_u64_or_zero(tokens[layout.out]) * layout.unit_bytes;
  return true;
}

// Calls on_line(line) for each device line of `text`, in file order. Lines
// are cut at '\n'; a '\r' before it is white space to both cutters, and an
// empty final piece holds no line.
template <typename OnLine>
void for_each_device_line(const LineLayout& layout, std::string_view text, OnLine on_line) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const end = p + text.size();
  std::size_t line_number = 0;
  while (p < end) {
    const auto* newline = static_cast<const unsigned char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const unsigned char* const line_end = newline != nullptr ? newline : end;
    if (line_number++ >= layout.header_lines) {
      DeviceLine line;
      LineKind kind = cut_ascii_line(layout, p, line_end, line);
      if (kind == LineKind::kNotAscii) {
        line = DeviceLine{};
        const std::string_view whole(reinterpret_cast<const char*>(p), static_cast<std::size_t>(line_end - p));
        kind = cut_unicode_line(layout, whole, line) ? LineKind::kDevice : LineKind::kShort;
      }
      if (kind == LineKind::kDevice) {
        if (layout.strip_colons) line.name = strip_trailing_colons(line.name);
        on_line(line);
      }
    }
    p = newline != nullptr ? newline + 1 : end;
  }
}

// --- Looking names up --------------------------------------------------------

std::size_t name_hash(std::string_view name) noexcept { return std::hash<std::string_view>{}(name); }

// Fills table.name_slots (linear probing, at most half full) so that each
// name finds the last of its lines, and notes whether any name repeats.
void build_name_index(DeviceTable& table) {
  const std::size_t count = table.lines.size();
  // Slots hold 1 + a line number in 32 bits. A line needs 27 bytes or more,
  // so no file that fits in memory comes near; refuse one that would.
  if (count >= std::numeric_limits<std::uint32_t>::max() / 4) throw std::bad_alloc();
  const std::size_t slot_count = std::bit_ceil(std::max<std::size_t>(2 * count, 8));
  const std::size_t mask = slot_count - 1;
  table.name_slots.assign(slot_count, 0);
  table.names_repeat = false;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view name = table.lines[i].name;
    for (std::size_t slot = name_hash(name) & mask;; slot = (slot + 1) & mask) {
      std::uint32_t& entry = table.name_slots[slot];
      if (entry != 0 && table.lines[entry - 1].name != name) continue;
      if (entry != 0) table.names_repeat = true;
      entry = static_cast<std::uint32_t>(i + 1);
      break;
    }
  }
  table.indexed = true;
}

// The line number of the last line named `name`, if any. Needs the index.
std::optional<std::size_t> find_last(const DeviceTable& table, std::string_view name) noexcept {
  const std::size_t mask = table.name_slots.size() - 1;
  for (std::size_t slot = name_hash(name) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t entry = table.name_slots[slot];
    if (entry == 0) return std::nullopt;
    if (table.lines[entry - 1].name == name) return entry - 1;
  }
}

// --- Rates -------------------------------------------------------------------

// Truncates a non-negative rate to an integer. NaN and negative quotients
// (a zero or negative interval) give 0; anything at or above 2^64 gives the
// largest value, where a plain cast would be undefined.
std::uint64_t rate_to_u64(double rate) noexcept {
  constexpr double kTwoTo64 = 18446744073709551616.0;
  if (!(rate > 0.0)) return 0;
  if (rate >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(rate);
}

// The components are judged apart: a counter that went back (device
// re-created, counter reset) contributes 0 while the other still counts.
struct Increase {
  std::uint64_t in_bytes = 0;
  std::uint64_t out_bytes = 0;
  void add(const DeviceBytes& before, const DeviceBytes& now) noexcept {
    in_bytes += saturating_sub(now.in_bytes, before.in_bytes);
    out_bytes += saturating_sub(now.out_bytes, before.out_bytes);
  }
};

// The increase summed over the lines whose name equals the previous
// reading's name on the same line, and whether every line matched so.
struct LineByLine {
  Increase sum;
  bool aligned = true;
  void compare(const std::vector<DeviceLine>& previous, std::size_t index, const DeviceLine& now) noexcept {
    if (index < previous.size() && previous[index].name == now.name) {
      sum.add(previous[index].bytes, now.bytes);
    } else {
      aligned = false;
    }
  }
};

// Every device of `current` by the last line of its name, matched with the
// last line of the same name in `previous`.
Increase increase_by_name(DeviceTable& previous, DeviceTable& current) {
  if (!previous.indexed) build_name_index(previous);
  if (!current.indexed) build_name_index(current);
  Increase increase;
  for (std::size_t i = 0; i < current.lines.size(); ++i) {
    const DeviceLine& now = current.lines[i];
    if (current.names_repeat && find_last(current, now.name) != i) continue;
    if (!previous.names_repeat && i < previous.lines.size() && previous.lines[i].name == now.name) {
      increase.add(previous.lines[i].bytes, now.bytes);
    } else if (const std::optional<std::size_t> before = find_last(previous, now.name)) {
      increase.add(previous.lines[*before].bytes, now.bytes);
    }
  }
  return increase;
}

// The rates from a line-by-line comparison made while `current` was parsed.
// When every line matched and no name repeats, that sum is the answer;
// otherwise names are looked up. An aligned reading has the same names on
// the same lines, so it takes over the previous reading's index.
std::pair<std::uint64_t, std::uint64_t> finish_rates(DeviceTable& previous, DeviceTable& current,
                                                     const LineByLine& line_by_line, double interval_seconds) {
  // An empty side is a failed reading (or the first one), not a machine
  // without devices, so it gives no rate at all.
  if (previous.lines.empty() || current.lines.empty()) return {0, 0};
  Increase increase;
  const bool aligned = line_by_line.aligned && previous.lines.size() == current.lines.size();
  if (aligned && !previous.indexed) build_name_index(previous);
  if (aligned && !previous.names_repeat) {
    increase = line_by_line.sum;
  } else {
    increase = increase_by_name(previous, current);
  }
  if (aligned && !current.indexed) {
    current.name_slots.swap(previous.name_slots);
    current.names_repeat = previous.names_repeat;
    current.indexed = true;
    previous.indexed = false;
  }
  return {rate_to_u64(static_cast<double>(increase.in_bytes) / interval_seconds),
          rate_to_u64(static_cast<double>(increase.out_bytes) / interval_seconds)};
}

// Reads `path` into `table` and parses it, handing each line to `on_line`
// with its line number. Any failure leaves the table without lines.
template <typename OnLine>
void read_table(DeviceFormat format, const char* path, DeviceTable& table, OnLine on_line) noexcept {
  table.lines.clear();
  table.indexed = false;
  try {
    std::optional<std::string> text = read_whole_file(path);
    if (!text) return;
    table.text = std::move(*text);
    for_each_device_line(layout_of(format), table.text, [&](const DeviceLine& line) {
      on_line(table.lines.size(), line);
      table.lines.push_back(line);
    });
  } catch (const std::exception&) {
    // Out of memory: reported like an unreadable file.
    table.lines.clear();
  }
}

}  // namespace

void parse_device_lines(DeviceFormat format, std::string_view text, std::vector<DeviceLine>& lines) {
  lines.clear();
  for_each_device_line(layout_of(format), text, [&lines](const DeviceLine& line) { lines.push_back(line); });
}

void read_device_table(DeviceFormat format, const char* path, DeviceTable& table) noexcept {
  read_table(format, path, table, [](std::size_t, const DeviceLine&) {});
}

std::pair<std::uint64_t, std::uint64_t> device_rates(DeviceTable& previous, DeviceTable& current,
                                                     double interval_seconds) noexcept {
  try {
    LineByLine line_by_line;
    for (std::size_t i = 0; i < current.lines.size(); ++i) line_by_line.compare(previous.lines, i, current.lines[i]);
    return finish_rates(previous, current, line_by_line, interval_seconds);
  } catch (const std::exception&) {
    return {0, 0};  // out of memory for a names index
  }
}

void DeviceHistory::read_baseline() noexcept { read_device_table(format_, path_, tables_[previous_]); }

std::pair<std::uint64_t, std::uint64_t> DeviceHistory::read_rates(double interval_seconds) noexcept {
  DeviceTable& previous = tables_[previous_];
  DeviceTable& current = tables_[previous_ ^ 1];
  LineByLine line_by_line;
  read_table(format_, path_, current, [&](std::size_t index, const DeviceLine& line) {
    line_by_line.compare(previous.lines, index, line);
  });
  previous_ ^= 1;
  try {
    return finish_rates(previous, current, line_by_line, interval_seconds);
  } catch (const std::exception&) {
    return {0, 0};  // out of memory for a names index
  }
}

}  // namespace quillmere::sys_reader
