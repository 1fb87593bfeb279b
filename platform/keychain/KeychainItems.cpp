#include "keychain/KeychainItems.h"

#include <libsecret/secret.h>

#include <algorithm>
#include <memory>

namespace tessaro::keychain {

namespace {

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
Status findItems(const std::string& kind, const std::optional<std::string>& name,
                 std::unique_ptr<GList, ItemListDeleter>& out) {
  GError* error = nullptr;
  Attributes attributes = attributesFor(kind, name);
  GList* found = secret_service_search_sync(
      nullptr, schema(), attributes.get(),
      static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS),
      nullptr, &error);
  out.reset(found);
  return statusOf(error);
}

std::string attribute(SecretItem* item, const char* key) {
  GHashTable* attributes = secret_item_get_attributes(item);
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
    std::unique_ptr<GList, ItemListDeleter> found;
    if (Status status = findItems(std::string(kind), name, found); status != kStatusOK) return status;
    for (GList* node = found.get(); node; node = node->next) {
      auto* item = static_cast<SecretItem*>(node->data);
      gchar* label = secret_item_get_label(item);
      Item entry{label ? label : "", attribute(item, "account"), attribute(item, "description"), {}};
      g_free(label);
      if (SecretValue* value = secret_item_get_secret(item)) {
        gsize length = 0;
        const gchar* bytes = secret_value_get(value, &length);
        if (bytes) entry.secret.assign(bytes, length);
        secret_value_unref(value);
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
    std::unique_ptr<GList, ItemListDeleter> found;
    if (Status status = findItems(std::string(kind), name, found); status != kStatusOK) return status;
    for (GList* node = found.get(); node; node = node->next) {
      GError* error = nullptr;
      if (!secret_item_delete_sync(static_cast<SecretItem*>(node->data), nullptr, &error))
        failures.push_back(error ? statusOf(error) : kStatusIOError);
    }
    return kStatusOK;
  } catch (...) {
    return kStatusIOError;
  }
}

Status addItem(std::string_view name, std::string_view kind, std::string_view secret) {
  try {
    Attributes attributes = attributesFor(std::string(kind), std::string(name));
    SecretValue* value = secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain");
    GError* error = nullptr;
    const gboolean stored =
        secret_password_storev_binary_sync(schema(), attributes.get(), SECRET_COLLECTION_DEFAULT,
                                           std::string(kItemLabel).c_str(), value, nullptr, &error);
    secret_value_unref(value);
    if (!stored && !error) return kStatusIOError;
    return statusOf(error);
  } catch (...) {
    return kStatusIOError;
  }
}

}  // namespace tessaro::keychain
