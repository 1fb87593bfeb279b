// 7zz's progress display, which redraws itself with backspaces, turned into the chunks the
// handlers read: each percentage on its own as "  5%", " 42%" or "100%", and every other line
// of 7zz's output passed on as it came.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::sevenzip {

class ProgressFilter {
 public:
  // Receives each chunk to be written on its own.
  using Sink = std::function<void(std::string_view)>;

  explicit ProgressFilter(Sink sink) : sink_(std::move(sink)) {}

  // Any split of 7zz's standard output (run with -bsp1), in order.
  void feed(std::string_view bytes);
  // The end of the output: passes on an unfinished last line.
  void finish();

 private:
  void endStatus();

  Sink sink_;
  std::string segment_;   // the text since the last line feed or redraw
  bool erasing_ = false;  // inside the backspaces and blanks that wipe a status
  int lastPercent_ = -1;
};

// Runs 7zz with `argv` (argv[0] the program) in `workingDirectory` (empty: ours), its progress
// and output on our standard output through ProgressFilter, its errors on our standard error.
// Returns its exit status, 128 + the signal that ended it, or 2 when it could not run; it is
// stopped once `cancelled` is set. `standardInput`, when not -1, is what 7zz reads a password from.
int runWithProgress(const std::vector<std::string>& argv, const std::string& workingDirectory,
                    const std::atomic<bool>* cancelled, int standardInput = -1);

}  // namespace tessaro::sevenzip
