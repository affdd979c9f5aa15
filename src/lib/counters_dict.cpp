// Building the counters and sample dictionaries from their C++ values.
#include "lib/counters_dict.h"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "lib/py_ref.h"
#include "lib/timestamp.h"

namespace quillmere::lib {
namespace {

consteval std::size_t key(std::string_view name) { return key_index(kDictKeyNames, name); }

std::uint32_t entry_cpu(const collector::CpuTime& entry) { return entry.cpu; }
template <typename Value>
std::uint32_t entry_cpu(const std::pair<std::uint32_t, Value>& entry) {
  return entry.first;
}

PyObject* to_int(std::uint64_t value) { return unsigned_int(value); }

PyObject* to_int(std::optional<std::uint64_t> value) { return value ? unsigned_int(*value) : new_none(); }

PyObject* to_int(std::optional<std::uint32_t> value) { return value ? unsigned_int(*value) : new_none(); }

PyObject* to_float(const std::optional<double>& value) { return value ? PyFloat_FromDouble(*value) : new_none(); }

PyObject* name_to_str(std::string_view name) {
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape");
}

template <typename Item>
std::string_view name_of(const Item& item) {
  return item.name;
}
std::string_view name_of(const collector::ZoneTemperature& zone) { return zone.zone; }
std::string_view name_of(const sys_reader::HwmonSensor& sensor) { return sensor.key; }
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

PyObject* disks_dict(const DictKeys& keys, const collector::DeviceReading& disks) {
  if (!disks.table.readable) return new_none();
  return named_entries(collector::disk_counters(disks), [&keys](PyObject* e, const collector::DiskCounters& disk) {
    return set_item(e, keys[key("read_bytes")], to_int(disk.read_bytes)) &&
           set_item(e, keys[key("written_bytes")], to_int(disk.written_bytes)) &&
           set_item(e, keys[key("reads_completed")], to_int(disk.reads_completed)) &&
           set_item(e, keys[key("writes_completed")], to_int(disk.writes_completed)) &&
           set_item(e, keys[key("io_seconds")], to_float(disk.io_seconds));
  });
}

PyObject* interfaces_dict(const DictKeys& keys, const collector::DeviceReading& interfaces) {
  if (!interfaces.table.readable) return new_none();
  return named_entries(collector::interface_counters(interfaces),
                       [&keys](PyObject* e, const collector::InterfaceCounters& net) {
                         return set_item(e, keys[key("received_bytes")], to_int(net.received_bytes)) &&
                                set_item(e, keys[key("transmitted_bytes")], to_int(net.transmitted_bytes)) &&
                                set_item(e, keys[key("received_packets")], to_int(net.received_packets)) &&
                                set_item(e, keys[key("transmitted_packets")], to_int(net.transmitted_packets)) &&
                                set_item(e, keys[key("receive_errors")], to_int(net.receive_errors)) &&
                                set_item(e, keys[key("transmit_errors")], to_int(net.transmit_errors)) &&
                                set_item(e, keys[key("receive_drops")], to_int(net.receive_drops)) &&
                                set_item(e, keys[key("transmit_drops")], to_int(net.transmit_drops));
                       });
}

PyObject* disk_rates_dict(const DictKeys& keys, const std::optional<std::vector<collector::DiskRates>>& disks) {
  return named_entries(disks, [&keys](PyObject* e, const collector::DiskRates& disk) {
    return set_item(e, keys[key("read_bytes_per_sec")], to_float(disk.read_bytes_per_sec)) &&
           set_item(e, keys[key("write_bytes_per_sec")], to_float(disk.write_bytes_per_sec)) &&
           set_item(e, keys[key("reads_per_sec")], to_float(disk.reads_per_sec)) &&
           set_item(e, keys[key("writes_per_sec")], to_float(disk.writes_per_sec)) &&
           set_item(e, keys[key("busy_percent")], to_float(disk.busy_percent));
  });
}

PyObject* interface_rates_dict(const DictKeys& keys,
                               const std::optional<std::vector<collector::InterfaceRates>>& interfaces) {
  return named_entries(interfaces, [&keys](PyObject* e, const collector::InterfaceRates& net) {
    return set_item(e, keys[key("rx_bytes_per_sec")], to_float(net.rx_bytes_per_sec)) &&
           set_item(e, keys[key("tx_bytes_per_sec")], to_float(net.tx_bytes_per_sec)) &&
           set_item(e, keys[key("rx_packets_per_sec")], to_float(net.rx_packets_per_sec)) &&
           set_item(e, keys[key("tx_packets_per_sec")], to_float(net.tx_packets_per_sec)) &&
           set_item(e, keys[key("errors_per_sec")], to_float(net.errors_per_sec)) &&
           set_item(e, keys[key("drops_per_sec")], to_float(net.drops_per_sec));
  });
}

// {user: seconds, ...} of one line of ticks.
PyObject* cpu_seconds_dict(const DictKeys& keys, const collector::CpuTicks& t, double hz) {
  const auto seconds = [hz](std::uint64_t ticks) { return PyFloat_FromDouble(static_cast<double>(ticks) / hz); };
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok = set_item(d, keys[key("user")], seconds(t.user)) && set_item(d, keys[key("nice")], seconds(t.nice)) &&
                  set_item(d, keys[key("system")], seconds(t.system)) && set_item(d, keys[key("idle")], seconds(t.idle)) &&
                  set_item(d, keys[key("iowait")], seconds(t.iowait)) && set_item(d, keys[key("irq")], seconds(t.irq)) &&
                  set_item(d, keys[key("softirq")], seconds(t.softirq)) && set_item(d, keys[key("steal")], seconds(t.steal));
  return ok ? dict.release() : nullptr;
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

PyObject* frequency_of(const std::pair<std::uint32_t, std::uint64_t>& cpu) { return to_int(cpu.second); }

PyObject* processes_dict(const DictKeys& keys, const std::optional<collector::ProcessCounts>& counts) {
  if (!counts) return new_none();
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok = set_item(d, keys[key("running")], to_int(counts->running)) &&
                  set_item(d, keys[key("blocked")], to_int(counts->blocked)) &&
                  set_item(d, keys[key("threads")], to_int(counts->threads)) &&
                  set_item(d, keys[key("forks_total")], to_int(counts->forks_total));
  return ok ? dict.release() : nullptr;
}

// The firmware's throttle word: bits 0 to 3 are the conditions now, bits 16
// to 19 the same conditions since boot.
PyObject* throttle_dict(const DictKeys& keys, std::optional<std::uint32_t> status) {
  if (!status) return new_none();
  static constexpr std::array<std::pair<std::size_t, unsigned>, 8> kBits = {{
      {key("under_voltage"), 0},
      {key("arm_frequency_capped"), 1},
      {key("throttled"), 2},
      {key("soft_temperature_limit"), 3},
      {key("under_voltage_occurred"), 16},
      {key("arm_frequency_capped_occurred"), 17},
      {key("throttled_occurred"), 18},
      {key("soft_temperature_limit_occurred"), 19},
  }};
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, bit] : kBits) {
    if (!set_item(dict.get(), keys[name], PyBool_FromLong(static_cast<long>((*status >> bit) & 1U)))) return nullptr;
  }
  return dict.release();
}

PyObject* to_bool(std::optional<bool> value) { return value ? PyBool_FromLong(*value ? 1 : 0) : new_none(); }

PyObject* pressure_dict(const DictKeys& keys,
                        const std::optional<std::vector<std::pair<std::string, sys_reader::PressureRecord>>>& pressure) {
  if (!pressure) return new_none();
  // A resource whose some line does not parse is left out.
  std::vector<std::pair<std::string_view, const sys_reader::PressureRecord*>> kept;
  for (const auto& [name, record] : *pressure) {
    if (record.some_seconds_total) kept.emplace_back(name, &record);
  }
  return named_entries(kept, [&keys](PyObject* e, const auto& entry) {
    return set_item(e, keys[key("some_seconds_total")], to_float(entry.second->some_seconds_total)) &&
           set_item(e, keys[key("full_seconds_total")], to_float(entry.second->full_seconds_total));
  });
}

PyObject* pressure_shares_dict(const DictKeys& keys, const std::optional<std::vector<collector::PressureShare>>& shares) {
  return named_entries(shares, [&keys](PyObject* e, const collector::PressureShare& share) {
    return set_item(e, keys[key("some_percent")], PyFloat_FromDouble(share.some_percent)) &&
           set_item(e, keys[key("full_percent")], to_float(share.full_percent));
  });
}

PyObject* filesystems_dict(
    const DictKeys& keys,
    const std::optional<std::vector<std::pair<std::string, sys_reader::FilesystemUsage>>>& filesystems) {
  return named_entries(filesystems, [&keys](PyObject* e, const auto& entry) {
    const sys_reader::FilesystemUsage& fs = entry.second;
    return set_item(e, keys[key("device")], name_to_str(fs.device)) &&
           set_item(e, keys[key("type")], name_to_str(fs.type)) &&
           set_item(e, keys[key("size_bytes")], to_int(fs.size_bytes)) &&
           set_item(e, keys[key("free_bytes")], to_int(fs.free_bytes)) &&
           set_item(e, keys[key("available_bytes")], to_int(fs.available_bytes)) &&
           set_item(e, keys[key("files")], to_int(fs.files)) &&
           set_item(e, keys[key("files_free")], to_int(fs.files_free)) &&
           set_item(e, keys[key("read_only")], PyBool_FromLong(fs.read_only ? 1 : 0));
  });
}

PyObject* wireless_dict(const DictKeys& keys, const std::optional<std::vector<collector::WirelessLink>>& links) {
  return named_entries(links, [&keys](PyObject* e, const collector::WirelessLink& link) {
    return set_item(e, keys[key("link_quality")], PyFloat_FromDouble(link.link_quality)) &&
           set_item(e, keys[key("signal_dbm")], PyFloat_FromDouble(link.signal_dbm));
  });
}

PyObject* hwmon_dict(const DictKeys& keys, const std::optional<std::vector<sys_reader::HwmonSensor>>& sensors) {
  return named_entries(sensors, [&keys](PyObject* e, const sys_reader::HwmonSensor& sensor) {
    return set_item(e, keys[key("label")], sensor.label ? name_to_str(*sensor.label) : new_none()) &&
           set_item(e, keys[key("value")], to_float(sensor.value)) &&
           set_item(e, keys[key("alarm")], to_bool(sensor.alarm));
  });
}

PyObject* temperatures_dict(const DictKeys& keys, const std::vector<collector::ZoneTemperature>& zones) {
  return named_entries(zones, [&keys](PyObject* e, const collector::ZoneTemperature& zone) {
    return set_item(e, keys[key("type")], zone.type ? name_to_str(*zone.type) : new_none()) &&
           set_item(e, keys[key("celsius")], PyFloat_FromDouble(zone.celsius));
  });
}

}  // namespace

