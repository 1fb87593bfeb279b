// Generic password items in the user's secret store (the Secret Service through libsecret):
// label "Tessaro", description = the item's kind, account = its name.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::keychain {

inline constexpr std::string_view kItemLabel = "Tessaro";

// Failure codes, in the manner of the platform's OSStatus (0 is success).
enum Status : int {
  kStatusOK = 0,
  kStatusNotAvailable = -25291,  // no secret service reachable
  kStatusIOError = -36,
};

struct Item {
  std::string label;
  std::string account;
  std::string description;
  // The item's secret, as stored.
  std::string secret;
};

// Items of `kind` (and `name`, when given), ordered by account with numbers in names compared
// as numbers, so that numbered items come back in the order they were numbered.
Status search(std::string_view kind, const std::optional<std::string>& name, std::vector<Item>& items);
// Deletes every match; `failures` counts the items that would not go, which do not stop the rest.
Status deleteItems(std::string_view kind, const std::optional<std::string>& name, std::vector<int>& failures);
// A new item in the default collection.
Status addItem(std::string_view name, std::string_view kind, std::string_view secret);

}  // namespace tessaro::keychain
