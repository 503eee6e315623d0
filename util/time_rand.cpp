#include "util/util.h"

#include <cstdlib>
#include <ctime>

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
