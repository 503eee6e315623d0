#include "crypto/aes.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PL_AES_X86 1
#endif

namespace {

// ---- GF(2^8) arithmetic modulo x^8 + x^4 + x^3 + x + 1 ----

constexpr uint8_t xtime(uint8_t a) {
  return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) != 0 ? 0x1b : 0x00));
}

constexpr uint8_t gmul(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  while (b != 0) {
    if ((b & 1) != 0) product ^= a;
    a = xtime(a);
    b >>= 1;
  }
  return product;
}

constexpr uint8_t rotl8(uint8_t x, int n) {
  return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr uint32_t rotr32(uint32_t w, int n) { return (w >> n) | (w << (32 - n)); }

constexpr uint32_t pack(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return (static_cast<uint32_t>(b0) << 24) | (static_cast<uint32_t>(b1) << 16) |
         (static_cast<uint32_t>(b2) << 8) | b3;
}

// Every table of the cipher, computed by the compiler from its formula, so
// the tables land in read-only data with no start-up work.
struct Tables {
  std::array<uint8_t, 256> S{};
  std::array<uint8_t, 256> Si{};
  std::array<uint32_t, 256> T1{}, T2{}, T3{}, T4{};
  std::array<uint32_t, 256> T5{}, T6{}, T7{}, T8{};
  std::array<uint32_t, 256> U1{}, U2{}, U3{}, U4{};
  std::array<uint8_t, 30> rcon{};
};

constexpr Tables make_tables() {
  Tables t;
  // exp/log tables of the generator 3 give the multiplicative inverses.
  std::array<uint8_t, 256> exp{};
  std::array<uint8_t, 256> log{};
  uint8_t x = 1;
  for (int i = 0; i < 255; ++i) {
    exp[i] = x;
    log[x] = static_cast<uint8_t>(i);
    x = gmul(x, 3);
  }
  for (int v = 0; v < 256; ++v) {
    // S[v] = affine(v^-1): b ^ rotl(b,1) ^ rotl(b,2) ^ rotl(b,3) ^ rotl(b,4) ^ 0x63
    uint8_t inv = v == 0 ? 0 : exp[(255 - log[v]) % 255];
    uint8_t s = static_cast<uint8_t>(inv ^ rotl8(inv, 1) ^ rotl8(inv, 2) ^ rotl8(inv, 3) ^
                                     rotl8(inv, 4) ^ 0x63);
    t.S[v] = s;
    t.Si[s] = static_cast<uint8_t>(v);
  }
  for (int v = 0; v < 256; ++v) {
    // T1[x] = (2·S[x], S[x], S[x], 3·S[x]); T2..T4 its rotations right by 8, 16, 24.
    uint8_t s = t.S[v];
    uint32_t w = pack(gmul(s, 2), s, s, gmul(s, 3));
    t.T1[v] = w;
    t.T2[v] = rotr32(w, 8);
    t.T3[v] = rotr32(w, 16);
    t.T4[v] = rotr32(w, 24);
    // T5[x] = (14·Si[x], 9·Si[x], 13·Si[x], 11·Si[x]); T6..T8 its rotations.
    uint8_t si = t.Si[v];
    w = pack(gmul(si, 14), gmul(si, 9), gmul(si, 13), gmul(si, 11));
    t.T5[v] = w;
    t.T6[v] = rotr32(w, 8);
    t.T7[v] = rotr32(w, 16);
    t.T8[v] = rotr32(w, 24);
    // U1[x] = (14·x, 9·x, 13·x, 11·x); U2..U4 its rotations.
    uint8_t u = static_cast<uint8_t>(v);
    w = pack(gmul(u, 14), gmul(u, 9), gmul(u, 13), gmul(u, 11));
    t.U1[v] = w;
    t.U2[v] = rotr32(w, 8);
    t.U3[v] = rotr32(w, 16);
    t.U4[v] = rotr32(w, 24);
  }
  // rcon[i] = x^i: successive doublings starting at 01.
  uint8_t r = 1;
  for (size_t i = 0; i < t.rcon.size(); ++i) {
    t.rcon[i] = r;
    r = xtime(r);
  }
  return t;
}

constexpr Tables kTables = make_tables();

static_assert(kTables.S[0] == 0x63 && kTables.S[1] == 0x7c && kTables.S[2] == 0x77 &&
                  kTables.S[3] == 0x7b && kTables.S[0xff] == 0x16,
              "S-box");
static_assert(kTables.Si[0] == 0x52 && kTables.Si[0xff] == 0x7d, "inverse S-box");
static_assert(kTables.T1[0] == 0xc66363a5u && kTables.T5[0] == 0x51f4a750u, "T-tables");
static_assert(kTables.rcon[9] == 0x36 && kTables.rcon[29] == 0x91, "round constants");

const char kZeroChain[32] = {};

inline uint32_t load_be(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline void store_be(uint8_t* p, uint32_t w) {
  p[0] = static_cast<uint8_t>(w >> 24);
  p[1] = static_cast<uint8_t>(w >> 16);
  p[2] = static_cast<uint8_t>(w >> 8);
  p[3] = static_cast<uint8_t>(w);
}

inline const uint8_t* bytes(const char* p) { return reinterpret_cast<const uint8_t*>(p); }
inline uint8_t* bytes(char* p) { return reinterpret_cast<uint8_t*>(p); }

// The S-box applied to each byte of w.
inline uint32_t sub_word(const std::array<uint8_t, 256>& s, uint32_t w) {
  return pack(s[w >> 24], s[(w >> 16) & 255], s[(w >> 8) & 255], s[w & 255]);
}

bool valid_length(int n) { return n == 16 || n == 24 || n == 32; }

#ifdef PL_AES_X86

// ---- the processor's AES instructions, for 16-byte blocks ----
//
// They work on the same schedules: a row of 4 big-endian words is the round
// key with the bytes of each word reversed, and the decryption rows are
// already in the form of the equivalent inverse cipher that AESDEC expects.

bool cpu_has_aes() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("aes") && __builtin_cpu_supports("ssse3");
}

const bool kCpuHasAes = cpu_has_aes();
bool g_use_aes_instructions = kCpuHasAes;

#define PL_TARGET_AES __attribute__((target("aes,ssse3")))

PL_TARGET_AES inline __m128i word_order() {
  return _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
}

PL_TARGET_AES inline __m128i load_row(const uint32_t* row, __m128i order) {
  return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row)), order);
}

