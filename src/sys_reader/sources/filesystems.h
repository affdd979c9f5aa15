// Disk space and inodes of the mounted file systems: the mounts file for
// what is mounted where, statvfs for the figures.
//
// Promises: one entry per mount that parse_mounts keeps (so never a network
// file system, whose statvfs could hang), sorted byte-wise by mount point.
// Each is statvfs(rootfs + mount point), EINTR retried; a point that cannot
// be stat'ed is left out, and so is one whose byte figures (blocks times
// fragment size) do not fit 64 bits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sys_reader/roots.h"

namespace quillmere::sys_reader {

struct FilesystemUsage {
  std::string device;  // as the mounts file names it, escapes decoded, raw bytes
  std::string type;
  std::uint64_t size_bytes = 0;       // f_blocks * f_frsize
  std::uint64_t free_bytes = 0;       // f_bfree * f_frsize
  std::uint64_t available_bytes = 0;  // f_bavail * f_frsize: free to unprivileged users
  std::uint64_t files = 0;            // f_files: inodes
  std::uint64_t files_free = 0;       // f_ffree
  // "ro" among the mount options, or ST_RDONLY from statvfs: a card that the
  // kernel remounted read-only after errors shows in both.
  bool read_only = false;
};

// rootfs + mount point: "/" and "/boot" give "/boot", "/host/" and "/" give
// "/host".
std::string path_below_root(std::string_view rootfs, std::string_view mount_point);

// Mount point -> usage, sorted by mount point; nullopt when neither mounts
// file can be read. Throws only std::bad_alloc.
std::optional<std::vector<std::pair<std::string, FilesystemUsage>>> read_filesystems(const Roots& roots);

}  // namespace quillmere::sys_reader
