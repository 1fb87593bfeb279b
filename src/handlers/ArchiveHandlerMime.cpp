#include "ArchiveHandlerMime.h"

#include <filesystem>
#include <vector>
#include <system_error>

#include "PathString.h"
#include "TNEFCore.h"
#include "helpers.h"
#include "ScratchFolder.h"

namespace tessaro {

namespace {

namespace fs = std::filesystem;

constexpr const char* kScratchName = "extract";

// A relative path that stays below the folder it is joined to.
bool staysInside(const fs::path& relative) {
  if (relative.empty() || relative.is_absolute()) return false;
  for (const fs::path& part : relative) {
    if (part == "..") return false;
  }
  return true;
}

}  // namespace

// Name, tag and capabilities are the base answers: a mail container is only read.
class AHandlerMime::Class : public HandlerClassOf<AHandlerMime, ArchiveHandler::Class> {};

const HandlerClass& AHandlerMime::metaclass() {
  static const Class instance;
  return instance;
}

int32_t AHandlerMime::doGetInfo(std::vector<std::string>& records) {
  if (!url() || !documentsTempFolder()) return kStatusNotSupported;
  const std::string scratch = appendingPathComponent(*documentsTempFolder(), kScratchName);
  if (!tnef::TNEFCore::extractWinmailDatFromPathWithURL(*url(), scratch)) return kStatusNotSupported;

  std::error_code ec;
  // Folders come before their contents; links are listed, never followed.
  for (fs::recursive_directory_iterator it(scratch, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    std::error_code statError;
    const bool isFolder = entry.symlink_status(statError).type() == fs::file_type::directory;
    // A folder's own size says nothing about its contents; the tree sums those.
    const uintmax_t size = isFolder ? 0 : entry.file_size(statError);
    const std::string relative = entry.path().lexically_relative(scratch).string();
    records.push_back("path=" + relative + "\tattr=" + (isFolder ? "d" : "-") +
                      "\tunco=" + std::to_string(statError ? 0 : size) + "\ttype=N");
  }
  return kStatusOK;
}

int32_t AHandlerMime::doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t /*mode*/) {
  if (!url()) return kStatusOK;
  const std::string base = documentsTempFolder().value_or(userTempPath());
  ScratchFolder scratch(createTempFolderInside(base, false));
  if (!scratch.path()) return kStatusOK;
  const std::string decoded = appendingPathComponent(*scratch.path(), kScratchName);
  if (!tnef::TNEFCore::extractWinmailDatFromPathWithURL(*url(), decoded)) return kStatusOK;

  // The single item "*" asks for everything, as with the other handlers.
  std::vector<std::string> names;
  if (items.size() == 1 && items.front() && items.front()->path() == "*") {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(decoded, ignored))
      names.push_back(entry.path().filename());
  } else {
    for (const AZipItem::Ptr& item : items)
      if (item) names.emplace_back(item->path());
  }
  for (const std::string& name : names) {
    const fs::path relative(name);
    if (!staysInside(relative)) continue;
    std::error_code ignored;
    fs::create_directories((fs::path(toFolder) / relative).parent_path(), ignored);
    fs::copy(fs::path(decoded) / relative, fs::path(toFolder) / relative, fs::copy_options::recursive,
             ignored);
  }
  return kStatusOK;
}

}  // namespace tessaro
