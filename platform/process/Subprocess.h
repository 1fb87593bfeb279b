// Child processes with piped output: started from an argument vector (no shell), drained while
// they run, terminated on request and always reaped.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io/FileDescriptor.h"

namespace tessaro {

struct SubprocessOptions {
  // Folder the child starts in; empty for the caller's.
  std::string workingDirectory;
  // Variables set for the child on top of a copy of the current environment.
  std::vector<std::pair<std::string, std::string>> environment;
  // Standard error into its own pipe instead of the one standard output goes to.
  bool separateErrorOutput = false;
  // Standard input from a pipe that the caller writes into, instead of /dev/null.
  bool inputPipe = false;
  // Read between polls; once it is true the child is terminated.
  const std::atomic<bool>* cancelled = nullptr;
  // Descriptors the child gets as its standard input, output and error in place of the ones
  // above (STDERR_FILENO keeps the caller's own). The caller keeps them; -1 leaves the default.
  // Standard error follows a given standard output unless it is separated or given itself.
  int standardInput = -1;
  int standardOutput = -1;
  int standardError = -1;
  // The child's environment is `environment` alone instead of a copy of ours with it on top.
  bool replaceEnvironment = false;
};

struct SubprocessResult {
  // False when the program could not be started; spawnError then holds the errno value.
  bool started = false;
  int spawnError = 0;
  // The exit status when the child exited, else -1.
  int exitStatus = -1;
  // The signal that ended the child, else 0.
  int signal = 0;
  // Standard output (with standard error unless separated), when no chunk handler took it.
  std::string output;
  std::string errorOutput;
};

// One child process. terminate() may be called from any thread; everything else belongs to the
// thread that owns the object. The destructor terminates a child that still runs and reaps it.
class Subprocess {
 public:
  using ChunkHandler = std::function<void(std::string_view)>;

  Subprocess() = default;
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  // Starts the program at the path argv[0] with argv; false when it could not be started (the
  // reason in spawnError()). An object starts at most one child.
  bool start(const std::vector<std::string>& argv, const SubprocessOptions& options = {});
  int spawnError() const { return spawnError_; }
  pid_t pid() const { return pid_; }
  // True from a successful start until the child has exited; may be asked from any thread.
  bool running() const;

  // Writes all of `data` to the child's standard input (inputPipe); false when it no longer reads.
  // Feed a child whose output can fill a pipe from another thread than the one in wait().
  bool writeInput(std::string_view data);
  // Closes the child's standard input so that it sees the end of its input.
  void closeInput() { input_.reset(); }

  // Hands every chunk of output, in order, to onOutput (standard error to onError when it is
  // separate) until the child has exited, then reaps it. Output without a handler is collected
  // into the result. A handler that throws ends the child.
  SubprocessResult wait(const ChunkHandler& onOutput = {}, const ChunkHandler& onError = {});

  // SIGTERM to the child's process group, SIGKILL when it is still there after a short grace.
  // Returns when the child has exited or been killed; does nothing once the child is reaped.
  void terminate();

 private:
  bool exitedLocked() const;
  void reap();
  void pump(const ChunkHandler& onOutput, const ChunkHandler& onError, SubprocessResult& result);

  mutable std::mutex mutex_;  // guards pid_ against reaping while terminate() signals it
  pid_t pid_ = -1;
  bool reaped_ = false;
  bool statusKnown_ = false;  // false when the status was lost (SIGCHLD ignored by the application)
  int status_ = 0;
  int spawnError_ = 0;
  const std::atomic<bool>* cancelled_ = nullptr;
  FileDescriptor input_;
  FileDescriptor output_;
  FileDescriptor errorOutput_;
  FileDescriptor exitNotice_;  // a pidfd, readable once the child has exited; may be absent
};

// A pipe with both ends close-on-exec and above the standard descriptors, e.g. to join one
// child's standard output to another's standard input; false (errno set) when it fails.
bool createPipe(FileDescriptor& readEnd, FileDescriptor& writeEnd);

// A close-on-exec descriptor that reads back `data` from its start, to give a child as its
// standard input: an anonymous memory file, so a child that reads late or never cannot stop us,
// and secrets on it reach neither a disk nor any command line. Closed when it fails (errno set).
FileDescriptor inputHolding(std::string_view data);

// The program `name` names: itself when it holds a slash, else the first executable of that name
// in PATH's folders; none when there is none.
std::optional<std::string> programOnPath(std::string_view name);

// Runs argv to the end and returns its status with the output collected.
SubprocessResult run(const std::vector<std::string>& argv, const SubprocessOptions& options = {});

}  // namespace tessaro
