// A stand-in for the host side of a handler: answers password requests from a list, records
// everything the handler reports, and lets a test decide what each data chunk and volume request
// gets back. Reports may come from a watcher's thread, so every record is kept under a lock; read
// them through the copies below while an operation may still be running.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ArchiveCallbackHandler.h"

namespace tessaro::test {

class FakeHost : public ArchiveCallbackHandler {
 public:
  explicit FakeHost(std::vector<std::string> answers = {}) : answers_(std::move(answers)) {}

  // What processData returns, unless onData is set; what changeVolume returns for mode 1.
  int dataAnswer = 0;
  int volumeAnswer = -1;
  // Called for each chunk (outside the lock); its value is processData's.
  std::function<int(const void* data, int64_t size)> onData;
  // Called when a password is asked for, before the answer is taken.
  std::function<void(PlistDictionary& params)> onPassword;

  std::string passwordWithParams(PlistDictionary& params) override {
    if (onPassword) onPassword(params);
    std::lock_guard lock(mutex_);
    const auto mode = params.find("mode");
    modes.push_back(mode == params.end() ? -1 : mode->second.asInteger().value_or(-1));
    return next_ < answers_.size() ? answers_[next_++] : std::string();
  }
  int changeVolume(std::string& path, int mode) override {
    std::lock_guard lock(mutex_);
    volumes.push_back(path);
    return mode == 1 ? volumeAnswer : -1;
  }
  int processData(const void* data, int64_t size, int /*delta*/) override {
    {
      std::lock_guard lock(mutex_);
      bytes_ += size;
      chunks.push_back(size);
    }
    return onData ? onData(data, size) : dataAnswer;
  }
  void processFile(std::string_view name, int operation) override {
    std::lock_guard lock(mutex_);
    files.emplace_back(name);
    operations.push_back(operation);
  }
  void setProgress(int percent) override {
    std::lock_guard lock(mutex_);
    percents_.push_back(percent);
  }
  bool respondsToLogOutput() const override { return true; }
  void logOutput(std::string_view text) override {
    std::lock_guard lock(mutex_);
    log_.append(text);
  }

  int64_t bytes() {
    std::lock_guard lock(mutex_);
    return bytes_;
  }
  std::vector<int> percents() {
    std::lock_guard lock(mutex_);
    return percents_;
  }
  std::string log() {
    std::lock_guard lock(mutex_);
    return log_;
  }

  // Read once the operation is over.
  std::vector<int64_t> modes;
  std::vector<std::string> volumes;
  std::vector<std::string> files;
  std::vector<int> operations;
  std::vector<int64_t> chunks;

 private:
  std::mutex mutex_;
  std::vector<std::string> answers_;
  size_t next_ = 0;
  int64_t bytes_ = 0;
  std::vector<int> percents_;
  std::string log_;
};

}  // namespace tessaro::test
