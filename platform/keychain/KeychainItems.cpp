#include "keychain/KeychainItems.h"

#include <libsecret/secret.h>

#include <algorithm>
#include <memory>

#include "io/LibraryOnFirstUse.h"

namespace tessaro::keychain {

namespace {

// libsecret, and GLib's D-Bus stack and libgcrypt with it, opened on the first use of the
// keychain: most programs that link this (a preview above all) never touch a stored password,
// and loading them costs more than listing a small archive.
struct SecretLibrary {
  decltype(&secret_service_search_sync) serviceSearchSync = nullptr;
  decltype(&secret_item_get_attributes) itemGetAttributes = nullptr;
  decltype(&secret_item_get_label) itemGetLabel = nullptr;
  decltype(&secret_item_get_secret) itemGetSecret = nullptr;
  decltype(&secret_item_delete_sync) itemDeleteSync = nullptr;
  decltype(&secret_value_new) valueNew = nullptr;
  decltype(&secret_value_get) valueGet = nullptr;
  decltype(&secret_value_unref) valueUnref = nullptr;
  decltype(&secret_password_storev_binary_sync) passwordStorevBinarySync = nullptr;
};

// Null when the library or one of its functions is missing: the keychain is then unreachable.
const SecretLibrary* secretLibrary() {
  return libraryOnFirstUse<SecretLibrary>("libsecret-1.so.0", [](void* library, SecretLibrary& table) {
    return resolveSymbol(library, "secret_service_search_sync", table.serviceSearchSync) &&
           resolveSymbol(library, "secret_item_get_attributes", table.itemGetAttributes) &&
           resolveSymbol(library, "secret_item_get_label", table.itemGetLabel) &&
           resolveSymbol(library, "secret_item_get_secret", table.itemGetSecret) &&
           resolveSymbol(library, "secret_item_delete_sync", table.itemDeleteSync) &&
           resolveSymbol(library, "secret_value_new", table.valueNew) &&
           resolveSymbol(library, "secret_value_get", table.valueGet) &&
           resolveSymbol(library, "secret_value_unref", table.valueUnref) &&
           resolveSymbol(library, "secret_password_storev_binary_sync", table.passwordStorevBinarySync);
  });
}

const SecretSchema* schema() {
  static const SecretSchema s = {"app.tessaro.Keychain",
                                 SECRET_SCHEMA_NONE,
                                 {
                                     {"label", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                     {"description", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                     {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                     {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                 },
                                 0,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr,
                                 nullptr};
  return &s;
}

struct HashTableDeleter {
  void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableDeleter>;

Attributes attributesFor(const std::string& kind, const std::optional<std::string>& name) {
  Attributes table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  g_hash_table_insert(table.get(), g_strdup("label"), g_strdup(std::string(kItemLabel).c_str()));
  g_hash_table_insert(table.get(), g_strdup("description"), g_strdup(kind.c_str()));
  if (name) g_hash_table_insert(table.get(), g_strdup("account"), g_strdup(name->c_str()));
  return table;
}

Status statusOf(GError* error) {
  if (!error) return kStatusOK;
  const bool unreachable = error->domain == G_DBUS_ERROR || error->domain == G_IO_ERROR;
  g_error_free(error);
  return unreachable ? kStatusNotAvailable : kStatusIOError;
}

struct ItemListDeleter {
  void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};

// Items matching the attributes, unlocked and with their secrets loaded.
Status findItems(const SecretLibrary& secret, const std::string& kind, const std::optional<std::string>& name,
                 std::unique_ptr<GList, ItemListDeleter>& out) {
  GError* error = nullptr;
  Attributes attributes = attributesFor(kind, name);
  GList* found = secret.serviceSearchSync(
      nullptr, schema(), attributes.get(),
      static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS),
      nullptr, &error);
  out.reset(found);
  return statusOf(error);
}

std::string attribute(const SecretLibrary& secret, SecretItem* item, const char* key) {
  GHashTable* attributes = secret.itemGetAttributes(item);
  if (!attributes) return {};
  const auto* value = static_cast<const char*>(g_hash_table_lookup(attributes, key));
  std::string text = value ? value : "";
  g_hash_table_unref(attributes);
  return text;
}

// Digits compare by their value, everything else byte by byte.
bool naturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      size_t ei = i, ej = j;
      while (ei < a.size() && a[ei] == '0') ++ei;
      while (ej < b.size() && b[ej] == '0') ++ej;
      size_t ni = ei, nj = ej;
      while (ni < a.size() && digit(a[ni])) ++ni;
      while (nj < b.size() && digit(b[nj])) ++nj;
      if (ni - ei != nj - ej) return ni - ei < nj - ej;
      const int c = a.compare(ei, ni - ei, b, ej, nj - ej);
      if (c != 0) return c < 0;
      i = ni;
      j = nj;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

}  // namespace

Status search(std::string_view kind, const std::optional<std::string>& name, std::vector<Item>& items) {
  items.clear();
  try {
    const SecretLibrary* secret = secretLibrary();
    if (!secret) return kStatusNotAvailable;
    std::unique_ptr<GList, ItemListDeleter> found;
    if (Status status = findItems(*secret, std::string(kind), name, found); status != kStatusOK)
      return status;
    for (GList* node = found.get(); node; node = node->next) {
      auto* item = static_cast<SecretItem*>(node->data);
      gchar* label = secret->itemGetLabel(item);
      Item entry{label ? label : "",
                 attribute(*secret, item, "account"),
                 attribute(*secret, item, "description"),
                 {}};
      g_free(label);
      if (SecretValue* value = secret->itemGetSecret(item)) {
        gsize length = 0;
        const gchar* bytes = secret->valueGet(value, &length);
        if (bytes) entry.secret.assign(bytes, length);
        secret->valueUnref(value);
      }
      items.push_back(std::move(entry));
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const Item& a, const Item& b) { return naturalLess(a.account, b.account); });
    return kStatusOK;
  } catch (...) {
    items.clear();
    return kStatusIOError;
  }
}

Status deleteItems(std::string_view kind, const std::optional<std::string>& name,
                   std::vector<int>& failures) {
  failures.clear();
  try {
    const SecretLibrary* secret = secretLibrary();
    if (!secret) return kStatusNotAvailable;
    std::unique_ptr<GList, ItemListDeleter> found;
    if (Status status = findItems(*secret, std::string(kind), name, found); status != kStatusOK)
      return status;
    for (GList* node = found.get(); node; node = node->next) {
      GError* error = nullptr;
      if (!secret->itemDeleteSync(static_cast<SecretItem*>(node->data), nullptr, &error))
        failures.push_back(error ? statusOf(error) : kStatusIOError);
    }
    return kStatusOK;
  } catch (...) {
    return kStatusIOError;
  }
}

Status addItem(std::string_view name, std::string_view kind, std::string_view secret) {
  try {
    const SecretLibrary* library = secretLibrary();
    if (!library) return kStatusNotAvailable;
    Attributes attributes = attributesFor(std::string(kind), std::string(name));
    SecretValue* value = library->valueNew(secret.data(), static_cast<gssize>(secret.size()), "text/plain");
    GError* error = nullptr;
    const gboolean stored =
        library->passwordStorevBinarySync(schema(), attributes.get(), SECRET_COLLECTION_DEFAULT,
                                          std::string(kItemLabel).c_str(), value, nullptr, &error);
    library->valueUnref(value);
    if (!stored && !error) return kStatusIOError;
    return statusOf(error);
  } catch (...) {
    return kStatusIOError;
  }
}

}  // namespace tessaro::keychain
