// Runs against a real gnome-keyring daemon on a private session bus (support/KeyringSessionMain.cpp).
#include "keychain/KeychainItems.h"

#include <gtest/gtest.h>

namespace tessaro {
namespace {

std::vector<std::string> accounts(const std::vector<keychain::Item>& items) {
  std::vector<std::string> names;
  for (const auto& item : items) names.push_back(item.account);
  return names;
}

TEST(KeychainItemsTest, ItemsRoundTripThroughTheSecretService) {
  using namespace keychain;
  std::vector<int> failures;
  ASSERT_EQ(addItem("Tessaro password 10", "Archive password", "ten"), kStatusOK);
  ASSERT_EQ(addItem("Tessaro password 2", "Archive password", "p\xc3\xa4ss\nwith line"), kStatusOK);
  ASSERT_EQ(addItem("Tessaro password 1", "Archive password", "one"), kStatusOK);
  ASSERT_EQ(addItem("Save preset password 2", "Save preset password", "preset"), kStatusOK);

  std::vector<Item> items;
  ASSERT_EQ(search("Archive password", std::nullopt, items), kStatusOK);
  EXPECT_EQ(accounts(items),
            (std::vector<std::string>{"Tessaro password 1", "Tessaro password 2", "Tessaro password 10"}));
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[1].secret, "p\xc3\xa4ss\nwith line");
  EXPECT_EQ(items[1].label, "Tessaro");
  EXPECT_EQ(items[1].description, "Archive password");

  ASSERT_EQ(search("Archive password", std::string("Tessaro password 2"), items), kStatusOK);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].secret, "p\xc3\xa4ss\nwith line");

  ASSERT_EQ(deleteItems("Archive password", std::string("Tessaro password 2"), failures), kStatusOK);
  EXPECT_TRUE(failures.empty());
  ASSERT_EQ(search("Archive password", std::nullopt, items), kStatusOK);
  EXPECT_EQ(accounts(items), (std::vector<std::string>{"Tessaro password 1", "Tessaro password 10"}));
  ASSERT_EQ(deleteItems("Archive password", std::nullopt, failures), kStatusOK);
  ASSERT_EQ(search("Archive password", std::nullopt, items), kStatusOK);
  EXPECT_TRUE(items.empty());
  // Other kinds are untouched; an unknown kind is an empty answer, not a failure.
  ASSERT_EQ(search("Save preset password", std::nullopt, items), kStatusOK);
  EXPECT_EQ(items.size(), 1u);
  ASSERT_EQ(deleteItems("Save preset password", std::nullopt, failures), kStatusOK);
  ASSERT_EQ(search("No such kind", std::nullopt, items), kStatusOK);
  EXPECT_TRUE(items.empty());
}

}  // namespace
}  // namespace tessaro
