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
#include <bit>  // std::bit_ceil, std::countr_zero, std::endian
#include <cstring>
#include <exception>
#include <limits>
#include <new>  // std::bad_alloc
#include <optional>
#include <span>

#include "os/unique_fd.h"
#include "sys_reader/cutting.h"
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"

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
// device's own size; the product wraps like any uint64 arithmetic, and the
// line says when it did.
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
constexpr bool is_token_byte(unsigned char c) noexcept {
  return static_cast<unsigned>(c - 0x21) < 0x5F || (c < 0x21 && !is_space(c));
}

enum class LineKind { kDevice, kShort, kNotAscii };

constexpr std::string_view strip_trailing_colons(std::string_view name) noexcept {
  while (!name.empty() && name.back() == ':') name.remove_suffix(1);
  return name;
}

constexpr unsigned char byte_at(std::string_view text, std::size_t pos) noexcept {
  return static_cast<unsigned char>(text[pos]);
}

// The number grammar of parse_u64 (an optional '+', then digits, nullopt
// for anything else or for a value above 2^64 - 1), read in place from the
// token's first byte at `pos` up to `end` at most. Nineteen digits never
// overflow; a longer run goes to parse_u64 itself.
inline std::optional<std::uint64_t> scan_u64(std::string_view text, std::size_t pos, std::size_t end) noexcept {
  const std::size_t token = pos;
  if (text[pos] == '+') ++pos;
  const std::size_t digits = pos;
  std::uint64_t value = 0;
  for (; pos < end; ++pos) {
    const auto digit = static_cast<unsigned>(byte_at(text, pos) - '0');
    if (digit >= 10) break;
    value = value * 10 + digit;
  }
  if (pos == digits || (pos < end && is_token_byte(byte_at(text, pos)))) return std::nullopt;
  if (pos - digits < 20) return value;
  return parse_u64(text.substr(token, pos - token));
}

// One of a line's two counters, of `unit` bytes each, as bytes: 0 for a
// malformed counter and the wrapped product for one too large, the one-shot
// rates' arithmetic, with the line's flag telling both from a true count.
enum class Side { kIn, kOut };
inline void set_bytes(DeviceLine& line, Side side, std::optional<std::uint64_t> count, std::uint64_t unit) noexcept {
  const std::uint64_t n = count.value_or(0);
  const bool known = count.has_value() && n <= std::numeric_limits<std::uint64_t>::max() / unit;
  (side == Side::kIn ? line.bytes.in_bytes : line.bytes.out_bytes) = n * unit;
  (side == Side::kIn ? line.in_known : line.out_known) = known;
}

// Eight bytes at a time: byte i of a word sits in bits 8i..8i+7 whatever the
// machine's byte order, and a flag for byte i is its bit 8i+7.
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = kOnes * 0x80;
constexpr std::uint64_t kSpaces = kOnes * ' ';

inline std::uint64_t from_memory_order(std::uint64_t word) noexcept {
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

// The eight bytes at `pos`, which must all lie inside `text`.
inline std::uint64_t load_word(std::string_view text, std::size_t pos) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, &text[pos], sizeof word);
  return from_memory_order(word);
}

// The line's last, partial word [pos, end), white space after `end`. No
// byte past the end of `text` is loaded.
std::uint64_t last_word(std::string_view text, std::size_t pos, std::size_t end) noexcept {
  std::uint64_t word = 0;
  if (text.size() - pos >= 8) {
    word = load_word(text, pos);
  } else {
    std::array<unsigned char, 8> tail{};
    tail.fill(' ');
    std::memcpy(tail.data(), &text[pos], text.size() - pos);
    std::memcpy(&word, tail.data(), sizeof word);
    word = from_memory_order(word);
  }
  const std::uint64_t keep = (std::uint64_t{1} << (8 * (end - pos))) - 1;
  return (word & keep) | (kSpaces & ~keep);
}