PL_TARGET_AES inline void store_row(uint32_t* row, __m128i key, __m128i order) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(row), _mm_shuffle_epi8(key, order));
}

// Fills rows 0 to 10 (columns 0 to 3) of both schedules of a 16-byte key.
// Each step takes SubWord(RotWord(w3)) ^ rcon through AESENCLAST on w3
// rotated into every column (its ShiftRows then changes nothing), which is
// quicker than the key-generation assist instruction.
PL_TARGET_AES void make_key_128_ni(const uint8_t* key_bytes, const uint8_t* rcon,
                                   uint32_t (*enc)[8], uint32_t (*dec)[8]) {
  const __m128i order = word_order();
  const __m128i rot_word_3 = _mm_set1_epi32(0x0c0f0e0d);
  __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(key_bytes));
  store_row(enc[0], k, order);
  store_row(dec[10], k, order);
  for (int r = 1; r <= 10; ++r) {
    const __m128i t =
        _mm_aesenclast_si128(_mm_shuffle_epi8(k, rot_word_3), _mm_set1_epi32(rcon[r - 1]));
    k = _mm_xor_si128(k, _mm_slli_si128(k, 4));
    k = _mm_xor_si128(k, _mm_slli_si128(k, 8));
    k = _mm_xor_si128(k, t);
    store_row(enc[r], k, order);
    store_row(dec[10 - r], r == 10 ? k : _mm_aesimc_si128(k), order);
  }
}

PL_TARGET_AES void encrypt_block_ni(const uint32_t (*keys)[8], int rounds, const char* in,
                                    char* result) {
  const __m128i order = word_order();
  __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  s = _mm_xor_si128(s, load_row(keys[0], order));
  for (int r = 1; r < rounds; ++r) s = _mm_aesenc_si128(s, load_row(keys[r], order));
  s = _mm_aesenclast_si128(s, load_row(keys[rounds], order));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(result), s);
}

