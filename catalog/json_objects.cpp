// JSON text to Python objects in one pass over the bytes.  The scanner walks
// the text once, without recursion (open arrays and objects are frames on a
// stack of their own), and leaves every finished value on a stack of values;
// the end of an array or object gathers its values from the top of that
// stack.  The scan that finds a string's end also finds the widest character
// it can hold, so every str is allocated once, in its final kind, and written
// straight from the text: ASCII copied, UTF-8 decoded (and checked) by our
// own loop, escapes decoded as they are met.  Numbers are made from their own
// text (int of any size, float correctly rounded).
//
// It accepts only what it is sure json.loads accepts in the same way, and
// declines everything else; the caller then asks json.loads.  So only its
// acceptances must be right: each is a strict subset of json.loads' grammar
// giving the same objects.
#include "catalog/json_objects.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#define PL_JSON_X86 1
#endif

#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
// CPython 3.13 builds a dict from alternating names and values as the
// bytecode's dict displays do: its table made once at its final size, in
// the form for str names that a dict grown member by member has too.  The
// interpreter exports it; its declaration is in the headers meant for the
// interpreter's own modules.
extern "C" PyObject* _PyDict_FromItems(PyObject* const* keys, Py_ssize_t keys_offset,
                                       PyObject* const* values, Py_ssize_t values_offset,
                                       Py_ssize_t length);
#define PL_DICT_FROM_ITEMS 1
#endif

namespace {

// C recursion levels taken before the first array or object, on top of the
// one per level of nesting that json.loads takes too: json.loads, called
// from here instead, takes two more (the interpreter's entry and the
// scanner's call); the rest is spare.  A document that does not fit under
// the interpreter's limit with these goes to json.loads, which decides.
constexpr int kSpareLevels = 8;

// Object member names of up to kCachedKeyMax bytes without escapes are made
// once per document: a name met again is the same str (while the cache,
// which keeps every name it takes, has room).
constexpr size_t kKeyCacheSlots = 256;
constexpr size_t kKeyProbes = 16;
constexpr size_t kCachedKeyMax = 64;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of each byte as a hex digit, -1 for the others.
constexpr std::array<int8_t, 256> kHexValue = [] {
  std::array<int8_t, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = -1;
  for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<int8_t>(i);
  for (int i = 0; i < 6; ++i) t['a' + i] = t['A' + i] = static_cast<int8_t>(10 + i);
  return t;
}();

// The powers of ten that a double holds exactly.
constexpr std::array<double, 23> kExactTens = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

uint64_t load8(const char* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}
uint32_t load4(const char* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
// Four bytes, the first in the low eight bits (one load on x86-64).
uint32_t load4_le(const char* p) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<uint32_t>(u[0]) | static_cast<uint32_t>(u[1]) << 8 |
         static_cast<uint32_t>(u[2]) << 16 | static_cast<uint32_t>(u[3]) << 24;
}

#ifdef PL_JSON_X86
// The processor's vector extensions beyond SSE2 that the scans may use.
struct CpuVectors {
  bool ssse3;
  bool avx2;
};

CpuVectors cpu_vectors() {
  __builtin_cpu_init();
  return CpuVectors{__builtin_cpu_supports("ssse3") != 0, __builtin_cpu_supports("avx2") != 0};
}

const CpuVectors kCpuFound = cpu_vectors();
CpuVectors g_cpu = kCpuFound;  // what the scans use

// From p on, 32 bytes at a time: the first block of 32 holding a '"', a
// '\\', a byte below 0x20 or above 0x7F, or the place where fewer than 32
// bytes are left.
__attribute__((target("avx2"))) const char* plain_run_avx2(const char* p, const char* end) {
  const __m256i quote = _mm256_set1_epi8('"');
  const __m256i backslash = _mm256_set1_epi8('\\');
  const __m256i space = _mm256_set1_epi8(0x20);
  for (; end - p >= 32; p += 32) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i hit = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpeq_epi8(v, quote), _mm256_cmpeq_epi8(v, backslash)),
        _mm256_cmpgt_epi8(space, v));  // signed: below 0x20 or above 0x7F
    if (_mm256_movemask_epi8(hit) != 0) break;
  }
  return p;
}