// Flags the white-space bytes of a word that holds no byte at or above 0x80.
// Each byte is compared on its own: no sum below carries into the next byte.
inline std::uint64_t space_flags(std::uint64_t word) noexcept {
  const std::uint64_t x20 = word ^ kSpaces;  // zero where the byte is ' '
  const std::uint64_t is_blank = ~(((x20 & ~kHighBits) + ~kHighBits) | x20) & kHighBits;
  const std::uint64_t at_least_09 = word + kOnes * (0x80 - 0x09);
  const std::uint64_t at_least_0e = word + kOnes * (0x80 - 0x0E);
  return is_blank | (at_least_09 & ~at_least_0e & kHighBits);
}

// Cuts the line [begin, end) of `text` the fast way: its name and counters
// when it has the layout's tokens, kShort when it has fewer, kNotAscii when
// it holds a byte at or above 0x80 before the last token it needs (or in the
// same word). Token starts are counted a word at a time; only the tokens
// used are read byte by byte. Bytes past the line's end may be loaded and
// count as white space.
LineKind cut_ascii_line(const LineLayout& layout, std::string_view text, std::size_t begin, std::size_t end,
                        DeviceLine& line) noexcept {
  // The token numbers used, in rising order in both formats: the name, the
  // two counters, and the last token a line must have.
  const std::array<std::size_t, 4> wanted = {layout.name, layout.in, layout.out, layout.min_tokens - 1};
  std::size_t next = 0;         // index into `wanted`
  std::size_t tokens = 0;       // token starts seen so far
  std::uint64_t before = 0x80;  // the byte before the line counts as white space
  for (std::size_t at = begin; at < end; at += 8) {
    const std::uint64_t word = end - at >= 8 ? load_word(text, at) : last_word(text, at, end);
    if ((word & kHighBits) != 0) return LineKind::kNotAscii;
    const std::uint64_t spaces = space_flags(word);
    std::uint64_t starts = ~spaces & kHighBits & ((spaces << 8) | before);
    before = spaces >> 56;
    // The flags are 0 or 1 per byte once shifted down; the multiply sums
    // them into the top byte (std::popcount is a library call on targets
    // built without a population-count instruction).
    const auto count = static_cast<std::size_t>(((starts >> 7) * kOnes) >> 56);
    if (tokens + count <= wanted[next]) {
      tokens += count;
      continue;
    }
    for (; starts != 0; starts &= starts - 1) {
      if (tokens++ != wanted[next]) continue;
      const std::size_t token = at + static_cast<std::size_t>(std::countr_zero(starts)) / 8;
      switch (next++) {
        case 0: {
          std::size_t stop = token;
          while (stop < end && is_token_byte(byte_at(text, stop))) ++stop;
          line.name = text.substr(token, stop - token);
          break;
        }
        case 1:
          set_bytes(line, Side::kIn, scan_u64(text, token, end), layout.unit_bytes);
          break;
        case 2:
          set_bytes(line, Side::kOut, scan_u64(text, token, end), layout.unit_bytes);
          break;
        default:
          // A byte at or above 0x80 inside a token used lies before this
          // one, in a word already looked at.
          return LineKind::kDevice;
      }
    }
  }
  return LineKind::kShort;
}

// The same line cut by the Unicode tokenizer, for lines the fast path gave up.
bool cut_unicode_line(const LineLayout& layout, std::string_view text, DeviceLine& line) noexcept {
  std::array<std::string_view, kMostTokens> tokens;
  const std::span<std::string_view> wanted(tokens.data(), layout.min_tokens);
  if (take_first_tokens(text, wanted) < layout.min_tokens) return false;
  line.name = tokens[layout.name];
  set_bytes(line, Side::kIn, parse_u64(tokens[layout.in]), layout.unit_bytes);
  set_bytes(line, Side::kOut, parse_u64(tokens[layout.out]), layout.unit_bytes);
  return true;
}

