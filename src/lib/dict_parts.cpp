// The pieces both of quillmere_sampler's dictionaries are built of.
#include "lib/dict_parts.h"

#include <array>

namespace quillmere::lib {

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

PyObject* temperatures_dict(const DictKeys& keys, const std::vector<collector::ZoneTemperature>& zones) {
  return named_entries(zones, [&keys](PyObject* e, const collector::ZoneTemperature& zone) {
    return set_item(e, keys[key("type")], zone.type ? name_to_str(*zone.type) : new_none()) &&
           set_item(e, keys[key("celsius")], PyFloat_FromDouble(zone.celsius));
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

}  // namespace quillmere::lib
