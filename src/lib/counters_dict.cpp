// Building read_counters()'s dictionary from a CounterReading.
#include "lib/counters_dict.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/py_ref.h"
#include "lib/timestamp.h"

namespace quillmere::lib {
namespace {

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

}  // namespace quillmere::lib
