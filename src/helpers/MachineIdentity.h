// Identifiers of this machine and of its current boot.
#pragma once

#include <optional>
#include <string>

namespace tessaro {

// Twelve lower-case hexadecimal digits of the primary network interface's address, or none.
std::optional<std::string> getPrimaryMACAddress();
// An identifier that changes whenever the machine boots or wakes from sleep: the kernel's boot
// identifier and its count of successful suspends; none when neither can be read.
std::optional<std::string> sleepWakeUUID();

}  // namespace tessaro
