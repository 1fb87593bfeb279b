// Where the preview's settings come from and how they reach the page: defaults files and
// preference suites, the configuration script, the localised labels and the preset list.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace tessaro {

class Bundle;

// The page's label keys; each placeholder is the key between two percent signs.
inline constexpr std::array<std::string_view, 20> kPageLabelKeys = {"Configuration",
                                                                    "Layout",
                                                                    "Keep header fixed",
                                                                    "Show hidden files",
                                                                    "Item Visibility",
                                                                    "Show package contents",
                                                                    "Columns",
                                                                    "Name",
                                                                    "Path",
                                                                    "Kind",
                                                                    "Date Modified",
                                                                    "Size",
                                                                    "Packed",
                                                                    "Attributes",
                                                                    "Save as Default",
                                                                    "(Saving will close this window)",
                                                                    "The listing is encrypted",
                                                                    "Extract with preset",
                                                                    "Item Count",
                                                                    "Show or hide the folder's contents"};

inline constexpr std::string_view kItemCountFormat = "%d (only first %d shown)";

// Registers the plug-in's and the host's defaults files and adds the configuration application's
// and the host's preference domains as suites of the standard defaults.
void setUpPreviewDefaults(std::string_view bundlePath);

// "var simple = N;" followed by one line per display key.
std::string configurationScript(bool simple);

// One <option> per extraction preset, or "no presets found".
std::string presetsAsOptions();

// The item-count text: the count alone below the cutoff, else the localised
// "%d (only first %d shown)".
std::string itemCountText(const Bundle& labels, int32_t itemCount, int32_t cutoffCount);

}  // namespace tessaro
