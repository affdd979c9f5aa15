// /proc/net/dev: bytes received and sent per network interface; for the
// monitoring pass also packets, errors and drops each way.
//
// Promises: the layout the device-line cutter (sys_reader/device_lines.h)
// reads the file by; its lines' counters are bytes as read.
#pragma once

#include <cstddef>

#include "sys_reader/device_lines.h"
#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

inline constexpr SourceFile kNetDevFile{Root::kProcfs, "net/dev"};

// Two header lines, then one line per interface:
//     eth0: 1293745   10342    0    0    0     0          0        12   893421    7231    0    0    0     0       0          0
// Eight receive fields (bytes first) and eight transmit fields (bytes first),
// unchanged since 2.6. The name token ends in ':'. Kernels before 4.x could
// fuse the name to a wide first counter ("eth0:1293745"); such a line has one
// token too few and is skipped rather than guessed at.
inline constexpr DeviceLayout kNetDevLayout{2, 0, 1, 9, 17, true};

// The monitoring pass's cut: bytes, packets, errors and drops received, then
// the same four transmitted, in this order.
inline constexpr WideDeviceLayout kNetDevWideLayout{2, 0, {1, 2, 3, 4, 9, 10, 11, 12}, 8, 17, true};
namespace net_counter {
inline constexpr std::size_t kReceivedBytes = 0;
inline constexpr std::size_t kReceivedPackets = 1;
inline constexpr std::size_t kReceiveErrors = 2;
inline constexpr std::size_t kReceiveDrops = 3;
inline constexpr std::size_t kTransmittedBytes = 4;
inline constexpr std::size_t kTransmittedPackets = 5;
inline constexpr std::size_t kTransmitErrors = 6;
inline constexpr std::size_t kTransmitDrops = 7;
}  // namespace net_counter

}  // namespace quillmere::sys_reader
