#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "crypto/aes.h"
#include "crypto/base64.h"
#include "crypto/field_cipher.h"
#include "crypto/hex.h"
#include "fail_call.h"
#include "test_support.h"

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
  const std::string body(13, 'v');
  // Good padding of 3.
  EXPECT_EQ(field_decrypt(kKey, kIv, seal_raw(body + "\x03\x03\x03")), body);
  // A pad byte that does not match makes the whole value empty.
  EXPECT_EQ(field_decrypt(kKey, kIv, seal_raw(body + "\x03\x07\x03")), "");
  // A pad of 1 strips one byte, whatever precedes it.
  EXPECT_EQ(field_decrypt(kKey, kIv, seal_raw(body + "\x05\x05\x01")), body + "\x05\x05");
  // Pad values up to 22 are honoured, beyond a whole block.
  const std::string long_body(10, 'w');
  EXPECT_EQ(field_decrypt(kKey, kIv, seal_raw(long_body + std::string(22, '\x16'))), long_body);
  // A pad longer than the data is wrong padding, never a read before it.
  EXPECT_EQ(field_decrypt(kKey, kIv, seal_raw(std::string(16, '\x11'))), "");
  EXPECT_EQ(field_decrypt(kKey, kIv, seal_raw(std::string(16, '\x14'))), "");
  // Values outside 1..22 strip nothing; the value then ends at its first NUL.
  EXPECT_EQ(field_decrypt(kKey, kIv, seal_raw(body + "ab\x17")), body + "ab\x17");
  EXPECT_EQ(field_decrypt(kKey, kIv, seal_raw(body + "ab\x80")), body + "ab\x80");
  EXPECT_EQ(field_decrypt(kKey, kIv, seal_raw("abc" + std::string(13, '\0'))), "abc");
  // A deciphered value ends at its first NUL byte.
  EXPECT_EQ(field_decrypt(kKey, kIv, field_encrypt(kKey, kIv, std::string("ab\0cd", 5))), "ab");
}

TEST(FieldCipher, UndecipherableDataStillGoesThroughThePaddingStep) {
  // Three bytes are no whole block: they pass undeciphered, then unpadded.
  EXPECT_EQ(field_decrypt(kKey, kIv, b64(std::string("hi\x01", 3))), "hi");
  EXPECT_EQ(field_decrypt(kKey, kIv, b64(std::string("hi\x02", 3))), "");
  EXPECT_EQ(field_decrypt(kKey, kIv, b64(std::string("hi\x80", 3))), "hi\x80");
}

TEST(FieldCipher, ShortKeyOrIvIsFilledWithZeroBytes) {
  const std::string zeros(16, '\0');
  const std::string value = "some value";
  EXPECT_EQ(field_encrypt(kKey, "abc", value),
            field_encrypt(kKey, std::string("abc") + std::string(13, '\0'), value));
  EXPECT_EQ(field_encrypt(kKey, "", value), field_encrypt(kKey, zeros, value));
  EXPECT_EQ(field_encrypt("k", kIv, value),
            field_encrypt(std::string("k") + std::string(15, '\0'), kIv, value));
  // Only the first 16 bytes count.
  EXPECT_EQ(field_encrypt(kKey, kIv + "tail", value), field_encrypt(kKey, kIv, value));
  EXPECT_EQ(field_decrypt(kKey, "", field_encrypt(kKey, zeros, value)), value);
}

TEST(FieldCipher, DerivedKeys) {
  const std::string field_key = db_field_key().text();
  FieldBlock key, chain;
  iv_file_key(key, chain);
  const std::string fallback = db_fallback_iv().text();
  for (const std::string& k : {field_key, key.text(), chain.text(), fallback}) {
    for (char c : k) EXPECT_TRUE(c >= 0x20 && c <= 0x7e) << to_hex(k);
  }
  EXPECT_NE(key.text(), chain.text());
  EXPECT_EQ(db_field_key().text(), field_key);

  // The IV-file cipher is the field cipher under the IV-file key and chain.
  const std::string iv = "Ab3Cd4Ef5Gh6Ij7K";
  const std::string stored = iv_file_encrypt(iv);
  EXPECT_EQ(stored, field_encrypt(key.text(), chain.text(), iv));
  EXPECT_EQ(iv_file_decrypt(stored), iv);
  EXPECT_EQ(db_iv_path().substr(db_iv_path().size() - 12), "/data/div.pl");
}

TEST(FieldCipher, IvOfTheIvFileText) {
  const auto iv_of = [](const std::string& text) {
    return to_hex(db_iv_of(text.data(), text.size()).text());
  };
  const std::string iv = "Ab3Cd4Ef5Gh6Ij7K";
  EXPECT_EQ(iv_of(iv_file_encrypt(iv)), to_hex(iv));
  // Decoding ends at the first byte outside the alphabet.
  EXPECT_EQ(iv_of(iv_file_encrypt(iv) + "\n" + iv_file_encrypt("other")), to_hex(iv));
  // A short IV is filled up with zero bytes, a long one cut; an empty or
  // wrongly padded text gives the all-zero IV.
  EXPECT_EQ(iv_of(iv_file_encrypt("short")), to_hex(std::string("short") + std::string(11, '\0')));
  EXPECT_EQ(iv_of(iv_file_encrypt(iv + "and more")), to_hex(iv));
  EXPECT_EQ(iv_of(""), to_hex(std::string(16, '\0')));
  EXPECT_EQ(iv_of(b64(std::string(16, 'x') + "\x02")), to_hex(std::string(16, '\0')));
  // A text longer than any the module writes deciphers the same way.
  const std::string long_iv = iv + std::string(2000, 'y');
  EXPECT_EQ(iv_of(iv_file_encrypt(long_iv)), to_hex(iv));
}

TEST(FieldCipher, IvFileIsKeptWhileTheSameFileIsAtItsPath) {
  ScratchDir dir;
  DbIvFile file(dir.file("div.pl"));
  FieldBlock iv;
  write_bytes(dir.file("div.pl"), iv_file_encrypt("Ab3Cd4Ef5Gh6Ij7K"));
  EXPECT_EQ(file.read(iv).state, IvFileState::kOk);
  // Kept: the unchanged file is not opened again, another one at the path is.
  FailCall fail({"open", EIO, 0, -1, "div.pl"});
  EXPECT_EQ(file.read(iv).state, IvFileState::kOk);
  EXPECT_EQ(iv.text(), "Ab3Cd4Ef5Gh6Ij7K");
  EXPECT_EQ(fail.failed(), 0);
  write_bytes(dir.file("new"), iv_file_encrypt("Zz9Yy8Xx7Ww6Vv5U"));
  ASSERT_EQ(rename(dir.file("new").c_str(), dir.file("div.pl").c_str()), 0);
  const IvFileVerdict verdict = file.read(iv);
  EXPECT_EQ(verdict.reason(), "unreadable (Input/output error)");
  EXPECT_EQ(iv.text(), std::string(16, '\0'));
  EXPECT_EQ(fail.failed(), 1);
}
