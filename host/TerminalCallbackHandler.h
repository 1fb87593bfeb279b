// How the tessaro program answers a handler while it works: passwords and missing volumes are
// asked on the terminal, progress is a bar on standard error when that is a terminal, the
// entries worked on are printed, and the tools' output is shown under --verbose.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ArchiveCallbackHandler.h"

namespace tessaro::host {

// Reads one line from the terminal without echoing it; none when there is no terminal.
std::optional<std::string> readSecretLine(const std::string& prompt);
// Reads one line from the terminal as typed; none when there is no terminal.
std::optional<std::string> readLine(const std::string& prompt);

class TerminalCallbackHandler : public ArchiveCallbackHandler {
 public:
  struct Options {
    bool verbose = false;      // the tools' own output goes to standard error
    bool printEntries = true;  // each entry extracted or tested is printed on standard output
  };
  TerminalCallbackHandler(std::string archive, Options options);
  ~TerminalCallbackHandler() override;

  // The passwords kept in the store first, each once, then the user's answer on the terminal.
  std::string passwordWithParams(PlistDictionary& params) override;
  // A volume that is there is taken; a missing one is asked for on the terminal.
  int changeVolume(std::string& path, int mode) override;
  // Bytes the handler moved: a bar of the share done when the total is known, else the bytes and
  // the rate, until the tool itself tells its share (setProgress). May come from another thread.
  int processData(const void* data, int64_t size, int delta) override;
  void processFile(std::string_view name, int operation) override;
  void setProgress(int percent) override;
  // Shown at once under --verbose; otherwise the end of it is kept, for telling a full disk.
  void logOutput(std::string_view text) override;
  bool respondsToLogOutput() const override { return true; }
  // The end of the tools' output, also under --verbose.
  const std::string& recentLog() const { return recentLog_; }

  // The bytes the whole operation handles, when the listing tells: the progress line then shows
  // bytes done and the rate beside the share and the time left.
  void setTotalBytes(std::optional<int64_t> bytes) { totalBytes_ = bytes; }
  // Clears the progress bar, so that what follows starts on a clean line.
  void endProgress();
  const std::vector<std::string>& seen() const { return seen_; }
  bool volumeMissing() const { return volumeMissing_; }
  // The archive asked for a password: a failure may be a wrong one.
  bool passwordAsked() const { return storedOffered_ > 0 || prompts_ > 0; }

 private:
  std::string archive_;
  Options options_;
  // The store's passwords, read when the archive first asks, and how many have been offered.
  std::optional<std::vector<std::string>> storedPasswords_;
  size_t storedOffered_ = 0;
  // Draws the progress line: the share done when known, the bytes done when known.
  void drawBarLocked(std::optional<int> percent, std::optional<int64_t> done);
  void writeBarLocked(const std::string& text);
  // Clears the line for other output; the counts go on.
  void clearBar();
  void clearBarLocked();

  int barFd_ = -1;       // the terminal standard error was when the handler was made; -1 for none
  std::mutex barMutex_;  // the line is drawn from the handler's thread and the watcher's
  bool barShown_ = false;
  std::optional<int64_t> totalBytes_;
  int64_t bytesDone_ = 0;
  bool percentFromTool_ = false;
  std::optional<std::chrono::steady_clock::time_point> started_;
  std::optional<std::chrono::steady_clock::time_point> lastDrawn_;
  int lastPercent_ = -1;
  int prompts_ = 0;
  bool volumeMissing_ = false;
  std::vector<std::string> seen_;
  std::string recentLog_;
};

}  // namespace tessaro::host
