// A temporary folder made for one operation, removed with its contents however the operation ends.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace tessaro {

class ScratchFolder {
 public:
  explicit ScratchFolder(std::optional<std::string> path) : path_(std::move(path)) {}
  ~ScratchFolder() {
    if (!path_) return;
    std::error_code ignored;
    std::filesystem::remove_all(*path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::optional<std::string>& path() const { return path_; }

 private:
  std::optional<std::string> path_;
};

}  // namespace tessaro
