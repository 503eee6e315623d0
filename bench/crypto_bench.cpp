// Throughput of our AES-128-CBC and MD5 against OpenSSL's EVP, measured in
// the same run on the same machine.  Prints MB/s for both and their ratio.
#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "crypto/aes.h"
#include "crypto/md5.h"

namespace {

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

volatile unsigned char g_sink;

// Best time of several rounds of at least min_seconds each, in seconds per
// call of op.
double seconds_per_call(const std::function<void()>& op, double min_seconds = 0.25) {
  using clock = std::chrono::steady_clock;
  double best = 1e30;
  for (int round = 0; round < 5; ++round) {
    long calls = 0;
    auto start = clock::now();
    double elapsed = 0;
    do {
      for (int i = 0; i < 16; ++i) op();
      calls += 16;
      elapsed = std::chrono::duration<double>(clock::now() - start).count();
    } while (elapsed < min_seconds);
    if (elapsed / calls < best) best = elapsed / calls;
  }
  return best;
}

void report(const char* what, size_t bytes, double ours, double theirs) {
  if (bytes > 0) {
    printf("%-38s ours %8.1f MB/s  openssl %8.1f MB/s  ratio ours/openssl %.3f\n", what,
           bytes / ours / 1e6, bytes / theirs / 1e6, theirs / ours);
  } else {
    printf("%-38s ours %8.3f us    openssl %8.3f us    ratio ours/openssl %.3f\n", what, ours * 1e6,
           theirs * 1e6, theirs / ours);
  }
}

}  // namespace

int main() {
  // PL_AES_TABLES=1 times our portable table-driven cipher instead of the
  // processor's AES instructions (set with OpenSSL's own switch-off, so that
  // both sides run without them).
  if (getenv("PL_AES_TABLES") != nullptr) AES::UseAesInstructions(false);
  const size_t kSize = 16384;
  std::vector<unsigned char> in(kSize), out(kSize + 32);
  for (size_t i = 0; i < kSize; ++i) in[i] = static_cast<unsigned char>(i * 131 + 7);
  unsigned char key[16], iv[16];
  for (int i = 0; i < 16; ++i) {
    key[i] = static_cast<unsigned char>(i * 17 + 3);
    iv[i] = static_cast<unsigned char>(i * 29 + 5);
  }
  const char* ckey = reinterpret_cast<const char*>(key);
  const char* civ = reinterpret_cast<const char*>(iv);
  const char* cin = reinterpret_cast<const char*>(in.data());
  char* cout = reinterpret_cast<char*>(out.data());

  std::unique_ptr<EVP_CIPHER_CTX, CtxFree> enc(EVP_CIPHER_CTX_new()), dec(EVP_CIPHER_CTX_new());
  EVP_EncryptInit_ex(enc.get(), EVP_aes_128_cbc(), nullptr, key, iv);
  EVP_CIPHER_CTX_set_padding(enc.get(), 0);
  EVP_DecryptInit_ex(dec.get(), EVP_aes_128_cbc(), nullptr, key, iv);
  EVP_CIPHER_CTX_set_padding(dec.get(), 0);
  AES ours_enc, ours_dec;
  ours_enc.MakeKey(ckey, civ, 16, 16);
  ours_dec.MakeKey(ckey, civ, 16, 16);

  printf("buffers of %zu bytes; best of 5 rounds; ratio = our speed / OpenSSL speed; ours on %s\n",
         kSize, AES::UsesAesInstructions() ? "AES instructions" : "tables");
  int n = 0;
  report("AES-128-CBC encrypt", kSize,
         seconds_per_call([&] { ours_enc.Encrypt(cin, cout, kSize, AES::CBC); }),
         seconds_per_call([&] { EVP_EncryptUpdate(enc.get(), out.data(), &n, in.data(), kSize); }));
  report("AES-128-CBC decrypt", kSize,
         seconds_per_call([&] { ours_dec.Decrypt(cin, cout, kSize, AES::CBC); }),
         seconds_per_call([&] { EVP_DecryptUpdate(dec.get(), out.data(), &n, in.data(), kSize); }));

  // One short value with its own key set-up, as the field cipher does.
  report("AES-128-CBC 48 bytes incl. key set-up", 0, seconds_per_call([&] {
           AES aes;
           aes.MakeKey(ckey, civ, 16, 16);
           aes.Encrypt(cin, cout, 48, AES::CBC);
           g_sink = out[0];
         }),
         seconds_per_call([&] {
           std::unique_ptr<EVP_CIPHER_CTX, CtxFree> c(EVP_CIPHER_CTX_new());
           EVP_EncryptInit_ex(c.get(), EVP_aes_128_cbc(), nullptr, key, iv);
           EVP_CIPHER_CTX_set_padding(c.get(), 0);
           EVP_EncryptUpdate(c.get(), out.data(), &n, in.data(), 48);
           g_sink = out[0];
         }));

  const std::string text(cin, kSize);
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int dn = 0;
  report("MD5", kSize, seconds_per_call([&] {
           MD5 m;
           m.update(in.data(), kSize);
           m.finalize();
           g_sink = static_cast<unsigned char>(m.hexdigest()[0]);
         }),
         seconds_per_call([&] {
           EVP_DigestInit_ex(md.get(), EVP_md5(), nullptr);
           EVP_DigestUpdate(md.get(), in.data(), kSize);
           EVP_DigestFinal_ex(md.get(), digest, &dn);
           g_sink = digest[0];
         }));
  return 0;
}
