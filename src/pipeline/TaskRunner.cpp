// The three ways a handler runs a helper tool: a tool with its output collected (runner 1), a
// shell command joined to a file in fixed chunks (runner 2), and a tool without a handler.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "ArchiveCallbackHandler.h"
#include "ArchiveHandler.h"
#include "HostTexts.h"
#include "helpers.h"
#include "io/FileIO.h"
#include "process/Subprocess.h"

namespace tessaro {

namespace {

// The copy moves this much per step through one fixed buffer, and reports progress per step.
constexpr size_t kCopyChunkSize = 128 * 1024;

const char* orNull(const std::optional<std::string>& text) { return text ? text->c_str() : "(null)"; }

// A file that exec can start: it exists, is not a folder, and may be executed by us.
bool isExecutableFile(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> commandLine(const std::string& tool, const std::vector<std::string>& params) {
  std::vector<std::string> argv;
  argv.reserve(params.size() + 1);
  argv.push_back(tool);
  argv.insert(argv.end(), params.begin(), params.end());
  return argv;
}

SubprocessOptions toolOptions(const std::optional<std::string>& workingDir) {
  SubprocessOptions options;
  // Keeps tools built on the platform's object runtime from buffering what they print.
  options.environment = {{"NSUnbufferedIO", "YES"}};
  if (workingDir) options.workingDirectory = *workingDir;
  return options;
}

// The tool's exit status; a tool ended by a signal reports the signal's number, as the
// platform's task object does; -1 when the status was lost.
int32_t terminationStatus(const SubprocessResult& result) {
  if (result.exitStatus >= 0) return result.exitStatus;
  if (result.signal > 0) return result.signal;
  return -1;
}

std::optional<std::string> utf8OrNone(std::string_view bytes) {
  uint64_t encoding = 0;
  std::optional<std::string> text = decodeString(bytes, &encoding);
  if (encoding != kUTF8StringEncoding) return std::nullopt;
  return text;
}

// The end of a worker task: its output handed back when it is UTF-8, its status traced.
int32_t finishedTask(const SubprocessResult& result, std::optional<std::string>* rawOutput) {
  if (rawOutput) *rawOutput = utf8OrNone(result.output);
  const int32_t status = terminationStatus(result);
  HLVLog(kLogTrace, "[workerTask terminationStatus] = %d", status);
  return status;
}

// Reads until the chunk is full or the input ends, as a buffered stream read does.
struct ChunkRead {
  size_t count = 0;
  int error = 0;  // errno of a failed read, else 0
};
ChunkRead readChunk(int fd, char* buffer, size_t size) {
  ChunkRead chunk;
  while (chunk.count < size) {
    const ssize_t n = ::read(fd, buffer + chunk.count, size - chunk.count);
    if (n > 0) {
      chunk.count += static_cast<size_t>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      chunk.error = errno;
      break;
    }
  }
  return chunk;
}

// A command stream closes cleanly when its shell could be waited for, whatever its status.
bool closedCleanly(const SubprocessResult& result) {
  return result.started && (result.exitStatus >= 0 || result.signal > 0);
}

}  // namespace

// ---- Runner 1

int32_t ArchiveHandler::executeTask(const std::string& tool, const std::vector<std::string>& params,
                                    const std::optional<std::string>& workingDir,
                                    const OutputCallback* callback, std::optional<std::string>* rawOutput,
                                    std::string_view input) {
  try {
    if (rawOutput) rawOutput->reset();
    traceOperation("executeTask:withParams:inWorkingDir:callbackHandler:rawOutput:");
    HLVLog(kLogCommand, "cmd: %s\nparams: %s, path: %s", tool.c_str(), redactedArguments(params).c_str(),
           orNull(workingDir));

    Subprocess process;
    // Declared after the process, so workerTask no longer names it once it is destroyed.
    const auto forgetWorker = [this](ArchiveHandler*) {
      std::lock_guard lock(workerMutex_);
      workerTask_ = nullptr;
    };
    std::unique_ptr<ArchiveHandler, decltype(forgetWorker)> workerGuard(this, forgetWorker);

    SubprocessOptions options = toolOptions(workingDir);
    FileDescriptor standardInput;
    if (!input.empty()) {
      standardInput = inputHolding(input);
      if (!standardInput) {
        HLVLog(kLogError, "The input for %s could not be prepared: %s", tool.c_str(), std::strerror(errno));
        return -1;
      }
      options.standardInput = standardInput.get();
    }

    bool started = false;
    if (isExecutableFile(tool)) {
      // Started under the lock, so a cancellation sees either no tool or the running one.
      std::lock_guard lock(workerMutex_);
      started = process.start(commandLine(tool, params), options);
      if (started) workerTask_ = &process;
    }
    if (!started) {
      // A file that passed the test but still cannot be started (a script whose interpreter is
      // missing, say) is reported the same way.
      const std::string message =
          hostText("The helper tool %@ could not be found or is not executable.", tool);
      HLVRunAlertPanel(hostText("Error"), message, hostText("OK"), "", "");
      if (auto handler = callbackHandler(); handler && handler->respondsToLogOutput())
        handler->logOutput(message);
      return -1;
    }

    // Every byte reaches the callback before wait returns: the pipe is drained to its end once
    // the tool has exited.
    const SubprocessResult result =
        callback && *callback ? process.wait([callback](std::string_view chunk) { (*callback)(chunk); })
                              : process.wait();
    workerGuard.reset();

    return finishedTask(result, rawOutput);
  } catch (...) {
    return -1;
  }
}

void ArchiveHandler::setOperationCancelled(bool cancelled) {
  try {
    traceOperation("setOperationCancelled:");
    operationCancelled_ = cancelled;
    if (!cancelled) return;
    std::lock_guard lock(workerMutex_);
    if (workerTask_ != nullptr && workerTask_->running()) {
      HLVLog(kLogTrace, "terminating worker task ...");
      workerTask_->terminate();
    }
  } catch (...) {
    // Swallowed: the flag is set already; the running tool then ends on its own.
    HLVLog(kLogError, "Stopping the worker task failed");
  }
}

// ---- Runner 2

int32_t ArchiveHandler::executeTask(const std::string& command, const std::string& file, bool readFromPipe,
                                    const std::optional<std::string>& workingDir) {
  int32_t status = 0;
  try {
    traceOperation("executeTask:onFile:readFromPipe:inWorkingDir:");
    // The platform sets LC_ALL and the current folder for the whole process before it opens the
    // command; here only the shell gets them, so the caller's other threads keep their own.
    SubprocessOptions options;
    options.environment = {{"LC_ALL", "en_US.UTF-8"}};
    if (workingDir) options.workingDirectory = *workingDir;
    options.standardError = STDERR_FILENO;
    HLVLog(kLogCommand, "%s with file %s, pipe %d, in dir: %s", redactedCommandLine(command).c_str(),
           file.c_str(), readFromPipe ? 1 : 0, orNull(workingDir));
    const std::vector<std::string> argv{"/bin/sh", "-c", command};

    std::vector<char> buffer(kCopyChunkSize);
    // Copies chunk by chunk until the input ends, a write falls short or the user cancels.
    const auto copy = [&](int input, const auto& writeChunk) {
      if (operationCancelled()) return;
      for (;;) {
        const ChunkRead chunk = readChunk(input, buffer.data(), buffer.size());
        if (chunk.count > 0) {
          if (auto handler = callbackHandler(); handler && handler->respondsToProcessData())
            handler->processData(nullptr, static_cast<int64_t>(chunk.count), 1);
          if (!writeChunk(std::string_view(buffer.data(), chunk.count)) || operationCancelled()) return;
        }
        if (chunk.error != 0) {
          HLVLog(kLogError, "Execute Task failed with %d: %s", chunk.error, std::strerror(chunk.error));
          return;
        }
        if (chunk.count < buffer.size()) return;
      }
    };

    Subprocess shell;
    if (readFromPipe) {
      // From the command's output into the file.
      FileDescriptor commandOutput, commandEnd;
      bool inputOpen = createPipe(commandOutput, commandEnd);
      if (inputOpen) {
        options.standardOutput = commandEnd.get();
        inputOpen = shell.start(argv, options);
        commandEnd.reset();
      }
      if (!inputOpen) {
        status = 4;
      } else {
        FileDescriptor output(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (output) {
          copy(commandOutput.get(),
               [&](std::string_view chunk) { return writeAll(output.get(), chunk) == 0; });
        }
        output.reset();
        // A command still writing sees its reader gone and ends.
        commandOutput.reset();
        if (!closedCleanly(shell.wait())) status = 4;
      }
    } else {
      // From the file into the command. The file is opened first so that a missing file starts
      // no command at all.
      FileDescriptor input(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
      if (!input) {
        status = 4;
      } else {
        // Nothing reads what the command prints here: it goes nowhere rather than filling a pipe
        // and stopping the command.
        FileDescriptor nowhere(::open("/dev/null", O_WRONLY | O_CLOEXEC));
        options.inputPipe = true;
        options.standardOutput = nowhere.get();
        if (nowhere && shell.start(argv, options)) {
          copy(input.get(), [&](std::string_view chunk) { return shell.writeInput(chunk); });
          shell.closeInput();
          if (!closedCleanly(shell.wait())) status = 4;
        }
        input.reset();
      }
    }

    if (auto handler = callbackHandler(); handler && handler->respondsToLogOutput()) {
      handler->logOutput(hostText("External command returned: %d\n", std::to_string(status)));
    }
    return status;
  } catch (...) {
    return 4;
  }
}

// ---- Runner 3

int32_t executeTask(const std::string& tool, const std::vector<std::string>& params,
                    const std::optional<std::string>& workingDir, std::optional<std::string>* rawOutput) {
  try {
    if (rawOutput) rawOutput->reset();
    HLVLog(kLogCommand, "cmd: %s\nparams: %s, workingDir: %s", tool.c_str(),
           redactedArguments(params).c_str(), orNull(workingDir));
    Subprocess process;
    if (!process.start(commandLine(tool, params), toolOptions(workingDir))) {
      HLVLog(kLogError, "The helper tool %s could not be started: %s", tool.c_str(),
             std::strerror(process.spawnError()));
      return -1;
    }
    const SubprocessResult result = process.wait();
    return finishedTask(result, rawOutput);
  } catch (...) {
    return -1;
  }
}

}  // namespace tessaro