// Five three-byte characters from each 15 bytes, while the next 16 bytes
// start with five of them and out has room for eight units; s and out move
// past them.  False when one is an overlong form or a surrogate.
__attribute__((target("ssse3"))) bool three_byte_blocks_ssse3(const char*& s, const char* end,
                                                              Py_UCS2*& out, Py_UCS2* out_end) {
  const char m = static_cast<char>(0x80);
  // Each lead masked to its top four bits, each continuation byte to its
  // top two: 1110 and 10 are what they must be.  The sixteenth byte is not
  // looked at.
  const __m128i top_bits =
      _mm_setr_epi8(static_cast<char>(0xF0), static_cast<char>(0xC0), static_cast<char>(0xC0),
                    static_cast<char>(0xF0), static_cast<char>(0xC0), static_cast<char>(0xC0),
                    static_cast<char>(0xF0), static_cast<char>(0xC0), static_cast<char>(0xC0),
                    static_cast<char>(0xF0), static_cast<char>(0xC0), static_cast<char>(0xC0),
                    static_cast<char>(0xF0), static_cast<char>(0xC0), static_cast<char>(0xC0), 0);
  const __m128i expected = _mm_setr_epi8(static_cast<char>(0xE0), m, m, static_cast<char>(0xE0), m,
                                         m, static_cast<char>(0xE0), m, m, static_cast<char>(0xE0),
                                         m, m, static_cast<char>(0xE0), m, m, 0);
  // Character i into 16-bit lane i: the third byte low and the second
  // high, and the lead alone in the high byte.
  const __m128i tails = _mm_setr_epi8(2, 1, 5, 4, 8, 7, 11, 10, 14, 13, -1, -1, -1, -1, -1, -1);
  const __m128i leads = _mm_setr_epi8(-1, 0, -1, 3, -1, 6, -1, 9, -1, 12, -1, -1, -1, -1, -1, -1);
  while (end - s >= 16 && out_end - out >= 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, top_bits), expected)) != 0xFFFF) break;
    const __m128i t = _mm_shuffle_epi8(v, tails);
    const __m128i l = _mm_shuffle_epi8(v, leads);
    const __m128i cp =
        _mm_or_si128(_mm_or_si128(_mm_and_si128(t, _mm_set1_epi16(0x3F)),
                                  _mm_srli_epi16(_mm_and_si128(t, _mm_set1_epi16(0x3F00)), 2)),
                     _mm_slli_epi16(_mm_and_si128(l, _mm_set1_epi16(0x0F00)), 4));
    // Below U+0800 (overlong) or U+D800-U+DFFF: the top five bits 00000
    // or 11011.  Lanes 0-4 are the characters.
    const __m128i top = _mm_and_si128(cp, _mm_set1_epi16(static_cast<short>(0xF800)));
    const __m128i bad =
        _mm_or_si128(_mm_cmpeq_epi16(top, _mm_setzero_si128()),
                     _mm_cmpeq_epi16(top, _mm_set1_epi16(static_cast<short>(0xD800))));
    if ((_mm_movemask_epi8(bad) & 0x3FF) != 0) return false;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), cp);
    s += 15;
    out += 5;
  }
  return true;
}

// Two escapes \\uXXXX\\uXXXX in bytes 0-11 of each 16-byte half of v: their
// code points as 16-bit units 0 and 1 of each half of points, and whether
// both halves hold two such escapes, of which none is a surrogate.
__attribute__((target("avx2"))) inline bool escape_pairs(__m256i v, __m256i& points) {
  const char x = static_cast<char>(0xFF);
  // The backslashes and u's, and the bytes that are not looked at.
  const __m256i marks = _mm256_setr_epi8('\\', 'u', 0, 0, 0, 0, '\\', 'u', 0, 0, 0, 0, 0, 0, 0, 0,
                                         '\\', 'u', 0, 0, 0, 0, '\\', 'u', 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i not_hex = _mm256_setr_epi8(x, x, 0, 0, 0, 0, x, x, 0, 0, 0, 0, x, x, x, x,  //
                                           x, x, 0, 0, 0, 0, x, x, 0, 0, 0, 0, x, x, x, x);
  const __m256i mark_bytes = _mm256_setr_epi8(x, x, 0, 0, 0, 0, x, x, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                              x, x, 0, 0, 0, 0, x, x, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i at_marks = _mm256_cmpeq_epi8(_mm256_and_si256(v, mark_bytes), marks);
  // A digit is 0-9 above '0', a letter 0-5 above 'a' once its case bit is set.
  const __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8('0'));
  const __m256i digit = _mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(9)), d);
  const __m256i l =
      _mm256_sub_epi8(_mm256_or_si256(v, _mm256_set1_epi8(0x20)), _mm256_set1_epi8('a'));
  const __m256i letter = _mm256_cmpeq_epi8(_mm256_min_epu8(l, _mm256_set1_epi8(5)), l);
  const __m256i good =
      _mm256_and_si256(at_marks, _mm256_or_si256(not_hex, _mm256_or_si256(digit, letter)));
  // A digit's value is its low four bits, a letter's those plus 9; pairs
  // of them become bytes (16-bit units 1, 2, 4 and 5 of each half), and
  // those the code points.
  const __m256i nibbles = _mm256_add_epi8(_mm256_and_si256(v, _mm256_set1_epi8(0x0F)),
                                          _mm256_and_si256(letter, _mm256_set1_epi8(9)));
  const __m256i bytes = _mm256_maddubs_epi16(nibbles, _mm256_set1_epi16(0x0110));
  points = _mm256_shuffle_epi8(
      bytes, _mm256_setr_epi8(4, 2, 10, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 4, 2, 10,
                              8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  const __m256i top = _mm256_and_si256(points, _mm256_set1_epi16(static_cast<short>(0xF800)));
  const __m256i surrogate = _mm256_cmpeq_epi16(top, _mm256_set1_epi16(static_cast<short>(0xD800)));
  return _mm256_movemask_epi8(good) == -1 && (_mm256_movemask_epi8(surrogate) & 0x000F000F) == 0;
}

// Escapes \\uXXXX from p on that are no surrogates, four and then two at a
// time, while out has room; p moves past them.  Their code points go to
// out, and max takes a value of the same kind as the largest (all of their
// bits); the count written.
__attribute__((target("avx2"))) size_t escape_run_avx2(const char*& p, const char* end,
                                                       Py_UCS4* out, size_t room, Py_UCS4& max) {
  size_t written = 0;
  uint32_t bits = 0;
  __m256i points;
  for (; end - p >= 28 && room - written >= 4; p += 24, written += 4) {
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
    if (!escape_pairs(_mm256_inserti128_si256(_mm256_castsi128_si256(first), second, 1), points)) {
      break;
    }
    const uint32_t low = static_cast<uint32_t>(_mm256_cvtsi256_si32(points));
    const uint32_t high = static_cast<uint32_t>(_mm256_extract_epi32(points, 4));
    out[written] = low & 0xFFFF;
    out[written + 1] = low >> 16;
    out[written + 2] = high & 0xFFFF;
    out[written + 3] = high >> 16;
    bits |= low | high;
  }
  if (end - p >= 16 && room - written >= 2 &&
      escape_pairs(
          _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
          points)) {
    const uint32_t low = static_cast<uint32_t>(_mm256_cvtsi256_si32(points));
    out[written] = low & 0xFFFF;
    out[written + 1] = low >> 16;
    bits |= low;
    p += 12;
    written += 2;
  }
  bits = (bits | bits >> 16) & 0xFFFF;
  if (bits > max) max = bits;
  return written;
}
#endif

// What a string's bytes up to its first quote, backslash or control byte
// say about its characters: whether any byte is above 0x7F, the largest
// byte, and how many are UTF-8 continuation bytes (0x80-0xBF).  For valid
// UTF-8 the characters are the bytes less the continuation bytes, and the
// largest byte gives the str's kind: below 0xC4 every character is below
// U+0100, below 0xF0 below U+10000.
struct Shape {
  bool wide = false;
  unsigned char max = 0;
  size_t continuation = 0;
};

Shape utf8_shape(const char* s, size_t n) {
  Shape shape;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c > shape.max) shape.max = c;
    shape.continuation += (c & 0xC0) == 0x80;
  }
  shape.wide = shape.max > 0x7F;
  return shape;
}

