// Values shared by the whole process: where the plug-in's resources and the host's helper tools
// are. The preview sets them at the start of every request; the host sets them once at start-up.
#pragma once

#include <string>

namespace tessaro {

class Keychain;

// The plug-in bundle's resources folder.
std::string& bundlePath();
// The host application's helper-tool folder (".../Contents/Helpers"), ending without "/".
std::string& helpersPath();
// The host's password store; none until the host creates one (never in a preview).
Keychain*& theKeychain();

}  // namespace tessaro
