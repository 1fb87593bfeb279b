#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <set>
#include <sstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "plist/PropertyList.h"
#include "process/Subprocess.h"
#include "quicklook/GeneratorLoader.h"
#include "quicklook/QuickLook.h"
#include "quicklook/QuickLookHost.h"
#include "support/Processes.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace tessaro::quicklook {
namespace {

const std::filesystem::path kGenerator = TESSARO_QLGENERATOR;
const std::string kQlhost = TESSARO_QLHOST;
constexpr const char* kFactoryID = "D01B87A0-1BD3-47A0-B205-FB6EDBDB9445";

// An instance as the plug-in lays it out: its own interface table, its factory's identifier,
// its reference count.
struct PluginInstance {
  QLGeneratorInterfaceStruct* table;
  CFUUIDRef factoryID;
  UInt32 refCount;
};

std::string text(CFUUIDRef uuid) {
  const CFRef<CFStringRef> string(CFUUIDCreateString(kCFAllocatorDefault, uuid));
  return toString(string.get());
}

// How many of the four call-backs the table holds.
int callbacks(const QLGeneratorInterfaceStruct& table) {
  return !!table.GenerateThumbnailForURL + !!table.CancelThumbnailGeneration + !!table.GeneratePreviewForURL +
         !!table.CancelPreviewGeneration;
}

CFRef<CFStringRef> str(const char* text) {
  return CFRef<CFStringRef>(CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8));
}

using test::readFile;

SubprocessResult qlhost(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{kQlhost};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  SubprocessOptions options;
  options.separateErrorOutput = true;
  return run(argv, options);
}

// Every test must leave the host as it found it: no registered instance, no object alive, no
// broken rule unless it means to break one.
class QuickLookHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    liveObjects_ = liveObjectCount();
    misuses_ = misuseCount();
  }
  void TearDown() override {
    EXPECT_EQ(pluginInstanceCount(), 0);
    EXPECT_EQ(liveObjectCount(), liveObjects_);
    EXPECT_EQ(misuseCount(), misuses_ + expectedMisuses_);
  }
  long liveObjects_ = 0;
  long misuses_ = 0;
  long expectedMisuses_ = 0;
};

// The built plug-in, loaded through the loader qlhost uses.
class QuickLookPluginTest : public QuickLookHostTest {
 protected:
  void SetUp() override {
    std::string error;
    bundle_ = GeneratorBundle::open(kGenerator, error);
    ASSERT_TRUE(bundle_) << error;
    QuickLookHostTest::SetUp();  // the bundle's own objects live as long as the test
  }

  PluginInstance* makeInstance(CFUUIDRef type) const {
    return static_cast<PluginInstance*>(bundle_->factory()(kCFAllocatorDefault, type));
  }

  std::unique_ptr<GeneratorBundle> bundle_;
};

TEST_F(QuickLookPluginTest, InfoPlistLeadsToTheFactoryAndOnlyItAndTheCallbacksAreExported) {
  EXPECT_EQ(bundle_->factoryName(), "QuickLookGeneratorPluginFactory");
  EXPECT_EQ(text(bundle_->factoryID()), kFactoryID);

  const SubprocessResult nm = run(
      {"/usr/bin/nm", "-D", "--defined-only", (kGenerator / "Contents" / "MacOS" / "TessaroQL").string()});
  ASSERT_EQ(nm.exitStatus, 0) << nm.output;
  std::set<std::string> exported;
  std::istringstream lines(nm.output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string address, kind, name;
    if (fields >> address >> kind >> name) exported.insert(name);
  }
  const std::set<std::string> expected{"QuickLookGeneratorPluginFactory", "GenerateThumbnailForURL",
                                       "CancelThumbnailGeneration", "GeneratePreviewForURL",
                                       "CancelPreviewGeneration"};
  EXPECT_EQ(exported, expected);
}

