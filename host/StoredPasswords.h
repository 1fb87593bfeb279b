// The archive passwords kept in the password store, offered to an archive that asks for one
// before the user is asked.
#pragma once

#include <string>
#include <vector>

namespace tessaro::host {

// The store's archive passwords, empty ones left out; none while the store is locked or the
// keychain cannot be reached.
std::vector<std::string> storedArchivePasswords();

}  // namespace tessaro::host
