#include "ProcessGlobals.h"

namespace tessaro {

// Function-local statics: made on first use, so no order of static initialisation between
// translation units can catch them unmade.
std::string& bundlePath() {
  static std::string path;
  return path;
}

std::string& helpersPath() {
  static std::string path;
  return path;
}

Keychain*& theKeychain() {
  static Keychain* store = nullptr;
  return store;
}

HostApplication*& theApp() {
  static HostApplication* application = nullptr;
  return application;
}

}  // namespace tessaro
