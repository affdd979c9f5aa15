// /proc/diskstats: sectors read and written per block device; for the
// monitoring pass also reads and writes completed and the time doing I/O.
//
// Promises: the layout the device-line cutter (sys_reader/device_lines.h)
// reads the file by; its lines' counters are sectors as read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sys_reader/device_lines.h"
#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

inline constexpr SourceFile kDiskstatsFile{Root::kProcfs, "diskstats"};

// One line per device, partitions and loop devices included:
//    8       0 sda 95146 27386 5836294 40233 127390 110474 9406024 127437 0 97000 193460
// Fields after the name: reads, reads merged, sectors read, ms reading,
// writes, writes merged, sectors written, ms writing, I/Os in flight, ms doing
// I/O, weighted ms. 4.18 adds four discard fields and 5.5 two flush fields;
// only the first 14 tokens are relied on.
inline constexpr DeviceLayout kDiskstatsLayout{0, 2, 5, 9, 14, false};

// The monitoring pass's cut, its counters in this order: reads completed,
// sectors read, writes completed, sectors written, milliseconds doing I/O.
inline constexpr WideDeviceLayout kDiskstatsWideLayout{0, 2, {3, 5, 7, 9, 12}, 5, 14, false};
namespace disk_counter {
inline constexpr std::size_t kReads = 0;
inline constexpr std::size_t kSectorsRead = 1;
inline constexpr std::size_t kWrites = 2;
inline constexpr std::size_t kSectorsWritten = 3;
inline constexpr std::size_t kIoMilliseconds = 4;
}  // namespace disk_counter

// A sector here is 512 bytes whatever the device's own sector size.
inline constexpr std::uint64_t kSectorBytes = 512;

}  // namespace quillmere::sys_reader
