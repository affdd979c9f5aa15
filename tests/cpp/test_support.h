// Small helpers for the C++ unit tests: a temporary directory that removes
// itself, writing files (and executable scripts) into it, an environment
// variable set for one scope, and a count of this process's open descriptors.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillmere::test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quillmere-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const noexcept { return path_; }

  // Writes `content` to `name` (relative to the directory, parents created)
  // with the given permissions, and returns the full path.
  std::filesystem::path write_file(const std::filesystem::path& name, std::string_view content,
                                   std::filesystem::perms perms = std::filesystem::perms::owner_read |
                                                                  std::filesystem::perms::owner_write) const {
    const std::filesystem::path file = path_ / name;
    std::filesystem::create_directories(file.parent_path());
    {
      std::ofstream stream(file, std::ios::binary | std::ios::trunc);
      stream.write(content.data(), static_cast<std::streamsize>(content.size()));
      if (!stream) throw std::runtime_error("cannot write " + file.string());
    }
    std::filesystem::permissions(file, perms);
    return file;
  }

  // Writes an executable /bin/sh script with `body` after the #! line.
  std::filesystem::path write_script(const std::filesystem::path& name, std::string_view body) const {
    return write_file(name, "#!/bin/sh\n" + std::string(body) + "\n",
                      std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                          std::filesystem::perms::group_exec);
  }

 private:
  std::filesystem::path path_;
};

// Sets (or, with nullopt, unsets) an environment variable until the end of
// the scope, then restores what was there. Not for use while other threads run.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    if (saved_) {
      ::setenv(name_.c_str(), saved_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// Descriptors open in this process (the directory listing's own descriptor
// is counted every time, so two counts compare fairly).
inline std::size_t count_open_fds() {
  const std::filesystem::directory_iterator entries("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

}  // namespace quillmere::test