#if defined(__SSE2__)
// Bytes of v before position at (0-16) kept, the rest zero.
__m128i bytes_before(__m128i v, unsigned at) {
  static const unsigned char kMasks[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  return _mm_and_si128(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kMasks + 16 - at)));
}

// Bytes that are '"', '\\', below 0x20 or above 0x7F, as a bit mask: the
// last two are the bytes below 0x20 as signed bytes.
unsigned special_mask(__m128i v) {
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  const __m128i low = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), low)));
}

// Counts continuation bytes and keeps the largest byte, 16 bytes at a time;
// the per-lane counters are summed before they can overflow.
class WideBlocks {
 public:
  void add(__m128i v) {
    max_ = _mm_max_epu8(max_, v);
    // Continuation bytes are the ones below -64 as signed bytes.
    counts_ = _mm_sub_epi8(counts_, _mm_cmplt_epi8(v, _mm_set1_epi8(-64)));
    if (++blocks_ == 255) flush();
  }
  void finish(Shape& shape) {
    flush();
    __m128i m = _mm_max_epu8(max_, _mm_srli_si128(max_, 8));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 4));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 2));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 1));
    const unsigned char max = static_cast<unsigned char>(_mm_cvtsi128_si32(m));
    if (max > shape.max) shape.max = max;
    shape.continuation += total_;
  }

 private:
  void flush() {
    const __m128i sums = _mm_sad_epu8(counts_, _mm_setzero_si128());
    total_ += static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
              static_cast<size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    counts_ = _mm_setzero_si128();
    blocks_ = 0;
  }
  __m128i max_ = _mm_setzero_si128();
  __m128i counts_ = _mm_setzero_si128();
  size_t total_ = 0;
  unsigned blocks_ = 0;
};
#endif

// The first byte in [p, end) that is '"', '\\' or a control byte (below
// 0x20), or end.  Adds the bytes before it to shape.
const char* string_stop(const char* p, const char* end, Shape& shape) {
#if defined(__SSE2__)
  // ASCII blocks need only the stop; from the first block with a byte above
  // 0x7F on, the blocks are measured as well.
  if (!shape.wide) {
    bool long_run = false;
    while (end - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const unsigned special = special_mask(v);
      if (special == 0) {
        p += 16;
#ifdef PL_JSON_X86
        // A string longer than a block: the rest of its plain run 32 bytes
        // at a time where the processor can.
        if (!long_run && g_cpu.avx2) p = plain_run_avx2(p, end);
#endif
        long_run = true;
        continue;
      }
      const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
      const unsigned stop = special & ~high;
      // The stop, unless a byte above 0x7F comes first.
      if (stop != 0 && (high & ((stop & -stop) - 1)) == 0) return p + __builtin_ctz(stop);
      break;
    }
  }
  if (end - p >= 16) {
    shape.wide = true;
    WideBlocks blocks;
    for (; end - p >= 16; p += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const unsigned stop = special_mask(v) & ~static_cast<unsigned>(_mm_movemask_epi8(v));
      if (stop != 0) {
        const unsigned at = static_cast<unsigned>(__builtin_ctz(stop));
        blocks.add(bytes_before(v, at));
        blocks.finish(shape);
        return p + at;
      }
      blocks.add(v);
    }
    blocks.finish(shape);
  }
#endif
  for (; p < end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20) return p;
    if (c > 0x7F) {
      shape.wide = true;
      if (c > shape.max) shape.max = c;
      shape.continuation += c < 0xC0;
    }
  }
  return end;
}

// Writes the 16 bytes of v (ASCII) as 16 units at out.
template <typename Unit>
void widen16(Unit* out, const char* from) {
#if defined(__SSE2__)
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
  if constexpr (sizeof(Unit) == 1) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
  } else {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = _mm_unpacklo_epi8(v, zero);
    const __m128i hi = _mm_unpackhi_epi8(v, zero);
    if constexpr (sizeof(Unit) == 2) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lo);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), hi);
    } else {
      __m128i* to = reinterpret_cast<__m128i*>(out);
      _mm_storeu_si128(to, _mm_unpacklo_epi16(lo, zero));
      _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(lo, zero));
      _mm_storeu_si128(to + 2, _mm_unpacklo_epi16(hi, zero));
      _mm_storeu_si128(to + 3, _mm_unpackhi_epi16(hi, zero));
    }
  }
#else
  for (int i = 0; i < 16; ++i) out[i] = static_cast<unsigned char>(from[i]);
#endif
}

