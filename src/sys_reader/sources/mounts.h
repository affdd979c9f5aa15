// The mounts file ({procfs}/1/mounts, else {procfs}/self/mounts): which file
// systems are mounted where, for the disk space figures.
//
// Promises: a pure parse of the text into the mounts worth a statvfs, in file
// order. Fields are separated by single spaces, exactly as the kernel writes
// them (an empty device name leaves the line beginning with a space), and a
// space, tab, newline or backslash inside a field is written as a three-digit
// octal escape (\040, \011, \012, \134), which is decoded; names stay the
// bytes they are. A mount point mounted more than once counts by its last
// line, the mount on top, and is left out when that one is. Left out:
//   - pseudo file systems, whose figures say nothing about storage;
//   - network file systems, whose statvfs can wait for ever on a server
//     that is gone, so they are dropped before anything touches them;
//   - mount points at or below /dev, /proc, /sys, /run/credentials and the
//     container engines' storage (/var/lib/docker, /var/lib/containers/storage).
// Lines with fewer than four fields are skipped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

// Pid 1's view is the host's when the host's /proc is mounted into a
// container; self/mounts is the fallback where pid 1's is hidden.
inline constexpr SourceFile kInitMountsFile{Root::kProcfs, "1/mounts"};
inline constexpr SourceFile kSelfMountsFile{Root::kProcfs, "self/mounts"};

struct MountEntry {
  std::string device;
  std::string mount_point;
  std::string type;
  bool read_only = false;  // "ro" among the comma-separated options

  bool operator==(const MountEntry&) const = default;
};

// The kept mounts of `text`, in the order of their last lines. Allocates for
// the entries only. Throws only std::bad_alloc.
std::vector<MountEntry> parse_mounts(std::string_view text);

// True for the types whose mounts are left out (pseudo and network ones).
bool is_excluded_mount_type(std::string_view type) noexcept;
// True for a mount point at or below one of the excluded directories
// ("/dev" and "/dev/pts", not "/devices").
bool is_excluded_mount_point(std::string_view point) noexcept;

}  // namespace quillmere::sys_reader
