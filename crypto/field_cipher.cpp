#include "crypto/field_cipher.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>

#include "build_config.h"
#include "crypto/aes.h"
#include "crypto/base64.h"
#include "masked_secrets.h"
#include "util/handles.h"
#include "util/util.h"

namespace {

constexpr size_t kSecretLength = 32;
constexpr size_t kBlock = 16;
// Pad values above a block are accepted by the unpadding check, as stored
// values have always been read that way.
constexpr int kMaxPadValue = 22;
// get_path() + "/data/div.pl", composed once by the compiler.
constexpr char kDbIvPath[] = PL_PANEL_ROOT "/data/div.pl";
// Plain bytes enciphered and encoded per step: three blocks are whole Base64
// groups, so the steps' texts join into the text of the whole.
constexpr size_t kEncryptStep = 3 * kBlock;
// Decoded bytes of an IV file text kept on the stack; a longer text (not one
// the module writes) goes to the heap.
constexpr size_t kIvTextRoom = 768;

// The characters at positions first, first + 2, ... of a masked secret.
void pick_alternate(const char* secret, size_t first, FieldBlock& out) {
  for (size_t i = 0; i < kFieldKeyLength; ++i) out.bytes[i] = secret[first + 2 * i];
}

FieldBlock even_positions(volatile const unsigned char (&masked)[kSecretLength], int name_length) {
  char secret[kSecretLength];
  masked_secrets::unmask(masked, name_length, secret);
  FieldBlock picked;
  pick_alternate(secret, 0, picked);
  wipe_key_material(secret, sizeof secret);
  return picked;
}

// Deciphers length decoded bytes in place and returns the length of the
// value they hold (see field_decrypt).
size_t decipher(const FieldBlock& key, const FieldBlock& iv, char* data, size_t length) {
  if (length == 0) return 0;
  if (length % kBlock == 0) {
    AES aes;
    aes.MakeKey(key.bytes, iv.bytes, 16, 16);
    aes.Decrypt(data, data, static_cast<int64_t>(length), AES::CBC);
  }
  // The last byte, read as signed, names the padding.  A pad longer than the
  // data is wrong padding, like a pad byte that does not match.
  const int pad = static_cast<signed char>(data[length - 1]);
  size_t end = length;
  if (pad >= 1 && pad <= kMaxPadValue) {
    const size_t p = static_cast<size_t>(pad);
    if (p > length) return 0;
    for (size_t i = length - p; i < length; ++i) {
      if (data[i] != static_cast<char>(pad)) return 0;
    }
    end = length - p;
  }
  // The value ends at its first NUL byte.
  const void* nul = memchr(data, '\0', end);
  return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - data) : end;
}

}  // namespace

FieldBlock::FieldBlock(const char* text, size_t length) {
  memcpy(bytes, text, std::min(length, kFieldKeyLength));
}

FieldBlock db_field_key() {
  return even_positions(masked_secrets::kDbField, masked_secrets::kDbFieldNameLength);
}

void iv_file_key(FieldBlock& key, FieldBlock& chain) {
  char secret[kSecretLength];
  masked_secrets::unmask(masked_secrets::kIvFile, masked_secrets::kIvFileNameLength, secret);
  pick_alternate(secret, 0, key);
  pick_alternate(secret, 1, chain);
  wipe_key_material(secret, sizeof secret);
}

FieldBlock db_fallback_iv() {
  return even_positions(masked_secrets::kDbFallbackIv, masked_secrets::kDbFallbackIvNameLength);
}

void field_encrypt(const FieldBlock& key, const FieldBlock& iv, const char* text, size_t length,
                   std::string& out) {
  // PKCS#7: 1 to 16 bytes, each holding the pad length.
  const size_t padded = (length / kBlock + 1) * kBlock;
  const char pad = static_cast<char>(padded - length);
  const size_t start = out.size();
  out.resize(start + base64_encoded_size(padded));
  char* text_out = &out[start];

  AES aes;
  aes.MakeKey(key.bytes, iv.bytes, 16, 16);
  char step[kEncryptStep];
  for (size_t done = 0; done < padded;) {
    const size_t n = std::min(kEncryptStep, padded - done);
    const size_t plain = done < length ? std::min(n, length - done) : 0;
    memcpy(step, text + done, plain);
    memset(step + plain, pad, n - plain);
    aes.Encrypt(step, step, static_cast<int64_t>(n), AES::CBC);  // the chain carries over
    base64_encode_to(reinterpret_cast<const unsigned char*>(step), n, text_out);
    text_out += base64_encoded_size(n);
    done += n;
  }
  wipe_key_material(step, sizeof step);
}

void field_decrypt(const FieldBlock& key, const FieldBlock& iv, const char* text, size_t length,
                   std::string& out) {
  const size_t start = out.size();
  out.resize(start + base64_decoded_room(length));
  char* data = &out[start];
  const size_t decoded = base64_decode_to(text, length, reinterpret_cast<unsigned char*>(data));
  out.resize(start + decipher(key, iv, data, decoded));
}

namespace {

// One direction of the cipher, appending to out.
using PieceCipher = void (*)(const FieldBlock&, const FieldBlock&, const char*, size_t,
                             std::string&);

std::string on_text(PieceCipher cipher, const FieldBlock& key, const FieldBlock& iv,
                    const std::string& text) {
  std::string out;
  cipher(key, iv, text.data(), text.size(), out);
  return out;
}

std::string under_iv_file_key(PieceCipher cipher, const std::string& text) {
  FieldBlock key, chain;
  iv_file_key(key, chain);
  return on_text(cipher, key, chain, text);
}

}  // namespace