// A run of three-byte characters (most of CJK text) from s on, each checked
// in one go (lead 1110xxxx, two bytes 10xxxxxx, no overlong form, no
// surrogate); s and out move past it.  False when a character is not valid
// or does not fit.  Reads four bytes for each, all before end.
bool three_byte_run(const char*& s, const char* end, Py_UCS2*& out, Py_UCS2* out_end) {
  for (; end - s >= 4; s += 3) {
    const uint32_t w = load4_le(s);
    if ((w & 0xC0C0F0) != 0x8080E0) break;
    const uint32_t cp = (w & 0x0F) << 12 | (w & 0x3F00) >> 2 | (w & 0x3F0000) >> 16;
    if (cp < 0x800 || cp - 0xD800 < 0x800 || out == out_end) return false;
    *out++ = static_cast<Py_UCS2>(cp);
  }
  return true;
}

// Decodes the UTF-8 of [s, end) into exactly the units [out, out_end);
// false for anything the interpreter's strict decoder refuses (overlong
// forms, surrogates, code points above U+10FFFF, truncated or stray
// sequences) and for a character wider than Unit.  Never writes outside
// [out, out_end).
template <typename Unit>
bool decode_utf8(const char* s, const char* end, Unit* out, Unit* out_end) {
  constexpr uint32_t kWidest = sizeof(Unit) == 1 ? 0xFF : sizeof(Unit) == 2 ? 0xFFFF : 0x10FFFF;
  while (s < end) {
    const uint32_t c = static_cast<unsigned char>(*s);
    if (c < 0x80) {
#if defined(__SSE2__)
      // The ASCII bytes ahead, 16 at a time: all 16 are written, the ones
      // past the first byte above 0x7F are written over afterwards.
      if (end - s >= 16 && out_end - out >= 16) {
        const unsigned high = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s))));
        const unsigned ascii = high == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(high));
        widen16(out, s);
        s += ascii;
        out += ascii;
        continue;
      }
#endif
      if (out == out_end) return false;
      *out++ = static_cast<Unit>(c);
      ++s;
      continue;
    }
    if (out == out_end) return false;
    const unsigned char* u = reinterpret_cast<const unsigned char*>(s);
    const ptrdiff_t left = end - s;
    uint32_t cp;
    if (c < 0xE0) {
      if (c < 0xC2 || left < 2 || (u[1] & 0xC0) != 0x80) return false;
      cp = (c & 0x1F) << 6 | (u[1] & 0x3F);
      s += 2;
    } else if (c < 0xF0) {
      if constexpr (sizeof(Unit) == 2) {
        if (end - s >= 4 && (load4_le(s) & 0xC0C0F0) == 0x8080E0) {
#ifdef PL_JSON_X86
          if (g_cpu.ssse3 && !three_byte_blocks_ssse3(s, end, out, out_end)) return false;
#endif
          if (!three_byte_run(s, end, out, out_end)) return false;
          continue;
        }
      }
      if (left < 3 || (u[1] & 0xC0) != 0x80 || (u[2] & 0xC0) != 0x80) return false;
      cp = (c & 0x0F) << 12 | (u[1] & 0x3F) << 6 | (u[2] & 0x3F);
      if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
      s += 3;
    } else {
      if (left < 4 || (u[1] & 0xC0) != 0x80 || (u[2] & 0xC0) != 0x80 || (u[3] & 0xC0) != 0x80) {
        return false;
      }
      cp = (c & 0x07) << 18 | (u[1] & 0x3F) << 12 | (u[2] & 0x3F) << 6 | (u[3] & 0x3F);
      if (c > 0xF4 || cp < 0x10000 || cp > 0x10FFFF) return false;
      s += 4;
    }
    if (cp > kWidest) return false;
    *out++ = static_cast<Unit>(cp);
  }
  return out == out_end;
}

// A str from n bytes of UTF-8 holding a byte above 0x7F, measured by shape;
// null without an error when they are not valid UTF-8.
PyObject* utf8_str(const char* s, size_t n, const Shape& shape) {
  const Py_UCS4 widest = shape.max < 0xC4 ? 0xFF : shape.max < 0xF0 ? 0xFFFF : 0x10FFFF;
  const size_t length = n - shape.continuation;
  if (length == 1) {  // one character: the interpreter's shared str when it has one
    Py_UCS4 one;
    return decode_utf8(s, s + n, &one, &one + 1) ? PyUnicode_FromOrdinal(static_cast<int>(one))
                                                 : nullptr;
  }
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), widest);
  if (str == nullptr) return nullptr;
  void* data = PyUnicode_DATA(str);
  bool ok;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: {
      Py_UCS1* out = static_cast<Py_UCS1*>(data);
      ok = decode_utf8(s, s + n, out, out + length);
      break;
    }
    case PyUnicode_2BYTE_KIND: {
      Py_UCS2* out = static_cast<Py_UCS2*>(data);
      ok = decode_utf8(s, s + n, out, out + length);
      break;
    }
    default: {
      Py_UCS4* out = static_cast<Py_UCS4*>(data);
      ok = decode_utf8(s, s + n, out, out + length);
      break;
    }
  }
  if (!ok) Py_CLEAR(str);
  return str;
}

PyObject* ascii_str(const char* s, size_t n) {
  if (n == 1) return PyUnicode_FromOrdinal(static_cast<unsigned char>(s[0]));  // shared
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
  if (str != nullptr) memcpy(PyUnicode_1BYTE_DATA(str), s, n);
  return str;
}

// A slot from two words of a name and its length, each bit of them
// spread over all bits of the result (a 64-bit finalising mix).
size_t mixed_slot(uint64_t first, uint64_t second, size_t n) {
  uint64_t h = first ^ (second * 0x9E3779B97F4A7C15u) ^ (n * 0xC2B2AE3D27D4EB4Fu);
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDu;
  h ^= h >> 33;
  return static_cast<size_t>(h % kKeyCacheSlots);
}

