#include "folders/UserFolders.h"

#include <glib.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace tessaro {

namespace {

// GLib caches HOME and the XDG variables at first use; these helpers read them on every call so
// that a changed environment (tests redirect it) takes effect.
std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

// The XDG rules ignore empty and relative values.
std::optional<std::filesystem::path> absoluteEnvironmentPath(const char* name) {
  std::filesystem::path path = environment(name);
  if (path.empty() || path.is_relative()) return std::nullopt;
  return path;
}

std::optional<std::filesystem::path> homeFolder() {
  if (auto home = absoluteEnvironmentPath("HOME")) return home;
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir &&
      *found->pw_dir)
    return std::filesystem::path(found->pw_dir);
  return std::nullopt;
}

std::optional<std::filesystem::path> dataHome() {
  if (auto data = absoluteEnvironmentPath("XDG_DATA_HOME")) return data;
  if (auto home = homeFolder()) return *home / ".local" / "share";
  return std::nullopt;
}

std::optional<std::filesystem::path> userSpecialDir(GUserDirectory directory) {
  const gchar* path = g_get_user_special_dir(directory);
  if (!path || !*path) return std::nullopt;
  return std::filesystem::path(path);
}

}  // namespace

std::filesystem::path temporaryDirectory() {
  try {
    if (auto tmp = absoluteEnvironmentPath("TMPDIR")) {
      std::error_code ec;
      if (std::filesystem::is_directory(*tmp, ec)) {
        // "/tmp/x/" and "/tmp/x" name the same folder; callers join names onto it.
        auto cleaned = tmp->lexically_normal();
        if (cleaned.has_relative_path() && !cleaned.has_filename()) cleaned = cleaned.parent_path();
        return cleaned;
      }
    }
  } catch (...) {
  }
  return "/tmp";
}

std::filesystem::path trashDirectory() {
  try {
    if (auto data = dataHome()) return *data / "Trash" / "files";
  } catch (...) {
  }
  return {};
}

std::optional<std::filesystem::path> specialFolder(SpecialFolder kind) {
  try {
    switch (kind) {
      case SpecialFolder::home: return homeFolder();
      case SpecialFolder::desktop: return userSpecialDir(G_USER_DIRECTORY_DESKTOP);
      case SpecialFolder::documents: return userSpecialDir(G_USER_DIRECTORY_DOCUMENTS);
      case SpecialFolder::downloads: return userSpecialDir(G_USER_DIRECTORY_DOWNLOAD);
      case SpecialFolder::music: return userSpecialDir(G_USER_DIRECTORY_MUSIC);
      case SpecialFolder::pictures: return userSpecialDir(G_USER_DIRECTORY_PICTURES);
      case SpecialFolder::videos: return userSpecialDir(G_USER_DIRECTORY_VIDEOS);
      case SpecialFolder::applications:
        if (auto data = dataHome()) return *data / "applications";
        return std::nullopt;
      case SpecialFolder::caches:
        if (auto cache = absoluteEnvironmentPath("XDG_CACHE_HOME")) return cache;
        if (auto home = homeFolder()) return *home / ".cache";
        return std::nullopt;
    }
  } catch (...) {
  }
  return std::nullopt;
}

std::string expandTilde(std::string_view path) {
  try {
    if (path != "~" && !path.starts_with("~/")) return std::string(path);
    const auto home = homeFolder();
    if (!home) return std::string(path);
    std::string expanded = home->string();
    // "~/x" with a home of "/" must not become "//x".
    if (path.size() > 1 && expanded.ends_with('/')) expanded.pop_back();
    expanded.append(path.substr(1));
    return expanded;
  } catch (...) {
    try {
      return std::string(path);
    } catch (...) {
      return {};
    }
  }
}

}  // namespace tessaro
