// Building the counters and sample dictionaries from their C++ values.
#include "lib/counters_dict.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/py_ref.h"
#include "lib/timestamp.h"

namespace quillmere::lib {
namespace {

consteval std::size_t key(std::string_view name) { return key_index(kDictKeyNames, name); }

PyObject* to_int(std::uint64_t value) { return unsigned_int(value); }

PyObject* to_int(std::optional<std::uint64_t> value) { return value ? unsigned_int(*value) : new_none(); }

PyObject* to_int(std::optional<std::uint32_t> value) { return value ? unsigned_int(*value) : new_none(); }

PyObject* to_float(std::optional<double> value) { return value ? PyFloat_FromDouble(*value) : new_none(); }

PyObject* name_to_str(std::string_view name) {
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape");
}

// name -> {first_key: int, second_key: int} in name order, or None without
// the source.
PyObject* devices_dict(const DictKeys& keys, const collector::DeviceReading& devices, std::size_t first_key,
                       std::size_t second_key) {
  if (!devices.table.readable) return new_none();
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const collector::DeviceCounters& device : collector::device_counters(devices)) {
    PyRef entry(PyDict_New());
    if (!entry || !set_item(entry.get(), keys[first_key], to_int(device.first_bytes)) ||
        !set_item(entry.get(), keys[second_key], to_int(device.second_bytes))) {
      return nullptr;
    }
    PyRef name(name_to_str(device.name));
    if (!name || PyDict_SetItem(dict.get(), name.get(), entry.get()) != 0) return nullptr;
  }
  return dict.release();
}

PyObject* cpu_seconds_dict(const DictKeys& keys, const collector::CounterReading& r) {
  if (!r.cpu) return new_none();
  const collector::CpuTicks& t = *r.cpu;
  const double hz = r.ticks_per_second;
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

PyObject* temperatures_dict(const DictKeys& keys, const std::vector<collector::ZoneTemperature>& zones) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const collector::ZoneTemperature& zone : zones) {
    PyRef entry(PyDict_New());
    if (!entry) return nullptr;
    PyObject* type = zone.type ? name_to_str(*zone.type) : new_none();
    if (!set_item(entry.get(), keys[key("type")], type) ||
        !set_item(entry.get(), keys[key("celsius")], PyFloat_FromDouble(zone.celsius))) {
      return nullptr;
    }
    PyRef name(name_to_str(zone.zone));
    if (!name || PyDict_SetItem(dict.get(), name.get(), entry.get()) != 0) return nullptr;
  }
  return dict.release();
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

  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok =
      set_item(d, keys[key("timestamp")], PyFloat_FromDouble(timestamp_seconds(r.timestamp))) &&
      set_item(d, keys[key("uptime_seconds")], to_float(r.uptime_seconds)) &&
      set_item(d, keys[key("cpu_seconds")], cpu_seconds_dict(keys, r)) &&
      set_item(d, keys[key("context_switches_total")], to_int(r.context_switches_total)) &&
      set_item(d, keys[key("page_faults_total")], to_int(r.page_faults_total)) &&
      set_item(d, keys[key("page_faults_major_total")], to_int(r.page_faults_major_total)) &&
      set_item(d, keys[key("disk_read_bytes_total")], to_int(disk_read)) &&
      set_item(d, keys[key("disk_written_bytes_total")], to_int(disk_written)) &&
      set_item(d, keys[key("net_received_bytes_total")], to_int(net_received)) &&
      set_item(d, keys[key("net_transmitted_bytes_total")], to_int(net_transmitted)) &&
      set_item(d, keys[key("disks")], devices_dict(keys, r.disks, key("read_bytes"), key("written_bytes"))) &&
      set_item(d, keys[key("interfaces")], devices_dict(keys, r.interfaces, key("received_bytes"), key("transmitted_bytes"))) &&
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
      set_item(d, keys[key("arm_clock_hz")], to_int(r.arm_clock_hz));
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
                  set_item(d, keys[key("missed")], to_int(missed));
  return ok ? dict.release() : nullptr;
}

}  // namespace quillmere::lib