// Slot of a member name in the name cache: its length and its first and
// last eight bytes (a shorter name whole).
size_t name_slot(const char* s, size_t n) {
  uint64_t head;
  uint64_t tail = 0;
  if (n >= 8) {
    head = load8(s);
    tail = load8(s + n - 8);
  } else if (n >= 4) {
    head = static_cast<uint64_t>(load4(s)) << 32 | load4(s + n - 4);
  } else {
    head = n == 0 ? 0
                  : static_cast<uint64_t>(static_cast<unsigned char>(s[0])) << 16 |
                        static_cast<uint64_t>(static_cast<unsigned char>(s[n / 2])) << 8 |
                        static_cast<unsigned char>(s[n - 1]);
  }
  return mixed_slot(head, tail, n);
}

// Whether the n bytes at a and b are equal.
bool same_bytes(const char* a, const char* b, size_t n) {
  if (n >= 8 && n <= 16) return load8(a) == load8(b) && load8(a + n - 8) == load8(b + n - 8);
  if (n >= 4 && n < 8) return load4(a) == load4(b) && load4(a + n - 4) == load4(b + n - 4);
  return memcmp(a, b, n) == 0;
}

// The first 16 bytes of a member name, zero after a shorter name's end.
struct Head {
  uint64_t low;
  uint64_t high;
};

Head head_of(const char* s, size_t n) {
  unsigned char bytes[16] = {};
  memcpy(bytes, s, n < 16 ? n : 16);
  Head head;
  memcpy(&head.low, bytes, 8);
  memcpy(&head.high, bytes + 8, 8);
  return head;
}

// Slot of a member name of up to 16 bytes in the name cache.
size_t head_slot(const Head& head, size_t n) { return mixed_slot(head.low, head.high, n); }

// The text is a std::string's: a NUL byte follows its end.  No JSON token
// holds a NUL outside a string, so each look at the next byte stops there
// without a separate test for the end.
class Scanner {
 public:
  explicit Scanner(const std::string& text) : p_(text.c_str()), end_(p_ + text.size()) {}
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;
  ~Scanner() {
    drop_top(values_.size());
    for (const Key& key : keys_) Py_XDECREF(key.str);
    for (; levels_ > 0; --levels_) Py_LeaveRecursiveCall();
  }

  // The document's value, or an empty handle when declined (an interpreter
  // error may then be pending).
  PyRef document() {
    values_.reserve(1024);
    for (;;) {
      // A value: an array or object opens a frame, anything else is pushed.
      skip_space();
      const char c = *p_;
      if (c == '[' || c == '{') {
        if (!open(c == '{')) return PyRef();
        skip_space();
        if (*p_ == (c == '{' ? '}' : ']')) {
          ++p_;
          if (!close()) return PyRef();
        } else if (c == '{') {
          if (!member_name()) return PyRef();
          continue;
        } else {
          continue;
        }
      } else if (!push(scalar())) {
        return PyRef();
      }
      // After a value: the next element, or the end of open frames.
      for (;;) {
        skip_space();
        if (frames_.empty()) {
          if (p_ != end_ || values_.size() != 1) return PyRef();
          PyRef root = PyRef::steal(values_.back());
          values_.pop_back();
          return root;
        }
        const Frame& top = frames_.back();
        if (*p_ == ',') {
          ++p_;
          if (top.object && !member_name()) return PyRef();
          break;
        }
        if (*p_ != (top.object ? '}' : ']')) return PyRef();
        ++p_;
        if (!close()) return PyRef();
      }
    }
  }

 private:
  struct Frame {
    size_t first;  // index in values_ of its first element (or name)
    bool object;
  };
  // A run of ASCII text, followed by the code points of escapes (the next
  // ones in code_points_).
  struct Piece {
    const char* run;
    size_t length;
    size_t escapes;
  };
  // A cached member name: its str, its bytes (in the str, or in the text;
  // the first 16 also in head, zero after a shorter name's end) and the
  // name that followed it last time.
  struct Key {
    PyObject* str = nullptr;
    size_t length = 0;
    const char* text = nullptr;
    Head head{0, 0};
    Key* next = nullptr;

    bool holds(const char* s, size_t n, const Head& h) const {
      if (str == nullptr || length != n) return false;
      if (n <= 16) return head.low == h.low && head.high == h.high;
      return same_bytes(text, s, n);
    }
  };

