#include "ArchiveHandlerSplit.h"

#include <unistd.h>

#include "helpers.h"
#include "process/Subprocess.h"

namespace tessaro {

namespace {

// The helper's name in the helper folder.
constexpr std::string_view kSevenZipTool = "7z";

void appendLines(std::string_view text, std::vector<std::string>& lines) {
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      lines.emplace_back(text.substr(start));
      return;
    }
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

// Never offered for new archives: every capability keeps its base answer.
class AHandlerSplit::Class : public HandlerClassOf<AHandlerSplit, ArchiveHandler::Class> {
 public:
  std::optional<std::string> defaultExtension() const override { return "001"; }
  std::optional<std::string> baseType() const override { return "split"; }
};

const HandlerClass& AHandlerSplit::metaclass() {
  static const Class instance;
  return instance;
}

int32_t AHandlerSplit::getInfo(std::vector<std::string>& records) {
  try {
    traceOperation("getInfo");
    if (url()) {
      // Started directly: only standard output is read, the rest is the caller's own.
      const std::string tool = helperTool(kSevenZipTool);
      SubprocessOptions options;
      options.standardInput = STDIN_FILENO;
      options.standardError = STDERR_FILENO;
      Subprocess process;
      if (process.start({tool, "l", "-slt", "-tsplit", *url()}, options)) {
        SubprocessResult result = process.wait();
        uint64_t usedEncoding = encoding();
        const std::optional<std::string> text = decodeString(result.output, &usedEncoding);
        setEncoding(usedEncoding);
        if (text) appendLines(*text, records);
      } else {
        // Nothing to list: the pieces alone are known, and the listing stays empty.
        HLVLog(kLogError, "The helper tool %s could not be started", tool.c_str());
      }
    }
    if (parts_.empty()) initParts();
  } catch (...) {
  }
  return 0;
}

}  // namespace tessaro
