// The installed application: cmake --install of this build into a staged tree (DESTDIR), the
// programs run from its bin folder, its man pages, desktop entries and completions checked with
// the tools that read them, and the uninstall script leaving nothing behind. The preview's desktop
// entry is also compared with the format registry.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <ostream>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "HandlerRegistry.h"
#include "support/Processes.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;

// This build installed below a temporary folder, as `make install DESTDIR=...` does.
class StagedInstall {
 public:
  StagedInstall() {
    SubprocessOptions options;
    options.environment = {{"DESTDIR", stage_.str()}};
    const SubprocessResult result =
        run({"/usr/bin/env", "cmake", "--install", TESSARO_BUILD_DIR, "--prefix", "/usr"}, options);
    installed_ = result.exitStatus == 0;
    log_ = result.output;
  }
  bool installed() const { return installed_; }
  const std::string& log() const { return log_; }
  fs::path root() const { return stage_.path(); }
  fs::path prefix() const { return stage_.path() / "usr"; }
  // Every file and link below the stage, relative to it.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(stage_.path()))
      if (!entry.is_directory() || entry.is_symlink())
        found.push_back(fs::relative(entry.path(), stage_.path()));
    return found;
  }

 private:
  TempDir stage_;
  bool installed_ = false;
  std::string log_;
};

TEST(InstallTest, LaysOutTheApplicationAndLinksTheProgramsIntoBin) {
  const StagedInstall staged;
  ASSERT_TRUE(staged.installed()) << staged.log();
  // What the checks below do not already read.
  for (const char* file :
       {"lib/tessaro/Tessaro.app/Contents/Helpers/7z", "lib/tessaro/Tessaro.app/Contents/Helpers/gnutar",
        "share/applications/tessaro-url-handler.desktop", "share/applications/tessaro-preview.desktop",
        "share/mime/packages/tessaro-archives.xml", "share/man/man1/qlhost.1",
        "share/bash-completion/completions/qlhost", "share/zsh/site-functions/_tessaro",
        "share/fish/vendor_completions.d/tessaro.fish", "share/doc/tessaro/LICENSE",
        "share/doc/tessaro/THIRD-PARTY.md"})
    EXPECT_TRUE(fs::exists(staged.prefix() / file)) << file;
  for (const char* program : {"tessaro", "qlhost"}) {
    const fs::path link = staged.prefix() / "bin" / program;
    ASSERT_TRUE(fs::is_symlink(link)) << link;
    // Relative, so that the staged tree works wherever it is moved to.
    EXPECT_EQ(fs::read_symlink(link), fs::path("../lib/tessaro/Tessaro.app/Contents/MacOS") / program);
  }
}

// Each check is a shell script run with STAGE set to the staged prefix and WORK to a scratch
// folder holding a.tgz (d/a.txt); it passes when it exits 0 and writes nothing to standard error.
struct Check {
  const char* name;
  const char* needs;  // a program the check needs, or nullptr
  const char* script;
};

const Check kChecks[] = {
    {"tessaro --help lists the commands", nullptr, "\"$STAGE/bin/tessaro\" --help | grep -q '^  preview '"},
    {"the installed tessaro finds its helpers", nullptr,
     "\"$STAGE/bin/tessaro\" list --json \"$WORK/a.tgz\" | grep -q '\"name\":\"d/a.txt\"'"},
    // tessaro preview runs the installed qlhost, which must find the generator.
    {"tessaro preview writes into the cache", nullptr,
     "page=$(XDG_CACHE_HOME=\"$WORK/cache\" \"$STAGE/bin/tessaro\" preview \"$WORK/a.tgz\") && "
     "case \"$page\" in \"$WORK/cache/tessaro/previews/\"*.html) grep -q a.txt \"$page\";; *) false;; esac"},
    {"the man pages render without warnings", "groff",
     "for m in tessaro qlhost; do groff -man -ww -z \"$STAGE/share/man/man1/$m.1\" && "
     "MANWIDTH=80 man --warnings -l \"$STAGE/share/man/man1/$m.1\" > /dev/null || exit 1; done"},
    {"the man page names every command", nullptr,
     "for c in $(\"$STAGE/bin/tessaro\" --help | sed -n 's/^  \\([a-z][a-z]*\\) .*/\\1/p'); do "
     "grep -qE \"^\\.BI? $c( |$)\" \"$STAGE/share/man/man1/tessaro.1\" || { echo \"no $c\" >&2; exit 1; }; "
     "done"},
    {"the desktop entries are valid", "desktop-file-validate",
     "for f in \"$STAGE\"/share/applications/*.desktop; do desktop-file-validate \"$f\" >&2 || exit 1; done"},
    {"the bash completion parses", nullptr, "bash -n \"$STAGE/share/bash-completion/completions/tessaro\""},
    {"the bash completion names every command", nullptr,
     "for c in $(\"$STAGE/bin/tessaro\" --help | sed -n 's/^  \\([a-z][a-z]*\\) .*/\\1/p'); do "
     "grep -q \"commands=.*\\b$c\\b\" \"$STAGE/share/bash-completion/completions/tessaro\" || "
     "{ echo \"no $c\" >&2; exit 1; }; done"},
    {"the zsh completion parses", "zsh", "zsh -n \"$STAGE/share/zsh/site-functions/_tessaro\""},
    {"the fish completions parse", "fish",
     "fish -n \"$STAGE/share/fish/vendor_completions.d/tessaro.fish\" && "
     "fish -n \"$STAGE/share/fish/vendor_completions.d/qlhost.fish\""},
};

