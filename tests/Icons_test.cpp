#include "icons/Icons.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <string>

#include "support/PngImage.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

using Pixel = std::array<uint8_t, 4>;

test::PngImage decoded(const Image& image) {
  auto png = test::decodePng(image.pngData().value_or(""));
  EXPECT_TRUE(png);
  return png.value_or(test::PngImage{});
}

std::string png(const std::shared_ptr<Image>& icon) { return icon ? icon->pngData().value_or("") : ""; }

TEST(IconsTest, ImagesScaleDrawWithCopyCompositingAndRoundTripThroughPng) {
  const std::string pixels = std::string("\xff\x00\x00\xff", 4) + std::string("\x00\xff\x00\x80", 4) +
                             std::string("\x00\x00\xff\xff", 4) + std::string("\x10\x20\x30\x00", 4);
  const Image image = Image::fromRGBA(2, 2, pixels);
  ASSERT_FALSE(image.empty());

  const auto same = decoded(image);
  ASSERT_EQ(same.width, 2);
  EXPECT_EQ(same.at(0, 0), (Pixel{255, 0, 0, 255}));
  EXPECT_EQ(same.at(1, 0), (Pixel{0, 255, 0, 128}));

  // The half-transparent pixel stays half transparent: the canvas is replaced, not blended into.
  const auto canvas = decoded(image.drawnIntoSquare(4));
  ASSERT_EQ(canvas.width, 4);
  ASSERT_EQ(canvas.height, 4);
  EXPECT_EQ(canvas.at(0, 0), (Pixel{255, 0, 0, 255}));
  EXPECT_EQ(canvas.at(1, 0), (Pixel{0, 255, 0, 128}));
  EXPECT_EQ(canvas.at(3, 3)[3], 0);

  const Image larger = image.copyWithSize(8, 6);
  const auto scaled = decoded(larger);
  EXPECT_EQ(scaled.width, 8);
  EXPECT_EQ(scaled.height, 6);
  EXPECT_EQ(scaled.at(0, 0), (Pixel{255, 0, 0, 255}));
  // A large image drawn into a small square is clipped, not shrunk.
  EXPECT_EQ(decoded(larger.drawnIntoSquare(2)).at(1, 1), (Pixel{255, 0, 0, 255}));

  EXPECT_TRUE(Image::fromRGBA(2, 2, pixels.substr(1)).empty());
  EXPECT_TRUE(Image::fromRGBA(Image::kMaxSide + 1, 1, std::string(4 * (Image::kMaxSide + 1), 'x')).empty());
  EXPECT_TRUE(image.drawnIntoSquare(Image::kMaxSide + 1).empty());
  EXPECT_EQ(decoded(Image().drawnIntoSquare(3)).at(2, 2)[3], 0);
}

TEST(IconsTest, KindNamesOnlyForTypesTheDesktopKnows) {
  const auto text = kindNameForType(FileTypeClass::extension, "txt");
  ASSERT_TRUE(text);
  EXPECT_FALSE(text->empty());
  EXPECT_EQ(kindNameForType(FileTypeClass::extension, "TXT"), text);
  EXPECT_TRUE(kindNameForType(FileTypeClass::folder));
  EXPECT_EQ(kindNameForType(FileTypeClass::application), "Application");

  for (const std::string& odd : {std::string(), std::string("xyzzy"), std::string("\xff\xfe"),
                                 std::string(10000, 'a'), std::string("a/b"), std::string("t\0xt", 4)}) {
    EXPECT_FALSE(kindNameForType(FileTypeClass::extension, odd)) << odd.size();
    EXPECT_TRUE(iconForType(FileTypeClass::extension, odd, 16)) << odd.size();
  }
}

TEST(IconsTest, PackagesAreFoldersWithBundleExtensionsInAnyCase) {
  for (const char* yes : {"APP", "Bundle"}) EXPECT_TRUE(isPackageExtension(yes)) << yes;
  for (const char* no : {"", "apps", "ap", "app "}) EXPECT_FALSE(isPackageExtension(no)) << no;
}

