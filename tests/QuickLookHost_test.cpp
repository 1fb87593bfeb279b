#include "quicklook/QuickLookHost.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "quicklook/QuickLook.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace tessaro::quicklook {
namespace {

CFRef<CFStringRef> str(const char* text) {
  return CFRef<CFStringRef>(CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8));
}

CFRef<CFMutableDictionaryRef> dictionary() {
  return CFRef<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

// Every test must give back every object it made and break no rule unless it means to.
class QuickLookHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    liveObjects_ = liveObjectCount();
    misuses_ = misuseCount();
  }
  void TearDown() override {
    EXPECT_EQ(liveObjectCount(), liveObjects_);
    EXPECT_EQ(misuseCount(), misuses_ + expectedMisuses_);
  }
  long liveObjects_ = 0;
  long misuses_ = 0;
  long expectedMisuses_ = 0;
};

TEST_F(QuickLookHostTest, StringsHoldValidTextOnly) {
  const auto hello = str("Grüße 😀");
  ASSERT_TRUE(hello);
  EXPECT_STREQ(CFStringGetCStringPtr(hello.get(), kCFStringEncodingUTF8), "Grüße 😀");
  EXPECT_EQ(CFStringGetLength(hello.get()), 8) << "the emoji counts two UTF-16 units";
  char small[4];
  EXPECT_FALSE(CFStringGetCString(hello.get(), small, sizeof small, kCFStringEncodingUTF8));

  for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "abc\xE2\x82", "\xFF"})
    EXPECT_FALSE(str(bad)) << bad;
  EXPECT_FALSE(CFStringCreateWithCString(kCFAllocatorDefault, "é", kCFStringEncodingASCII));
  const UInt8 withNul[] = {'a', 0, 'b'};
  EXPECT_FALSE(CFStringCreateWithBytes(kCFAllocatorDefault, withNul, 3, kCFStringEncodingUTF8, false));
  const UInt8 withMark[] = {0xEF, 0xBB, 0xBF, 'o', 'k'};
  const CFRef<CFStringRef> external(
      CFStringCreateWithBytes(kCFAllocatorDefault, withMark, 5, kCFStringEncodingUTF8, true));
  EXPECT_EQ(toString(external.get()), "ok");
}

TEST_F(QuickLookHostTest, ConstantsAreSharedAndOutliveEveryRelease) {
  const CFStringRef a = CFSTR("text/html");
  EXPECT_EQ(a, CFSTR("text/html"));
  CFRelease(a);
  CFRelease(a);
  EXPECT_EQ(toString(a), "text/html");
}

TEST_F(QuickLookHostTest, UUIDsParseTheirTextFormInEitherCase) {
  const CFRef<CFUUIDRef> lower(
      CFUUIDCreateFromString(kCFAllocatorDefault, str("5e2d9680-5022-40fa-b806-43349622e5b9").get()));
  ASSERT_TRUE(lower);
  EXPECT_TRUE(CFEqual(lower.get(), kQLGeneratorTypeID));
  EXPECT_NE(lower.get(), kQLGeneratorTypeID);
  EXPECT_FALSE(CFEqual(lower.get(), IUnknownUUID));

  for (const char* bad : {"", "5E2D9680502240FAB80643349622E5B9", "5E2D9680-5022-40FA-B806-43349622E5B",
                          "5E2D968-05022-40FA-B806-43349622E5B9", "5E2D9680-5022-40FA-B806-43349622E5B9 "}) {
    EXPECT_FALSE(CFRef<CFUUIDRef>(CFUUIDCreateFromString(kCFAllocatorDefault, str(bad).get()))) << bad;
  }
}

TEST_F(QuickLookHostTest, DictionariesRetainWhatTheyHoldAndReleaseItWhenReplacedOrGone) {
  const auto key = str("key");
  const auto first = str("first");
  const auto second = str("second");
  {
    const auto dict = dictionary();
    CFDictionarySetValue(dict.get(), key.get(), first.get());
    EXPECT_EQ(CFGetRetainCount(key.get()), 2);
    EXPECT_EQ(CFGetRetainCount(first.get()), 2);
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), str("key").get()), first.get()) << "keys compare by text";
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), str("other").get()), nullptr);

    CFDictionarySetValue(dict.get(), str("key").get(), second.get());
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 1);
    EXPECT_EQ(CFGetRetainCount(first.get()), 1);
    EXPECT_EQ(CFGetRetainCount(second.get()), 2);
  }
  EXPECT_EQ(CFGetRetainCount(key.get()), 1);
  EXPECT_EQ(CFGetRetainCount(second.get()), 1);
}

TEST_F(QuickLookHostTest, FileURLsAreAbsoluteAndKeepAnyBytes) {
  EXPECT_EQ(filePath(makeFileURL("/", true).get()), "/");

  test::TempDir dir;
  const std::string cwd = std::filesystem::current_path().string();
  ASSERT_EQ(::chdir(dir.str().c_str()), 0);
  const auto relative = makeFileURL("x/../y.zip", false);
  ASSERT_EQ(::chdir(cwd.c_str()), 0);
  EXPECT_EQ(filePath(relative.get()), std::filesystem::canonical(dir.path()).string() + "/x/../y.zip");

  const auto latin1 = makeFileURL("/tmp/caf\xE9.zip", false);
  ASSERT_TRUE(latin1);
  EXPECT_FALSE(CFRef<CFStringRef>(CFURLCopyFileSystemPath(latin1.get(), kCFURLPOSIXPathStyle)))
      << "a name that is not UTF-8 has no string form";
  UInt8 buffer[64];
  ASSERT_TRUE(CFURLGetFileSystemRepresentation(latin1.get(), true, buffer, sizeof buffer));
  EXPECT_STREQ(reinterpret_cast<const char*>(buffer), "/tmp/caf\xE9.zip");
  EXPECT_FALSE(CFURLGetFileSystemRepresentation(latin1.get(), true, buffer, 13)) << "no room for the NUL";
  EXPECT_FALSE(makeFileURL("", false));
  EXPECT_FALSE(makeFileURL(std::string_view("/a\0b", 4), false));
}