void PrintTo(const Check& check, std::ostream* out) { *out << check.name; }

class InstalledTree : public ::testing::TestWithParam<Check> {};

TEST_P(InstalledTree, Passes) {
  const Check& check = GetParam();
  if (check.needs && !programOnPath(check.needs)) GTEST_SKIP() << check.needs << " is not installed";
  const StagedInstall staged;
  ASSERT_TRUE(staged.installed()) << staged.log();
  const TempDir work;
  work.write("d/a.txt", "hi");
  test::shell(work.path(), "tar -czf a.tgz d");
  SubprocessOptions options;
  options.environment = {{"STAGE", staged.prefix().string()}, {"WORK", work.str()}};
  options.separateErrorOutput = true;
  const SubprocessResult result = run({"/bin/sh", "-c", check.script}, options);
  EXPECT_EQ(result.exitStatus, 0) << check.script << "\n" << result.output << result.errorOutput;
  EXPECT_EQ(result.errorOutput, "") << check.script;
}

std::string checkName(const ::testing::TestParamInfo<Check>& info) {
  std::string name;
  for (const char c : std::string_view(info.param.name))
    name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Install, InstalledTree, ::testing::ValuesIn(kChecks), checkName);

TEST(InstallTest, UninstallRemovesEverythingItInstalled) {
  const StagedInstall staged;
  ASSERT_TRUE(staged.installed()) << staged.log();
  // Something of another package in a shared folder stays.
  const fs::path foreign = staged.prefix() / "share/man/man1/other.1";
  fs::create_directories(foreign.parent_path());
  std::ofstream(foreign) << ".TH OTHER 1\n";

  SubprocessOptions options;
  options.environment = {{"DESTDIR", staged.root().string()}};
  const SubprocessResult result =
      run({"/usr/bin/env", "cmake", "-DMANIFEST=" + std::string(TESSARO_BUILD_DIR) + "/install_manifest.txt",
           "-P", std::string(TESSARO_SOURCE_DIR) + "/cmake/Uninstall.cmake"},
          options);
  ASSERT_EQ(result.exitStatus, 0) << result.output;
  EXPECT_EQ(staged.leftovers(), std::vector<std::string>{"usr/share/man/man1/other.1"});
  EXPECT_FALSE(fs::exists(staged.prefix() / "lib/tessaro"));
  EXPECT_FALSE(fs::exists(staged.prefix() / "share/doc/tessaro"));
}

// The preview's desktop entry offers every archive type the registry reads. Each row is a MIME type
// of the entry with a file of that type (named by the type's glob, starting with its signature)
// and the class the registry must choose for it.
struct TypeSample {
  const char* mimeType;
  const char* fileName;
  std::string_view firstBytes;
  const char* handlerClass;
};

