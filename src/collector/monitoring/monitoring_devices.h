// The per-device part of the monitoring contract: a block device or network
// interface file as a reading keeps it, turned into each device's since-boot
// counters and the summed totals, and two such readings into the per-device
// rates and the summed increases of the interval between them.
//
// Promises: a counter unknown in a reading, or a product to bytes or a sum
// that does not fit 64 bits, is nullopt, never 0 or a wrapped number. An
// increase saturates at 0, but for a counter of a 32-bit word (word_bits 32)
// that stepped back below 2^32, which wrapped. Totals and summed increases
// leave partitions out where the reading says so (so that a transfer counts
// once); the per-device counters and rates are of every device, sorted by
// name. Nothing here reads a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collector/device_table.h"
#include "sys_reader/numbers.h"

namespace quillmere::collector {

// sum + part, nullopt once either is unknown or the sum does not fit.
inline std::optional<std::uint64_t> checked_sum(std::optional<std::uint64_t> sum,
                                                std::optional<std::uint64_t> part) noexcept {
  return sum && part ? sys_reader::checked_add(*sum, *part) : std::nullopt;
}

// --- A reading to counters and totals ----------------------------------------

// One block device of a reading, for the counters dict: its last line's
// values.
struct DiskCounters {
  std::string_view name;  // a view into the reading's buffer
  std::optional<std::uint64_t> read_bytes;
  std::optional<std::uint64_t> written_bytes;
  std::optional<std::uint64_t> reads_completed;
  std::optional<std::uint64_t> writes_completed;
  std::optional<double> io_seconds;  // time spent doing I/O
};

// One interface of a reading, likewise.
struct InterfaceCounters {
  std::string_view name;
  std::optional<std::uint64_t> received_bytes;
  std::optional<std::uint64_t> transmitted_bytes;
  std::optional<std::uint64_t> received_packets;
  std::optional<std::uint64_t> transmitted_packets;
  std::optional<std::uint64_t> receive_errors;
  std::optional<std::uint64_t> transmit_errors;
  std::optional<std::uint64_t> receive_drops;
  std::optional<std::uint64_t> transmit_drops;
};

// A per-device file as a reading keeps it, cut by its wide layout.
// `first_bytes` and `second_bytes` are where the two counters of bytes sit
// among the layout's counters (in units of `unit_bytes`); `partition` (block
// devices only) has one flag per line of the table.
struct DeviceReading {
  WideDeviceTable table;
  std::uint64_t unit_bytes = 1;
  std::size_t first_bytes = 0;
  std::size_t second_bytes = 1;
  std::vector<bool> partition;
  bool whole_disks_only = false;  // rates and totals leave partitions out
};

// Every device of a reading (the last line of each name), sorted by name
// byte-wise; empty for an unreadable file. The reading must be of diskstats,
// or of net/dev. Throws only std::bad_alloc.
std::vector<DiskCounters> disk_counters(const DeviceReading& disks);
std::vector<InterfaceCounters> interface_counters(const DeviceReading& interfaces);

// Bytes summed over the reading's devices (whole disks only where the reading
// says so): (first, second); nullopt without the source, when a device's
// counter is unknown or when the sum does not fit 64 bits.
using Totals = std::pair<std::optional<std::uint64_t>, std::optional<std::uint64_t>>;
Totals device_totals(const DeviceReading& devices) noexcept;

// --- Two readings to a sample ------------------------------------------------

// One block device over an interval; each nullopt when a counter it needs is
// nullopt in either reading.
struct DiskRates {
  std::string name;
  std::optional<double> read_bytes_per_sec;
  std::optional<double> write_bytes_per_sec;
  std::optional<double> reads_per_sec;  // reads completed
  std::optional<double> writes_per_sec;
  std::optional<double> busy_percent;  // share of the interval doing I/O, at most 100
};

// One interface over an interval, likewise; errors and drops are those
// received and transmitted together.
struct InterfaceRates {
  std::string name;
  std::optional<double> rx_bytes_per_sec;
  std::optional<double> tx_bytes_per_sec;
  std::optional<double> rx_packets_per_sec;
  std::optional<double> tx_packets_per_sec;
  std::optional<double> errors_per_sec;
  std::optional<double> drops_per_sec;
};

// Bytes increased over the interval, summed over the devices in both readings
// (whole disks only where the newer reading says so): (first, second). A
// device whose counter is unknown in either reading is passed over for it;
// nullopt without either reading or when the sum does not fit 64 bits. May
// build either reading's names index. Throws only std::bad_alloc.
Totals summed_increase(DeviceReading& previous, DeviceReading& current, std::uint32_t word_bits);

// The rates of every device in both readings (partitions included), sorted
// by name; nullopt without either reading. A disk counter that steps back was
// reset; an interface counter wraps as word_bits says. Throws only
// std::bad_alloc.
std::optional<std::vector<DiskRates>> disk_rates(DeviceReading& previous, DeviceReading& current, double seconds);
std::optional<std::vector<InterfaceRates>> interface_rates(DeviceReading& previous, DeviceReading& current,
                                                           std::uint32_t word_bits, double seconds);

}  // namespace quillmere::collector