std::string field_encrypt(const std::string& key, const std::string& iv, const std::string& text) {
  return on_text(field_encrypt, FieldBlock(key), FieldBlock(iv), text);
}

std::string field_decrypt(const std::string& key, const std::string& iv, const std::string& text) {
  return on_text(field_decrypt, FieldBlock(key), FieldBlock(iv), text);
}

std::string iv_file_encrypt(const std::string& text) {
  return under_iv_file_key(field_encrypt, text);
}

std::string iv_file_decrypt(const std::string& text) {
  return under_iv_file_key(field_decrypt, text);
}

std::string db_iv_path() { return kDbIvPath; }

FieldBlock db_iv_of(const char* text, size_t length, size_t* deciphered) {
  char small[kIvTextRoom];
  std::string large;
  char* data = small;
  if (base64_decoded_room(length) > sizeof small) {
    large.resize(base64_decoded_room(length));
    data = &large[0];
  }
  const size_t decoded = base64_decode_to(text, length, reinterpret_cast<unsigned char*>(data));
  size_t n = 0;
  if (decoded > 0) {
    FieldBlock key, chain;
    iv_file_key(key, chain);
    n = decipher(key, chain, data, decoded);
  }
  FieldBlock iv(data, n);
  wipe_key_material(data, decoded);
  if (deciphered != nullptr) *deciphered = n;
  return iv;
}

std::string IvFileVerdict::reason() const {
  switch (state) {
    case IvFileState::kOk:
    case IvFileState::kAbsent:
      return std::string();
    case IvFileState::kLink:
      return "a symbolic link, which is never enciphered under";
    case IvFileState::kNotRegular:
      return "not a regular file";
    case IvFileState::kUnreadable:
      if (error == 0) return "larger than " + std::to_string(kIvFileMaxSize) + " bytes";
      return std::string("unreadable (") + strerror(error) + ")";
    case IvFileState::kShort:
      if (size == 0) return "empty";
      return "deciphers to " + std::to_string(deciphered) + " characters, not " +
             std::to_string(kFieldKeyLength);
  }
  return std::string();
}

DbIvFile::Identity DbIvFile::identity_of(const struct stat& st) {
  Identity id;
  id.device = static_cast<uint64_t>(st.st_dev);
  id.inode = static_cast<uint64_t>(st.st_ino);
  id.size = static_cast<int64_t>(st.st_size);
  id.mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
  id.mtime_nsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  id.ctime = static_cast<int64_t>(st.st_ctim.tv_sec);
  id.ctime_nsec = static_cast<int64_t>(st.st_ctim.tv_nsec);
  return id;
}

IvFileVerdict DbIvFile::refuse(IvFileState state, int error, FieldBlock& iv) {
  kept_ = false;
  iv_ = FieldBlock();
  IvFileVerdict verdict;
  verdict.state = state;
  verdict.error = error;
  if (state != IvFileState::kAbsent) iv = FieldBlock();
  return verdict;
}

// What reading the IV file through a link at its path has always given: the
// IV its target deciphers to (a short one filled up with zero bytes, an
// unreadable or special one all zero bytes), or the fallback IV when the link
// leads to no file.  Values stored through such a link stay readable.
FieldBlock iv_through_link(const std::string& path) {
  FileStatus status;
  Fd fd(open_regular_file(path, &status));
  if (!fd) return file_exists(path) ? FieldBlock() : db_fallback_iv();
  std::string text;
  read_open_file(fd.get(), static_cast<size_t>(std::max<int64_t>(status.size, 0)), text,
                 kIvFileMaxSize);
  const FieldBlock iv = db_iv_of(text.data(), text.size());
  wipe_key_material(&text[0], text.size());
  return iv;
}

IvFileVerdict DbIvFile::read(FieldBlock& iv) {
  struct stat st;
  if (lstat(path_.c_str(), &st) != 0) return refuse(IvFileState::kAbsent, errno, iv);
  if (S_ISLNK(st.st_mode)) {
    // Never enciphered under (the verdict refuses it); deciphered under what
    // it always gave.
    const IvFileVerdict verdict = refuse(IvFileState::kLink, 0, iv);
    iv = iv_through_link(path_);
    return verdict;
  }
  if (!S_ISREG(st.st_mode)) return refuse(IvFileState::kNotRegular, 0, iv);
  if (kept_ && identity_of(st) == identity_) {
    iv = iv_;
    return verdict_;
  }
  std::string text;
  const NoLinkRead read = read_file_no_link(path_, text, kIvFileMaxSize, &st);
  switch (read.outcome) {
    case NoLinkRead::kRead:
      break;
    case NoLinkRead::kMissing:
      return refuse(IvFileState::kAbsent, read.error, iv);  // removed since the lstat
    case NoLinkRead::kLink:
      return refuse(IvFileState::kLink, 0, iv);
    case NoLinkRead::kNotRegular:
      return refuse(IvFileState::kNotRegular, 0, iv);
    case NoLinkRead::kUnreadable:
    case NoLinkRead::kTooLarge:
      return refuse(IvFileState::kUnreadable, read.error, iv);
  }
  verdict_ = IvFileVerdict();
  iv_ = db_iv_of(text.data(), text.size(), &verdict_.deciphered);
  wipe_key_material(&text[0], text.size());
  verdict_.size = text.size();
  verdict_.state = verdict_.deciphered >= kFieldKeyLength ? IvFileState::kOk : IvFileState::kShort;
  identity_ = identity_of(st);
  kept_ = true;
  iv = iv_;
  return verdict_;
}
