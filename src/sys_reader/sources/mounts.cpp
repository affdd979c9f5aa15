// The mounts file's lines, their escapes, and the mounts left out.
#include "sys_reader/sources/mounts.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <numeric>
#include <optional>

#include "sys_reader/cutting.h"

namespace quillmere::sys_reader {
namespace {

// Figures of these say nothing about storage: kernel interfaces, control
// file systems, read-only images (whose free space is always 0), overlays
// (which report the storage below them, seen again under its own mount) and
// the /proc views a container host mounts with lxcfs.
constexpr std::array<std::string_view, 25> kPseudoTypes = {
    "proc",      "sysfs",       "cgroup",     "cgroup2",    "devpts",     "devtmpfs", "debugfs", "tracefs",
    "securityfs", "pstore",     "bpf",        "configfs",   "fusectl",    "hugetlbfs", "mqueue",  "nsfs",
    "overlay",   "autofs",      "binfmt_misc", "rpc_pipefs", "selinuxfs", "squashfs", "erofs",   "iso9660",
    "fuse.lxcfs",
};

// statvfs on these asks a server, and waits for ever when it is gone.
// glusterfs is usually mounted through FUSE, under its FUSE name; so are the
// object-store mounts and a desktop session's shares (gvfsd-fuse).
constexpr std::array<std::string_view, 16> kNetworkTypes = {
    "nfs",        "nfs4",      "cifs",       "smb3",         "smbfs",          "ceph",
    "glusterfs",  "fuse.glusterfs", "fuse.sshfs", "9p",      "afs",            "lustre",
    "fuse.rclone", "fuse.s3fs", "fuse.gcsfuse", "fuse.gvfsd-fuse",
};

constexpr std::array<std::string_view, 6> kExcludedDirs = {
    "/dev", "/proc", "/sys", "/run/credentials", "/var/lib/docker", "/var/lib/containers/storage",
};

struct MountFields {
  std::string_view device;
  std::string_view mount_point;
  std::string_view type;
  std::string_view options;
};

// The first four fields, cut at single spaces; nullopt with fewer.
std::optional<MountFields> mount_fields(std::string_view line) noexcept {
  SplitCursor pieces(line, ' ');
  std::array<std::string_view, 4> fields;
  for (std::string_view& field : fields) {
    const std::optional<std::string_view> piece = pieces.next();
    if (!piece) return std::nullopt;
    field = *piece;
  }
  return MountFields{fields[0], fields[1], fields[2], fields[3]};
}

bool is_octal_digit(char c) noexcept { return c >= '0' && c <= '7'; }

// A backslash and three octal digits up to \377 is the byte they give; any
// other backslash stays as it is (the kernel writes none).
std::string decode_escapes(std::string_view field) {
  std::string decoded;
  decoded.reserve(field.size());
  for (std::size_t i = 0; i < field.size();) {
    if (field[i] == '\\' && field.size() - i >= 4 && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        is_octal_digit(field[i + 2]) && is_octal_digit(field[i + 3])) {
      const auto digit = [&](std::size_t at) { return static_cast<unsigned>(field[at] - '0'); };
      decoded.push_back(static_cast<char>(static_cast<unsigned char>(digit(i + 1) * 64 + digit(i + 2) * 8 + digit(i + 3))));
      i += 4;
    } else {
      decoded.push_back(field[i]);
      ++i;
    }
  }
  return decoded;
}

bool has_read_only_option(std::string_view options) noexcept {
  SplitCursor pieces(options, ',');
  while (const std::optional<std::string_view> option = pieces.next()) {
    if (*option == "ro") return true;
  }
  return false;
}

}  // namespace

bool is_excluded_mount_type(std::string_view type) noexcept {
  return std::find(kPseudoTypes.begin(), kPseudoTypes.end(), type) != kPseudoTypes.end() ||
         std::find(kNetworkTypes.begin(), kNetworkTypes.end(), type) != kNetworkTypes.end();
}

// An escape begins with '\\', never with '/', so the test gives the same on
// the escaped point as on the decoded one.
bool is_excluded_mount_point(std::string_view point) noexcept {
  return std::any_of(kExcludedDirs.begin(), kExcludedDirs.end(), [point](std::string_view dir) {
    return starts_with(point, dir) && (point.size() == dir.size() || point[dir.size()] == '/');
  });
}

// The lines are cut into views first, so that a mount hidden by a later one
// on the same point, or left out, costs no copy. The escaped points compare
// as the decoded ones do: the kernel escapes every byte one way only.
std::vector<MountEntry> parse_mounts(std::string_view text) {
  std::vector<MountFields> lines;
  for (const std::string_view line : text_lines(text)) {
    if (const std::optional<MountFields> fields = mount_fields(line)) lines.push_back(*fields);
  }
  // Line numbers grouped by point, in file order within a group: the last of
  // a group is the mount on top.
  std::vector<std::size_t> by_point(lines.size());
  std::iota(by_point.begin(), by_point.end(), std::size_t{0});
  std::stable_sort(by_point.begin(), by_point.end(), [&lines](std::size_t a, std::size_t b) {
    return lines[a].mount_point < lines[b].mount_point;
  });
  std::vector<bool> on_top(lines.size(), false);
  for (std::size_t i = 0; i < by_point.size(); ++i) {
    if (i + 1 == by_point.size() || lines[by_point[i + 1]].mount_point != lines[by_point[i]].mount_point) {
      on_top[by_point[i]] = true;
    }
  }
  std::vector<MountEntry> entries;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const MountFields& line = lines[i];
    if (!on_top[i] || is_excluded_mount_type(line.type) || is_excluded_mount_point(line.mount_point)) continue;
    entries.push_back(MountEntry{decode_escapes(line.device), decode_escapes(line.mount_point),
                                 decode_escapes(line.type), has_read_only_option(line.options)});
  }
  return entries;
}

}  // namespace quillmere::sys_reader
