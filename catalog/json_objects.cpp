// JSON text to Python objects in one pass over the bytes.  The scanner walks
// the text once, without recursion (open arrays and objects are frames on a
// stack of their own), and leaves every finished value on a stack of values;
// the end of an array or object gathers its values from the top of that
// stack.  Strings of ASCII bytes are copied into their str, other strings are
// decoded by the interpreter's strict UTF-8 decoder; numbers are made from
// their own text (int of any size, float correctly rounded).
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

namespace {

// C recursion levels taken before the first array or object, on top of the
// one per level of nesting that json.loads takes too: json.loads, called
// from here instead, takes two more (the interpreter's entry and the
// scanner's call); the rest is spare.  A document that does not fit under
// the interpreter's limit with these goes to json.loads, which decides.
constexpr int kSpareLevels = 8;

// Object member names of up to kCachedKeyMax bytes are made once per
// document: a name met again in the same slot is the same str object.
constexpr size_t kKeyCacheSlots = 256;
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

// The first byte in [p, end) that is '"', '\\' or a control byte (below
// 0x20), or end.  Sets wide when a byte above 0x7F comes before it.
const char* string_stop(const char* p, const char* end, bool& wide) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i last_control = _mm_set1_epi8(0x1F);
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // v <= 0x1F (unsigned) exactly when min(v, 0x1F) == v.
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, last_control), v);
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), control);
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));  // bytes above 0x7F
    if (mask != 0) {
      const unsigned at = static_cast<unsigned>(__builtin_ctz(mask));
      wide = wide || (high & ((1u << at) - 1)) != 0;
      return p + at;
    }
    wide = wide || high != 0;
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\' || c < 0x20) return p;
    wide = wide || c > 0x7F;
  }
  return end;
}

