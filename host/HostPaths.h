// Where the host program finds the parts of the application it belongs to.
#pragma once

#include <optional>
#include <string>

namespace tessaro::host {

// The folder that holds the running executable (symbolic links resolved), or none.
std::optional<std::string> executableFolder();
// Points helpersPath at the Helpers folder beside the executable's folder (Contents/Helpers of
// the application); leaves it unchanged when the executable cannot be found.
void locateHelpers();

}  // namespace tessaro::host
