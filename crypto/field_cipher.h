// The database field cipher without the interpreter: AES-128-CBC with PKCS#7
// padding and Base64, the keys taken from the build secrets, and the reading
// of the installation IV from the IV file.  The loader's methods of the same
// work (loader/db_methods.cpp) are built on these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

struct stat;

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
// The installation IV that the IV file's text deciphers to; deciphered, when
// given, receives how many characters the text deciphers to (the IV is
// their first 16, filled up with zero bytes when there are fewer).
FieldBlock db_iv_of(const char* text, size_t length, size_t* deciphered = nullptr);

// The largest IV file read; the module writes about 44 bytes.
constexpr size_t kIvFileMaxSize = 1 << 20;

// What the IV file gives.
enum class IvFileState {
  kOk,          // a regular file deciphering to 16 characters or more
  kAbsent,      // nothing at the path, or the path cannot be examined
  kLink,        // a symbolic link: never enciphered under
  kNotRegular,  // a directory, FIFO, device or socket
  kUnreadable,  // a regular file that cannot be read, or one over kIvFileMaxSize
  kShort,       // deciphers to fewer than 16 characters: empty or damaged
};

struct IvFileVerdict {
  IvFileState state = IvFileState::kAbsent;
  int error = 0;          // the errno of kUnreadable, and of kAbsent
  size_t size = 0;        // bytes of the file read (kOk, kShort)
  size_t deciphered = 0;  // characters they decipher to (kOk, kShort)
  // Why the file gives no IV, for people ("a symbolic link, which is never
  // enciphered under", "empty", "deciphers to 10 characters, not 16", ...); "" for
  // kOk and kAbsent.
  std::string reason() const;
};

// The installation IV of the IV file at path, read once and kept while the
// file stays the same: each read() examines the path with one lstat, and
// reads and deciphers the file again only when what that shows differs from
// the file last read (device, inode, size, modification and status-change
// times to the nanosecond).  Nothing at the path drops what was kept, so a
// new IV file is read afresh.  The file is never read through a link, and
// only when it is a regular file.
class DbIvFile {
 public:
  explicit DbIvFile(std::string path) : path_(std::move(path)) {}
  DbIvFile(const DbIvFile&) = delete;
  DbIvFile& operator=(const DbIvFile&) = delete;

  // Fills iv with what the file gives: for kOk its IV; for kShort the
  // characters it deciphers to, filled up with zero bytes; for kNotRegular
  // and kUnreadable all zero bytes (what an IV file that cannot be read has
  // always given); for kLink what reading through the link has always given
  // (its target's IV, zero bytes, or the fallback IV when it leads to no
  // file), so that values stored through it stay readable; for kAbsent iv
  // is left as it was.
  IvFileVerdict read(FieldBlock& iv);
  const std::string& path() const { return path_; }

 private:
  // What identifies one version of the file, as lstat and fstat show it.
  struct Identity {
    uint64_t device = 0, inode = 0;
    int64_t size = -1, mtime = 0, mtime_nsec = 0, ctime = 0, ctime_nsec = 0;
    bool operator==(const Identity& o) const {
      return device == o.device && inode == o.inode && size == o.size && mtime == o.mtime &&
             mtime_nsec == o.mtime_nsec && ctime == o.ctime && ctime_nsec == o.ctime_nsec;
    }
  };
  static Identity identity_of(const struct stat& st);
  IvFileVerdict refuse(IvFileState state, int error, FieldBlock& iv);

  std::string path_;
  bool kept_ = false;
  Identity identity_;
  FieldBlock iv_;
  IvFileVerdict verdict_;
};
