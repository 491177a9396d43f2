#pragma once
// Helpers shared by the logging and journal suites: temporary folders, file reading,
// capturing a file descriptor, and a handler that keeps its lines in memory.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tolbu_sdk/platform/logging.hpp"

namespace tolbu_test {

namespace fs = std::filesystem;

// A fresh folder removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tolbu-log-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Sends a file descriptor (1 or 2) to a temporary file until text() or destruction.
class CapturedFd {
 public:
  explicit CapturedFd(int fd) : fd_(fd) {
    path_ = dir_.file("captured");
    const int file = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    saved_ = ::dup(fd_);
    ::dup2(file, fd_);
    ::close(file);
  }
  ~CapturedFd() { restore(); }
  std::string text() {
    restore();
    return read_file(path_);
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, fd_);
    ::close(saved_);
    saved_ = -1;
  }
  TempDir dir_;
  int fd_;
  int saved_ = -1;
  std::string path_;
};

// Keeps every formatted line.
class MemoryHandler : public tolbu_sdk::logging::Handler {
 public:
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 protected:
  void emit(std::string_view line) override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Puts the facility back to its initial state around each test.
class FacilityReset {
 public:
  FacilityReset() { tolbu_sdk::logging::reset_for_tests(); }
  ~FacilityReset() { tolbu_sdk::logging::reset_for_tests(); }
};

}  // namespace tolbu_test
