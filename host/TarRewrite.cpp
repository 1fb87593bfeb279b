#include "TarRewrite.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "AZipItem.h"
#include "HandlerRegistry.h"
#include "PathString.h"

namespace tessaro::host {

namespace fs = std::filesystem;

namespace {

// A name from the command line as a path inside the unpacked tree; none when it would leave it.
std::optional<fs::path> inside(const std::string& contents, const std::string& name) {
  const fs::path relative = fs::path(name).relative_path().lexically_normal();
  if (relative.empty() || *relative.begin() == "..") return std::nullopt;
  return fs::path(contents) / relative;
}

}  // namespace

bool isTarFamily(const ArchiveHandler& handler) {
  const HandlerClass* tar = handlerClassNamed("AHandlerTar");
  return tar && handler.isa().isSubclassOf(*tar);
}

int32_t rewriteTar(ArchiveSession& session, const std::function<bool(const std::string& contents)>& change) {
  ArchiveHandler& handler = session.handler();
  const std::optional<std::string>& temp = handler.documentsTempFolder();
  if (!temp) return 4;
  const std::string contents = appendingPathComponent(*temp, "contents");
  std::error_code error;
  fs::create_directory(contents, error);
  if (error) return 4;
  AZipItem::List all{AZipItem::initWithPath("*")};
  if (!all.front()) return 4;
  const int32_t unpacked = handler.extract(all, contents, 1);
  if (unpacked != 0) return unpacked;
  if (!change(contents)) return 4;

  std::vector<std::string> top;
  for (const auto& entry : fs::directory_iterator(contents, error)) top.push_back(entry.path().string());
  if (error) return 4;
  std::vector<std::string> clean;
  Preset preset;
  return handler.addFiles(top, contents, session.archive(), nullptr, preset, &clean);
}

bool copyInto(const std::vector<std::string>& files, const std::string& contents, const std::string& folder) {
  std::error_code error;
  fs::path target(contents);
  if (!folder.empty()) {
    const auto below = inside(contents, folder);
    if (!below) return false;
    target = *below;
    fs::create_directories(target, error);
    if (error) return false;
  }
  for (const std::string& file : files) {
    const fs::path destination = target / fs::path(file).filename();
    fs::remove_all(destination, error);
    fs::copy(file, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    if (error) {
      std::fprintf(stderr, "tessaro: %s: %s\n", file.c_str(), error.message().c_str());
      return false;
    }
  }
  return true;
}

bool removeEntries(const std::vector<std::string>& names, const std::string& contents) {
  for (const std::string& name : names) {
    const auto path = inside(contents, name);
    std::error_code error;
    if (!path || fs::remove_all(*path, error) == 0 || error) return false;
  }
  return true;
}

bool moveEntry(const std::string& from, const std::string& to, const std::string& contents) {
  const auto source = inside(contents, from);
  const auto target = inside(contents, to);
  std::error_code error;
  if (!source || !target || fs::exists(fs::symlink_status(*target, error))) return false;
  fs::create_directories(target->parent_path(), error);
  if (error) return false;
  fs::rename(*source, *target, error);
  return !error;
}

}  // namespace tessaro::host
