#include "StoredPasswords.h"

#include <optional>

#include "Keychain.h"
#include "keychain/KeychainItems.h"

namespace tessaro::host {

std::vector<std::string> storedArchivePasswords() {
  std::vector<std::string> passwords;
  try {
    // Without a reachable keychain there is no master password, so no record that could open.
    std::vector<keychain::Item> probe;
    if (keychain::search(kMasterPasswordKind, std::nullopt, probe) != keychain::kStatusOK) return passwords;
    Keychain store;
    const std::optional<std::vector<std::string>> kept = store.enumerator();
    if (!kept) return passwords;
    for (const std::string& password : *kept) {
      if (!password.empty()) passwords.push_back(password);
    }
  } catch (...) {
    passwords.clear();
  }
  return passwords;
}

}  // namespace tessaro::host
