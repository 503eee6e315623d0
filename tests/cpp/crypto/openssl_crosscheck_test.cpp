// Our AES-128-CBC, field cipher and MD5 against OpenSSL on random inputs.
#include <memory>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "crypto/aes.h"
#include "crypto/aes_instructions.h"
#include "crypto/hex.h"
#include "crypto/field_cipher.h"
#include "crypto/md5.h"

namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

std::string random_bytes(std::mt19937& rng, size_t n) {
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng() & 0xff);
  return out;
}

// AES-128-CBC through EVP; pad selects PKCS#7 padding.
std::string openssl_cbc(const std::string& key, const std::string& iv, const std::string& in,
                        bool encrypt, bool pad) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  const auto* k = reinterpret_cast<const unsigned char*>(key.data());
  const auto* v = reinterpret_cast<const unsigned char*>(iv.data());
  EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, k, v, encrypt ? 1 : 0), 1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), pad ? 1 : 0);
  std::string out(in.size() + 16, '\0');
  int n1 = 0, n2 = 0;
  auto* o = reinterpret_cast<unsigned char*>(&out[0]);
  EXPECT_EQ(EVP_CipherUpdate(ctx.get(), o, &n1, reinterpret_cast<const unsigned char*>(in.data()),
                             static_cast<int>(in.size())),
            1);
  EXPECT_EQ(EVP_CipherFinal_ex(ctx.get(), o + n1, &n2), 1);
  out.resize(static_cast<size_t>(n1 + n2));
  return out;
}

std::string openssl_base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string openssl_md5(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), digest, &n, EVP_md5(), nullptr), 1);
  return to_hex(std::string(reinterpret_cast<char*>(digest), n));
}

}  // namespace

// With the processor's AES instructions (where it has them) and with the
// tables.
TEST(OpenSslCrossCheck, Aes128CbcOnRandomInputs) {
  std::mt19937 rng(7);
  for (bool instructions : {true, false}) {
    InstructionsSetting setting(instructions);
    SCOPED_TRACE(AES::UsesAesInstructions() ? "instructions" : "tables");
    for (size_t blocks = 1; blocks <= 64; blocks += (blocks < 8 ? 1 : 9)) {
      const std::string key = random_bytes(rng, 16), iv = random_bytes(rng, 16);
      const std::string plain = random_bytes(rng, blocks * 16);
      const std::string expected = openssl_cbc(key, iv, plain, true, false);

      AES enc;
      enc.MakeKey(key.data(), iv.data(), 16, 16);
      std::string cipher(plain.size(), '\0');
      enc.Encrypt(plain.data(), &cipher[0], static_cast<int64_t>(plain.size()), AES::CBC);
      ASSERT_EQ(to_hex(cipher), to_hex(expected)) << blocks << " blocks";

      AES dec;
      dec.MakeKey(key.data(), iv.data(), 16, 16);
      std::string back(cipher.size(), '\0');
      dec.Decrypt(cipher.data(), &back[0], static_cast<int64_t>(cipher.size()), AES::CBC);
      ASSERT_EQ(to_hex(back), to_hex(plain)) << blocks << " blocks";
    }
  }
}

TEST(OpenSslCrossCheck, FieldCipherIsBase64OfPaddedCbc) {
  std::mt19937 rng(11);
  for (size_t n = 0; n <= 100; ++n) {
    const std::string key = random_bytes(rng, 16), iv = random_bytes(rng, 16);
    std::string value = random_bytes(rng, n);
    const std::string stored = field_encrypt(key, iv, value);
    ASSERT_EQ(stored, openssl_base64(openssl_cbc(key, iv, value, true, true))) << n << " bytes";
    // OpenSSL deciphers what we stored; we decipher what it made (up to the
    // first NUL, by the field cipher's rules).
    ASSERT_EQ(to_hex(openssl_cbc(key, iv, openssl_cbc(key, iv, value, true, true), false, true)),
              to_hex(value));
    ASSERT_EQ(to_hex(field_decrypt(key, iv, stored)), to_hex(value.substr(0, value.find('\0'))));
  }
}

TEST(OpenSslCrossCheck, Md5OnRandomInputs) {
  std::mt19937 rng(13);
  for (size_t n = 0; n <= 300; ++n) {
    const std::string data = random_bytes(rng, n);
    ASSERT_EQ(md5(data), openssl_md5(data)) << n << " bytes";
  }
  for (size_t n : {1000u, 4095u, 4096u, 65537u, 1000003u}) {
    const std::string data = random_bytes(rng, n);
    ASSERT_EQ(md5(data), openssl_md5(data)) << n << " bytes";
  }
}
