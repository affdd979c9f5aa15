// Listing whole disks and looking for a partition entry.
#include "sys_reader/sources/block.h"

#include <sys/stat.h>  // stat

#include "sys_reader/file_read.h"

namespace quillmere::sys_reader {

std::vector<std::string> whole_disk_names(const Roots& roots) {
  return directory_entries(roots.path_of(kWholeDiskDir).c_str());
}

// sysfs names a block device whose kernel name holds a '/' (cciss/c0d0) with
// a '!' in its place (cciss!c0d0).
bool is_partition(const Roots& roots, std::string_view name) {
  std::string path = roots.path_of(kBlockClassDir);
  path.append("/");
  for (const char c : name) path.push_back(c == '/' ? '!' : c);
  path.append("/partition");
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace quillmere::sys_reader
