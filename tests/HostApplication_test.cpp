// The host's application object: its temporary folders, and the fallback when there is none.
#include "HostApplication.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "ProcessGlobals.h"
#include "defaults/UserDefaults.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;

std::string nameOf(const std::optional<std::string>& path) {
  return path ? fs::path(*path).filename().string() : "(none)";
}

TEST(HostApplicationTest, FoldersAreVisibleOrDotNamedAndUnique) {
  test::IsolatedHome home;
  const std::string base = home.dir().str();
  HostApplication app;
  const std::optional<std::string> visible = app.createTempFolderInside(base, true);
  const std::optional<std::string> hidden = app.createTempFolderInside(base, false);
  ASSERT_TRUE(visible && hidden);
  EXPECT_TRUE(nameOf(visible).starts_with("TessaroTempFolder.")) << *visible;
  EXPECT_TRUE(nameOf(hidden).starts_with(".TessaroTempFolder.")) << *hidden;
  EXPECT_EQ(nameOf(visible).size(), std::string("TessaroTempFolder.XXXXXX").size());
  EXPECT_EQ(fs::path(*visible).parent_path(), home.dir().path());
  EXPECT_TRUE(fs::is_directory(*visible));
  EXPECT_NE(app.createTempFolderInside(base, true), visible);

  // The user's folder name, dot-named only when hidden; one that leaves the base is refused.
  UserDefaults::standard().setObject("HLVTempFolderName", ".Work Area");
  EXPECT_TRUE(nameOf(app.createTempFolderInside(base, true)).starts_with("Work Area."));
  EXPECT_TRUE(nameOf(app.createTempFolderInside(base, false)).starts_with(".Work Area."));
  UserDefaults::standard().setObject("HLVTempFolderName", "../escape");
  EXPECT_EQ(app.createTempFolderInside(base, true), std::nullopt);
  UserDefaults::standard().setObject("HLVTempFolderName", "..");
  EXPECT_EQ(app.createTempFolderInside(base, true), std::nullopt);

  EXPECT_EQ(app.createTempFolderInside(base + "/missing", true), std::nullopt);
  EXPECT_EQ(app.createTempFolderInside("", true), std::nullopt);
}

TEST(HostApplicationTest, RemovesOnlyFoldersItMade) {
  test::TempDir dir;
  HostApplication app;
  const std::optional<std::string> made = app.createTempFolderInside(dir.str(), true);
  ASSERT_TRUE(made);
  fs::create_directories(fs::path(*made) / "a" / "b");
  std::ofstream(fs::path(*made) / "a" / "b" / "f") << "x";
  dir.write("keep/f", "x");

  EXPECT_FALSE(app.removeTempFolder((dir.path() / "keep").string()));
  EXPECT_FALSE(app.removeTempFolder(dir.str()));
  EXPECT_TRUE(fs::exists(dir.path() / "keep" / "f"));
  EXPECT_TRUE(app.removeTempFolder(*made));
  EXPECT_FALSE(fs::exists(*made));
  // Once removed it is no longer its own.
  fs::create_directory(*made);
  EXPECT_FALSE(app.removeTempFolder(*made));
  EXPECT_TRUE(fs::exists(*made));
}

TEST(HostApplicationTest, AppTempFolderUsesTheAppOrTheHelper) {
  test::IsolatedHome home;
  const std::string base = home.dir().str();
  ASSERT_EQ(theApp(), nullptr);
  std::string path;
  {
    // No application object, as in a preview: the plain helper makes and the folder goes.
    AppTempFolder folder(base, false);
    ASSERT_TRUE(folder.path());
    path = *folder.path();
    EXPECT_TRUE(nameOf(folder.path()).starts_with(".TessaroTempFolder."));
    std::ofstream(fs::path(path) / "f") << "x";
  }
  EXPECT_FALSE(fs::exists(path));

  HostApplication app;
  theApp() = &app;
  {
    AppTempFolder folder(base, true);
    ASSERT_TRUE(folder.path());
    path = *folder.path();
    EXPECT_TRUE(nameOf(folder.path()).starts_with("TessaroTempFolder."));
    // Made by the application object, so it is the application object's to remove.
    theApp() = nullptr;
  }
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(app.removeTempFolder(path));

  AppTempFolder none(base + "/missing", true);
  EXPECT_EQ(none.path(), std::nullopt);
}

}  // namespace
}  // namespace tessaro
