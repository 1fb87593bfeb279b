#include "RNCryptor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process/Subprocess.h"
#include "support/TempDir.h"

namespace tessaro {
namespace {

RNBytes bytes(std::string_view s) { return RNBytes(s.begin(), s.end()); }

std::string hex(std::span<const uint8_t> b) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (uint8_t c : b) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// The openssl tool's answer as bytes.
RNBytes openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/usr/bin/openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  SubprocessOptions options;
  options.separateErrorOutput = true;
  SubprocessResult result = run(argv, options);
  EXPECT_TRUE(result.started) << "openssl could not be started";
  EXPECT_EQ(result.exitStatus, 0) << result.errorOutput;
  return bytes(result.output);
}

RNBytes pbkdf2(std::string_view password, std::span<const uint8_t> salt) {
  return openssl({"kdf", "-binary", "-keylen", "32", "-kdfopt", "digest:SHA1", "-kdfopt",
                  "hexpass:" + hex(bytes(password)), "-kdfopt", "hexsalt:" + hex(salt), "-kdfopt",
                  "iter:10000", "PBKDF2"});
}

// Re-signs a record after a deliberate change, so that a check other than the HMAC is exercised.
void resign(RNBytes& record, std::string_view password) {
  auto key = RNCryptor::keyForPassword(password, std::span(record).subspan(10, 8));
  ASSERT_TRUE(key);
  record.resize(record.size() - RNCryptor::kHMACSize);
  auto mac = RNCryptor::hmacSHA256(*key, record);
  ASSERT_TRUE(mac);
  record.insert(record.end(), mac->begin(), mac->end());
}

TEST(RNCryptorTest, RoundTripsAcrossBlockBoundariesAndFreshRandomness) {
  const std::string password = "m\xc3\xa4ster p\xc3\xa4ss";
  for (size_t size : {0u, 1u, 15u, 16u, 17u, 1000u}) {
    std::string plain(size, '\0');
    for (size_t i = 0; i < size; ++i) plain[i] = static_cast<char>(i * 7 + 3);
    auto first = RNEncryptor::encrypt(plain, password);
    auto second = RNEncryptor::encrypt(plain, password);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->size(), RNCryptor::kHeaderSize + (size / 16 + 1) * 16 + RNCryptor::kHMACSize);
    EXPECT_EQ((*first)[0], 3);
    EXPECT_EQ((*first)[1], 1);
    // Salts and IV are fresh for every record.
    EXPECT_NE(RNBytes(first->begin() + 2, first->begin() + 34),
              RNBytes(second->begin() + 2, second->begin() + 34));
    auto back = RNDecryptor::decrypt(*first, password);
    ASSERT_TRUE(back) << size;
    EXPECT_EQ(*back, bytes(plain));
    EXPECT_EQ(RNDecryptor::decrypt(*second, password), bytes(plain));
    EXPECT_FALSE(RNDecryptor::decrypt(*first, "master pass"));
    EXPECT_FALSE(RNDecryptor::decrypt(*first, ""));
  }
}