TEST_F(QuickLookHostTest, BundlesFindResourcesBeforeLocalisedOnes) {
  test::ScopedEnv env;
  env.set("LC_ALL", "de_DE.UTF-8").set("LANG", std::nullopt).set("LC_MESSAGES", std::nullopt);
  test::TempDir dir;
  const auto bundlePath = dir.path() / "X.qlgenerator";
  dir.write("X.qlgenerator/Contents/Resources/index.html", "global");
  dir.write("X.qlgenerator/Contents/Resources/de.lproj/index.html", "localised");
  dir.write("X.qlgenerator/Contents/Resources/de.lproj/Localizable.strings", "");

  const CFRef<CFBundleRef> bundle(
      CFBundleCreate(kCFAllocatorDefault, makeFileURL(bundlePath.string(), true).get()));
  ASSERT_TRUE(bundle);
  auto find = [&](const char* name, const char* type, const char* sub) {
    const CFRef<CFURLRef> url(CFBundleCopyResourceURL(
        bundle.get(), str(name).get(), type ? str(type).get() : nullptr, sub ? str(sub).get() : nullptr));
    return filePath(url.get());
  };
  const std::string base = (bundlePath / "Contents" / "Resources").string();
  EXPECT_EQ(find("index", "html", nullptr), base + "/index.html");
  EXPECT_EQ(find("Localizable", "strings", nullptr), base + "/de.lproj/Localizable.strings");
  EXPECT_EQ(find("missing", "html", nullptr), "");

  EXPECT_FALSE(CFBundleCreate(kCFAllocatorDefault, makeFileURL((dir.path() / "none").string(), true).get()));
}

TEST_F(QuickLookHostTest, RequestsKeepTheLastAnswerUntilTheyGo) {
  test::TempDir dir;
  const CFRef<CFBundleRef> bundle(CFBundleCreate(kCFAllocatorDefault, makeFileURL(dir.str(), true).get()));
  const auto request = createPreviewRequest(bundle.get(), false);
  EXPECT_EQ(previewReply(request.get()).data, nullptr);

  const UInt8 bytes[] = "<p>";
  const CFRef<CFDataRef> one(CFDataCreate(kCFAllocatorDefault, bytes, 3));
  const CFRef<CFDataRef> two(CFDataCreate(kCFAllocatorDefault, bytes, 2));
  const auto properties = dictionary();
  QLPreviewRequestSetDataRepresentation(request.get(), one.get(), kUTTypeHTML, properties.get());
  QLPreviewRequestSetDataRepresentation(request.get(), two.get(), kUTTypeHTML, nullptr);
  const PreviewReply reply = previewReply(request.get());
  EXPECT_EQ(reply.data, two.get());
  EXPECT_EQ(reply.properties, nullptr);
  EXPECT_EQ(CFGetRetainCount(one.get()), 1);
  EXPECT_EQ(CFGetRetainCount(properties.get()), 1);
  EXPECT_EQ(CFGetRetainCount(two.get()), 2);

  const auto cancelled = createThumbnailRequest(bundle.get(), true);
  EXPECT_TRUE(QLThumbnailRequestIsCancelled(cancelled.get()));
  QLThumbnailRequestSetImageWithData(cancelled.get(), one.get(), nullptr);
  EXPECT_EQ(thumbnailData(cancelled.get()), one.get());
}

TEST_F(QuickLookHostTest, RuleBreakingIsReportedNotFatal) {
  const long before = misuseCount();
  CFRelease(nullptr);
  CFRetain(nullptr);
  alignas(16) unsigned char foreign[64] = {};
  CFRelease(foreign);
  const auto text = str("not a dictionary");
  EXPECT_EQ(CFDictionaryGetCount(reinterpret_cast<CFDictionaryRef>(text.get())), 0);
  CFDictionarySetValue(dictionary().get(), CFSTR("key"), nullptr);
  EXPECT_FALSE(CFDictionaryCreateMutable(kCFAllocatorDefault, 0, nullptr, nullptr));
  const CFRef<CFUUIDRef> factory(
      CFUUIDCreateFromUUIDBytes(kCFAllocatorDefault, CFUUIDGetUUIDBytes(IUnknownUUID)));
  CFPlugInRemoveInstanceForFactory(factory.get());
  expectedMisuses_ = misuseCount() - before;
  EXPECT_EQ(expectedMisuses_, 7);

  CFPlugInAddInstanceForFactory(factory.get());
  CFPlugInAddInstanceForFactory(kQLGeneratorTypeID);
  EXPECT_EQ(pluginInstanceCount(IUnknownUUID), 1) << "instances are counted by the factory's value";
  EXPECT_EQ(pluginInstanceCount(), 2);
  CFPlugInRemoveInstanceForFactory(IUnknownUUID);
  CFPlugInRemoveInstanceForFactory(kQLGeneratorTypeID);
  EXPECT_EQ(pluginInstanceCount(), 0);
}

}  // namespace
}  // namespace tessaro::quicklook