TEST_F(QuickLookPluginTest, InstancesAreMadeOnlyForTheGeneratorTypeAndAnswerOnlyTheCallbacks) {
  EXPECT_EQ(makeInstance(IUnknownUUID), nullptr);
  EXPECT_EQ(makeInstance(kQLGeneratorCallbacksInterfaceID), nullptr);
  PluginInstance* instance = makeInstance(kQLGeneratorTypeID);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(instance->refCount, 1u);
  EXPECT_EQ(pluginInstanceCount(instance->factoryID), 1);
  QLGeneratorInterfaceStruct& table = *instance->table;
  EXPECT_EQ(callbacks(table), 0) << "the call-backs are filled in by the query";

  for (const CFUUIDBytes& refused :
       {CFUUIDGetUUIDBytes(IUnknownUUID), CFUUIDGetUUIDBytes(kQLGeneratorTypeID)}) {
    LPVOID out = instance;
    EXPECT_EQ(table.QueryInterface(instance, refused, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(instance->refCount, 1u);
    EXPECT_EQ(callbacks(table), 0);
  }
  EXPECT_EQ(table.Release(instance), 0u);
}

TEST_F(QuickLookPluginTest, QueryFillsTheInstancesOwnTableAndTwoReleasesFreeIt) {
  PluginInstance* first = makeInstance(kQLGeneratorTypeID);
  PluginInstance* second = makeInstance(kQLGeneratorTypeID);
  ASSERT_TRUE(first && second);
  EXPECT_NE(first->table, second->table);
  EXPECT_EQ(pluginInstanceCount(bundle_->factoryID()), 2);

  LPVOID out = nullptr;
  ASSERT_EQ(first->table->QueryInterface(first, CFUUIDGetUUIDBytes(kQLGeneratorCallbacksInterfaceID), &out),
            S_OK);
  EXPECT_EQ(out, first);
  EXPECT_EQ(first->refCount, 2u);
  EXPECT_EQ(callbacks(*first->table), 4);
  EXPECT_EQ(callbacks(*second->table), 0) << "instances share no table";

  EXPECT_EQ(second->table->Release(second), 0u);
  EXPECT_EQ(pluginInstanceCount(bundle_->factoryID()), 1);
  EXPECT_EQ(first->table->Release(first), 1u);
  EXPECT_EQ(pluginInstanceCount(bundle_->factoryID()), 1);
  EXPECT_EQ(first->table->Release(first), 0u);
  EXPECT_EQ(pluginInstanceCount(bundle_->factoryID()), 0);
}

TEST_F(QuickLookPluginTest, ThumbnailsAndCancelledPreviewsGiveNoData) {
  std::string error;
  auto generator = Generator::create(*bundle_, error);
  ASSERT_TRUE(generator) << error;
  test::TempDir dir;
  const CFRef<CFURLRef> url = makeFileURL(dir.write("a.zip", "PK\x05\x06").string(), false);
  const CFRef<CFStringRef> type = makeString("com.pkware.zip-archive");

  const auto thumbnail = createThumbnailRequest(bundle_->bundle(), false);
  EXPECT_EQ(generator->generateThumbnail(thumbnail.get(), url.get(), type.get(), nullptr, CGSize{128, 128}),
            noErr);
  EXPECT_EQ(thumbnailData(thumbnail.get()), nullptr);
  generator->callbacks().CancelThumbnailGeneration(generator->instance(), thumbnail.get());

  const auto preview = createPreviewRequest(bundle_->bundle(), true);
  EXPECT_EQ(generator->generatePreview(preview.get(), url.get(), type.get(), nullptr), noErr);
  EXPECT_EQ(previewReply(preview.get()).data, nullptr);
  generator->callbacks().CancelPreviewGeneration(generator->instance(), preview.get());

  EXPECT_EQ(generator->release(), 0u);
  EXPECT_EQ(generator->release(), 0u) << "a second release gives back nothing";
}

// qlhost run as a program, on an archive made by tar.
class QlhostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::shell(dir_.path(),
                "mkdir content && echo hello > content/hello.txt && tar -cf sample.tar -C content .");
  }
  test::IsolatedHome home_;
  test::TempDir dir_;
  const std::string archive_ = (dir_.path() / "sample.tar").string();
};

