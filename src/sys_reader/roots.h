// Where the sources are. Every path a reader opens is built from a root, the
// procfs or the sysfs mount point, so that a caller can point every reader at
// another tree at once (a host's /proc mounted into a container, a test's
// fixtures). The rootfs is where the host's file systems are seen from, for
// the mount points that the mounts file names.
#pragma once

#include <string>
#include <string_view>

namespace quillmere::sys_reader {

enum class Root { kProcfs, kSysfs };

// A source's place below its root, e.g. {kProcfs, "net/dev"}.
struct SourceFile {
  Root root;
  std::string_view path;
};

struct Roots {
  std::string procfs = "/proc";
  std::string sysfs = "/sys";
  std::string rootfs = "/";

  // root + "/" + the source's path below it.
  std::string path_of(const SourceFile& file) const {
    std::string path = file.root == Root::kProcfs ? procfs : sysfs;
    path.append("/").append(file.path);
    return path;
  }
};

}  // namespace quillmere::sys_reader
