// A notification on the user's desktop, for work a link started where no terminal shows the result.
#pragma once

#include <string>

namespace tessaro::host {

// Shows `summary` with `body` through notify-send (TESSARO_NOTIFY names another program taking the
// same arguments). A desktop without a notifier is no failure: false then, with nothing said.
bool notifyDesktop(const std::string& summary, const std::string& body);

}  // namespace tessaro::host
