// The RNCryptor data format, version 3, password-based: the enciphering of the password store.
//
//   byte 0        version (3)
//   byte 1        options (1: keys derived from a password)
//   bytes 2-9     salt of the encryption key
//   bytes 10-17   salt of the HMAC key
//   bytes 18-33   IV
//   ...           AES-256-CBC ciphertext with PKCS#7 padding
//   last 32       HMAC-SHA256 over everything before it
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tessaro {

using RNBytes = std::vector<uint8_t>;
using RNKey = std::array<uint8_t, 32>;
using RNSalt = std::array<uint8_t, 8>;
using RNIV = std::array<uint8_t, 16>;

// The format's constants and the primitives both directions share.
class RNCryptor {
 public:
  static constexpr uint8_t kVersion = 3;
  static constexpr uint8_t kOptionsPassword = 1;
  static constexpr size_t kHeaderSize = 2 + 8 + 8 + 16;
  static constexpr size_t kHMACSize = 32;
  static constexpr size_t kBlockSize = 16;
  static constexpr int kPBKDF2Rounds = 10000;

  // PBKDF2-HMAC-SHA1 of the UTF-8 password over the salt; empty on a library failure.
  static std::optional<RNKey> keyForPassword(std::string_view password, std::span<const uint8_t> salt);
  // From the system's secure random source; false when it cannot deliver.
  static bool randomBytes(std::span<uint8_t> out);
  static std::optional<std::array<uint8_t, 32>> hmacSHA256(const RNKey& key, std::span<const uint8_t> data);
};

// AES-256-CBC with PKCS#7 padding over a whole buffer.
class RNCryptorEngine {
 public:
  enum class Direction { encrypt, decrypt };
  // Empty on failure, which for deciphering includes bad padding.
  static std::optional<RNBytes> run(Direction direction, const RNKey& key, const RNIV& iv,
                                    std::span<const uint8_t> input);
};

class RNEncryptor {
 public:
  // Fresh salts and IV from the secure random source; empty on failure.
  static std::optional<RNBytes> encrypt(std::span<const uint8_t> plaintext, std::string_view password);
  static std::optional<RNBytes> encrypt(std::string_view plaintext, std::string_view password);
  // Fixed salts and IV, for checks against known answers.
  static std::optional<RNBytes> encrypt(std::span<const uint8_t> plaintext, std::string_view password,
                                        const RNSalt& encryptionSalt, const RNSalt& hmacSalt, const RNIV& iv);
};

class RNDecryptor {
 public:
  // Empty for another version or options byte, a short record, a failed HMAC (checked before
  // anything is deciphered) or bad padding.
  static std::optional<RNBytes> decrypt(std::span<const uint8_t> record, std::string_view password);
  static std::optional<RNBytes> decrypt(std::string_view record, std::string_view password);
};

}  // namespace tessaro
