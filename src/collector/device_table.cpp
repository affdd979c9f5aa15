// Device tables: reading one, its names index, and the pieces of the match.
#include "collector/device_table.h"

#include <algorithm>
#include <bit>  // std::bit_ceil
#include <cstring>
#include <new>  // std::bad_alloc

namespace quillmere::collector {
namespace {

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

}  // namespace

namespace device_table_detail {

// Linear probing, at most half full; a slot's upper half (the hash's upper
// half) spares most name comparisons.
template <typename Line>
void ensure_index(BasicDeviceTable<Line>& table) {
  if (table.indexed) return;
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

template <typename Line>
std::optional<std::size_t> find_last(const BasicDeviceTable<Line>& table, std::string_view name) noexcept {
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

template <typename Line>
void adopt_index(BasicDeviceTable<Line>& to, BasicDeviceTable<Line>& from) noexcept {
  to.name_slots.swap(from.name_slots);
  to.names_repeat = from.names_repeat;
  to.indexed = true;
  from.indexed = false;
}

template void ensure_index(DeviceTable&);
template void ensure_index(WideDeviceTable&);
template std::optional<std::size_t> find_last(const DeviceTable&, std::string_view) noexcept;
template std::optional<std::size_t> find_last(const WideDeviceTable&, std::string_view) noexcept;
template void adopt_index(DeviceTable&, DeviceTable&) noexcept;
template void adopt_index(WideDeviceTable&, WideDeviceTable&) noexcept;

}  // namespace device_table_detail

namespace {

template <typename Layout, typename Line>
void read_table(const char* path, std::size_t limit, const Layout& layout, BasicDeviceTable<Line>& table,
                std::size_t size_hint) noexcept {
  table.lines.clear();
  table.indexed = false;
  table.readable = false;
  if (!table.buffer.read(path, limit, size_hint)) return;
  try {
    sys_reader::parse_device_lines(layout, table.buffer.text(), table.lines);
    table.readable = true;
  } catch (const std::exception&) {
    table.lines.clear();  // out of memory: reported like an unreadable file
  }
}

}  // namespace

void read_device_table(const char* path, std::size_t limit, const sys_reader::DeviceLayout& layout,
                       DeviceTable& table, std::size_t size_hint) noexcept {
  read_table(path, limit, layout, table, size_hint);
}

void read_device_table(const char* path, std::size_t limit, const sys_reader::WideDeviceLayout& layout,
                       WideDeviceTable& table, std::size_t size_hint) noexcept {
  read_table(path, limit, layout, table, size_hint);
}

DeviceHistory::Pair DeviceHistory::read(const char* path, std::size_t limit,
                                        const sys_reader::DeviceLayout& layout) noexcept {
  DeviceTable& previous = tables_[previous_];
  DeviceTable& current = tables_[previous_ ^ 1];
  read_device_table(path, limit, layout, current, previous.buffer.text().size());
  previous_ ^= 1;
  return {previous, current};
}

}  // namespace quillmere::collector