// Calls on_line(line) for each device line of `text`, in file order. Lines
// are cut at '\n'; a '\r' before it is white space to both cutters, and an
// empty final piece holds no line.
template <typename OnLine>
void for_each_device_line(const LineLayout& layout, std::string_view text, OnLine on_line) {
  std::size_t line_number = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t newline = text.find('\n', pos);  // memchr underneath
    const std::size_t line_end = newline != std::string_view::npos ? newline : text.size();
    if (line_number++ >= layout.header_lines) {
      DeviceLine line;
      LineKind kind = cut_ascii_line(layout, text, pos, line_end, line);
      if (kind == LineKind::kNotAscii) {
        line = DeviceLine{};
        kind = cut_unicode_line(layout, text.substr(pos, line_end - pos), line) ? LineKind::kDevice : LineKind::kShort;
      }
      if (kind == LineKind::kDevice) {
        if (layout.strip_colons) line.name = strip_trailing_colons(line.name);
        on_line(line);
      }
    }
    pos = line_end + 1;
  }
}

// --- Looking names up --------------------------------------------------------

// A cheap hash of a short byte string: a name is a few bytes, and a file
// with 10,000 devices hashes 10,000 of them.
std::uint64_t name_hash(std::string_view name) noexcept {
  constexpr std::uint64_t kMix = 0x9E3779B97F4A7C15ULL;
  std::uint64_t hash = (name.size() + 1) * kMix;
  while (name.size() >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, name.data(), sizeof word);
    hash = (hash ^ word) * kMix;
    hash ^= hash >> 29;
    name.remove_prefix(8);
  }
  std::uint64_t word = 0;
  std::memcpy(&word, name.data(), name.size());
  hash = (hash ^ word) * kMix;
  return hash ^ (hash >> 32);
}

constexpr std::uint64_t kLineBits = 0xFFFFFFFFULL;

// The line number a non-empty slot holds (its low 32 bits, which fit a
// size_t on every target).
std::size_t slot_line(std::uint64_t entry) noexcept { return static_cast<std::size_t>(entry & kLineBits) - 1; }

// Fills table.name_slots (linear probing, at most half full) so that each
// name finds the last of its lines, and notes whether any name repeats. A
// slot's upper half (the hash's upper half) spares most name comparisons.
void build_name_index(DeviceTable& table) {
  const std::size_t count = table.lines.size();
  // A line number takes 32 bits. A line needs 27 bytes or more, so no file
  // that fits in memory comes near; refuse one that would.
  if (count >= kLineBits / 4) throw std::bad_alloc();
  const std::size_t slot_count = std::bit_ceil(std::max<std::size_t>(2 * count, 8));
  const std::size_t mask = slot_count - 1;
  table.name_slots.assign(slot_count, 0);
  table.names_repeat = false;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view name = table.lines[i].name;
    const std::uint64_t hash = name_hash(name);
    const std::uint64_t tag = hash & ~kLineBits;
    for (std::size_t slot = static_cast<std::size_t>(hash) & mask;; slot = (slot + 1) & mask) {
      std::uint64_t& entry = table.name_slots[slot];
      if (entry != 0) {
        if ((entry & ~kLineBits) != tag || table.lines[slot_line(entry)].name != name) continue;
        table.names_repeat = true;
      }
      entry = tag | (i + 1);
      break;
    }
  }
  table.indexed = true;
}

