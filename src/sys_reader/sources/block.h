// The sysfs block-device directories, which tell a partition from a whole
// disk: /sys/block lists every whole disk and no partition, and a device's
// directory under /sys/class/block holds a `partition` entry when it is one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

inline constexpr SourceFile kWholeDiskDir{Root::kSysfs, "block"};
inline constexpr SourceFile kBlockClassDir{Root::kSysfs, "class/block"};

// The names /sys/block lists, sorted byte-wise; empty when it cannot be listed.
std::vector<std::string> whole_disk_names(const Roots& roots);

// True when the device's directory under /sys/class/block has a `partition`
// entry.
bool is_partition(const Roots& roots, std::string_view name);

}  // namespace quillmere::sys_reader
