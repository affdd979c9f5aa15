// Per-device readings to counters and totals, and two readings to the
// per-device rates and summed increases of the interval between them.
#include "collector/monitoring/monitoring_devices.h"

#include <algorithm>

#include "sys_reader/numbers.h"
#include "sys_reader/sources/diskstats.h"
#include "sys_reader/sources/net_dev.h"

namespace quillmere::collector {
namespace {

using sys_reader::checked_add;
using sys_reader::checked_mul;
using sys_reader::saturating_sub;
using Count = std::optional<std::uint64_t>;
using Line = sys_reader::WideDeviceLine;

Count bytes_of(Count count, std::uint64_t unit_bytes) noexcept {
  return count ? checked_mul(*count, unit_bytes) : std::nullopt;
}

// The increase of one counter between two readings: 0 when it went back (a
// reset), unless the kernel keeps it in a 32-bit word and it went back
// below 2^32: then it wrapped.
std::uint64_t increase(std::uint64_t before, std::uint64_t now, std::uint32_t word_bits) noexcept {
  constexpr std::uint64_t kWord32 = std::uint64_t{1} << 32;
  if (word_bits == 32 && now < before && before < kWord32) return now + kWord32 - before;
  return saturating_sub(now, before);
}

// The increase of one counter per second, or nullopt without it in both
// readings or without any time.
std::optional<double> counter_rate(Count before, Count now, std::uint32_t word_bits, double seconds) noexcept {
  if (!before || !now || seconds <= 0.0) return std::nullopt;
  return static_cast<double>(increase(*before, *now, word_bits)) / seconds;
}

// The increases of two counters together per second; nullopt also when the
// sum does not fit 64 bits.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): each counter's older value first, then its newer
std::optional<double> pair_rate(Count before_a, Count now_a, Count before_b, Count now_b, std::uint32_t word_bits,
                                double seconds) noexcept {
  if (!before_a || !now_a || !before_b || !now_b || seconds <= 0.0) return std::nullopt;
  const Count sum = checked_add(increase(*before_a, *now_a, word_bits), increase(*before_b, *now_b, word_bits));
  return sum ? std::optional<double>(static_cast<double>(*sum) / seconds) : std::nullopt;
}

// The rates of every device in both readings, make(before, now) each, sorted
// by name; nullopt without either reading.
template <typename Rates, typename Make>
std::optional<std::vector<Rates>> device_rates(DeviceReading& previous, DeviceReading& current, Make make) {
  if (!previous.table.readable || !current.table.readable) return std::nullopt;
  std::vector<Rates> rates = fold_matches(
      previous.table, current.table, std::vector<Rates>(),
      [&](std::vector<Rates>& all, const Line& before, const Line& now, std::size_t) { all.push_back(make(before, now)); });
  std::stable_sort(rates.begin(), rates.end(), [](const Rates& a, const Rates& b) { return a.name < b.name; });
  return rates;
}

// Every device of a reading, make(line) each, sorted by name.
template <typename Counters, typename Make>
std::vector<Counters> sorted_devices(const DeviceReading& devices, Make make) {
  std::vector<Counters> counters;
  counters.reserve(devices.table.lines.size());
  for_each_device(devices.table, [&](const Line& line, std::size_t) { counters.push_back(make(line)); });
  // A merge sort: fewer name comparisons than an introsort, each of which
  // reads names scattered over the file's buffer.
  std::stable_sort(counters.begin(), counters.end(),
                   [](const Counters& a, const Counters& b) { return a.name < b.name; });
  return counters;
}

}  // namespace

std::vector<DiskCounters> disk_counters(const DeviceReading& disks) {
  namespace column = sys_reader::disk_counter;
  const std::uint64_t unit = disks.unit_bytes;
  return sorted_devices<DiskCounters>(disks, [unit](const Line& line) {
    const Count io_ms = line.counters[column::kIoMilliseconds];
    return DiskCounters{line.name,
                        bytes_of(line.counters[column::kSectorsRead], unit),
                        bytes_of(line.counters[column::kSectorsWritten], unit),
                        line.counters[column::kReads],
                        line.counters[column::kWrites],
                        io_ms ? std::optional<double>(static_cast<double>(*io_ms) / 1000.0) : std::nullopt};
  });
}

std::vector<InterfaceCounters> interface_counters(const DeviceReading& interfaces) {
  namespace column = sys_reader::net_counter;
  return sorted_devices<InterfaceCounters>(interfaces, [](const Line& line) {
    const auto& c = line.counters;
    return InterfaceCounters{line.name,
                             c[column::kReceivedBytes],
                             c[column::kTransmittedBytes],
                             c[column::kReceivedPackets],
                             c[column::kTransmittedPackets],
                             c[column::kReceiveErrors],
                             c[column::kTransmitErrors],
                             c[column::kReceiveDrops],
                             c[column::kTransmitDrops]};
  });
}

Totals device_totals(const DeviceReading& devices) noexcept {
  if (!devices.table.readable) return {};
  Totals sums{0, 0};
  for_each_device(devices.table, [&](const Line& line, std::size_t index) {
    if (devices.whole_disks_only && devices.partition[index]) return;
    sums.first = checked_sum(sums.first, bytes_of(line.counters[devices.first_bytes], devices.unit_bytes));
    sums.second = checked_sum(sums.second, bytes_of(line.counters[devices.second_bytes], devices.unit_bytes));
  });
  return sums;
}

Totals summed_increase(DeviceReading& previous, DeviceReading& current, std::uint32_t word_bits) {
  if (!previous.table.readable || !current.table.readable) return {};
  using Sums = std::pair<Count, Count>;
  const std::uint64_t unit = current.unit_bytes;
  const std::size_t first = current.first_bytes;
  const std::size_t second = current.second_bytes;
  const auto add_increase = [word_bits, unit](Count& sum, Count before, Count now) {
    before = bytes_of(before, unit);
    now = bytes_of(now, unit);
    if (before && now) sum = checked_sum(sum, increase(*before, *now, word_bits));
  };
  return fold_matches(previous.table, current.table, Sums{0, 0},
                      [&](Sums& sums, const Line& before, const Line& now, std::size_t index) {
                        if (current.whole_disks_only && current.partition[index]) return;
                        add_increase(sums.first, before.counters[first], now.counters[first]);
                        add_increase(sums.second, before.counters[second], now.counters[second]);
                      });
}

std::optional<std::vector<DiskRates>> disk_rates(DeviceReading& previous, DeviceReading& current, double seconds) {
  namespace column = sys_reader::disk_counter;
  const std::uint64_t unit = current.unit_bytes;
  return device_rates<DiskRates>(previous, current, [&](const Line& before, const Line& now) {
    // A disk counter that steps back was reset, whatever the kernel.
    const auto rate = [&](std::size_t k, std::uint64_t scale) {
      return counter_rate(bytes_of(before.counters[k], scale), bytes_of(now.counters[k], scale), 64, seconds);
    };
    std::optional<double> busy = rate(column::kIoMilliseconds, 1);
    if (busy) busy = std::min(*busy / 10.0, 100.0);  // ms per second, in percent
    return DiskRates{std::string(now.name), rate(column::kSectorsRead, unit), rate(column::kSectorsWritten, unit),
                     rate(column::kReads, 1), rate(column::kWrites, 1), busy};
  });
}

std::optional<std::vector<InterfaceRates>> interface_rates(DeviceReading& previous, DeviceReading& current,
                                                           std::uint32_t word_bits, double seconds) {
  namespace column = sys_reader::net_counter;
  return device_rates<InterfaceRates>(previous, current, [&](const Line& before, const Line& now) {
    const auto rate = [&](std::size_t k) { return counter_rate(before.counters[k], now.counters[k], word_bits, seconds); };
    const auto both = [&](std::size_t a, std::size_t b) {
      return pair_rate(before.counters[a], now.counters[a], before.counters[b], now.counters[b], word_bits, seconds);
    };
    return InterfaceRates{std::string(now.name),
                          rate(column::kReceivedBytes),
                          rate(column::kTransmittedBytes),
                          rate(column::kReceivedPackets),
                          rate(column::kTransmittedPackets),
                          both(column::kReceiveErrors, column::kTransmitErrors),
                          both(column::kReceiveDrops, column::kTransmitDrops)};
  });
}

}  // namespace quillmere::collector