  void skip_space() {
    while (static_cast<unsigned char>(*p_) <= ' ' &&
           (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) {
      ++p_;
    }
  }

  // At '[' or '{': a new frame.  The interpreter's recursion levels are
  // taken as the nesting first reaches each depth, and given back at the
  // end: the deepest nesting decides, as it does for json.loads.
  bool open(bool object) {
    const int needed = static_cast<int>(frames_.size()) + 1 + kSpareLevels;
    for (; levels_ < needed; ++levels_) {
      if (Py_EnterRecursiveCall(" while decoding a JSON document") != 0) return false;
    }
    ++p_;
    frames_.push_back(Frame{values_.size(), object});
    return true;
  }

  // Takes over o (a new reference, or null after a failure).
  bool push(PyObject* o) {
    if (o == nullptr) return false;
    if (values_.size() == values_.capacity()) {
      try {
        values_.reserve(values_.capacity() * 2 + 64);
      } catch (...) {
        Py_DECREF(o);
        PyErr_NoMemory();
        return false;
      }
    }
    values_.push_back(o);  // within capacity: no allocation
    return true;
  }

  void drop_top(size_t count) {
    for (size_t i = values_.size() - count; i < values_.size(); ++i) Py_DECREF(values_[i]);
    values_.resize(values_.size() - count);
  }

  // Ends the innermost frame: its values become one list or dict.
  bool close() {
    const Frame frame = frames_.back();
    frames_.pop_back();
    const size_t count = values_.size() - frame.first;
    PyObject** first = values_.data() + frame.first;
    if (!frame.object) {
      PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
      if (list == nullptr) return false;
      for (size_t i = 0; i < count; ++i)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), first[i]);
      values_.resize(frame.first);  // the list owns them now
      return push(list);
    }
    // Names and values alternate; a later duplicate name replaces the value
    // and keeps the first one's place, as in json.loads.
#ifdef PL_DICT_FROM_ITEMS
    PyObject* dict = _PyDict_FromItems(first, 2, first + 1, 2, static_cast<Py_ssize_t>(count / 2));
    const bool ok = dict != nullptr;
#else
    // Made at its final size: an object of more than five members gets the
    // interpreter's general table (the one for str names is made only by
    // growing, member by member, on 3.12).
    PyObject* dict = _PyDict_NewPresized(static_cast<Py_ssize_t>(count / 2));
    bool ok = dict != nullptr;
    for (size_t i = 0; ok && i < count; i += 2) {
      ok = PyDict_SetItem(dict, first[i], first[i + 1]) == 0;
    }
#endif
    drop_top(count);
    if (!ok) {
      Py_XDECREF(dict);
      return false;
    }
    return push(dict);
  }

  // At a member name: the name, white space and the colon.
  bool member_name() {
    skip_space();
    if (*p_ != '"' || !push(string(true))) return false;
    if (*p_ != ':') {
      skip_space();
      if (*p_ != ':') return false;
    }
    ++p_;
    if (*p_ == ' ') ++p_;  // what json.dumps writes after the colon
    return true;
  }

  PyObject* scalar() {
    switch (*p_) {
      case '"':
        return string(false);
      case 't':
        return literal("true", Py_True);
      case 'f':
        return literal("false", Py_False);
      case 'n':
        return literal("null", Py_None);
      default:
        return number();  // declines anything that is not a number
    }
  }

  template <size_t N>
  PyObject* literal(const char (&word)[N], PyObject* value) {
    constexpr size_t n = N - 1;
    if (static_cast<size_t>(end_ - p_) < n || memcmp(p_, word, n) != 0) return nullptr;
    p_ += n;
    return Py_NewRef(value);
  }

  // At the opening quote.  Declines control bytes, lone surrogate escapes
  // (json.loads keeps them) and bytes that are not UTF-8.
  PyObject* string(bool name) {
    const char* start = ++p_;
#if defined(__SSE2__)
    // A short ASCII string ends in its first 16 bytes: the first special
    // byte is its closing quote.
    unsigned special = 0;
    __m128i v = _mm_setzero_si128();
    if (end_ - p_ >= 16) {
      v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
      special = special_mask(v);
    }
    if (special != 0 && p_[__builtin_ctz(special)] == '"') {
      const unsigned n = static_cast<unsigned>(__builtin_ctz(special));
      p_ += n + 1;
      if (!name) return ascii_str(start, n);
      const __m128i head = bytes_before(v, n);
      return cached_name(start, n, Shape{},
                         Head{static_cast<uint64_t>(_mm_cvtsi128_si64(head)),
                              static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_srli_si128(head, 8)))});
    } else