TEST(IconsTest, FileIconsFollowContentAndNeverBlock) {
  test::TempDir dir;
  // No extension: only the content says it is a PDF.
  const auto pdf = dir.write("report", "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<<>>\nendobj\n");
  EXPECT_EQ(png(iconForFile(pdf.string(), 16)), png(iconForType(FileTypeClass::extension, "pdf", 16)));
  EXPECT_NE(png(iconForFile(pdf.string(), 16)), png(iconForType(FileTypeClass::document, {}, 16)));

  EXPECT_EQ(png(iconForFile(dir.str(), 16)), png(iconForType(FileTypeClass::folder, {}, 16)));
  std::filesystem::create_directory(dir.path() / "Tool.app");
  EXPECT_EQ(png(iconForFile((dir.path() / "Tool.app").string(), 16)),
            png(iconForType(FileTypeClass::application, {}, 16)));

  // A FIFO named like an archive: opening it for its first bytes must not wait for a writer.
  const auto fifo = dir.path() / "pipe.zip";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(png(iconForFile(fifo.string(), 16)), png(iconForType(FileTypeClass::extension, "zip", 16)));

  EXPECT_TRUE(iconForFile((dir.path() / "missing.zip").string(), 128));
  EXPECT_TRUE(iconForFile("", 16));
  EXPECT_FALSE(iconForFile(pdf.string(), 0));
}

TEST(IconsTest, WithoutIconThemesEveryTypeStillGetsADrawnIcon) {
  // The MIME database is read once per process: have it read before the data folders go away.
  ASSERT_TRUE(kindNameForType(FileTypeClass::extension, "txt"));
  const std::string themedFolder = png(iconForType(FileTypeClass::folder, {}, 16));

  test::TempDir empty;
  std::string drawnFolder, drawnDocument;
  {
    test::ScopedEnv env;
    env.set("XDG_DATA_DIRS", empty.str());
    const auto folder = decoded(*iconForType(FileTypeClass::folder, {}, 128));
    const auto document = decoded(*iconForType(FileTypeClass::extension, "txt", 128));
    EXPECT_EQ(folder.width, 128);
    EXPECT_TRUE(folder.anyOpaque() && document.anyOpaque());
    EXPECT_NE(folder.pixels, document.pixels);
    drawnFolder = png(iconForType(FileTypeClass::folder, {}, 16));
    drawnDocument = png(iconForType(FileTypeClass::document, {}, 16));
    EXPECT_EQ(png(iconForType(FileTypeClass::application, {}, 16)), drawnDocument);
  }
  EXPECT_NE(drawnFolder, themedFolder);
  EXPECT_EQ(png(iconForType(FileTypeClass::folder, {}, 16)), themedFolder);  // themes are found again
}

// A theme is read from its index: of the folders of place and MIME-type icons, the smallest size
// not below the one asked for wins; folders of other contexts are never looked in.
TEST(IconsTest, ThemeIconsComeFromTheIndexedFolderOfTheNearestSize) {
  ASSERT_TRUE(kindNameForType(FileTypeClass::extension, "txt"));  // the MIME database stays read
  test::TempDir data;
  const auto square = [](int side, Pixel colour) {
    std::string pixels;
    for (int i = 0; i < side * side; ++i) pixels.append(reinterpret_cast<const char*>(colour.data()), 4);
    return Image::fromRGBA(side, side, pixels).pngData().value_or("");
  };
  data.write("icons/hicolor/index.theme",
             "[Icon Theme]\nName=Hicolor\nDirectories=8x8/places,32x32/places,64x64/places,24x24/actions\n\n"
             "[8x8/places]\nSize=8\nContext=Places\nType=Fixed\n\n"
             "[32x32/places]\nSize=32\nContext=Places\nType=Fixed\n\n"
             "[64x64/places]\nSize=64\nContext=Places\nType=Fixed\n\n"
             "[24x24/actions]\nSize=24\nContext=Actions\nType=Fixed\n");
  data.write("icons/hicolor/8x8/places/folder.png", square(8, {255, 0, 0, 255}));
  data.write("icons/hicolor/32x32/places/folder.png", square(32, {0, 255, 0, 255}));
  data.write("icons/hicolor/64x64/places/folder.png", square(64, {0, 0, 255, 255}));
  data.write("icons/hicolor/24x24/actions/folder.png", square(24, {255, 255, 0, 255}));

  test::ScopedEnv env;
  env.set("XDG_DATA_DIRS", data.str());
  EXPECT_EQ(decoded(*iconForType(FileTypeClass::folder, {}, 8)).at(4, 4), (Pixel{255, 0, 0, 255}));
  EXPECT_EQ(decoded(*iconForType(FileTypeClass::folder, {}, 16)).at(8, 8), (Pixel{0, 255, 0, 255}));
  EXPECT_EQ(decoded(*iconForType(FileTypeClass::folder, {}, 48)).at(24, 24), (Pixel{0, 0, 255, 255}));
  // Above every size the largest is used.
  EXPECT_EQ(decoded(*iconForType(FileTypeClass::folder, {}, 128)).at(64, 64), (Pixel{0, 0, 255, 255}));
}

}  // namespace
}  // namespace tessaro