// Slot of a member name in the name cache: its length and its first and
// last eight bytes (a shorter name whole).
size_t name_slot(const char* s, size_t n) {
  uint64_t head = 0;
  uint64_t tail = 0;
  if (n >= 8) {
    memcpy(&head, s, 8);
    memcpy(&tail, s + n - 8, 8);
  } else {
    for (size_t i = 0; i < n; ++i) head = head << 8 | static_cast<unsigned char>(s[i]);
  }
  const uint64_t h = (head * 0x9E3779B97F4A7C15u) ^ (tail * 0xC2B2AE3D27D4EB4Fu) ^ n;
  return static_cast<size_t>(h >> 32) % kKeyCacheSlots;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

class Scanner {
 public:
  Scanner(const char* text, size_t size) : p_(text), end_(text + size) { keys_.fill(nullptr); }
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;
  ~Scanner() {
    drop_top(values_.size());
    for (PyObject* key : keys_) Py_XDECREF(key);
    while (levels_ > 0) leave();
  }

  // The document's value, or an empty handle when declined (an interpreter
  // error may then be pending).
  PyRef document() {
    for (int i = 0; i < kSpareLevels; ++i) {
      if (!enter()) return PyRef();
    }
    for (;;) {
      // A value: an array or object opens a frame, anything else is pushed.
      skip_space();
      if (p_ == end_) return PyRef();
      const char c = *p_;
      if (c == '[' || c == '{') {
        if (!enter()) return PyRef();
        ++p_;
        frames_.push_back(Frame{values_.size(), c == '{'});
        skip_space();
        if (p_ != end_ && *p_ == (c == '{' ? '}' : ']')) {
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
        if (p_ == end_) return PyRef();
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

  void skip_space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool enter() {
    if (Py_EnterRecursiveCall(" while decoding a JSON document") != 0) return false;
    ++levels_;
    return true;
  }
  void leave() {
    Py_LeaveRecursiveCall();
    --levels_;
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
    leave();
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
    PyObject* dict = PyDict_New();
    bool ok = dict != nullptr;
    for (size_t i = 0; ok && i < count; i += 2) {
      ok = PyDict_SetItem(dict, first[i], first[i + 1]) == 0;
    }
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
    if (p_ == end_ || *p_ != '"' || !push(string(true))) return false;
    skip_space();
    if (p_ == end_ || *p_ != ':') return false;
    ++p_;
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

  PyObject* literal(const char* word, PyObject* value) {
    const size_t n = strlen(word);
    if (static_cast<size_t>(end_ - p_) < n || memcmp(p_, word, n) != 0) return nullptr;
    p_ += n;
    return Py_NewRef(value);
  }

  // At the opening quote.  Declines control bytes, lone surrogate escapes
  // (json.loads keeps them) and bytes that are not UTF-8.
  PyObject* string(bool name) {
    const char* start = ++p_;
    bool wide = false;
    const char* close = string_stop(p_, end_, wide);
    if (close == end_) return nullptr;
    if (*close == '"') {
      p_ = close + 1;
      return make_str(start, static_cast<size_t>(close - start), name, wide);
    }
    p_ = close;
    return escaped(start, wide);
  }

  // The rest of a string from its first escape (at p_) on.  While its bytes
  // are ASCII, it is kept as pieces (runs of the text, each followed by the
  // code points of escapes) and written once into a str of the right kind;
  // otherwise it is rebuilt as UTF-8 and decoded.
  PyObject* escaped(const char* start, bool wide) {
    pieces_.clear();
    code_points_.clear();
    Piece piece{start, static_cast<size_t>(p_ - start), 0};
    if (!wide) {
      size_t run_bytes = piece.length;
      Py_UCS4 max = 0x7F;
      for (;;) {
        while (p_ != end_ && *p_ == '\\') {
          uint32_t cp = 0;
          if (!unescape(p_, end_, cp)) return nullptr;
          if (cp > max) max = cp;
          code_points_.push_back(cp);
          ++piece.escapes;
        }
        const char* stop = string_stop(p_, end_, wide);
        if (stop == end_) return nullptr;
        if (wide) break;  // the rest as UTF-8
        pieces_.push_back(piece);
        piece = Piece{p_, static_cast<size_t>(stop - p_), 0};
        run_bytes += piece.length;
        p_ = stop;
        if (*p_ == '"') {
          ++p_;
          pieces_.push_back(piece);
          return from_pieces(run_bytes + code_points_.size(), max);
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
      while (p_ != end_ && *p_ == '\\') {
        uint32_t escape = 0;
        if (!unescape(p_, end_, escape)) return nullptr;
        append_utf8(unescaped_, escape);
      }
      const char* stop = string_stop(p_, end_, wide);
      if (stop == end_) return nullptr;
      unescaped_.append(p_, stop);
      p_ = stop;
      if (*p_ == '"') break;
      if (*p_ != '\\') return nullptr;
    }
    ++p_;
    return PyUnicode_DecodeUTF8(unescaped_.data(), static_cast<Py_ssize_t>(unescaped_.size()),
                                nullptr);
  }

  // A str of length code points, the largest max, written from pieces_.
  PyObject* from_pieces(size_t length, Py_UCS4 max) {
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), max);
    if (str == nullptr) return nullptr;
    const int kind = PyUnicode_KIND(str);
    void* data = PyUnicode_DATA(str);
    Py_ssize_t at = 0;
    const Py_UCS4* cp = code_points_.data();
    for (const Piece& piece : pieces_) {
      if (kind == PyUnicode_1BYTE_KIND) {
        memcpy(static_cast<Py_UCS1*>(data) + at, piece.run, piece.length);
      } else if (kind == PyUnicode_2BYTE_KIND) {
        widen(piece, static_cast<Py_UCS2*>(data) + at);
      } else {
        widen(piece, static_cast<Py_UCS4*>(data) + at);
      }
      at += static_cast<Py_ssize_t>(piece.length);
      for (size_t i = 0; i < piece.escapes; ++i) PyUnicode_WRITE(kind, data, at++, *cp++);
    }
    return str;
  }

  template <typename Unit>
  static void widen(const Piece& piece, Unit* to) {
    const unsigned char* from = reinterpret_cast<const unsigned char*>(piece.run);
    for (size_t i = 0; i < piece.length; ++i) to[i] = from[i];
  }

  // The code point of the escape at p (a backslash), which must end before
  // end; p moves past it.  A surrogate counts only as the first of a pair.
  static bool unescape(const char*& p, const char* end, uint32_t& cp) {
    if (end - p < 2) return false;
    const char c = p[1];
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
      case 'u':
        break;
      default:
        return false;
    }
    if (!hex4(p, end, cp) || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      uint32_t low = 0;
      if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return false;
      p += 2;
      if (!hex4(p, end, low) || low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    return true;
  }

  static bool hex4(const char*& p, const char* end, uint32_t& cp) {
    if (end - p < 4) return false;
    cp = 0;
    for (int i = 0; i < 4; ++i) {
      const int v = kHexValue[static_cast<unsigned char>(p[i])];
      if (v < 0) return false;
      cp = cp << 4 | static_cast<uint32_t>(v);
    }
    p += 4;
    return true;
  }

  // A string without escapes.  Only ASCII names are kept in the name cache,
  // so a kept str's length and bytes are the name's.
  PyObject* make_str(const char* s, size_t n, bool name, bool wide) {
    if (wide) return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr);
    if (!name || n > kCachedKeyMax) return ascii_str(s, n);
    PyObject*& slot = keys_[name_slot(s, n)];
    if (slot != nullptr && static_cast<size_t>(PyUnicode_GET_LENGTH(slot)) == n &&
        memcmp(PyUnicode_DATA(slot), s, n) == 0) {
      return Py_NewRef(slot);
    }
    PyObject* str = ascii_str(s, n);
    if (str != nullptr) Py_XSETREF(slot, Py_NewRef(str));
    return str;
  }

  static PyObject* ascii_str(const char* s, size_t n) {
    if (n == 1) return PyUnicode_FromOrdinal(static_cast<unsigned char>(s[0]));  // shared
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (str != nullptr) memcpy(PyUnicode_1BYTE_DATA(str), s, n);
    return str;
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?  An int without fraction
  // or exponent, a float otherwise, as json.loads.  Declines NaN and
  // Infinity.
  PyObject* number() {
    const char* start = p_;
    if (*p_ == '-') ++p_;
    if (p_ == end_ || !is_digit(*p_)) return nullptr;
    if (*p_++ != '0') {
      while (p_ != end_ && is_digit(*p_)) ++p_;
    }
    bool integer = true;
    if (p_ != end_ && *p_ == '.') {
      integer = false;
      if (++p_ == end_ || !is_digit(*p_)) return nullptr;
      while (p_ != end_ && is_digit(*p_)) ++p_;
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      integer = false;
      if (++p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !is_digit(*p_)) return nullptr;
      while (p_ != end_ && is_digit(*p_)) ++p_;
    }
    const size_t n = static_cast<size_t>(p_ - start);
    const bool minus = *start == '-';
    if (integer && n - minus <= 18) {  // fits in 63 bits
      long long v = 0;
      for (const char* d = start + minus; d != p_; ++d) v = v * 10 + (*d - '0');
      return PyLong_FromLongLong(minus ? -v : v);
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
  std::string unescaped_;      // a string with escapes, as UTF-8
  std::vector<Piece> pieces_;  // one with escapes, in pieces
  std::vector<Py_UCS4> code_points_;
  std::array<PyObject*, kKeyCacheSlots> keys_;
  int levels_ = 0;  // recursion levels entered
};

}  // namespace

PyRef json_objects_from_text(const std::string& text) noexcept {
  PyRef root;
  try {
    Scanner scanner(text.data(), text.size());
    root = scanner.document();
  } catch (...) {  // memory for the frames or an unescaped string
    root.reset();
  }
  if (!root) PyErr_Clear();
  return root;
}