PL_TARGET_AES void decrypt_block_ni(const uint32_t (*keys)[8], int rounds, const char* in,
                                    char* result) {
  const __m128i order = word_order();
  __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  s = _mm_xor_si128(s, load_row(keys[0], order));
  for (int r = 1; r < rounds; ++r) s = _mm_aesdec_si128(s, load_row(keys[r], order));
  s = _mm_aesdeclast_si128(s, load_row(keys[rounds], order));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(result), s);
}

// CBC over whole 16-byte blocks with the round keys loaded once; the chain
// comes in and goes back out through chain.  Each incoming block is read
// before its output is written, so in and result may be the same buffer.
PL_TARGET_AES void cbc_encrypt_ni(const uint32_t (*keys)[8], int rounds, uint8_t* chain,
                                  const char* in, char* result, int64_t blocks) {
  const __m128i order = word_order();
  __m128i k[15];
  for (int r = 0; r <= rounds; ++r) k[r] = load_row(keys[r], order);
  __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chain));
  for (; blocks > 0; --blocks, in += 16, result += 16) {
    c = _mm_xor_si128(c, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
    c = _mm_xor_si128(c, k[0]);
    for (int r = 1; r < rounds; ++r) c = _mm_aesenc_si128(c, k[r]);
    c = _mm_aesenclast_si128(c, k[rounds]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(result), c);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), c);
}

PL_TARGET_AES void cbc_decrypt_ni(const uint32_t (*keys)[8], int rounds, uint8_t* chain,
                                  const char* in, char* result, int64_t blocks) {
  const __m128i order = word_order();
  __m128i k[15];
  for (int r = 0; r <= rounds; ++r) k[r] = load_row(keys[r], order);
  __m128i previous = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chain));
  for (; blocks > 0; --blocks, in += 16, result += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    __m128i s = _mm_xor_si128(c, k[0]);
    for (int r = 1; r < rounds; ++r) s = _mm_aesdec_si128(s, k[r]);
    s = _mm_aesdeclast_si128(s, k[rounds]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(result), _mm_xor_si128(s, previous));
    previous = c;
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), previous);
}

#else

constexpr bool kCpuHasAes = false;
bool g_use_aes_instructions = false;

#endif

}  // namespace

void AES::UseAesInstructions(bool on) { g_use_aes_instructions = on && kCpuHasAes; }

bool AES::UsesAesInstructions() { return g_use_aes_instructions; }

const std::array<uint8_t, 256> AES::sm_S = kTables.S;
const std::array<uint8_t, 256> AES::sm_Si = kTables.Si;
const std::array<uint32_t, 256> AES::sm_T1 = kTables.T1;
const std::array<uint32_t, 256> AES::sm_T2 = kTables.T2;
const std::array<uint32_t, 256> AES::sm_T3 = kTables.T3;
const std::array<uint32_t, 256> AES::sm_T4 = kTables.T4;
const std::array<uint32_t, 256> AES::sm_T5 = kTables.T5;
const std::array<uint32_t, 256> AES::sm_T6 = kTables.T6;
const std::array<uint32_t, 256> AES::sm_T7 = kTables.T7;
const std::array<uint32_t, 256> AES::sm_T8 = kTables.T8;
const std::array<uint32_t, 256> AES::sm_U1 = kTables.U1;
const std::array<uint32_t, 256> AES::sm_U2 = kTables.U2;
const std::array<uint32_t, 256> AES::sm_U3 = kTables.U3;
const std::array<uint32_t, 256> AES::sm_U4 = kTables.U4;
const std::array<uint8_t, 30> AES::sm_rcon = kTables.rcon;

const int AES::sm_shifts[3][4][2] = {
    {{0, 0}, {1, 3}, {2, 2}, {3, 1}},
    {{0, 0}, {1, 5}, {2, 4}, {3, 3}},
    {{0, 0}, {1, 7}, {3, 5}, {4, 4}},
};

const char* const AES::sm_chain0 = kZeroChain;
const char* const AES::sm_szErrorMsg1 = "Object not Initialized";
const char* const AES::sm_szErrorMsg2 = "Data not multiple of Block Size";

