#include "RNCryptor.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <new>

namespace tessaro {

namespace {

std::span<const uint8_t> bytesOf(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Key material is wiped before its memory is given back.
struct KeyPair {
  RNKey encryption{};
  RNKey hmac{};
  ~KeyPair() {
    OPENSSL_cleanse(encryption.data(), encryption.size());
    OPENSSL_cleanse(hmac.data(), hmac.size());
  }
};

bool deriveKeys(std::string_view password, std::span<const uint8_t> encryptionSalt,
                std::span<const uint8_t> hmacSalt, KeyPair& keys) {
  auto e = RNCryptor::keyForPassword(password, encryptionSalt);
  auto h = RNCryptor::keyForPassword(password, hmacSalt);
  if (!e || !h) return false;
  keys.encryption = *e;
  keys.hmac = *h;
  OPENSSL_cleanse(e->data(), e->size());
  OPENSSL_cleanse(h->data(), h->size());
  return true;
}

}  // namespace

std::optional<RNKey> RNCryptor::keyForPassword(std::string_view password, std::span<const uint8_t> salt) {
  if (password.size() > INT_MAX || salt.size() > INT_MAX) return std::nullopt;
  RNKey key{};
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                        static_cast<int>(salt.size()), kPBKDF2Rounds, EVP_sha1(),
                        static_cast<int>(key.size()), key.data()) != 1)
    return std::nullopt;
  return key;
}

bool RNCryptor::randomBytes(std::span<uint8_t> out) {
  if (out.size() > INT_MAX) return false;
  return RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

std::optional<std::array<uint8_t, 32>> RNCryptor::hmacSHA256(const RNKey& key,
                                                             std::span<const uint8_t> data) {
  std::array<uint8_t, 32> mac{};
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), mac.data(),
            &length) ||
      length != mac.size())
    return std::nullopt;
  return mac;
}

std::optional<RNBytes> RNCryptorEngine::run(Direction direction, const RNKey& key, const RNIV& iv,
                                            std::span<const uint8_t> input) {
  try {
    if (input.size() > static_cast<size_t>(INT_MAX) - RNCryptor::kBlockSize) return std::nullopt;
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    if (!ctx) return std::nullopt;
    const int enc = direction == Direction::encrypt ? 1 : 0;
    // PKCS#7 padding is the cipher context's default.
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data(), enc) != 1)
      return std::nullopt;
    RNBytes out(input.size() + RNCryptor::kBlockSize);
    int written = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &written, input.data(), static_cast<int>(input.size())) != 1)
      return std::nullopt;
    int tail = 0;
    if (EVP_CipherFinal_ex(ctx.get(), out.data() + written, &tail) != 1) {
      OPENSSL_cleanse(out.data(), out.size());
      return std::nullopt;
    }
    out.resize(static_cast<size_t>(written) + static_cast<size_t>(tail));
    return out;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<RNBytes> RNEncryptor::encrypt(std::span<const uint8_t> plaintext, std::string_view password,
                                            const RNSalt& encryptionSalt, const RNSalt& hmacSalt,
                                            const RNIV& iv) {
  try {
    KeyPair keys;
    if (!deriveKeys(password, encryptionSalt, hmacSalt, keys)) return std::nullopt;
    auto cipher = RNCryptorEngine::run(RNCryptorEngine::Direction::encrypt, keys.encryption, iv, plaintext);
    if (!cipher) return std::nullopt;
    RNBytes record;
    record.reserve(RNCryptor::kHeaderSize + cipher->size() + RNCryptor::kHMACSize);
    record.push_back(RNCryptor::kVersion);
    record.push_back(RNCryptor::kOptionsPassword);
    record.insert(record.end(), encryptionSalt.begin(), encryptionSalt.end());
    record.insert(record.end(), hmacSalt.begin(), hmacSalt.end());
    record.insert(record.end(), iv.begin(), iv.end());
    record.insert(record.end(), cipher->begin(), cipher->end());
    auto mac = RNCryptor::hmacSHA256(keys.hmac, record);
    if (!mac) return std::nullopt;
    record.insert(record.end(), mac->begin(), mac->end());
    return record;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<RNBytes> RNEncryptor::encrypt(std::span<const uint8_t> plaintext, std::string_view password) {
  RNSalt encryptionSalt{}, hmacSalt{};
  RNIV iv{};
  if (!RNCryptor::randomBytes(encryptionSalt) || !RNCryptor::randomBytes(hmacSalt) ||
      !RNCryptor::randomBytes(iv))
    return std::nullopt;
  return encrypt(plaintext, password, encryptionSalt, hmacSalt, iv);
}

std::optional<RNBytes> RNEncryptor::encrypt(std::string_view plaintext, std::string_view password) {
  return encrypt(bytesOf(plaintext), password);
}

std::optional<RNBytes> RNDecryptor::decrypt(std::span<const uint8_t> record, std::string_view password) {
  try {
    // The smallest record holds one padded block.
    if (record.size() < RNCryptor::kHeaderSize + RNCryptor::kBlockSize + RNCryptor::kHMACSize)
      return std::nullopt;
    if (record[0] != RNCryptor::kVersion || record[1] != RNCryptor::kOptionsPassword) return std::nullopt;
    const size_t cipherSize = record.size() - RNCryptor::kHeaderSize - RNCryptor::kHMACSize;
    if (cipherSize % RNCryptor::kBlockSize != 0) return std::nullopt;

    KeyPair keys;
    if (!deriveKeys(password, record.subspan(2, 8), record.subspan(10, 8), keys)) return std::nullopt;
    const auto signedPart = record.first(record.size() - RNCryptor::kHMACSize);
    auto mac = RNCryptor::hmacSHA256(keys.hmac, signedPart);
    if (!mac || CRYPTO_memcmp(mac->data(), record.data() + signedPart.size(), mac->size()) != 0)
      return std::nullopt;

    RNIV iv{};
    std::copy_n(record.begin() + 18, iv.size(), iv.begin());
    return RNCryptorEngine::run(RNCryptorEngine::Direction::decrypt, keys.encryption, iv,
                                record.subspan(RNCryptor::kHeaderSize, cipherSize));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<RNBytes> RNDecryptor::decrypt(std::string_view record, std::string_view password) {
  return decrypt(bytesOf(record), password);
}

}  // namespace tessaro