PyObject* build_counters_dict(const DictKeys& keys, const collector::CounterReading& r) {
  const auto [disk_read, disk_written] = collector::device_totals(r.disks);
  const auto [net_received, net_transmitted] = collector::device_totals(r.interfaces);
  const auto load = [&r](std::optional<double> collector::LoadAverage64::*field) {
    return r.load ? (*r.load).*field : std::nullopt;
  };
  const std::optional<double> cpu_temp =
      r.zones.empty() ? std::nullopt : std::optional<double>(r.zones.front().celsius);
  const std::optional<os::ClockSync>& clock = r.board.clock;

  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok =
      set_item(d, keys[key("timestamp")], PyFloat_FromDouble(timestamp_seconds(r.timestamp))) &&
      set_item(d, keys[key("uptime_seconds")], to_float(r.uptime_seconds)) &&
      set_item(d, keys[key("cpu_seconds")], r.cpu ? cpu_seconds_dict(keys, *r.cpu, r.ticks_per_second) : new_none()) &&
      set_item(d, keys[key("context_switches_total")], to_int(r.context_switches_total)) &&
      set_item(d, keys[key("page_faults_total")], to_int(r.page_faults_total)) &&
      set_item(d, keys[key("page_faults_major_total")], to_int(r.page_faults_major_total)) &&
      set_item(d, keys[key("disk_read_bytes_total")], to_int(disk_read)) &&
      set_item(d, keys[key("disk_written_bytes_total")], to_int(disk_written)) &&
      set_item(d, keys[key("net_received_bytes_total")], to_int(net_received)) &&
      set_item(d, keys[key("net_transmitted_bytes_total")], to_int(net_transmitted)) &&
      set_item(d, keys[key("disks")], disks_dict(keys, r.disks)) &&
      set_item(d, keys[key("interfaces")], interfaces_dict(keys, r.interfaces)) &&
      set_item(d, keys[key("run_queue_length")], to_float(load(&collector::LoadAverage64::run_queue_length))) &&
      set_item(d, keys[key("load_avg_1")], to_float(load(&collector::LoadAverage64::load_avg_1))) &&
      set_item(d, keys[key("load_avg_5")], to_float(load(&collector::LoadAverage64::load_avg_5))) &&
      set_item(d, keys[key("load_avg_15")], to_float(load(&collector::LoadAverage64::load_avg_15))) &&
      set_item(d, keys[key("mem_total_bytes")], to_int(r.memory.total_bytes)) &&
      set_item(d, keys[key("mem_used_bytes")], to_int(r.memory.used_bytes)) &&
      set_item(d, keys[key("mem_available_bytes")], to_int(r.memory.available_bytes)) &&
      set_item(d, keys[key("swap_total_bytes")], to_int(r.memory.swap_total_bytes)) &&
      set_item(d, keys[key("swap_used_bytes")], to_int(r.memory.swap_used_bytes)) &&
      set_item(d, keys[key("temperatures")], temperatures_dict(keys, r.zones)) &&
      set_item(d, keys[key("cpu_temp_celsius")], to_float(cpu_temp)) &&
      set_item(d, keys[key("throttle_status")], to_int(r.throttle_status)) &&
      set_item(d, keys[key("arm_clock_hz")], to_int(r.arm_clock_hz)) &&
      set_item(d, keys[key("cpus")], per_cpu_dict(r.cpus, [&](const collector::CpuTime& cpu) {
                 return cpu_seconds_dict(keys, cpu.ticks, r.ticks_per_second);
               })) &&
      set_item(d, keys[key("cpu_frequencies_hz")], per_cpu_dict(r.board.cpu_frequencies_hz, frequency_of)) &&
      set_item(d, keys[key("processes")], processes_dict(keys, r.processes)) &&
      set_item(d, keys[key("pressure")], pressure_dict(keys, r.pressure)) &&
      set_item(d, keys[key("filesystems")], filesystems_dict(keys, r.board.filesystems)) &&
      set_item(d, keys[key("wireless")], wireless_dict(keys, r.board.wireless)) &&
      set_item(d, keys[key("hwmon")], hwmon_dict(keys, r.board.hwmon)) &&
      set_item(d, keys[key("throttle")], throttle_dict(keys, r.throttle_status)) &&
      set_item(d, keys[key("swap_in_pages_total")], to_int(r.swap_in_pages_total)) &&
      set_item(d, keys[key("swap_out_pages_total")], to_int(r.swap_out_pages_total)) &&
      set_item(d, keys[key("oom_kills_total")], to_int(r.oom_kills_total)) &&
      set_item(d, keys[key("clock_synchronized")], to_bool(clock ? std::optional<bool>(clock->synchronized) : std::nullopt)) &&
      set_item(d, keys[key("clock_max_error_seconds")],
               to_float(clock ? std::optional<double>(clock->max_error_seconds) : std::nullopt));
  return ok ? dict.release() : nullptr;
}