// The schedules and work space are written by MakeKey before anything reads
// them, so a new object (one per operation in the field cipher) does not
// spend time clearing them.
AES::AES()
    : m_ready(false), m_keyLength(0), m_blockLength(0), m_rounds(0), m_initChain(), m_curChain() {}

AES::~AES() {}

void AES::MakeKey(const char* key, const char* chain, int key_length, int block_length) {
  if (key == nullptr || !valid_length(key_length) || !valid_length(block_length)) return;
  if (chain == nullptr) chain = sm_chain0;

  // A longer key or block before this one filled rows and columns that a
  // 16-byte key and block leave alone.
  const bool wider_before = m_rounds > 10;
  m_keyLength = key_length;
  m_blockLength = block_length;
  memcpy(m_initChain, chain, static_cast<size_t>(block_length));
  memcpy(m_curChain, chain, static_cast<size_t>(block_length));
  const int nk = key_length / 4;
  const int nb = block_length / 4;
  m_rounds = (nk > nb ? nk : nb) + 6;
  const int rounds = m_rounds;

  if (nk == 4 && nb == 4) {
    if (wider_before) {
      memset(m_encRoundKeys, 0, sizeof m_encRoundKeys);
      memset(m_decRoundKeys, 0, sizeof m_decRoundKeys);
    }
    make_key_128(bytes(key));
    m_ready = true;
    return;
  }

  memset(m_encRoundKeys, 0, sizeof m_encRoundKeys);
  memset(m_decRoundKeys, 0, sizeof m_decRoundKeys);

  for (int i = 0; i < nk; ++i) m_keyWork[i] = load_be(bytes(key) + 4 * i);

  // Expanded word t goes to column t mod Nb of encryption row t / Nb and of
  // decryption row rounds - t / Nb.
  const int total = nb * (rounds + 1);
  int t = 0;
  auto place = [&] {
    for (int j = 0; j < nk && t < total; ++j, ++t) {
      m_encRoundKeys[t / nb][t % nb] = m_keyWork[j];
      m_decRoundKeys[rounds - t / nb][t % nb] = m_keyWork[j];
    }
  };
  place();
  for (int group = 0; t < total; ++group) {
    uint32_t last = m_keyWork[nk - 1];
    m_keyWork[0] ^=
        sub_word(sm_S, (last << 8) | (last >> 24)) ^ (static_cast<uint32_t>(sm_rcon[group]) << 24);
    if (nk != 8) {
      for (int i = 1; i < nk; ++i) m_keyWork[i] ^= m_keyWork[i - 1];
    } else {
      for (int i = 1; i < 4; ++i) m_keyWork[i] ^= m_keyWork[i - 1];
      m_keyWork[4] ^= sub_word(sm_S, m_keyWork[3]);
      for (int i = 5; i < 8; ++i) m_keyWork[i] ^= m_keyWork[i - 1];
    }
    place();
  }

  // InvMixColumns on the inner decryption rows (equivalent inverse cipher).
  for (int r = 1; r < rounds; ++r) {
    for (int j = 0; j < nb; ++j) {
      uint32_t w = m_decRoundKeys[r][j];
      m_decRoundKeys[r][j] =
          sm_U1[w >> 24] ^ sm_U2[(w >> 16) & 255] ^ sm_U3[(w >> 8) & 255] ^ sm_U4[w & 255];
    }
  }
  memset(m_keyWork, 0, sizeof m_keyWork);
  m_ready = true;
}

