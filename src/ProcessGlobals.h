// Values shared by the whole process: where the plug-in's resources and the host's helper tools
// are. The preview sets them at the start of every request; the host sets them once at start-up.
#pragma once

#include <string>

namespace tessaro {

class HostApplication;
class Keychain;

// The plug-in bundle's resources folder.
std::string& bundlePath();
// The host application's helper-tool folder (".../Contents/Helpers"), ending without "/".
std::string& helpersPath();
// The host's password store; none until the host creates one (never in a preview).
Keychain*& theKeychain();
// The host's application object, which makes temporary folders; none until the host sets one
// (never in a preview).
HostApplication*& theApp();

}  // namespace tessaro
