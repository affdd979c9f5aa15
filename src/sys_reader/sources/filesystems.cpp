// statvfs over the mounts that the mounts file keeps.
#include "sys_reader/sources/filesystems.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include <sys/statvfs.h>  // statvfs, ST_RDONLY

#include "os/unique_fd.h"  // retry_on_eintr
#include "sys_reader/file_read.h"
#include "sys_reader/numbers.h"
#include "sys_reader/sources/mounts.h"

namespace quillmere::sys_reader {
namespace {

// The figures of one statvfs; nullopt when a product does not fit. The
// fields are unsigned long or 64-bit counts by platform, so each is widened
// first.
std::optional<FilesystemUsage> usage_of(const struct statvfs& info) noexcept {
  const auto fragment = static_cast<std::uint64_t>(info.f_frsize);
  const std::optional<std::uint64_t> size = checked_mul(static_cast<std::uint64_t>(info.f_blocks), fragment);
  const std::optional<std::uint64_t> free = checked_mul(static_cast<std::uint64_t>(info.f_bfree), fragment);
  const std::optional<std::uint64_t> available = checked_mul(static_cast<std::uint64_t>(info.f_bavail), fragment);
  if (!size || !free || !available) return std::nullopt;
  FilesystemUsage usage;
  usage.size_bytes = *size;
  usage.free_bytes = *free;
  usage.available_bytes = *available;
  usage.files = static_cast<std::uint64_t>(info.f_files);
  usage.files_free = static_cast<std::uint64_t>(info.f_ffree);
  usage.read_only = (info.f_flag & ST_RDONLY) != 0;
  return usage;
}

}  // namespace

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a root and a path below it, each named for its use
std::string path_below_root(std::string_view rootfs, std::string_view mount_point) {
  while (!rootfs.empty() && rootfs.back() == '/') rootfs.remove_suffix(1);
  while (mount_point.size() > 1 && mount_point.back() == '/') mount_point.remove_suffix(1);
  if (rootfs.empty() && mount_point.empty()) return "/";
  std::string path;
  path.reserve(rootfs.size() + mount_point.size());
  path.append(rootfs).append(mount_point);
  if (path.size() > 1 && path.back() == '/') path.pop_back();  // the mount point "/" below a root
  return path;
}

std::optional<std::vector<std::pair<std::string, FilesystemUsage>>> read_filesystems(const Roots& roots) {
  // A host with many containers has thousands of mounts: the mounts file
  // grows with them like the device files do.
  std::optional<std::string> text = read_whole_file(roots.path_of(kInitMountsFile).c_str(), kDeviceSourceLimit);
  if (!text) text = read_whole_file(roots.path_of(kSelfMountsFile).c_str(), kDeviceSourceLimit);
  if (!text) return std::nullopt;
  std::vector<std::pair<std::string, FilesystemUsage>> filesystems;
  for (MountEntry& mount : parse_mounts(*text)) {
    const std::string path = path_below_root(roots.rootfs, mount.mount_point);
    struct statvfs info {};
    if (os::retry_on_eintr([&] { return ::statvfs(path.c_str(), &info); }) != 0) continue;
    std::optional<FilesystemUsage> usage = usage_of(info);
    if (!usage) continue;
    usage->device = std::move(mount.device);
    usage->type = std::move(mount.type);
    usage->read_only = usage->read_only || mount.read_only;
    filesystems.emplace_back(std::move(mount.mount_point), std::move(*usage));
  }
  std::sort(filesystems.begin(), filesystems.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return filesystems;
}

}  // namespace quillmere::sys_reader