// The schedule of a 16-byte key and block (10 rounds): the same words as the
// general expansion, four per round, without its index arithmetic.  Only rows
// 0 to 10, columns 0 to 3, are written: the others are never read with these
// lengths (MakeKey clears them when a longer key left words there).
void AES::make_key_128(const uint8_t* key) {
#ifdef PL_AES_X86
  if (g_use_aes_instructions) {
    make_key_128_ni(key, sm_rcon.data(), m_encRoundKeys, m_decRoundKeys);
    return;
  }
#endif
  uint32_t w0 = load_be(key), w1 = load_be(key + 4), w2 = load_be(key + 8), w3 = load_be(key + 12);
  for (int r = 0;; ++r) {
    uint32_t* enc = m_encRoundKeys[r];
    uint32_t* dec = m_decRoundKeys[10 - r];
    enc[0] = dec[0] = w0;
    enc[1] = dec[1] = w1;
    enc[2] = dec[2] = w2;
    enc[3] = dec[3] = w3;
    if (r == 10) break;
    w0 ^= sub_word(sm_S, (w3 << 8) | (w3 >> 24)) ^ (static_cast<uint32_t>(sm_rcon[r]) << 24);
    w1 ^= w0;
    w2 ^= w1;
    w3 ^= w2;
  }
  // InvMixColumns on the inner decryption rows (equivalent inverse cipher).
  for (int r = 1; r < 10; ++r) {
    for (int j = 0; j < 4; ++j) {
      const uint32_t w = m_decRoundKeys[r][j];
      m_decRoundKeys[r][j] =
          sm_U1[w >> 24] ^ sm_U2[(w >> 16) & 255] ^ sm_U3[(w >> 8) & 255] ^ sm_U4[w & 255];
    }
  }
}