TEST_F(QlhostTest, WritesThePageToAFileOrStandardOutput) {
  const std::string page = (dir_.path() / "out" / "page.html").string();
  std::filesystem::create_directories(dir_.path() / "out");
  const SubprocessResult toFile = qlhost({"-o", page, archive_});
  ASSERT_EQ(toFile.exitStatus, 0) << toFile.errorOutput;
  EXPECT_NE(readFile(page).find("<html"), std::string::npos) << readFile(page).substr(0, 200);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path() / "out"), {}), 1)
      << "no temporary file is left beside the page";

  const SubprocessResult toStdout = qlhost({archive_});
  ASSERT_EQ(toStdout.exitStatus, 0) << toStdout.errorOutput;
  // Each page carries its own creation time and the token signed over it.
  const auto unsigned_ = [](std::string text) {
    static const std::regex signature(R"re(data-time='[0-9]+' data-token='[0-9a-f]+')re");
    return std::regex_replace(text, signature, "");
  };
  EXPECT_EQ(unsigned_(toStdout.output), unsigned_(readFile(page)));
}

// A page written to a pipe or a device goes into it; one written to a link replaces the file the
// link names. Neither is replaced by an ordinary file (`-o /dev/null` once replaced /dev/null).
TEST_F(QlhostTest, WritesIntoWhatIsNotAFileAndThroughLinks) {
  const std::filesystem::path pipe = dir_.path() / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  // Both ends held here, so that neither opening waits; the reader sees the end of the page
  // once qlhost and this writer end are closed.
  const int writeEnd = ::open(pipe.c_str(), O_RDWR | O_CLOEXEC);
  const int readEnd = ::open(pipe.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(writeEnd, 0);
  ASSERT_GE(readEnd, 0);
  std::string fromPipe;
  std::thread reader([&] {
    char buffer[65536];
    for (ssize_t n; (n = ::read(readEnd, buffer, sizeof buffer)) > 0;) fromPipe.append(buffer, size_t(n));
  });
  const SubprocessResult toPipe = qlhost({"-o", pipe.string(), archive_});
  ::close(writeEnd);
  reader.join();
  ::close(readEnd);
  ASSERT_EQ(toPipe.exitStatus, 0) << toPipe.errorOutput;
  EXPECT_TRUE(std::filesystem::is_fifo(pipe));
  EXPECT_NE(fromPipe.find("<html"), std::string::npos);

  const auto real = dir_.write("real.html", "older page");
  std::filesystem::create_symlink(real, dir_.path() / "link.html");
  const SubprocessResult toLink = qlhost({"-o", (dir_.path() / "link.html").string(), archive_});
  ASSERT_EQ(toLink.exitStatus, 0) << toLink.errorOutput;
  EXPECT_TRUE(std::filesystem::is_symlink(dir_.path() / "link.html"));
  EXPECT_NE(readFile(real).find("<html"), std::string::npos);
  EXPECT_EQ(qlhost({"-o", dir_.path().string(), archive_}).exitStatus, 3) << "a folder is refused";
}

TEST_F(QlhostTest, NoPreviewLeavesTheOutputFileAlone) {
  const auto page = dir_.write("page.html", "older page");
  const SubprocessResult cancelled = qlhost({"--cancelled", "-o", page.string(), archive_});
  EXPECT_EQ(cancelled.exitStatus, 1);
  EXPECT_EQ(cancelled.errorOutput, "qlhost: no preview for " + archive_ + "\n");
  EXPECT_EQ(readFile(page), "older page");
}

TEST_F(QlhostTest, RefusesBadArgumentsAMissingArchiveAndBrokenBundles) {
  EXPECT_EQ(qlhost({}).exitStatus, 2);
  EXPECT_EQ(qlhost({"--bogus", archive_}).exitStatus, 2);
  EXPECT_EQ(qlhost({archive_, "-o"}).exitStatus, 2);

  const std::string missing = (dir_.path() / "missing.zip").string();
  const SubprocessResult noArchive = qlhost({missing});
  EXPECT_EQ(noArchive.exitStatus, 3);
  EXPECT_NE(noArchive.errorOutput.find(missing), std::string::npos) << noArchive.errorOutput;

  const PlistDictionary factories{{kFactoryID, "QuickLookGeneratorPluginFactory"}};
  const PlistDictionary types{{"5e2d9680-5022-40fa-b806-43349622e5b9", PlistArray{kFactoryID}}};
  const PlistDictionary goodInfo{
      {"CFBundleExecutable", "TessaroQL"}, {"CFPlugInFactories", factories}, {"CFPlugInTypes", types}};
  struct Case {
    const char* name;
    PropertyList info;  // null: Info.plist holds no property list
    bool withExecutable;
    const char* message;
  };
  const Case cases[] = {
      {"not-a-plist", PropertyList(), true, "not a property list"},
      {"executable-outside",
       PlistDictionary{
           {"CFBundleExecutable", "../../x"}, {"CFPlugInFactories", factories}, {"CFPlugInTypes", types}},
       true, "names no executable"},
      {"missing-executable", goodInfo, false, "cannot load"},
      {"missing-factory-symbol",
       PlistDictionary{{"CFBundleExecutable", "TessaroQL"},
                       {"CFPlugInFactories", PlistDictionary{{kFactoryID, "NoSuchFactory"}}},
                       {"CFPlugInTypes", types}},
       true, "no factory function NoSuchFactory"},
  };
  // A copy of the built bundle under `name` with `info` as its Info.plist.
  const auto makeBundle = [&](const std::string& name, const PropertyList& info, bool withExecutable) {
    const std::filesystem::path bundle = dir_.path() / (name + ".qlgenerator");
    std::filesystem::create_directories(bundle / "Contents" / "MacOS");
    if (info.isNull())
      dir_.write((bundle / "Contents" / "Info.plist").lexically_relative(dir_.path()).string(), "<plist");
    else
      EXPECT_TRUE(info.writeToFile(bundle / "Contents" / "Info.plist"));
    if (withExecutable)
      std::filesystem::copy_file(kGenerator / "Contents" / "MacOS" / "TessaroQL",
                                 bundle / "Contents" / "MacOS" / "TessaroQL");
    return bundle.string();
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const SubprocessResult result =
        qlhost({"--generator", makeBundle(c.name, c.info, c.withExecutable), archive_});
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_EQ(result.output, "");
    EXPECT_NE(result.errorOutput.find(c.message), std::string::npos) << result.errorOutput;
  }

  // The same bundle with a good Info.plist works: the cases above fail for the reason they name.
  EXPECT_EQ(qlhost({"--generator", makeBundle("good", goodInfo, true), "--cancelled", archive_}).exitStatus,
            1);

  EXPECT_EQ(qlhost({"--generator", (dir_.path() / "nowhere.qlgenerator").string(), archive_}).exitStatus, 3);
}

// ---- The host's stand-ins for the system types the plug-in uses

TEST_F(QuickLookHostTest, StringsAndIdentifiersHoldValidTextOnly) {
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

  // Identifiers in their text form, in either case; anything else is none.
  const CFRef<CFUUIDRef> lower(
      CFUUIDCreateFromString(kCFAllocatorDefault, str("5e2d9680-5022-40fa-b806-43349622e5b9").get()));
  EXPECT_TRUE(lower && CFEqual(lower.get(), kQLGeneratorTypeID));
  for (const char* bad : {"", "5E2D9680502240FAB80643349622E5B9", "5E2D9680-5022-40FA-B806-43349622E5B",
                          "5E2D968-05022-40FA-B806-43349622E5B9", "5E2D9680-5022-40FA-B806-43349622E5B9 "})
    EXPECT_FALSE(CFRef<CFUUIDRef>(CFUUIDCreateFromString(kCFAllocatorDefault, str(bad).get()))) << bad;
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

TEST_F(QuickLookHostTest, RuleBreakingIsReportedNotFatal) {
  const long before = misuseCount();
  CFRelease(nullptr);
  CFRetain(nullptr);
  alignas(16) unsigned char foreign[64] = {};
  CFRelease(foreign);
  const auto text = str("not a dictionary");
  EXPECT_EQ(CFDictionaryGetCount(reinterpret_cast<CFDictionaryRef>(text.get())), 0);
  const CFRef<CFMutableDictionaryRef> dictionary(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(dictionary.get(), CFSTR("key"), nullptr);
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