TEST(RNCryptorTest, MatchesRecordBuiltWithOpensslTool) {
  test::TempDir dir;
  const std::string password = "correct horse \xe2\x9c\x93";
  const std::string plain = "passwords\nand more than one block of them, 40+ bytes";
  const RNSalt encryptionSalt{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
  const RNSalt hmacSalt{0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x96, 0x87};
  const RNIV iv{0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe,
                0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};

  const RNBytes encryptionKey = pbkdf2(password, encryptionSalt);
  const RNBytes hmacKey = pbkdf2(password, hmacSalt);
  ASSERT_EQ(encryptionKey.size(), 32u);
  ASSERT_EQ(hmacKey.size(), 32u);
  auto ourKey = RNCryptor::keyForPassword(password, encryptionSalt);
  ASSERT_TRUE(ourKey);
  EXPECT_EQ(RNBytes(ourKey->begin(), ourKey->end()), encryptionKey);

  const auto plainPath = dir.write("plain", plain);
  const auto cipherPath = dir.path() / "cipher";
  openssl({"enc", "-aes-256-cbc", "-K", hex(encryptionKey), "-iv", hex(iv), "-in", plainPath.string(), "-out",
           cipherPath.string()});
  RNBytes expected{3, 1};
  expected.insert(expected.end(), encryptionSalt.begin(), encryptionSalt.end());
  expected.insert(expected.end(), hmacSalt.begin(), hmacSalt.end());
  expected.insert(expected.end(), iv.begin(), iv.end());
  const RNBytes cipher = bytes(test::readFile(cipherPath));
  ASSERT_EQ(cipher.size(), 64u);
  expected.insert(expected.end(), cipher.begin(), cipher.end());
  const auto signedPath = dir.write("signed", std::string(expected.begin(), expected.end()));
  const RNBytes mac = openssl({"mac", "-binary", "-digest", "SHA256", "-macopt", "hexkey:" + hex(hmacKey),
                               "-in", signedPath.string(), "HMAC"});
  ASSERT_EQ(mac.size(), 32u);
  expected.insert(expected.end(), mac.begin(), mac.end());

  auto ours = RNEncryptor::encrypt(bytes(plain), password, encryptionSalt, hmacSalt, iv);
  ASSERT_TRUE(ours);
  EXPECT_EQ(hex(*ours), hex(expected));
  EXPECT_EQ(RNDecryptor::decrypt(expected, password), bytes(plain));
}

TEST(RNCryptorTest, RejectsAlteredTruncatedExtendedAndForeignRecords) {
  const std::string password = "pw";
  auto record = RNEncryptor::encrypt(std::string_view("a short secret"), password);
  ASSERT_TRUE(record);
  ASSERT_EQ(record->size(), 34u + 16u + 32u);
  for (size_t i = 0; i < record->size(); ++i) {
    for (uint8_t flip : {uint8_t{0x01}, uint8_t{0x80}}) {
      RNBytes altered = *record;
      altered[i] ^= flip;
      EXPECT_FALSE(RNDecryptor::decrypt(altered, password)) << "byte " << i << " flip " << int(flip);
    }
  }
  for (size_t length = 0; length < record->size(); ++length)
    EXPECT_FALSE(RNDecryptor::decrypt(std::span(*record).first(length), password)) << length;
  RNBytes longer = *record;
  longer.push_back(0);
  EXPECT_FALSE(RNDecryptor::decrypt(longer, password));

  // Another version or the key-based variant, correctly signed, are still not ours to read.
  for (auto [index, value] : {std::pair{0, 2}, std::pair{0, 4}, std::pair{1, 0}}) {
    RNBytes foreign = *record;
    foreign[static_cast<size_t>(index)] = static_cast<uint8_t>(value);
    resign(foreign, password);
    EXPECT_FALSE(RNDecryptor::decrypt(foreign, password)) << index << "=" << value;
  }
  RNBytes same = *record;
  resign(same, password);
  EXPECT_EQ(same, *record);
}

TEST(RNCryptorTest, RejectsSignedRecordWithBadPadding) {
  // A record whose HMAC is right but whose last block does not unpad (a writer's fault).
  const std::string password = "pw";
  const RNSalt salt{};
  const RNIV iv{};
  auto key = RNCryptor::keyForPassword(password, salt);
  ASSERT_TRUE(key);
  RNBytes block(16, 0x41);
  auto cipher = RNCryptorEngine::run(RNCryptorEngine::Direction::encrypt, *key, iv, block);
  ASSERT_TRUE(cipher);
  RNBytes record{3, 1};
  record.insert(record.end(), 32, 0);
  record.insert(record.end(), cipher->begin(), cipher->begin() + 16);  // padding block left off
  record.insert(record.end(), 32, 0);
  resign(record, password);
  EXPECT_FALSE(RNDecryptor::decrypt(record, password));
}

}  // namespace
}  // namespace tessaro