void AES::DefEncryptBlock(const char* in, char* result) {
  if (!m_ready || m_blockLength != 16 || in == nullptr || result == nullptr) return;
#ifdef PL_AES_X86
  if (g_use_aes_instructions) {
    encrypt_block_ni(m_encRoundKeys, m_rounds, in, result);
    return;
  }
#endif
  const uint8_t* p = bytes(in);
  const uint32_t(*k)[kMaxBlockWords] = m_encRoundKeys;
  uint32_t s0 = load_be(p) ^ k[0][0];
  uint32_t s1 = load_be(p + 4) ^ k[0][1];
  uint32_t s2 = load_be(p + 8) ^ k[0][2];
  uint32_t s3 = load_be(p + 12) ^ k[0][3];
  for (int r = 1; r < m_rounds; ++r) {
    uint32_t t0 = sm_T1[s0 >> 24] ^ sm_T2[(s1 >> 16) & 255] ^ sm_T3[(s2 >> 8) & 255] ^
                  sm_T4[s3 & 255] ^ k[r][0];
    uint32_t t1 = sm_T1[s1 >> 24] ^ sm_T2[(s2 >> 16) & 255] ^ sm_T3[(s3 >> 8) & 255] ^
                  sm_T4[s0 & 255] ^ k[r][1];
    uint32_t t2 = sm_T1[s2 >> 24] ^ sm_T2[(s3 >> 16) & 255] ^ sm_T3[(s0 >> 8) & 255] ^
                  sm_T4[s1 & 255] ^ k[r][2];
    uint32_t t3 = sm_T1[s3 >> 24] ^ sm_T2[(s0 >> 16) & 255] ^ sm_T3[(s1 >> 8) & 255] ^
                  sm_T4[s2 & 255] ^ k[r][3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  const uint32_t* last = k[m_rounds];
  uint8_t* out = bytes(result);
  store_be(out,
           pack(sm_S[s0 >> 24], sm_S[(s1 >> 16) & 255], sm_S[(s2 >> 8) & 255], sm_S[s3 & 255]) ^
               last[0]);
  store_be(out + 4,
           pack(sm_S[s1 >> 24], sm_S[(s2 >> 16) & 255], sm_S[(s3 >> 8) & 255], sm_S[s0 & 255]) ^
               last[1]);
  store_be(out + 8,
           pack(sm_S[s2 >> 24], sm_S[(s3 >> 16) & 255], sm_S[(s0 >> 8) & 255], sm_S[s1 & 255]) ^
               last[2]);
  store_be(out + 12,
           pack(sm_S[s3 >> 24], sm_S[(s0 >> 16) & 255], sm_S[(s1 >> 8) & 255], sm_S[s2 & 255]) ^
               last[3]);
}

void AES::DefDecryptBlock(const char* in, char* result) {
  if (!m_ready || m_blockLength != 16 || in == nullptr || result == nullptr) return;
#ifdef PL_AES_X86
  if (g_use_aes_instructions) {
    decrypt_block_ni(m_decRoundKeys, m_rounds, in, result);
    return;
  }
#endif
  const uint8_t* p = bytes(in);
  const uint32_t(*k)[kMaxBlockWords] = m_decRoundKeys;
  uint32_t s0 = load_be(p) ^ k[0][0];
  uint32_t s1 = load_be(p + 4) ^ k[0][1];
  uint32_t s2 = load_be(p + 8) ^ k[0][2];
  uint32_t s3 = load_be(p + 12) ^ k[0][3];
  for (int r = 1; r < m_rounds; ++r) {
    uint32_t t0 = sm_T5[s0 >> 24] ^ sm_T6[(s3 >> 16) & 255] ^ sm_T7[(s2 >> 8) & 255] ^
                  sm_T8[s1 & 255] ^ k[r][0];
    uint32_t t1 = sm_T5[s1 >> 24] ^ sm_T6[(s0 >> 16) & 255] ^ sm_T7[(s3 >> 8) & 255] ^
                  sm_T8[s2 & 255] ^ k[r][1];
    uint32_t t2 = sm_T5[s2 >> 24] ^ sm_T6[(s1 >> 16) & 255] ^ sm_T7[(s0 >> 8) & 255] ^
                  sm_T8[s3 & 255] ^ k[r][2];
    uint32_t t3 = sm_T5[s3 >> 24] ^ sm_T6[(s2 >> 16) & 255] ^ sm_T7[(s1 >> 8) & 255] ^
                  sm_T8[s0 & 255] ^ k[r][3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  const uint32_t* last = k[m_rounds];
  uint8_t* out = bytes(result);
  store_be(out,
           pack(sm_Si[s0 >> 24], sm_Si[(s3 >> 16) & 255], sm_Si[(s2 >> 8) & 255], sm_Si[s1 & 255]) ^
               last[0]);
  store_be(out + 4,
           pack(sm_Si[s1 >> 24], sm_Si[(s0 >> 16) & 255], sm_Si[(s3 >> 8) & 255], sm_Si[s2 & 255]) ^
               last[1]);
  store_be(out + 8,
           pack(sm_Si[s2 >> 24], sm_Si[(s1 >> 16) & 255], sm_Si[(s0 >> 8) & 255], sm_Si[s3 & 255]) ^
               last[2]);
  store_be(out + 12,
           pack(sm_Si[s3 >> 24], sm_Si[(s2 >> 16) & 255], sm_Si[(s1 >> 8) & 255], sm_Si[s0 & 255]) ^
               last[3]);
}

void AES::encrypt_general(const uint8_t* in, uint8_t* result) {
  const int nb = m_blockLength / 4;
  const int shift[4] = {0, sm_shifts[(nb - 4) / 2][1][0], sm_shifts[(nb - 4) / 2][2][0],
                        sm_shifts[(nb - 4) / 2][3][0]};
  uint32_t* a = m_blockWork;
  uint32_t* t = m_blockTemp;
  for (int j = 0; j < nb; ++j) t[j] = load_be(in + 4 * j) ^ m_encRoundKeys[0][j];
  for (int r = 1; r < m_rounds; ++r) {
    for (int j = 0; j < nb; ++j) {
      a[j] = sm_T1[t[j] >> 24] ^ sm_T2[(t[(j + shift[1]) % nb] >> 16) & 255] ^
             sm_T3[(t[(j + shift[2]) % nb] >> 8) & 255] ^ sm_T4[t[(j + shift[3]) % nb] & 255] ^
             m_encRoundKeys[r][j];
    }
    memcpy(t, a, sizeof(uint32_t) * static_cast<size_t>(nb));
  }
  for (int j = 0; j < nb; ++j) {
    uint32_t w =
        pack(sm_S[t[j] >> 24], sm_S[(t[(j + shift[1]) % nb] >> 16) & 255],
             sm_S[(t[(j + shift[2]) % nb] >> 8) & 255], sm_S[t[(j + shift[3]) % nb] & 255]);
    store_be(result + 4 * j, w ^ m_encRoundKeys[m_rounds][j]);
  }
}

void AES::decrypt_general(const uint8_t* in, uint8_t* result) {
  const int nb = m_blockLength / 4;
  const int shift[4] = {0, sm_shifts[(nb - 4) / 2][1][1], sm_shifts[(nb - 4) / 2][2][1],
                        sm_shifts[(nb - 4) / 2][3][1]};
  uint32_t* a = m_blockWork;
  uint32_t* t = m_blockTemp;
  for (int j = 0; j < nb; ++j) t[j] = load_be(in + 4 * j) ^ m_decRoundKeys[0][j];
  for (int r = 1; r < m_rounds; ++r) {
    for (int j = 0; j < nb; ++j) {
      a[j] = sm_T5[t[j] >> 24] ^ sm_T6[(t[(j + shift[1]) % nb] >> 16) & 255] ^
             sm_T7[(t[(j + shift[2]) % nb] >> 8) & 255] ^ sm_T8[t[(j + shift[3]) % nb] & 255] ^
             m_decRoundKeys[r][j];
    }
    memcpy(t, a, sizeof(uint32_t) * static_cast<size_t>(nb));
  }
  for (int j = 0; j < nb; ++j) {
    uint32_t w =
        pack(sm_Si[t[j] >> 24], sm_Si[(t[(j + shift[1]) % nb] >> 16) & 255],
             sm_Si[(t[(j + shift[2]) % nb] >> 8) & 255], sm_Si[t[(j + shift[3]) % nb] & 255]);
    store_be(result + 4 * j, w ^ m_decRoundKeys[m_rounds][j]);
  }
}

void AES::EncryptBlock(const char* in, char* result) {
  if (!m_ready || in == nullptr || result == nullptr) return;
  if (m_blockLength == 16) {
    DefEncryptBlock(in, result);
  } else {
    encrypt_general(bytes(in), bytes(result));
  }
}

void AES::DecryptBlock(const char* in, char* result) {
  if (!m_ready || in == nullptr || result == nullptr) return;
  if (m_blockLength == 16) {
    DefDecryptBlock(in, result);
  } else {
    decrypt_general(bytes(in), bytes(result));
  }
}

void AES::Xor(char* buffer, const char* data) const {
  for (int i = 0; i < m_blockLength; ++i) buffer[i] ^= data[i];
}

// Every mode keeps a copy of the incoming block before writing the output
// block, so in and result may be the same buffer in every mode.
void AES::Encrypt(const char* in, char* result, int64_t n, int mode) {
  if (!m_ready || in == nullptr || result == nullptr || n <= 0 || n % m_blockLength != 0) return;
#ifdef PL_AES_X86
  if (g_use_aes_instructions && mode == CBC && m_blockLength == 16) {
    cbc_encrypt_ni(m_encRoundKeys, m_rounds, m_curChain, in, result, n / 16);
    return;
  }
#endif
  const size_t bl = static_cast<size_t>(m_blockLength);
  char* chain = reinterpret_cast<char*>(m_curChain);
  for (int64_t i = n / m_blockLength; i > 0; --i, in += bl, result += bl) {
    if (mode == CBC) {
      Xor(chain, in);
      EncryptBlock(chain, chain);
      memcpy(result, chain, bl);
    } else if (mode == CFB) {
      EncryptBlock(chain, chain);
      Xor(chain, in);
      memcpy(result, chain, bl);
    } else {
      EncryptBlock(in, result);
    }
  }
}

void AES::Decrypt(const char* in, char* result, int64_t n, int mode) {
  if (!m_ready || in == nullptr || result == nullptr || n <= 0 || n % m_blockLength != 0) return;
#ifdef PL_AES_X86
  if (g_use_aes_instructions && mode == CBC && m_blockLength == 16) {
    cbc_decrypt_ni(m_decRoundKeys, m_rounds, m_curChain, in, result, n / 16);
    return;
  }
#endif
  const size_t bl = static_cast<size_t>(m_blockLength);
  char* chain = reinterpret_cast<char*>(m_curChain);
  char cipher[kMaxBlockBytes];
  for (int64_t i = n / m_blockLength; i > 0; --i, in += bl, result += bl) {
    if (mode == CBC) {
      memcpy(cipher, in, bl);
      DecryptBlock(cipher, result);
      Xor(result, chain);
      memcpy(chain, cipher, bl);
    } else if (mode == CFB) {
      // CFB deciphers with the forward cipher.
      memcpy(cipher, in, bl);
      EncryptBlock(chain, result);
      Xor(result, cipher);
      memcpy(chain, cipher, bl);
    } else {
      DecryptBlock(in, result);
    }
  }
}