PyObject* build_sample_dict(const DictKeys& keys, const collector::IntervalSample& s, std::uint64_t missed) {
  using Shares = collector::IntervalSample::CpuShares;
  const auto cpu = [&s](double Shares::*field) {
    return to_float(s.cpu ? std::optional<double>((*s.cpu).*field) : std::nullopt);
  };
  const auto load = [&s](std::optional<double> collector::LoadAverage64::*field) {
    return to_float(s.load ? (*s.load).*field : std::nullopt);
  };
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok = set_item(d, keys[key("timestamp")], PyFloat_FromDouble(timestamp_seconds(s.timestamp))) &&
                  set_item(d, keys[key("cpu_usage_percent")], cpu(&Shares::usage)) &&
                  set_item(d, keys[key("cpu_user_percent")], cpu(&Shares::user)) &&
                  set_item(d, keys[key("cpu_system_percent")], cpu(&Shares::system)) &&
                  set_item(d, keys[key("cpu_idle_percent")], cpu(&Shares::idle)) &&
                  set_item(d, keys[key("cpu_iowait_percent")], cpu(&Shares::iowait)) &&
                  set_item(d, keys[key("cpu_irq_percent")], cpu(&Shares::irq)) &&
                  set_item(d, keys[key("cpu_softirq_percent")], cpu(&Shares::softirq)) &&
                  set_item(d, keys[key("cpu_steal_percent")], cpu(&Shares::steal)) &&
                  set_item(d, keys[key("run_queue_length")], to_float(s.run_queue_length)) &&
                  set_item(d, keys[key("context_switches_per_sec")], to_float(s.context_switches_per_sec)) &&
                  set_item(d, keys[key("cpu_temp_celsius")], to_float(s.cpu_temp_celsius)) &&
                  set_item(d, keys[key("throttle_status")], to_int(s.throttle_status)) &&
                  set_item(d, keys[key("mem_total_bytes")], to_int(s.mem_total_bytes)) &&
                  set_item(d, keys[key("mem_used_bytes")], to_int(s.mem_used_bytes)) &&
                  set_item(d, keys[key("page_faults_minor_per_sec")], to_float(s.page_faults_minor_per_sec)) &&
                  set_item(d, keys[key("page_faults_major_per_sec")], to_float(s.page_faults_major_per_sec)) &&
                  set_item(d, keys[key("uptime_seconds")], to_float(s.uptime_seconds)) &&
                  set_item(d, keys[key("load_avg_1")], load(&collector::LoadAverage64::load_avg_1)) &&
                  set_item(d, keys[key("load_avg_5")], load(&collector::LoadAverage64::load_avg_5)) &&
                  set_item(d, keys[key("load_avg_15")], load(&collector::LoadAverage64::load_avg_15)) &&
                  set_item(d, keys[key("disk_read_bytes_per_sec")], to_float(s.disk_read_bytes_per_sec)) &&
                  set_item(d, keys[key("disk_write_bytes_per_sec")], to_float(s.disk_write_bytes_per_sec)) &&
                  set_item(d, keys[key("net_rx_bytes_per_sec")], to_float(s.net_rx_bytes_per_sec)) &&
                  set_item(d, keys[key("net_tx_bytes_per_sec")], to_float(s.net_tx_bytes_per_sec)) &&
                  set_item(d, keys[key("measure_clock")], to_int(s.arm_clock_hz)) &&
                  set_item(d, keys[key("interval_seconds")], PyFloat_FromDouble(s.interval_seconds)) &&
                  set_item(d, keys[key("mem_available_bytes")], to_int(s.mem_available_bytes)) &&
                  set_item(d, keys[key("missed")], to_int(missed)) &&
                  set_item(d, keys[key("cpus_usage_percent")],
                           per_cpu_dict(s.cpus_usage, [](const auto& usage) { return to_float(usage.second); })) &&
                  set_item(d, keys[key("processes_running")], to_int(s.processes_running)) &&
                  set_item(d, keys[key("processes_blocked")], to_int(s.processes_blocked)) &&
                  set_item(d, keys[key("pressure")], pressure_shares_dict(keys, s.pressure)) &&
                  set_item(d, keys[key("disks")], disk_rates_dict(keys, s.disks)) &&
                  set_item(d, keys[key("interfaces")], interface_rates_dict(keys, s.interfaces)) &&
                  set_item(d, keys[key("cpu_frequencies_hz")],
                           per_cpu_dict(s.board.cpu_frequencies_hz, frequency_of)) &&
                  set_item(d, keys[key("filesystems")], filesystems_dict(keys, s.board.filesystems)) &&
                  set_item(d, keys[key("temperatures")], temperatures_dict(keys, s.zones)) &&
                  set_item(d, keys[key("hwmon")], hwmon_dict(keys, s.board.hwmon)) &&
                  set_item(d, keys[key("throttle")], throttle_dict(keys, s.throttle_status)) &&
                  set_item(d, keys[key("wireless")], wireless_dict(keys, s.board.wireless)) &&
                  set_item(d, keys[key("swap_total_bytes")], to_int(s.swap_total_bytes)) &&
                  set_item(d, keys[key("swap_used_bytes")], to_int(s.swap_used_bytes)) &&
                  set_item(d, keys[key("clock_synchronized")],
                           to_bool(s.board.clock ? std::optional<bool>(s.board.clock->synchronized) : std::nullopt));
  return ok ? dict.release() : nullptr;
}

}  // namespace quillmere::lib
