// The private folder an extraction unpacks into before anything reaches its destination. It is
// made inside the destination, so that moving the results into place is a rename on one file
// system, readable by its owner only, and removed with all it holds however the command ends:
// normally, on a failure, or on SIGINT, SIGTERM or SIGHUP.
#pragma once

#include <memory>
#include <string>

namespace tessaro::host {

class StagingFolder {
 public:
  // Makes DESTINATION/.tessaro-XXXXXX (mode 0700); none, with errno set, when it cannot.
  static std::unique_ptr<StagingFolder> createInside(const std::string& destination);
  // Removes the folder and everything in it.
  ~StagingFolder();
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  const std::string& path() const { return path_; }
  // Removes the folder now; true when nothing of it is left.
  bool remove();

 private:
  explicit StagingFolder(std::string path) : path_(std::move(path)) {}
  std::string path_;
  bool removed_ = false;
};

}  // namespace tessaro::host
