// Alert panels. A plug-in host and a terminal program have no modal panel to show, so the
// alert is written to the system log and answered with its default button.
#pragma once

#include <functional>
#include <string_view>

namespace tessaro {

// The platform's alert return codes.
inline constexpr int kAlertDefaultReturn = 1;
inline constexpr int kAlertAlternateReturn = 0;
inline constexpr int kAlertOtherReturn = -1;

int runAlertPanel(std::string_view title, std::string_view message, std::string_view defaultButton,
                  std::string_view alternateButton, std::string_view otherButton);

using AlertResponder = std::function<int(std::string_view title, std::string_view message)>;
// Tests answer alerts themselves; an empty function restores the default answer.
void setAlertResponderForTesting(AlertResponder responder);

}  // namespace tessaro
