// Standard error sent nowhere for a while: the handlers that copy through a pipe, and the listing
// tools, leave their tools' standard error on ours, and only --verbose shows what they say.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace tessaro::host {

class ToolMessagesHidden {
 public:
  explicit ToolMessagesHidden(bool hide) {
    if (!hide) return;
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && nowhere >= 0) ::dup2(nowhere, STDERR_FILENO);
    if (nowhere >= 0) ::close(nowhere);
  }
  ~ToolMessagesHidden() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  ToolMessagesHidden(const ToolMessagesHidden&) = delete;
  ToolMessagesHidden& operator=(const ToolMessagesHidden&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace tessaro::host
