// The database field cipher without the interpreter: AES-128-CBC with PKCS#7
// padding and Base64, the keys taken from the build secrets, and the reading
// of the installation IV from the IV file.  The loader's methods of the same
// work (loader/db_methods.cpp) are built on these.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

// Length of every key, IV and chain value of the field cipher.
constexpr size_t kFieldKeyLength = 16;

// Zeroes key material; the empty asm that may read the bytes keeps the
// compiler from leaving the stores out.
inline void wipe_key_material(void* p, size_t n) {
  memset(p, 0, n);
  __asm__ __volatile__("" : : "r"(p) : "memory");
}

// A key, IV or chain value as the cipher uses it: exactly 16 bytes.  A text
// given to it that is shorter is filled up with zero bytes, a longer one cut.
// The bytes are wiped when the object goes away.
struct FieldBlock {
  char bytes[kFieldKeyLength] = {};

  FieldBlock() = default;
  FieldBlock(const char* text, size_t length);
  explicit FieldBlock(const std::string& text) : FieldBlock(text.data(), text.size()) {}
  FieldBlock(const FieldBlock&) = default;
  FieldBlock& operator=(const FieldBlock&) = default;
  ~FieldBlock() { wipe_key_material(bytes, sizeof bytes); }

  std::string text() const { return std::string(bytes, kFieldKeyLength); }
};

// ---- keys from the build secrets ----

// The key of database values: the even positions of the field secret.
FieldBlock db_field_key();
// The key and chain value of the IV file: the even and the odd positions of
// the IV-file secret.
void iv_file_key(FieldBlock& key, FieldBlock& chain);
// The IV used for database values while no IV file can be had.
FieldBlock db_fallback_iv();

// ---- the cipher ----

// Appends to out the stored form of text[0..length): Base64 of the CBC cipher
// text of the bytes followed by 1 to 16 bytes of PKCS#7 padding.
void field_encrypt(const FieldBlock& key, const FieldBlock& iv, const char* text, size_t length,
                   std::string& out);
// Appends to out the value that a stored text deciphers to: Base64 decoding
// (which ends at the first "=" or byte outside the alphabet), CBC when the
// bytes are whole blocks (else they stay as decoded), the padding named by
// the last byte read as signed (1 to 22; a wrong one empties the value), and
// the value up to its first NUL byte.
void field_decrypt(const FieldBlock& key, const FieldBlock& iv, const char* text, size_t length,
                   std::string& out);

// The same on texts, the key and IV taken as 16 bytes by FieldBlock's rule.
std::string field_encrypt(const std::string& key, const std::string& iv, const std::string& text);
std::string field_decrypt(const std::string& key, const std::string& iv, const std::string& text);
// The cipher of the IV file: the field cipher under the IV-file key and chain.
std::string iv_file_encrypt(const std::string& text);
std::string iv_file_decrypt(const std::string& text);

// ---- the IV file ----

// Where the enciphered installation IV is kept: <panel>/data/div.pl.
std::string db_iv_path();
// The installation IV that the IV file's text deciphers to.
FieldBlock db_iv_of(const char* text, size_t length);
// Reads the IV file and deciphers it into iv; false (iv untouched) when no
// file exists at its path.  The file is read without blocking (open, one
// read, close for any file the module writes); a file that exists but cannot
// be read, a FIFO or a device counts as empty, which gives the all-zero IV.
bool read_db_iv(FieldBlock& iv);
