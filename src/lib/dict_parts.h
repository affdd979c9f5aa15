// The keys of quillmere_sampler's two dictionaries (read_counters()'s
// counters and the Sampler's sample) and the pieces both are built of: Python
// values from optional C++ values (None for nullopt), name -> {fields} and
// CPU -> value tables, and the tables both dicts hold alike (temperatures,
// the throttle word, the board sources).
//
// Names are decoded as UTF-8 with errors="surrogateescape", so a name of any
// bytes survives the round trip. Each function returns a new reference, or
// nullptr with a Python error set, and leaks no reference on an error path.
// Call with the interpreter lock held.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collector/monitoring/monitoring_contract.h"
#include "lib/boundary.h"
#include "lib/py_ref.h"

namespace quillmere::lib {

// Every key of the two dicts and their nested dicts, each once.
inline constexpr std::array kDictKeyNames = {
    "timestamp", "uptime_seconds", "cpu_seconds", "user", "nice", "system", "idle", "iowait", "irq",
    "softirq", "steal", "context_switches_total", "page_faults_total", "page_faults_major_total",
    "disk_read_bytes_total", "disk_written_bytes_total", "net_received_bytes_total",
    "net_transmitted_bytes_total", "disks", "read_bytes", "written_bytes", "interfaces", "received_bytes",
    "transmitted_bytes", "run_queue_length", "load_avg_1", "load_avg_5", "load_avg_15", "mem_total_bytes",
    "mem_used_bytes", "mem_available_bytes", "swap_total_bytes", "swap_used_bytes", "temperatures", "type",
    "celsius", "cpu_temp_celsius", "throttle_status", "arm_clock_hz", "cpu_usage_percent", "cpu_user_percent",
    "cpu_system_percent", "cpu_idle_percent", "cpu_iowait_percent", "cpu_irq_percent", "cpu_softirq_percent",
    "cpu_steal_percent", "context_switches_per_sec", "page_faults_minor_per_sec", "page_faults_major_per_sec",
    "disk_read_bytes_per_sec", "disk_write_bytes_per_sec", "net_rx_bytes_per_sec", "net_tx_bytes_per_sec",
    "measure_clock", "interval_seconds", "missed", "cpus", "processes", "running", "blocked", "threads",
    "forks_total", "throttle", "under_voltage", "arm_frequency_capped", "throttled", "soft_temperature_limit",
    "under_voltage_occurred", "arm_frequency_capped_occurred", "throttled_occurred",
    "soft_temperature_limit_occurred", "swap_in_pages_total", "swap_out_pages_total", "oom_kills_total",
    "cpus_usage_percent", "processes_running", "processes_blocked", "reads_completed", "writes_completed",
    "io_seconds", "received_packets", "transmitted_packets", "receive_errors", "transmit_errors", "receive_drops",
    "transmit_drops", "read_bytes_per_sec", "write_bytes_per_sec", "reads_per_sec", "writes_per_sec",
    "busy_percent", "rx_bytes_per_sec", "tx_bytes_per_sec", "rx_packets_per_sec", "tx_packets_per_sec",
    "errors_per_sec", "drops_per_sec", "cpu_frequencies_hz", "pressure", "some_seconds_total",
    "full_seconds_total", "filesystems", "device", "size_bytes", "free_bytes", "available_bytes", "files",
    "files_free", "read_only", "wireless", "link_quality", "signal_dbm", "hwmon", "label", "value", "alarm",
    "clock_synchronized", "clock_max_error_seconds", "some_percent", "full_percent"};

using DictKeys = InternedKeys<kDictKeyNames.size()>;

// A key's index in kDictKeyNames; a name not there does not compile.
consteval std::size_t key(std::string_view name) { return key_index(kDictKeyNames, name); }

inline PyObject* to_int(std::uint64_t value) { return unsigned_int(value); }

inline PyObject* to_int(std::optional<std::uint64_t> value) { return value ? unsigned_int(*value) : new_none(); }

inline PyObject* to_int(std::optional<std::uint32_t> value) { return value ? unsigned_int(*value) : new_none(); }

inline PyObject* to_float(const std::optional<double>& value) {
  return value ? PyFloat_FromDouble(*value) : new_none();
}

inline PyObject* to_bool(std::optional<bool> value) { return value ? PyBool_FromLong(*value ? 1 : 0) : new_none(); }

inline PyObject* name_to_str(std::string_view name) {
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape");
}

// The name an item is listed under.
template <typename Item>
std::string_view name_of(const Item& item) {
  return item.name;
}
inline std::string_view name_of(const collector::ZoneTemperature& zone) { return zone.zone; }
inline std::string_view name_of(const sys_reader::HwmonSensor& sensor) { return sensor.key; }
template <typename Name, typename Value>
std::string_view name_of(const std::pair<Name, Value>& entry) {
  return entry.first;
}

// name -> {fields}, one entry per item in the items' order: fill(entry,
// item) sets an entry's fields and returns false with a Python error set.
template <typename Item, typename Fill>
PyObject* named_entries(const std::vector<Item>& items, Fill fill) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const Item& item : items) {
    PyRef entry(PyDict_New());
    if (!entry || !fill(entry.get(), item)) return nullptr;
    PyRef name(name_to_str(name_of(item)));
    if (!name || PyDict_SetItem(dict.get(), name.get(), entry.get()) != 0) return nullptr;
  }
  return dict.release();
}

// The same, None without the items.
template <typename Item, typename Fill>
PyObject* named_entries(const std::optional<std::vector<Item>>& items, Fill fill) {
  return items ? named_entries(*items, fill) : new_none();
}

inline std::uint32_t entry_cpu(const collector::CpuTime& entry) { return entry.cpu; }
template <typename Value>
std::uint32_t entry_cpu(const std::pair<std::uint32_t, Value>& entry) {
  return entry.first;
}

// CPU number -> value(entry) for each entry of a list sorted by CPU, or None
// without the list.
template <typename Entry, typename Value>
PyObject* per_cpu_dict(const std::optional<std::vector<Entry>>& entries, Value value) {
  if (!entries) return new_none();
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const Entry& entry : *entries) {
    PyRef cpu(PyLong_FromUnsignedLong(entry_cpu(entry)));
    PyRef item(value(entry));
    if (!cpu || !item || PyDict_SetItem(dict.get(), cpu.get(), item.get()) != 0) return nullptr;
  }
  return dict.release();
}

inline PyObject* frequency_of(const std::pair<std::uint32_t, std::uint64_t>& cpu) { return to_int(cpu.second); }

// The firmware's throttle word: bits 0 to 3 are the conditions now, bits 16
// to 19 the same conditions since boot.
PyObject* throttle_dict(const DictKeys& keys, std::optional<std::uint32_t> status);
PyObject* temperatures_dict(const DictKeys& keys, const std::vector<collector::ZoneTemperature>& zones);
PyObject* filesystems_dict(
    const DictKeys& keys,
    const std::optional<std::vector<std::pair<std::string, sys_reader::FilesystemUsage>>>& filesystems);
PyObject* wireless_dict(const DictKeys& keys, const std::optional<std::vector<collector::WirelessLink>>& links);
PyObject* hwmon_dict(const DictKeys& keys, const std::optional<std::vector<sys_reader::HwmonSensor>>& sensors);

}  // namespace quillmere::lib
