#include "ArchiveHandlerTar.h"

#include <cstdlib>

#include "PathString.h"
#include "PerlPipeline.h"
#include "helpers.h"

namespace tessaro {

namespace {

// Rewrites one line of GNU tar's verbose listing ("drwxr-xr-x user/group 0 2020-05-01 10:20 docs/")
// into its type character followed by a listing record. The \n inside the bracket and every \t
// are real line-feed and tab characters in the argument Perl receives.
constexpr const char* kTarLineToRecord =
    "s/(.)([^ ]+)[ ]+([^ ]+)[ ]+([0-9]+)[ ]+([0-9]+)-([0-9]+)-([0-9]+)[ ]+([0-9]+):([0-9]+)[:]*([0-9]*)[ ]*"
    "([^\n]+)/$1path=$11\tattr=$1$2\tunco=$4\tcomp=0\ttime=$5$6$7.$8$9$10/g";

// Tar prints the carriage return of the Finder's custom-icon file "Icon\r" as backslash and "r".
constexpr std::string_view kEscapedIconName = "Icon\\r\tattr=";
constexpr std::string_view kIconName = "Icon\r\tattr=";

// What getInfo answers when gnutar or perl cannot be started: listing impossible, so the preview
// keeps the system's own rather than showing an archive that seems empty.
constexpr int32_t kListingImpossible = -1;

// Keeps the entries that are folders, files and symbolic links; a link keeps its own fields but
// loses " -> " and its target.
void appendRecords(std::string_view text, std::vector<std::string>& records) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    switch (line[0]) {
      case 'l': {
        const size_t arrow = line.rfind(" -> ");
        const size_t tab = line.find('\t');
        if (arrow == std::string_view::npos || tab == std::string_view::npos) break;
        std::string record(line.substr(1, arrow - 1));
        record.append(line.substr(tab));
        records.push_back(std::move(record));
        break;
      }
      case 'd':
      case '-': {
        std::string record(line.substr(1));
        replaceAll(record, kEscapedIconName, kIconName);
        records.push_back(std::move(record));
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace

// ---- Class properties

class AHandlerTar::Class : public HandlerClassOf<AHandlerTar, ArchiveHandler::Class> {
 public:
  std::string formatName() const override { return "TAR Format, uncompressed (tar)"; }
  int32_t formatTag() const override { return 1; }
  std::optional<std::string> defaultExtension() const override { return "tar"; }
  std::optional<std::string> baseType() const override { return "tar"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"tar"};
  }
  int32_t canSave() const override { return 2; }
  bool canDelete() const override { return true; }
  bool hasMacMode() const override { return true; }
};

class AHandlerTGz::Class : public HandlerClassOf<AHandlerTGz, AHandlerTar::Class> {
 public:
  std::string formatName() const override { return "TAR Format, GZip compressed (tgz)"; }
  int32_t formatTag() const override { return 2; }
  std::optional<std::string> defaultExtension() const override { return "tgz"; }
  std::optional<std::string> baseType() const override { return "tgz"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"tgz", "gz"};
  }
  bool hasCompressionFactor() const override { return true; }
  std::vector<int32_t> compressionFactorTags() const override { return {1, 2, 3}; }
};

class AHandlerTBz::Class : public HandlerClassOf<AHandlerTBz, AHandlerTar::Class> {
 public:
  std::string formatName() const override { return "TAR Format, BZip2 compressed (tbz)"; }
  int32_t formatTag() const override { return 3; }
  std::optional<std::string> defaultExtension() const override { return "tbz"; }
  std::optional<std::string> baseType() const override { return "tbz"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"tbz", "bz2"};
  }
  // Creation passes no level to pbzip2, so "Normal" is the only choice.
  std::vector<int32_t> compressionFactorTags() const override { return {2}; }
};

class AHandlerTXz::Class : public HandlerClassOf<AHandlerTXz, AHandlerTar::Class> {
 public:
  std::string formatName() const override { return "TAR Format, xz compressed (txz)"; }
  int32_t formatTag() const override { return 8; }
  std::optional<std::string> defaultExtension() const override { return "txz"; }
  std::optional<std::string> baseType() const override { return "txz"; }
  std::optional<std::vector<std::string>> allowedExtensions() const override {
    return std::vector<std::string>{"txz", "xz"};
  }
  std::vector<int32_t> compressionFactorTags() const override { return {1, 2, 3}; }
};

const HandlerClass& AHandlerTar::metaclass() {
  static const Class instance;
  return instance;
}

const HandlerClass& AHandlerTGz::metaclass() {
  static const Class instance;
  return instance;
}

const HandlerClass& AHandlerTBz::metaclass() {
  static const Class instance;
  return instance;
}

const HandlerClass& AHandlerTXz::metaclass() {
  static const Class instance;
  return instance;
}

// ---- Instance properties

bool AHandlerTar::canUpdate() const { return true; }
bool AHandlerTGz::canUpdate() const { return false; }
bool AHandlerTBz::canUpdate() const { return false; }
bool AHandlerTXz::canUpdate() const { return false; }

std::optional<std::string> AHandlerTar::rsrcFolder() const { return "."; }

std::string AHandlerTar::baseName() const {
  try {
    std::string name = ArchiveHandler::baseName();
    if (!url()) return name;
    // backup.tar.gz: the compressor's extension goes, and then the tar one.
    const std::string_view extension = pathExtension(*url());
    if (extension == "gz" || extension == "bz" || extension == "bz2" || extension == "xz")
      return std::string(deletingPathExtension(name));
    return name;
  } catch (...) {
    return {};
  }
}

// ---- Listing

std::vector<std::string> AHandlerTar::listArguments() const { return {"tfv"}; }
std::vector<std::string> AHandlerTGz::listArguments() const { return {"tzfv"}; }
std::vector<std::string> AHandlerTBz::listArguments() const { return {"tjfv"}; }
std::vector<std::string> AHandlerTXz::listArguments() const {
  return {"tv", "--use-compress-program=" + helperTool("xz"), "-f"};
}

int32_t AHandlerTar::getInfo(std::vector<std::string>& records) {
  try {
    traceOperation("getInfo");
    if (!url()) return 6;

    std::vector<std::string> argv{helperTool("gnutar")};
    for (std::string& argument : listArguments()) argv.push_back(std::move(argument));
    argv.push_back(*url());
    SubprocessOptions tarOptions;
    // In this locale tar prints the bytes of non-ASCII names as they are (in the C locale it
    // would escape each one). The zone is named too: without TZ, glibc re-reads /etc/localtime
    // for every entry tar prints, which more than doubles tar's time on a big archive; and tar
    // then prints its times in the zone this process reads them back in. Nothing else of the
    // caller's environment reaches tar.
    const char* zone = std::getenv("TZ");
    tarOptions.environment = {{"LC_ALL", "en_US.UTF-8"}, {"TZ", zone ? zone : ":/etc/localtime"}};
    tarOptions.replaceEnvironment = true;

    std::optional<std::string> listing = pipeThroughPerl(argv, tarOptions, kTarLineToRecord);
    if (!listing) return kListingImpossible;

    uint64_t usedEncoding = encoding();
    const std::optional<std::string> text = decodeString(*listing, &usedEncoding);
    setEncoding(usedEncoding);
    listing.reset();
    if (text) appendRecords(*text, records);
    return 0;
  } catch (...) {
    return kListingImpossible;
  }
}

}  // namespace tessaro