// The line number of the last line named `name`, if any. Needs the index.
std::optional<std::size_t> find_last(const DeviceTable& table, std::string_view name) noexcept {
  const std::size_t mask = table.name_slots.size() - 1;
  const std::uint64_t hash = name_hash(name);
  const std::uint64_t tag = hash & ~kLineBits;
  for (std::size_t slot = static_cast<std::size_t>(hash) & mask;; slot = (slot + 1) & mask) {
    const std::uint64_t entry = table.name_slots[slot];
    if (entry == 0) return std::nullopt;
    const std::size_t line = slot_line(entry);
    if ((entry & ~kLineBits) == tag && table.lines[line].name == name) return line;
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

// finish_rates, where running out of memory for a names index gives {0, 0}.
std::pair<std::uint64_t, std::uint64_t> finish_rates_or_zero(DeviceTable& previous, DeviceTable& current,
                                                             const LineByLine& line_by_line,
                                                             double interval_seconds) noexcept {
  try {
    return finish_rates(previous, current, line_by_line, interval_seconds);
  } catch (const std::exception&) {
    return {0, 0};
  }
}

// Reads the whole file at `path` into table.storage and points table.text
// at it. The storage is reused; when it must grow it takes at least
// `size_hint` bytes (the size of the reading before), so a file that keeps
// its size is read straight into place. Like every reader, it reads until
// read() returns 0: the sizes /proc reports mean nothing. Growth is steep
// because every byte of an outgrown buffer was written and copied, while
// capacity never written costs no memory. The buffer never grows past one
// byte more than the limit: a file that fills that byte is too large and
// unreadable.
bool read_into(const char* path, DeviceTable& table, std::size_t size_hint) {
  const os::UniqueFd fd = open_source(path, kDeviceSourceLimit);
  if (!fd) return false;
  constexpr std::size_t kFirstCapacity = 16384;
  constexpr std::size_t kGrowth = 16;
  constexpr std::size_t kMostCapacity = kDeviceSourceLimit + 1;
  std::size_t used = 0;
  for (;;) {
    if (used == table.capacity) {
      if (used >= kMostCapacity) return false;
      // The limit keeps every product here far from overflowing, also in a
      // 32-bit size_t.
      const std::size_t grown = kGrowth * std::min(table.capacity, kMostCapacity);
      const std::size_t hinted = std::min(size_hint, kMostCapacity) + 4096;
      const std::size_t capacity = std::min(std::max({kFirstCapacity, grown, hinted}), kMostCapacity);
      auto bigger = std::make_unique_for_overwrite<char[]>(capacity);  // NOLINT(*-avoid-c-arrays)
      if (used != 0) std::memcpy(bigger.get(), table.storage.get(), used);
      table.storage = std::move(bigger);
      table.capacity = capacity;
    }
    const ssize_t n = read_until_full(fd.get(), std::span<char>(table.storage.get(), table.capacity).subspan(used));
    if (n < 0) return false;
    used += static_cast<std::size_t>(n);
    if (used < table.capacity) break;
  }
  table.text = std::string_view(table.storage.get(), used);
  return true;
}

// Reads `path` into `table` and parses it, handing each line to `on_line`
// with its line number. Any failure leaves the table without lines.
template <typename OnLine>
void read_table(DeviceFormat format, const char* path, DeviceTable& table, std::size_t size_hint,
                OnLine on_line) noexcept {
  table.lines.clear();
  table.indexed = false;
  table.text = {};
  try {
    if (!read_into(path, table, size_hint)) return;
    // Room for every line the text could hold (a device line is at least
    // two bytes per token), so the vector never grows and copies while it
    // is filled: untouched capacity costs no memory until used.
    table.lines.reserve(table.text.size() / (2 * layout_of(format).min_tokens) + 1);
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
  read_table(format, path, table, 0, [](std::size_t, const DeviceLine&) {});
}

std::pair<std::uint64_t, std::uint64_t> device_rates(DeviceTable& previous, DeviceTable& current,
                                                     double interval_seconds) noexcept {
  LineByLine line_by_line;
  for (std::size_t i = 0; i < current.lines.size(); ++i) line_by_line.compare(previous.lines, i, current.lines[i]);
  return finish_rates_or_zero(previous, current, line_by_line, interval_seconds);
}

void DeviceHistory::read_baseline() noexcept { read_device_table(format_, path_, tables_[previous_]); }

std::pair<std::uint64_t, std::uint64_t> DeviceHistory::read_rates(double interval_seconds) noexcept {
  DeviceTable& previous = tables_[previous_];
  DeviceTable& current = tables_[previous_ ^ 1];
  LineByLine line_by_line;
  read_table(format_, path_, current, previous.text.size(), [&](std::size_t index, const DeviceLine& line) {
    line_by_line.compare(previous.lines, index, line);
  });
  previous_ ^= 1;
  return finish_rates_or_zero(previous, current, line_by_line, interval_seconds);
}

}  // namespace quillmere::sys_reader