using namespace std::string_view_literals;
const TypeSample kTypeSamples[] = {
    {"application/x-tar", "a.tar", "", "AHandlerTar"},
    {"application/x-compressed-tar", "a.tar.gz", "\x1F\x8B\x08"sv, "AHandlerTGz"},
    {"application/x-bzip-compressed-tar", "a.tar.bz2", "BZh9", "AHandlerTBz"},
    {"application/x-xz-compressed-tar", "a.tar.xz", "\xFD\x37zXZ\x00"sv, "AHandlerTXz"},
    {"application/gzip", "a.gz", "\x1F\x8B\x08"sv, "AHandlerGZip"},
    {"application/x-bzip", "a.bz2", "BZh9", "AHandlerBZip"},
    {"application/x-xz", "a.xz", "\xFD\x37zXZ\x00"sv, "AHandlerXz"},
    {"application/x-compress", "a.Z", "\x1F\x9D\x90"sv, "AHandlerGZip"},
    {"application/zip", "a.zip", "PK\x03\x04"sv, "AHandlerZip"},
    {"application/x-java-archive", "a.jar", "PK\x03\x04"sv, "AHandlerZip"},
    {"application/x-tessaro-java-web-archive", "a.war", "PK\x03\x04"sv, "AHandlerZip"},
    {"application/x-tessaro-java-enterprise-archive", "a.ear", "PK\x03\x04"sv, "AHandlerZip"},
    {"application/x-tessaro-game-package", "a.pk3", "PK\x03\x04"sv, "AHandlerZip"},
    {"application/x-7z-compressed", "a.7z", "7z\xBC\xAF\x27\x1C"sv, "AHandler7zip"},
    {"application/vnd.rar", "a.rar", "Rar!\x1A\x07\x01\x00"sv, "AHandlerRar"},
    {"application/vnd.ms-cab-compressed", "a.cab", "MSCF\x00\x00\x00\x00"sv, "AHandlerCab"},
    {"application/vnd.ms-htmlhelp", "a.chm", "ITSF\x03\x00\x00\x00"sv, "AHandlerChm"},
    {"application/x-arj", "a.arj", "\x60\xEA"sv, "AHandlerArj"},
    {"application/x-lha", "a.lzh", "\x00\x00-lh5-"sv, "AHandlerLzh"},
    {"application/x-cpio", "a.cpio", "070701", "AHandlerCpio"},
    {"application/x-cpio-compressed", "a.cpio.gz", "\x1F\x8B\x08"sv, "AHandlerCpio"},
    {"application/x-cd-image", "a.iso", "", "AHandlerIso"},
    {"application/x-ms-wim", "a.wim", "MSWIM", "AHandlerWim"},
    {"application/x-rpm", "a.rpm", "\xED\xAB\xEE\xDB"sv, "AHandlerRpm"},
    {"application/vnd.debian.binary-package", "a.deb", "!<arch>\ndebian-binary", "AHandlerDeb"},
    {"application/x-apple-diskimage", "a.dmg", "", "AHandlerDmg"},
    {"application/x-xar", "a.xar", "xar!", "AHandlerXar"},
    {"application/x-stuffit", "a.sit", "SIT!", "AHandlerSit"},
    {"application/x-stuffitx", "a.sitx", "StuffIt!", "AHandlerSit"},
    {"application/mac-binhex40", "a.hqx", "(This file must be converted with BinHex", "AHandlerHqx"},
    {"application/x-macbinary", "a.bin", "", "AHandlerBin"},
    {"application/x-tessaro-split-volume", "a.001", "", "AHandlerSplit"},
    {"application/vnd.ms-tnef", "winmail.dat", "\x78\x9F\x3E\x22"sv, "AHandlerMime"},
    {"application/x-zstd-compressed-tar", "a.tar.zst", "\x28\xB5\x2F\xFD"sv, "AHandlerTZst"},
    {"application/x-lzip-compressed-tar", "a.tar.lz", "LZIP\x01"sv, "AHandlerTLz"},
    {"application/x-lz4-compressed-tar", "a.tar.lz4", "\x04\x22\x4D\x18"sv, "AHandlerTLz4"},
    {"application/x-lzma-compressed-tar", "a.tar.lzma",
     "\x5D\x00\x00\x80\x00\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"sv, "AHandlerTLzma"},
    {"application/zstd", "a.zst", "\x28\xB5\x2F\xFD"sv, "AHandlerZstd"},
    {"application/x-lzip", "a.lz", "LZIP\x01"sv, "AHandlerLzip"},
    {"application/x-lz4", "a.lz4", "\x04\x22\x4D\x18"sv, "AHandlerLz4"},
    {"application/x-lzma", "a.lzma", "\x5D\x00\x00\x80\x00\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"sv,
     "AHandlerLzma"},
    {"application/x-archive", "a.a", "!<arch>\n"sv, "AHandlerAr"},
};
// Classes the registry reads that the entry leaves out, with the reason in the entry's comment.
const std::set<std::string> kNotOffered{"AHandlerPdf", "AHandlerSwf", "AHandlerNsis", "AHandlerDd"};

std::set<std::string> desktopMimeTypes(const fs::path& desktopFile) {
  const std::string text = readFile(desktopFile);
  const size_t at = text.find("\nMimeType=");
  if (at == std::string::npos) return {};
  const size_t start = at + std::string_view("\nMimeType=").size();
  const std::string line = text.substr(start, text.find('\n', start) - start);
  std::set<std::string> types;
  size_t from = 0;
  for (size_t semicolon; (semicolon = line.find(';', from)) != std::string::npos; from = semicolon + 1)
    if (semicolon > from) types.insert(line.substr(from, semicolon - from));
  return types;
}

TEST(InstallTest, PreviewEntryOffersEveryArchiveTypeTheRegistryReads) {
  std::set<std::string> sampled;
  std::set<std::string> covered;
  const TempDir folder;
  for (const TypeSample& sample : kTypeSamples) {
    sampled.insert(sample.mimeType);
    const fs::path file =
        folder.write(sample.fileName, std::string(sample.firstBytes) + std::string(512, '\0'));
    const HandlerClass* found = handlerClassWithFilename(file.string(), true);
    ASSERT_NE(found, nullptr) << sample.mimeType << " (" << sample.fileName << ")";
    EXPECT_EQ(found->className(), sample.handlerClass) << sample.mimeType << " (" << sample.fileName << ")";
    covered.insert(std::string(found->className()));
  }
  EXPECT_EQ(desktopMimeTypes(fs::path(TESSARO_SOURCE_DIR) / "host/desktop/tessaro-preview.desktop"), sampled);
  for (const HandlerClass* handlerClass : allHandlerClasses()) {
    const std::string name(handlerClass->className());
    EXPECT_TRUE(covered.count(name) || kNotOffered.count(name))
        << name << " reads files the entry is not offered for";
  }
}

}  // namespace
}  // namespace tessaro
