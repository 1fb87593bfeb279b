// The password store: archive passwords tried when an archive asks for one, per-preset
// passwords for creating archives, and the master password that enciphers the list in the
// host's preferences, with a lock that idle time, a sleep of the machine or a restart triggers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ProcessGlobals.h"
#include "keychain/KeychainItems.h"

namespace tessaro {

class UserDefaults;

// Item kinds (the items' descriptions) and names (their accounts).
inline constexpr std::string_view kMasterPasswordKind = "Tessaro Master password";
inline constexpr std::string_view kMasterPasswordName = "Tessaro Master Password";
inline constexpr std::string_view kArchivePasswordKind = "Archive password";
inline constexpr std::string_view kPresetPasswordKind = "Save preset password";
inline constexpr std::string_view kSecurityOptionKind = "Security option";

// Defaults keys: the enciphered record and the mirrored storage mode.
inline constexpr std::string_view kPasswordsDefaultsKey = "HLVPasswords";
inline constexpr std::string_view kPasswordsModeDefaultsKey = "HLVPasswordsMode";
// Where resetRecord() keeps a record that no longer opened.
inline constexpr std::string_view kDamagedPasswordsDefaultsKey = "HLVPasswordsSetAside";

// lockOptions bits.
inline constexpr int32_t kLockAfterIdle = 0x1;
inline constexpr int32_t kLockAtStart = 0x2;
inline constexpr int32_t kLockAfterSleep = 0x4;

// Where the store keeps its items; the secret service by default, a stand-in in tests.
class KeychainItemStore {
 public:
  virtual ~KeychainItemStore() = default;
  virtual keychain::Status search(std::string_view kind, const std::optional<std::string>& name,
                                  std::vector<keychain::Item>& items) = 0;
  virtual keychain::Status deleteItems(std::string_view kind, const std::optional<std::string>& name,
                                       std::vector<int>& failures) = 0;
  virtual keychain::Status addItem(std::string_view name, std::string_view kind, std::string_view secret) = 0;
};

// What the store reads from the system, replaceable so that tests can drive the lock triggers.
struct KeychainServices {
  // Unix seconds.
  std::function<double()> now;
  std::function<std::optional<std::string>()> sleepWakeUUID;
  UserDefaults* defaults = nullptr;
  std::shared_ptr<KeychainItemStore> items;

  // The system clock, the machine's sleep/wake identifier, the standard defaults, the secret service.
  static KeychainServices system();
};

class Keychain {
 public:
  // Reads the mode, then the record when a master password item exists (the keychain's archive
  // password items when the record does not open). Locked when there is no master password item.
  explicit Keychain(KeychainServices services = KeychainServices::system());

  // ---- Life
  void lock();
  bool unlockWithMasterPassword(const std::string& password);
  bool isLocked();
  void setLockOptions(int32_t options, int32_t idleMinutes);
  // Called after every wake of the machine.
  void receiveWakeNote();

  // ---- Archive passwords
  size_t passwordCount() const { return passwords_.size(); }
  // "" beyond the end.
  std::string passwordAtIndex(size_t index) const;
  void replacePasswordAtIndex(size_t index, const std::string& password);
  bool addPassword(const std::string& password);
  bool removePasswordAtIndex(size_t index);
  bool removePassword(const std::string& password);
  bool removeAllPasswords();
  // None while locked.
  std::optional<std::vector<std::string>> enumerator();
  std::string exportPasswords() const;
  bool importPasswords(const std::string& text);

  // ---- Preset passwords
  bool setPasswordForPreset(const std::string& password, int32_t tag);
  bool addPasswordForPreset(const std::string& password, int32_t tag);
  void removePasswordForPreset(int32_t tag);
  void savePresetPasswordForTag(int32_t tag);
  void savePresetPasswordForTagFromKeychain(int32_t tag);
  void removePasswordForPresetFromKeychain(int32_t tag);
  const std::map<int32_t, std::string>& presetPasswords() const { return presetPasswords_; }

  // ---- Storage
  // True when a record is stored but does not open with the master password the keychain holds
  // (changed or damaged): nothing is saved over it until resetRecord() has put it aside.
  bool recordUnreadable() const { return recordUnreadable_; }
  // Moves the stored record to kDamagedPasswordsDefaultsKey, forgets the master password and
  // every archive password, and leaves the store empty and locked, ready for a new master password.
  bool resetRecord();
  bool save();
  bool load();
  bool saveToKeychain();
  bool loadFromKeychain();
  bool loadMasterPasswordFromKeychain();
  void setClean() { dirty_ = false; }

  // ---- Master password and mode
  const std::optional<std::string>& masterPassword() const { return masterPassword_; }
  void setMasterPassword(const std::string& password);
  int32_t mode() const { return mode_; }
  void setMode(int32_t mode);

  // ---- Single values
  std::optional<std::string> encryptString(const std::string& text);
  std::string decryptString(std::string_view data);

  // ---- Keychain access
  std::vector<std::string> getItemsOfKind(std::string_view kind, const std::optional<std::string>& name);
  // The item's secret cut to 1023 bytes.
  static std::string getPasswordFromItem(const keychain::Item& item);
  void deleteItemsOfKind(std::string_view kind, const std::optional<std::string>& name);
  void addItem(std::string_view name, std::string_view kind, std::string_view value);

  // ---- Properties
  bool manuallyLocked() const { return manuallyLocked_; }
  bool dirty() const { return dirty_; }
  int32_t lockOptions() const { return lockOptions_; }
  int32_t lockIdleMinutes() const { return lockIdleMinutes_; }
  // Obtained from the machine when still empty.
  const std::string& currentSleepWakeUUID();
  void setCurrentSleepWakeUUID(std::string uuid) { currentSleepWakeUUID_ = std::move(uuid); }
  const std::string& lastSleepWakeUUID() const { return lastSleepWakeUUID_; }
  bool unlockedSinceAppStart() const { return unlockedSinceAppStart_; }

 private:
  void replaceMasterPasswordItem();
  UserDefaults& defaults() const;

  KeychainServices services_;
  std::vector<std::string> passwords_;
  std::map<int32_t, std::string> presetPasswords_;
  std::optional<std::string> masterPassword_;
  std::string lastSleepWakeUUID_;
  int32_t mode_ = 0;
  bool unlockedSinceAppStart_ = false;
  bool inactivityLock_ = false;
  bool manuallyLocked_ = false;
  bool dirty_ = false;
  bool recordUnreadable_ = false;
  int32_t lockOptions_ = 0;
  int32_t lockIdleMinutes_ = 0;
  std::string currentSleepWakeUUID_;
};

}  // namespace tessaro
