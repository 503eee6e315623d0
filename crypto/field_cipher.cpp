// The database field cipher without the interpreter: AES-128-CBC with PKCS#7
// padding and Base64, and the keys taken from the build secrets.
#include "crypto/field_cipher.h"

#include <cstring>
#include <vector>

#include "crypto/aes.h"
#include "crypto/base64.h"
#include "loader/loader.h"
#include "masked_secrets.h"
#include "util/util.h"

namespace {

constexpr size_t kSecretLength = 32;
// Pad values above a block are accepted by the unpadding check, as stored
// values have always been read that way.
constexpr int kMaxPadValue = 22;

void wipe(void* p, size_t n) {
  volatile unsigned char* b = static_cast<volatile unsigned char*>(p);
  while (n-- > 0) *b++ = 0;
}

// Picks the characters at positions first, first + 2, ... of a secret.
void pick_alternate(const char* secret, size_t first, char* out) {
  for (size_t i = 0; i < kFieldKeyLength; ++i) out[i] = secret[first + 2 * i];
}

// A key or IV as exactly 16 bytes: a shorter text is filled up with zero
// bytes, a longer one cut.
void to_block(const std::string& text, char out[kFieldKeyLength]) {
  memset(out, 0, kFieldKeyLength);
  memcpy(out, text.data(), text.size() < kFieldKeyLength ? text.size() : kFieldKeyLength);
}

// The 16 characters at the even positions of a masked secret.
std::string even_positions(volatile const unsigned char (&masked)[kSecretLength], int name_length) {
  char secret[kSecretLength];
  masked_secrets::unmask(masked, name_length, secret);
  char picked[kFieldKeyLength];
  pick_alternate(secret, 0, picked);
  std::string result(picked, kFieldKeyLength);
  wipe(secret, sizeof secret);
  wipe(picked, sizeof picked);
  return result;
}

// A fresh cipher keyed with key and iv, each taken as exactly 16 bytes.
void make_key(AES& aes, const std::string& key, const std::string& iv) {
  char key_block[kFieldKeyLength];
  char iv_block[kFieldKeyLength];
  to_block(key, key_block);
  to_block(iv, iv_block);
  aes.MakeKey(key_block, iv_block, 16, 16);
  wipe(key_block, sizeof key_block);
  wipe(iv_block, sizeof iv_block);
}

}  // namespace

std::string db_iv_path() { return get_path() + "/data/div.pl"; }

std::string db_fallback_iv() {
  return even_positions(masked_secrets::kDbFallbackIv, masked_secrets::kDbFallbackIvNameLength);
}

std::string Ploader::get_db_sgin() {
  return even_positions(masked_secrets::kDbField, masked_secrets::kDbFieldNameLength);
}

void Ploader::_get_sgin_key(char* key, char* chain) {
  char secret[kSecretLength];
  masked_secrets::unmask(masked_secrets::kIvFile, masked_secrets::kIvFileNameLength, secret);
  pick_alternate(secret, 0, key);
  key[kFieldKeyLength] = '\0';
  pick_alternate(secret, 1, chain);
  chain[kFieldKeyLength] = '\0';
  wipe(secret, sizeof secret);
}

std::string Ploader::_aes_encrypt(const std::string& key, const std::string& iv,
                                  const std::string& text) {
  const size_t n = text.size();
  const size_t padded = (n / 16 + 1) * 16;
  // PKCS#7: 1 to 16 bytes, each holding the pad length.
  std::vector<char> buffer(padded, static_cast<char>(padded - n));
  memcpy(buffer.data(), text.data(), n);
  std::vector<char> output(padded, 0);

  AES aes;
  make_key(aes, key, iv);
  aes.Encrypt(buffer.data(), output.data(), static_cast<int64_t>(padded), AES::CBC);
  return base64_encode(reinterpret_cast<const unsigned char*>(output.data()),
                       static_cast<uint32_t>(padded));
}

std::string Ploader::_aes_decrypt(const std::string& key, const std::string& iv,
                                  const std::string& text) {
  const std::string data = base64_decode(text);
  const size_t length = data.size();
  if (length == 0) return std::string();
  // A length that is not a whole number of blocks leaves the output as the
  // decoded bytes themselves.
  std::string output = data;

  AES aes;
  make_key(aes, key, iv);
  aes.Decrypt(data.data(), &output[0], static_cast<int64_t>(length), AES::CBC);

  // The last byte, read as signed, names the padding.  A pad longer than the
  // data is wrong padding, like a pad byte that does not match.
  const int pad = static_cast<signed char>(output[length - 1]);
  size_t end = length;
  if (pad >= 1 && pad <= kMaxPadValue) {
    const size_t p = static_cast<size_t>(pad);
    if (p > length) return std::string();
    for (size_t i = length - p; i < length; ++i) {
      if (output[i] != static_cast<char>(pad)) return std::string();
    }
    end = length - p;
  }
  // The value ends at its first NUL byte.
  const size_t nul = output.find('\0');
  if (nul < end) end = nul;
  output.resize(end);
  return output;
}

namespace {

// Runs op with the IV-file key and chain value, wiping them afterwards.
template <typename Op>
std::string with_iv_file_key(Ploader& loader, Op op) {
  char key[kFieldKeyLength + 1];
  char chain[kFieldKeyLength + 1];
  loader._get_sgin_key(key, chain);
  std::string result = op(std::string(key, kFieldKeyLength), std::string(chain, kFieldKeyLength));
  wipe(key, sizeof key);
  wipe(chain, sizeof chain);
  return result;
}

}  // namespace

std::string Ploader::_aes_encrypt_module(const std::string& text) {
  return with_iv_file_key(*this, [&](const std::string& key, const std::string& chain) {
    return _aes_encrypt(key, chain, text);
  });
}

std::string Ploader::_aes_decrypt_module(const std::string& text) {
  return with_iv_file_key(*this, [&](const std::string& key, const std::string& chain) {
    return _aes_decrypt(key, chain, text);
  });
}
