#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "crypto/aes.h"
#include "crypto/base64.h"
#include "crypto/field_cipher.h"
#include "crypto/hex.h"
#include "loader/loader.h"

namespace {

const std::string kKey = "0123456789abcdef";
const std::string kIv = "fedcba9876543210";

// The stored form of raw plaintext blocks, with no padding added.
std::string seal_raw(const std::string& plain, const std::string& key = kKey,
                     const std::string& iv = kIv) {
  AES aes;
  aes.MakeKey(key.data(), iv.data(), 16, 16);
  std::string out(plain.size(), '\0');
  aes.Encrypt(plain.data(), &out[0], static_cast<int64_t>(plain.size()), AES::CBC);
  return base64_encode(reinterpret_cast<const unsigned char*>(out.data()),
                       static_cast<uint32_t>(out.size()));
}

std::string b64(const std::string& bytes) {
  return base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<uint32_t>(bytes.size()));
}

}  // namespace

TEST(FieldCipher, PaddingCheck) {
  Ploader loader;
  const std::string body(13, 'v');
  // Good padding of 3.
  EXPECT_EQ(loader._aes_decrypt(kKey, kIv, seal_raw(body + "\x03\x03\x03")), body);
  // A pad byte that does not match makes the whole value empty.
  EXPECT_EQ(loader._aes_decrypt(kKey, kIv, seal_raw(body + "\x03\x07\x03")), "");
  // A pad of 1 strips one byte, whatever precedes it.
  EXPECT_EQ(loader._aes_decrypt(kKey, kIv, seal_raw(body + "\x05\x05\x01")), body + "\x05\x05");
  // Pad values up to 22 are honoured, beyond a whole block.
  const std::string long_body(10, 'w');
  EXPECT_EQ(loader._aes_decrypt(kKey, kIv, seal_raw(long_body + std::string(22, '\x16'))),
            long_body);
  // A pad longer than the data is wrong padding, never a read before it.
  EXPECT_EQ(loader._aes_decrypt(kKey, kIv, seal_raw(std::string(16, '\x11'))), "");
  EXPECT_EQ(loader._aes_decrypt(kKey, kIv, seal_raw(std::string(16, '\x14'))), "");
  // Values outside 1..22 strip nothing; the value then ends at its first NUL.
  EXPECT_EQ(loader._aes_decrypt(kKey, kIv, seal_raw(body + "ab\x17")), body + "ab\x17");
  EXPECT_EQ(loader._aes_decrypt(kKey, kIv, seal_raw(body + "ab\x80")), body + "ab\x80");
  EXPECT_EQ(loader._aes_decrypt(kKey, kIv, seal_raw("abc" + std::string(13, '\0'))), "abc");
  // A deciphered value ends at its first NUL byte.
  EXPECT_EQ(
      loader._aes_decrypt(kKey, kIv, loader._aes_encrypt(kKey, kIv, std::string("ab\0cd", 5))),
      "ab");
}

TEST(FieldCipher, UndecipherableDataStillGoesThroughThePaddingStep) {
  Ploader loader;
  // Three bytes are no whole block: they pass undeciphered, then unpadded.
  EXPECT_EQ(loader._aes_decrypt(kKey, kIv, b64(std::string("hi\x01", 3))), "hi");
  EXPECT_EQ(loader._aes_decrypt(kKey, kIv, b64(std::string("hi\x02", 3))), "");
  EXPECT_EQ(loader._aes_decrypt(kKey, kIv, b64(std::string("hi\x80", 3))), "hi\x80");
}

TEST(FieldCipher, ShortKeyOrIvIsFilledWithZeroBytes) {
  Ploader loader;
  const std::string zeros(16, '\0');
  const std::string value = "some value";
  EXPECT_EQ(loader._aes_encrypt(kKey, "abc", value),
            loader._aes_encrypt(kKey, std::string("abc") + std::string(13, '\0'), value));
  EXPECT_EQ(loader._aes_encrypt(kKey, "", value), loader._aes_encrypt(kKey, zeros, value));
  EXPECT_EQ(loader._aes_encrypt("k", kIv, value),
            loader._aes_encrypt(std::string("k") + std::string(15, '\0'), kIv, value));
  // Only the first 16 bytes count.
  EXPECT_EQ(loader._aes_encrypt(kKey, kIv + "tail", value), loader._aes_encrypt(kKey, kIv, value));
  EXPECT_EQ(loader._aes_decrypt(kKey, "", loader._aes_encrypt(kKey, zeros, value)), value);
}

TEST(FieldCipher, DerivedKeys) {
  Ploader loader;
  const std::string field_key = loader.get_db_sgin();
  char key[17], chain[17];
  memset(key, 'X', sizeof key);
  memset(chain, 'X', sizeof chain);
  loader._get_sgin_key(key, chain);
  const std::string fallback = db_fallback_iv();
  for (const std::string& k : {field_key, std::string(key), std::string(chain), fallback}) {
    ASSERT_EQ(k.size(), 16u);
    for (char c : k) EXPECT_TRUE(c >= 0x20 && c <= 0x7e) << to_hex(k);
  }
  EXPECT_NE(std::string(key), std::string(chain));
  EXPECT_EQ(loader.get_db_sgin(), field_key);

  // The IV-file cipher is the field cipher under the IV-file key and chain.
  const std::string iv = "Ab3Cd4Ef5Gh6Ij7K";
  const std::string stored = loader._aes_encrypt_module(iv);
  EXPECT_EQ(stored, loader._aes_encrypt(key, chain, iv));
  EXPECT_EQ(loader._aes_decrypt_module(stored), iv);
  EXPECT_EQ(db_iv_path().substr(db_iv_path().size() - 12), "/data/div.pl");
}