#endif
    {
      return long_string(start, name);
    }
  }

  // The rest of string(): a string not ended in its first 16 bytes, or
  // holding other special bytes.
  __attribute__((noinline)) PyObject* long_string(const char* start, bool name) {
    Shape shape;
    const char* close = string_stop(p_, end_, shape);
    if (close == end_) return nullptr;
    if (*close != '"') {
      p_ = close;
      return escaped(start, shape.wide);
    }
    p_ = close + 1;
    const size_t n = static_cast<size_t>(close - start);
    if (name && n <= kCachedKeyMax) return cached_name(start, n, shape, head_of(start, n));
    return shape.wide ? utf8_str(start, n, shape) : ascii_str(start, n);
  }

  // A member name without escapes, from the name cache when the same bytes
  // were met before in its slot.  Objects of a kind list their names in
  // the same order, so the name that followed the previous one last time
  // is tried first.
  PyObject* cached_name(const char* s, size_t n, const Shape& shape, const Head& head) {
    Key* key = predicted_;
    if (key != nullptr && key->holds(s, n, head)) {
      last_->next = key;
      last_ = key;
      predicted_ = key->next;
      return Py_NewRef(key->str);
    }
    return other_name(s, n, shape, head);
  }

  // A name other than the one predicted.
  __attribute__((noinline)) PyObject* other_name(const char* s, size_t n, const Shape& shape,
                                                 const Head& head) {
    Key* key = find_name(s, n, head);
    if (key == nullptr) {  // a new name, or one the full cache has no room for
      PyObject* str = shape.wide ? utf8_str(s, n, shape) : ascii_str(s, n);
      if (str == nullptr) return nullptr;
      key = free_key_;
      if (key == nullptr) {
        last_ = predicted_ = nullptr;
        return str;
      }
      key->str = str;
      // An ASCII name is compared with the str's own bytes, which stay in
      // the processor's cache while the name recurs, rather than with its
      // first place in the text.
      key->text = shape.wide ? s : reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str));
      key->length = n;
      key->head = head;
    }
    if (last_ != nullptr) last_->next = key;
    last_ = key;
    predicted_ = key->next;
    return Py_NewRef(key->str);
  }

  // The cache's entry for a name, looked for from its slot on through the
  // next few; null when it has none, with free_key_ the first free entry
  // among them (null when they are all taken).  Entries are never given up
  // during a pass, so a name that recurs is one str while the cache has
  // room (a catalog has some tens of names).
  Key* find_name(const char* s, size_t n, const Head& head) {
    const size_t slot = n <= 16 ? head_slot(head, n) : name_slot(s, n);
    free_key_ = nullptr;
    for (size_t i = 0; i < kKeyProbes; ++i) {
      Key& key = keys_[(slot + i) % kKeyCacheSlots];
      if (key.str == nullptr) {
        free_key_ = &key;
        return nullptr;
      }
      if (key.holds(s, n, head)) return &key;
    }
    return nullptr;
  }

  // The rest of a string from its first escape (at p_) on.  While its bytes
  // are ASCII, it is kept as pieces (runs of the text, each followed by the
  // code points of escapes) and written once into a str of the right kind;
  // otherwise it is rebuilt as UTF-8 and decoded.
  PyObject* escaped(const char* start, bool wide) {
    pieces_.clear();
    points_ = 0;
    Piece piece{start, static_cast<size_t>(p_ - start), 0};
    if (!wide) {
      size_t run_bytes = piece.length;
      Py_UCS4 max = 0x7F;
      for (;;) {
        while (*p_ == '\\') {
#ifdef PL_JSON_X86
          if (g_cpu.avx2 && end_ - p_ >= 16) {
            room_for_points(64);
            const size_t n = escape_run_avx2(p_, end_, code_points_.data() + points_,
                                             code_points_.size() - points_, max);
            points_ += n;
            piece.escapes += n;
            if (n != 0) continue;
          }
#endif
          uint32_t cp = 0;
          if (!unescape(p_, end_, cp)) return nullptr;
          room_for_points(1);
          if (cp > max) max = cp;
          code_points_[points_++] = cp;
          ++piece.escapes;
        }
        Shape shape;
        const char* stop = string_stop(p_, end_, shape);
        if (stop == end_) return nullptr;
        if (shape.wide) break;  // the rest as UTF-8
        pieces_.push_back(piece);
        piece = Piece{p_, static_cast<size_t>(stop - p_), 0};
        run_bytes += piece.length;
        p_ = stop;
        if (*p_ == '"') {
          ++p_;
          pieces_.push_back(piece);
          return from_pieces(run_bytes + points_, max);
        }
        if (*p_ != '\\') return nullptr;
      }
    }
    // From the pieces so far, then the rest of the string.
    pieces_.push_back(piece);
    unescaped_.clear();
    const Py_UCS4* cp = code_points_.data();
    for (const Piece& done : pieces_) {
      unescaped_.append(done.run, done.length);
      for (size_t i = 0; i < done.escapes; ++i) append_utf8(unescaped_, *cp++);
    }
    for (;;) {
      while (*p_ == '\\') {
        uint32_t escape = 0;
        if (!unescape(p_, end_, escape)) return nullptr;
        append_utf8(unescaped_, escape);
      }
      Shape shape;
      const char* stop = string_stop(p_, end_, shape);
      if (stop == end_) return nullptr;
      unescaped_.append(p_, stop);
      p_ = stop;
      if (*p_ == '"') break;
      if (*p_ != '\\') return nullptr;
    }
    ++p_;
    const Shape shape = utf8_shape(unescaped_.data(), unescaped_.size());
    if (!shape.wide) return ascii_str(unescaped_.data(), unescaped_.size());
    return utf8_str(unescaped_.data(), unescaped_.size(), shape);
  }

  // Room for n more code points after the first points_ (std::bad_alloc
  // when there is no memory for them).
  void room_for_points(size_t n) {
    if (code_points_.size() - points_ < n) code_points_.resize(2 * code_points_.size() + n);
  }

  static void append_utf8(std::string& out, uint32_t cp) {
    char b[4];
    size_t n;
    if (cp < 0x80) {
      b[0] = static_cast<char>(cp);
      n = 1;
    } else if (cp < 0x800) {
      b[0] = static_cast<char>(0xC0 | (cp >> 6));
      b[1] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 2;
    } else if (cp < 0x10000) {
      b[0] = static_cast<char>(0xE0 | (cp >> 12));
      b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      b[2] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 3;
    } else {
      b[0] = static_cast<char>(0xF0 | (cp >> 18));
      b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      b[3] = static_cast<char>(0x80 | (cp & 0x3F));
      n = 4;
    }
    out.append(b, n);
  }

  // A str of length code points, the largest max, written from pieces_.
  PyObject* from_pieces(size_t length, Py_UCS4 max) {
    if (length == 1) {  // one escape alone
      return PyUnicode_FromOrdinal(static_cast<int>(code_points_[0]));
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), max);
    if (str == nullptr) return nullptr;
    void* data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
      case PyUnicode_1BYTE_KIND:
        write_pieces(static_cast<Py_UCS1*>(data));
        break;
      case PyUnicode_2BYTE_KIND:
        write_pieces(static_cast<Py_UCS2*>(data));
        break;
      default:
        write_pieces(static_cast<Py_UCS4*>(data));
        break;
    }
    return str;
  }

  template <typename Unit>
  void write_pieces(Unit* out) const {
    const Py_UCS4* cp = code_points_.data();
    for (const Piece& piece : pieces_) {
      const unsigned char* from = reinterpret_cast<const unsigned char*>(piece.run);
      if constexpr (sizeof(Unit) == 1) {
        memcpy(out, from, piece.length);
      } else {
        for (size_t i = 0; i < piece.length; ++i) out[i] = from[i];
      }
      out += piece.length;
      for (size_t i = 0; i < piece.escapes; ++i) *out++ = static_cast<Unit>(*cp++);
    }
  }

  // The code point of the escape at p (a backslash), which must end before
  // end; p moves past it.  A surrogate counts only as the first of a pair.
  static bool unescape(const char*& p, const char* end, uint32_t& cp) {
    if (end - p < 2) return false;
    const char c = p[1];
    if (c == 'u') {
      p += 2;
      if (!hex4(p, end, cp)) return false;
      if (cp < 0xD800 || cp > 0xDFFF) return true;
      uint32_t low = 0;
      if (cp > 0xDBFF || end - p < 2 || p[0] != '\\' || p[1] != 'u') return false;
      p += 2;
      if (!hex4(p, end, low) || low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      return true;
    }
    p += 2;
    switch (c) {
      case '"':
      case '\\':
      case '/':
        cp = static_cast<uint32_t>(c);
        return true;
      case 'b':
        cp = '\b';
        return true;
      case 'f':
        cp = '\f';
        return true;
      case 'n':
        cp = '\n';
        return true;
      case 'r':
        cp = '\r';
        return true;
      case 't':
        cp = '\t';
        return true;
      default:
        return false;
    }
  }

  static bool hex4(const char*& p, const char* end, uint32_t& cp) {
    if (end - p < 4) return false;
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
    const int a = kHexValue[u[0]];
    const int b = kHexValue[u[1]];
    const int c = kHexValue[u[2]];
    const int d = kHexValue[u[3]];
    if ((a | b | c | d) < 0) return false;
    cp = static_cast<uint32_t>(a << 12 | b << 8 | c << 4 | d);
    p += 4;
    return true;
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?  An int without fraction
  // or exponent, a float otherwise, as json.loads.  Declines NaN and
  // Infinity.
  PyObject* number() {
    const char* start = p_;
    const bool minus = *p_ == '-';
    if (minus) ++p_;
    if (!is_digit(*p_)) return nullptr;
    // The digits as one integer: an int's value up to 18 digits; for a
    // float, as long as it is exact in a double (15 significant digits),
    // with the count of digits after the point.
    uint64_t digits = 0;
    int significant = 0;  // digits from the first non-zero one
    int fraction = 0;
    auto take = [&](char d) {
      if (significant > 0 || d != '0') ++significant;
      if (significant <= 15) digits = digits * 10 + static_cast<uint64_t>(d - '0');
    };
    if (*p_ == '0') {
      ++p_;
    } else {
      // The integer part: no leading zero, so every digit counts.
      for (; is_digit(*p_); ++p_) {
        if (++significant <= 18) digits = digits * 10 + static_cast<uint64_t>(*p_ - '0');
      }
      if (*p_ != '.' && *p_ != 'e' && *p_ != 'E' && significant <= 18) {  // fits in 63 bits
        const long long v = static_cast<long long>(digits);
        return PyLong_FromLongLong(minus ? -v : v);
      }
    }
    bool integer = true;
    if (*p_ == '.') {
      integer = false;
      if (!is_digit(*++p_)) return nullptr;
      for (; is_digit(*p_); ++fraction) take(*p_++);
    }
    int exponent = 0;
    if (*p_ == 'e' || *p_ == 'E') {
      integer = false;
      bool negative = false;
      if (*++p_ == '+' || *p_ == '-') negative = *p_++ == '-';
      if (!is_digit(*p_)) return nullptr;
      for (; is_digit(*p_); ++p_) {
        if (exponent < 10000) exponent = exponent * 10 + (*p_ - '0');
      }
      if (negative) exponent = -exponent;
    }
    const size_t n = static_cast<size_t>(p_ - start);
    if (integer && n - minus == 1) return PyLong_FromLong(0);  // "0" or "-0"
    if (!integer && significant <= 15) {
      // Both the digits and the power of ten are exact doubles, so one
      // multiplication or division rounds correctly.
      const int scale = exponent - fraction;
      if (scale >= -22 && scale <= 22) {
        const double m = static_cast<double>(digits);
        const double d = scale >= 0 ? m * kExactTens[scale] : m / kExactTens[-scale];
        return PyFloat_FromDouble(minus ? -d : d);
      }
    }
    // The interpreter's converters read a C string.
    char small[64];
    std::unique_ptr<char[]> large;
    char* text = small;
    if (n >= sizeof small) {
      large.reset(new (std::nothrow) char[n + 1]);
      if (!large) return PyErr_NoMemory();
      text = large.get();
    }
    memcpy(text, start, n);
    text[n] = '\0';
    if (integer) return PyLong_FromString(text, nullptr, 10);
    char* after = nullptr;
    const double d = PyOS_string_to_double(text, &after, nullptr);
    if (after != text + n || (d == -1.0 && PyErr_Occurred())) return nullptr;
    return PyFloat_FromDouble(d);
  }

  const char* p_;
  const char* const end_;
  std::vector<PyObject*> values_;  // owned references
  std::vector<Frame> frames_;
  std::string unescaped_;             // a string with escapes, as UTF-8
  std::vector<Piece> pieces_;         // one with escapes, in pieces
  std::vector<Py_UCS4> code_points_;  // the first points_ in use
  size_t points_ = 0;
  std::array<Key, kKeyCacheSlots> keys_{};
  Key* last_ = nullptr;       // the last member name's entry
  Key* predicted_ = nullptr;  // the entry of the name that followed it
  Key* free_key_ = nullptr;   // what find_name found free
  int levels_ = 0;            // recursion levels entered
};

}  // namespace

void json_objects_use_vector_extensions(bool on) noexcept {
#ifdef PL_JSON_X86
  g_cpu = on ? kCpuFound : CpuVectors{false, false};
#else
  (void)on;
#endif
}

PyRef json_objects_from_text(const std::string& text) noexcept {
  PyRef root;
  try {
    Scanner scanner(text);
    root = scanner.document();
  } catch (...) {  // memory for the frames or an unescaped string
    root.reset();
  }
  if (!root) PyErr_Clear();
  return root;
}
