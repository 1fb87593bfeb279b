#include "Keychain.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cinttypes>
#include <set>

#include "RNCryptor.h"
#include "archiver/KeyedArchiver.h"
#include "defaults/UserDefaults.h"
#include "helpers.h"

namespace tessaro {

namespace {

// The platform's distant past (0001-01-01 00:00:00 UTC) in Unix seconds: a locked store
// records it as its last activity, so that reopening it never counts as recent.
constexpr double kDistantPast = -62135596800.0;
// Secrets longer than this read back cut, as the platform's item reading buffer is 1024 bytes.
constexpr size_t kMaxSecretBytes = 1023;

class SecretServiceItemStore final : public KeychainItemStore {
 public:
  keychain::Status search(std::string_view kind, const std::optional<std::string>& name,
                          std::vector<keychain::Item>& items) override {
    return keychain::search(kind, name, items);
  }
  keychain::Status deleteItems(std::string_view kind, const std::optional<std::string>& name,
                               std::vector<int>& failures) override {
    return keychain::deleteItems(kind, name, failures);
  }
  keychain::Status addItem(std::string_view name, std::string_view kind, std::string_view secret) override {
    return keychain::addItem(name, kind, secret);
  }
};

std::string presetItemName(int32_t tag) { return "Save preset password " + std::to_string(tag); }

std::optional<int32_t> tagOf(const std::string& key) {
  try {
    size_t used = 0;
    const long long value = std::stoll(key, &used);
    if (used != key.size() || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
  } catch (...) {
    return std::nullopt;
  }
}

int32_t clampedInteger(const PropertyList* value) {
  const auto number = value ? value->asInteger() : std::nullopt;
  if (!number) return 0;
  return static_cast<int32_t>(std::clamp<int64_t>(*number, INT32_MIN, INT32_MAX));
}

}  // namespace

KeychainServices KeychainServices::system() {
  KeychainServices services;
  services.now = [] {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  };
  services.sleepWakeUUID = [] { return tessaro::sleepWakeUUID(); };
  services.defaults = &UserDefaults::standard();
  services.items = std::make_shared<SecretServiceItemStore>();
  return services;
}

Keychain::Keychain(KeychainServices services) : services_(std::move(services)) {
  if (!services_.now) services_.now = KeychainServices::system().now;
  if (!services_.sleepWakeUUID) services_.sleepWakeUUID = [] { return std::optional<std::string>(); };
  if (!services_.items) services_.items = std::make_shared<SecretServiceItemStore>();
  HLVLog(kLogTrace, "%s %s\n", "Keychain", __func__);
  mode_ = static_cast<int32_t>(
      std::clamp<int64_t>(defaults().integerForKey(kPasswordsModeDefaultsKey), INT32_MIN, INT32_MAX));
  if (loadMasterPasswordFromKeychain() && !load()) {
    // A record that the kept master password cannot open has been changed or damaged: it must
    // not read as an empty list that the next save writes over.
    recordUnreadable_ = defaults().objectForKey(kPasswordsDefaultsKey).has_value();
    if (recordUnreadable_) {
      masterPassword_.reset();
    } else {
      loadFromKeychain();
    }
  }
}

UserDefaults& Keychain::defaults() const {
  return services_.defaults ? *services_.defaults : UserDefaults::standard();
}

// ---- Life

void Keychain::lock() {
  if (manuallyLocked_) return;
  manuallyLocked_ = true;
  masterPassword_.reset();
  deleteItemsOfKind(kMasterPasswordKind, std::nullopt);
}

bool Keychain::unlockWithMasterPassword(const std::string& password) {
  masterPassword_ = password;
  if (!load()) {
    masterPassword_.reset();
    return false;
  }
  recordUnreadable_ = false;
  replaceMasterPasswordItem();
  manuallyLocked_ = false;
  lastSleepWakeUUID_ = currentSleepWakeUUID();
  inactivityLock_ = false;
  unlockedSinceAppStart_ = true;
  return true;
}

// The rules in this order; the first that holds decides.
bool Keychain::isLocked() {
  if (manuallyLocked_ || !masterPassword_) return true;
  if ((lockOptions_ & kLockAfterSleep) && lastSleepWakeUUID_ != currentSleepWakeUUID()) return true;
  if ((lockOptions_ & kLockAfterIdle) && inactivityLock_) return true;
  if ((lockOptions_ & kLockAtStart) && !unlockedSinceAppStart_) return true;
  return false;
}

void Keychain::setLockOptions(int32_t options, int32_t idleMinutes) {
  lockOptions_ = options;
  lockIdleMinutes_ = idleMinutes;
  unlockedSinceAppStart_ = true;
}

void Keychain::receiveWakeNote() { currentSleepWakeUUID_ = services_.sleepWakeUUID().value_or(""); }

const std::string& Keychain::currentSleepWakeUUID() {
  if (currentSleepWakeUUID_.empty()) currentSleepWakeUUID_ = services_.sleepWakeUUID().value_or("");
  return currentSleepWakeUUID_;
}

// ---- Archive passwords

std::string Keychain::passwordAtIndex(size_t index) const {
  return index < passwords_.size() ? passwords_[index] : std::string();
}

void Keychain::replacePasswordAtIndex(size_t index, const std::string& password) {
  if (password.empty() || index >= passwords_.size()) return;
  passwords_[index] = password;
}

bool Keychain::addPassword(const std::string& password) {
  if (password.empty()) return false;
  if (std::find(passwords_.begin(), passwords_.end(), password) != passwords_.end()) return true;
  passwords_.push_back(password);
  dirty_ = true;
  return save();
}

bool Keychain::removePasswordAtIndex(size_t index) {
  if (index >= passwords_.size()) return false;
  passwords_.erase(passwords_.begin() + static_cast<std::ptrdiff_t>(index));
  return save();
}

bool Keychain::removePassword(const std::string& password) {
  if (password.empty()) return false;
  auto it = std::find(passwords_.begin(), passwords_.end(), password);
  if (it == passwords_.end()) return true;
  passwords_.erase(it);
  return save();
}

bool Keychain::removeAllPasswords() {
  passwords_.clear();
  return save();
}

std::optional<std::vector<std::string>> Keychain::enumerator() {
  if (isLocked()) return std::nullopt;
  return passwords_;
}

std::string Keychain::exportPasswords() const {
  std::string text;
  for (size_t i = 0; i < passwords_.size(); ++i) {
    if (i) text += '\n';
    text += passwords_[i];
  }
  return text;
}

bool Keychain::importPasswords(const std::string& text) {
  std::vector<std::string> list;
  size_t start = 0;
  while (true) {
    const size_t end = text.find('\n', start);
    list.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  passwords_ = std::move(list);
  return save();
}

// ---- Preset passwords

bool Keychain::setPasswordForPreset(const std::string& password, int32_t tag) {
  presetPasswords_[tag] = password;
  return true;
}

bool Keychain::addPasswordForPreset(const std::string& password, int32_t tag) {
  presetPasswords_[tag] = password;
  return save();
}

void Keychain::removePasswordForPreset(int32_t tag) {
  presetPasswords_.erase(tag);
  save();
}

void Keychain::savePresetPasswordForTag(int32_t tag) {
  auto it = presetPasswords_.find(tag);
  if (it == presetPasswords_.end()) return;
  const std::string name = presetItemName(tag);
  deleteItemsOfKind(kPresetPasswordKind, name);
  addItem(name, kPresetPasswordKind, it->second);
}

void Keychain::savePresetPasswordForTagFromKeychain(int32_t tag) {
  const auto secrets = getItemsOfKind(kPresetPasswordKind, presetItemName(tag));
  if (!secrets.empty()) presetPasswords_[tag] = secrets.front();
}

void Keychain::removePasswordForPresetFromKeychain(int32_t tag) {
  deleteItemsOfKind(kPresetPasswordKind, presetItemName(tag));
}

// ---- Storage

bool Keychain::resetRecord() {
  try {
    if (const auto stored = defaults().objectForKey(kPasswordsDefaultsKey)) {
      if (!defaults().setObject(kDamagedPasswordsDefaultsKey, *stored)) return false;
      if (!defaults().removeObjectForKey(kPasswordsDefaultsKey)) return false;
    }
    deleteItemsOfKind(kMasterPasswordKind, std::nullopt);
    masterPassword_.reset();
    passwords_.clear();
    presetPasswords_.clear();
    lockOptions_ = 0;
    lockIdleMinutes_ = 0;
    recordUnreadable_ = false;
    return true;
  } catch (...) {
    return false;
  }
}

bool Keychain::save() {
  try {
    if (recordUnreadable_ || !masterPassword_ || masterPassword_->empty()) return false;
    const double now = services_.now();
    PlistArray passwords(passwords_.begin(), passwords_.end());
    PlistDictionary presets;
    for (const auto& [tag, password] : presetPasswords_) presets.emplace(std::to_string(tag), password);
    PlistDictionary record{
        {"lockOptions", PropertyList(int64_t{lockOptions_})},
        {"idleMinutes", PropertyList(int64_t{lockIdleMinutes_})},
        {"lastActivity", PropertyList(PlistDate{isLocked() ? kDistantPast : now})},
        {"lastSleepWakeUUID", PropertyList(lastSleepWakeUUID_)},
        {"passwords", PropertyList(std::move(passwords))},
        {"presetPasswords", PropertyList(std::move(presets))},
        {"salt", PropertyList(PlistDate{now})},
    };
    auto archive = KeyedArchiver::archivedData(PropertyList(std::move(record)));
    if (!archive) return false;
    auto enciphered = RNEncryptor::encrypt(*archive, *masterPassword_);
    if (!enciphered) return false;
    return defaults().setObject(kPasswordsDefaultsKey, PropertyList(PlistData{std::move(*enciphered)}));
  } catch (...) {
    return false;
  }
}

bool Keychain::load() {
  try {
    const auto stored = defaults().objectForKey(kPasswordsDefaultsKey);
    const auto* data = stored ? stored->get<PlistData>() : nullptr;
    if (!data || !masterPassword_) return false;
    const auto plain = RNDecryptor::decrypt(data->bytes, *masterPassword_);
    if (!plain) return false;
    const auto record = KeyedArchiver::unarchive(
        std::string_view(reinterpret_cast<const char*>(plain->data()), plain->size()));
    if (!record || !record->is<PlistDictionary>()) return false;

    lockOptions_ = clampedInteger(record->find("lockOptions"));
    lockIdleMinutes_ = clampedInteger(record->find("idleMinutes"));
    if (lockOptions_ & kLockAfterIdle) {
      const auto* last = record->find("lastActivity");
      const auto* date = last ? last->get<PlistDate>() : nullptr;
      const double since = services_.now() - (date ? date->unixSeconds : kDistantPast);
      if (since > static_cast<double>(lockIdleMinutes_) * 60.0) inactivityLock_ = true;
    }
    const auto* uuid = record->find("lastSleepWakeUUID");
    lastSleepWakeUUID_ = uuid && uuid->asString() ? *uuid->asString() : std::string();

    std::vector<std::string> passwords;
    if (const auto* list = record->find("passwords"); list && list->is<PlistArray>())
      for (const auto& item : *list->get<PlistArray>())
        if (const auto* text = item.get<std::string>()) passwords.push_back(*text);
    std::map<int32_t, std::string> presets;
    if (const auto* dict = record->find("presetPasswords"); dict && dict->is<PlistDictionary>())
      for (const auto& [key, value] : *dict->get<PlistDictionary>())
        if (const auto tag = tagOf(key); tag && value.is<std::string>())
          presets[*tag] = *value.get<std::string>();
    passwords_ = std::move(passwords);
    presetPasswords_ = std::move(presets);
    return true;
  } catch (...) {
    return false;
  }
}

bool Keychain::saveToKeychain() {
  deleteItemsOfKind(kArchivePasswordKind, std::nullopt);
  int counter = 1;
  for (const auto& password : passwords_) {
    if (password.empty()) continue;
    addItem("Tessaro password " + std::to_string(counter++), kArchivePasswordKind, password);
  }
  passwords_ = getItemsOfKind(kArchivePasswordKind, std::nullopt);
  return true;
}

bool Keychain::loadFromKeychain() {
  const auto modes = getItemsOfKind(kSecurityOptionKind, std::nullopt);
  if (!modes.empty()) {
    if (auto value = tagOf(modes.front())) mode_ = *value;
  }
  passwords_ = getItemsOfKind(kArchivePasswordKind, std::nullopt);
  return true;
}

bool Keychain::loadMasterPasswordFromKeychain() {
  const auto secrets = getItemsOfKind(kMasterPasswordKind, std::nullopt);
  if (secrets.empty()) return false;
  masterPassword_ = secrets.front();
  return true;
}

// ---- Master password and mode

void Keychain::setMasterPassword(const std::string& password) {
  if (password.empty() || (masterPassword_ && *masterPassword_ == password)) return;
  masterPassword_ = password;
  save();
  replaceMasterPasswordItem();
}

void Keychain::setMode(int32_t mode) {
  mode_ = mode;
  defaults().setObject(kPasswordsModeDefaultsKey, PropertyList(int64_t{mode}));
}

void Keychain::replaceMasterPasswordItem() {
  if (!masterPassword_) return;
  deleteItemsOfKind(kMasterPasswordKind, std::nullopt);
  addItem(kMasterPasswordName, kMasterPasswordKind, *masterPassword_);
}

// ---- Single values

std::optional<std::string> Keychain::encryptString(const std::string& text) {
  if (text.empty() || !masterPassword_) return std::nullopt;
  auto data = RNEncryptor::encrypt(text, *masterPassword_);
  if (!data) return std::nullopt;
  return std::string(data->begin(), data->end());
}

std::string Keychain::decryptString(std::string_view data) {
  if (!masterPassword_) return {};
  auto plain = RNDecryptor::decrypt(data, *masterPassword_);
  return plain ? std::string(plain->begin(), plain->end()) : std::string();
}

// ---- Keychain access

std::vector<std::string> Keychain::getItemsOfKind(std::string_view kind,
                                                  const std::optional<std::string>& name) {
  std::vector<keychain::Item> items;
  const keychain::Status status = services_.items->search(kind, name, items);
  if (status != keychain::kStatusOK) {
    HLVLog(kLogTrace, "status %d from SecKeychainSearchCreateFromAttributes\n", static_cast<int>(status));
    return {};
  }
  std::vector<std::string> secrets;
  std::set<std::string> seen;
  for (const auto& item : items) {
    std::string secret = getPasswordFromItem(item);
    if (seen.insert(secret).second) secrets.push_back(std::move(secret));
  }
  return secrets;
}

std::string Keychain::getPasswordFromItem(const keychain::Item& item) {
  return item.secret.substr(0, kMaxSecretBytes);
}

void Keychain::deleteItemsOfKind(std::string_view kind, const std::optional<std::string>& name) {
  std::vector<int> failures;
  const keychain::Status status = services_.items->deleteItems(kind, name, failures);
  if (status != keychain::kStatusOK)
    HLVLog(kLogTrace, "status %d from SecKeychainSearchCreateFromAttributes\n", static_cast<int>(status));
  for (int failure : failures) HLVLog(kLogError, "Error deleting item: %d\n", failure);
}

void Keychain::addItem(std::string_view name, std::string_view kind, std::string_view value) {
  const keychain::Status status = services_.items->addItem(name, kind, value);
  if (status != keychain::kStatusOK)
    HLVLog(kLogError, "Error creating new item: %d\n", static_cast<int>(status));
}

}  // namespace tessaro
