#pragma once
// Shared by the logging and journal suites: scratch folders, file reading, capturing a file
// descriptor, and a handler that keeps its lines.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tolbu_sdk/platform/logging.hpp"

namespace tolbu_test {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tolbu-log-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

inline std::string read_file(const fs::path& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

inline Lines lines_of(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Points a descriptor (1 or 2) at a scratch file until text() is read.
class CapturedFd {
 public:
  explicit CapturedFd(int fd) : fd_(fd), saved_(::dup(fd)) {
    const int file = ::open(dir_.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(file, fd_);
    ::close(file);
  }
  ~CapturedFd() { restore(); }
  std::string text() {
    restore();
    return read_file(dir_.file("out"));
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
  int saved_;
};

// emit runs under the handler's own mutex.
class MemoryHandler : public tolbu_sdk::logging::Handler {
 public:
  Lines lines;

 protected:
  void emit(std::string_view line) override { lines.emplace_back(line); }
};

}  // namespace tolbu_test
