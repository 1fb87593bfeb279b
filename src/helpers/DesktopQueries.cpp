#include "DesktopQueries.h"

#include <gio/gio.h>

#include <memory>

#include "Diagnostics.h"
#include "HelperSupport.h"
#include "PathString.h"
#include "defaults/UserDefaults.h"

namespace tessaro {

using detail::containsNul;
using detail::guarded;

namespace {

struct GFreeDeleter {
  void operator()(void* p) const { g_free(p); }
};
struct GObjectDeleter {
  void operator()(void* p) const { g_object_unref(p); }
};
struct GErrorDeleter {
  void operator()(GError* e) const { g_error_free(e); }
};
using GChars = std::unique_ptr<gchar, GFreeDeleter>;
using GAppInfoPtr = std::unique_ptr<GAppInfo, GObjectDeleter>;

// A desktop file id ("org.gnome.eog.desktop", the suffix optional) or else a command to run.
GAppInfoPtr appInfoNamed(const std::string& name) {
  std::string id = hasSuffix(name, ".desktop") ? name : name + ".desktop";
  GAppInfoPtr found;
  GList* all = g_app_info_get_all();
  for (GList* it = all; it; it = it->next) {
    auto* info = static_cast<GAppInfo*>(it->data);
    const char* infoId = g_app_info_get_id(info);
    if (!found && infoId && id == infoId) found.reset(G_APP_INFO(g_object_ref(info)));
  }
  g_list_free_full(all, g_object_unref);
  if (found) return found;
  // GIO starts programs through a launcher, so a missing one would only fail unseen in the child.
  GChars program(g_find_program_in_path(name.c_str()));
  if (!program) return nullptr;
  GChars quoted(g_shell_quote(program.get()));
  return GAppInfoPtr(
      g_app_info_create_from_commandline(quoted.get(), nullptr, G_APP_INFO_CREATE_NONE, nullptr));
}

}  // namespace

std::optional<std::string> fullPathOfAppForType(std::string_view extension) {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    if (extension.empty() || containsNul(extension)) return std::nullopt;
    // GIO decides by the name alone, so no file needs to exist for the question.
    std::string name = "file." + std::string(extension);
    GChars type(g_content_type_guess(name.c_str(), nullptr, 0, nullptr));
    if (!type || g_content_type_is_unknown(type.get())) return std::nullopt;
    GAppInfoPtr app(g_app_info_get_default_for_type(type.get(), FALSE));
    if (!app) return std::nullopt;
    const char* executable = g_app_info_get_executable(app.get());
    if (!executable || !*executable) return std::nullopt;
    if (executable[0] == '/') return std::string(executable);
    GChars full(g_find_program_in_path(executable));
    if (!full) return std::nullopt;
    return std::string(full.get());
  });
}

bool openFileWithFinder(std::string_view path) {
  return guarded(false, [&] {
    if (path.empty() || containsNul(path)) return false;
    std::string file(path);
    auto app = UserDefaults::standard().stringForKey("HLVViewingApplication");
    if (app && (app->empty() || containsNul(*app))) app.reset();
    HLVLog(kLogTrace, "openFileWithFinder: app = %s, path = %s", app ? app->c_str() : "(null)", file.c_str());
    std::unique_ptr<GFile, GObjectDeleter> location(g_file_new_for_path(file.c_str()));
    GError* rawError = nullptr;
    bool launched = false;
    if (app) {
      if (GAppInfoPtr info = appInfoNamed(*app)) {
        GList files = {location.get(), nullptr, nullptr};
        launched = g_app_info_launch(info.get(), &files, nullptr, &rawError);
      }
    } else {
      GChars uri(g_file_get_uri(location.get()));
      launched = g_app_info_launch_default_for_uri(uri.get(), nullptr, &rawError);
    }
    std::unique_ptr<GError, GErrorDeleter> error(rawError);
    if (!launched)
      HLVLog(kLogError, "openFileWithFinder: cannot open %s: %s", file.c_str(),
             error ? error->message : "no such application");
    return launched;
  });
}

std::optional<std::string> displayNameForAppHandlingType(std::string_view contentType) {
  return guarded(std::optional<std::string>{}, [&]() -> std::optional<std::string> {
    std::string type(contentType);
    GAppInfoPtr app;
    if (!type.empty() && !containsNul(type)) app.reset(g_app_info_get_default_for_type(type.c_str(), FALSE));
    const char* name = app ? g_app_info_get_display_name(app.get()) : nullptr;
    if (!name) {
      // -1: GIO gives no reason, only the absence of a handler.
      HLVLog(kLogNotice, "Error getting handler for file type %s: %d", type.c_str(), -1);
      return std::nullopt;
    }
    return std::string(name);
  });
}

}  // namespace tessaro
