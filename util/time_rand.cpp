#include "util/util.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <sys/random.h>

int64_t get_time() { return static_cast<int64_t>(time(nullptr)); }

std::string get_date(const std::string& format) {
  char buf[kDateBufferSize];
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) return std::string();
  // strftime returns 0 when the text does not fit; the result is then "".
  size_t n = strftime(buf, sizeof buf, format.c_str(), &local);
  return std::string(buf, n);
}

void rand_string(char* buffer, size_t n) {
  srand(static_cast<unsigned>(time(nullptr)));
  for (size_t i = 0; i < n; ++i) {
    int kind = rand() % 3;
    if (kind == 1) {
      buffer[i] = static_cast<char>('A' + rand() % 26);
    } else if (kind == 2) {
      buffer[i] = static_cast<char>('a' + rand() % 26);
    } else {
      buffer[i] = static_cast<char>('0' + rand() % 10);
    }
  }
  buffer[n] = '\0';
}

bool secure_random_bytes(void* buffer, size_t n) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (n > 0) {
    // Blocks only until the kernel's pool is first seeded after boot.
    const ssize_t got = getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool secure_rand_string(char* buffer, size_t n) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr unsigned kSize = sizeof kAlphabet - 1;
  // Bytes from 248 (4 x 62) up are dropped, so every character is equally
  // likely: taking all 256 values modulo 62 would favour the first eight.
  constexpr unsigned kAccepted = 256 / kSize * kSize;
  unsigned char pool[64];
  size_t used = sizeof pool;
  size_t i = 0;
  bool ok = true;
  while (ok && i < n) {
    if (used == sizeof pool) {
      ok = secure_random_bytes(pool, sizeof pool);
      used = 0;
    } else {
      const unsigned byte = pool[used++];
      if (byte < kAccepted) buffer[i++] = kAlphabet[byte % kSize];
    }
  }
  buffer[ok ? n : 0] = '\0';
  // What the pool still holds must not stay behind on the stack.
  volatile unsigned char* wipe = pool;
  for (size_t k = 0; k < sizeof pool; ++k) wipe[k] = 0;
  return ok;
}
