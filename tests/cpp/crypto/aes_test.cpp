#include "crypto/aes.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/aes_instructions.h"
#include "crypto/hex.h"

namespace {

std::string random_bytes(std::mt19937& rng, size_t n) {
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng() & 0xff);
  return out;
}

std::string encrypt(AES& aes, const std::string& in, int mode) {
  std::string out(in.size(), '\0');
  aes.Encrypt(in.data(), &out[0], static_cast<int64_t>(in.size()), mode);
  return out;
}

std::string decrypt(AES& aes, const std::string& in, int mode) {
  std::string out(in.size(), '\0');
  aes.Decrypt(in.data(), &out[0], static_cast<int64_t>(in.size()), mode);
  return out;
}

// A plain byte-oriented Rijndael encryption written straight from the cipher's
// definition (S-box from brute-force inverses, ShiftRows on a state array,
// MixColumns column by column), to check the table-driven paths against for
// every key and block length.
class ReferenceRijndael {
 public:
  ReferenceRijndael(const std::string& key, int block_length)
      : nk_(static_cast<int>(key.size()) / 4), nb_(block_length / 4) {
    for (int x = 0; x < 256; ++x) sbox_[x] = sub(static_cast<uint8_t>(x));
    nr_ = (nk_ > nb_ ? nk_ : nb_) + 6;
    const int total = nb_ * (nr_ + 1);
    w_.assign(static_cast<size_t>(total), {});
    uint8_t rcon = 1;
    for (int i = 0; i < total; ++i) {
      auto& word = w_[static_cast<size_t>(i)];
      if (i < nk_) {
        for (int b = 0; b < 4; ++b) word[b] = static_cast<uint8_t>(key[4 * i + b]);
        continue;
      }
      std::array<uint8_t, 4> temp = w_[static_cast<size_t>(i - 1)];
      if (i % nk_ == 0) {
        temp = {sbox_[temp[1]], sbox_[temp[2]], sbox_[temp[3]], sbox_[temp[0]]};
        temp[0] ^= rcon;
        rcon = mul(rcon, 2);
      } else if (nk_ > 6 && i % nk_ == 4) {
        for (auto& b : temp) b = sbox_[b];
      }
      for (int b = 0; b < 4; ++b) word[b] = w_[static_cast<size_t>(i - nk_)][b] ^ temp[b];
    }
  }

  int rounds() const { return nr_; }

  std::string encrypt(const std::string& block) const {
    uint8_t s[4][8];
    for (int c = 0; c < nb_; ++c)
      for (int r = 0; r < 4; ++r) s[r][c] = static_cast<uint8_t>(block[4 * c + r]);
    add_round_key(s, 0);
    for (int round = 1; round <= nr_; ++round) {
      for (int r = 0; r < 4; ++r)
        for (int c = 0; c < nb_; ++c) s[r][c] = sbox_[s[r][c]];
      const int offsets[4] = {0, 1, nb_ == 8 ? 3 : 2, nb_ == 8 ? 4 : 3};
      for (int r = 1; r < 4; ++r) {
        uint8_t row[8];
        for (int c = 0; c < nb_; ++c) row[c] = s[r][(c + offsets[r]) % nb_];
        memcpy(s[r], row, static_cast<size_t>(nb_));
      }
      if (round != nr_) {
        for (int c = 0; c < nb_; ++c) {
          uint8_t a0 = s[0][c], a1 = s[1][c], a2 = s[2][c], a3 = s[3][c];
          s[0][c] = mul(a0, 2) ^ mul(a1, 3) ^ a2 ^ a3;
          s[1][c] = a0 ^ mul(a1, 2) ^ mul(a2, 3) ^ a3;
          s[2][c] = a0 ^ a1 ^ mul(a2, 2) ^ mul(a3, 3);
          s[3][c] = mul(a0, 3) ^ a1 ^ a2 ^ mul(a3, 2);
        }
      }
      add_round_key(s, round);
    }
    std::string out(static_cast<size_t>(4 * nb_), '\0');
    for (int c = 0; c < nb_; ++c)
      for (int r = 0; r < 4; ++r) out[static_cast<size_t>(4 * c + r)] = static_cast<char>(s[r][c]);
    return out;
  }

 private:
  static uint8_t mul(uint8_t a, uint8_t b) {
    uint8_t p = 0;
    for (int i = 0; i < 8; ++i) {
      if (b & 1) p ^= a;
      a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
      b >>= 1;
    }
    return p;
  }
  static uint8_t sub(uint8_t x) {
    uint8_t inv = 0;
    for (int y = 1; y < 256 && x != 0; ++y) {
      if (mul(x, static_cast<uint8_t>(y)) == 1) inv = static_cast<uint8_t>(y);
    }
    uint8_t out = 0x63;
    for (int i = 0; i < 8; ++i) {
      int bit = ((inv >> i) ^ (inv >> ((i + 4) % 8)) ^ (inv >> ((i + 5) % 8)) ^
                 (inv >> ((i + 6) % 8)) ^ (inv >> ((i + 7) % 8))) &
                1;
      out ^= static_cast<uint8_t>(bit << i);
    }
    return out;
  }
  void add_round_key(uint8_t s[4][8], int round) const {
    for (int c = 0; c < nb_; ++c)
      for (int r = 0; r < 4; ++r) s[r][c] ^= w_[static_cast<size_t>(round * nb_ + c)][r];
  }

  int nk_, nb_, nr_;
  uint8_t sbox_[256];
  std::vector<std::array<uint8_t, 4>> w_;
};

// FIPS-197 Appendix C: one plaintext, three keys.
struct KnownAnswer {
  const char* source;
  const char* key;
  const char* cipher;
};
const KnownAnswer kFips197[] = {
    {"FIPS-197 C.1 AES-128", "000102030405060708090a0b0c0d0e0f",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"FIPS-197 C.2 AES-192", "000102030405060708090a0b0c0d0e0f1011121314151617",
     "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"FIPS-197 C.3 AES-256", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "8ea2b7ca516745bfeafc49904b496089"},
};
const char kFips197Plain[] = "00112233445566778899aabbccddeeff";

// NIST SP 800-38A F.2.1 (CBC) and F.3.13 (CFB128), AES-128.
const char kSp800Key[] = "2b7e151628aed2a6abf7158809cf4f3c";
const char kSp800Iv[] = "000102030405060708090a0b0c0d0e0f";
const char kSp800Plain[] =
    "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710";
const char kSp800Cbc[] =
    "7649abac8119b246cee98e9b12e9197d 5086cb9b507219ee95db113a917678b2"
    "73bed6b8e3c1743b7116e69e22229516 3ff1caa1681fac09120eca307586e1a7";
const char kSp800Cfb[] =
    "3b3fd92eb72dad20333449f8e83cfb4a c8a64537a0b3a93fcde3cdad9f1ce58b"
    "26751f67a3cbb140b1808cf187a4f4df c04b05357c5d1c0eeac4c66f9ff7f2e6";

AES keyed(const std::string& key, const std::string& chain, int block_length = 16) {
  AES aes;
  aes.MakeKey(key.data(), chain.data(), static_cast<int>(key.size()), block_length);
  return aes;
}

}  // namespace

TEST(Aes, Fips197KnownAnswersBothWays) {
  const std::string plain = hex_to_bytes(kFips197Plain);
  for (const auto& row : kFips197) {
    SCOPED_TRACE(row.source);
    AES aes = keyed(hex_to_bytes(row.key), std::string(16, '\0'));
    EXPECT_EQ(to_hex(encrypt(aes, plain, AES::ECB)), row.cipher);
    EXPECT_EQ(to_hex(decrypt(aes, hex_to_bytes(row.cipher), AES::ECB)), kFips197Plain);
    // The single-block entry points give the same.
    std::string out(16, '\0');
    aes.EncryptBlock(plain.data(), &out[0]);
    EXPECT_EQ(to_hex(out), row.cipher);
    aes.DecryptBlock(hex_to_bytes(row.cipher).data(), &out[0]);
    EXPECT_EQ(to_hex(out), kFips197Plain);
    // Unknown mode numbers mean ECB: equal blocks stay equal, no chaining.
    for (int mode : {0, 3, -1}) {
      EXPECT_EQ(to_hex(encrypt(aes, plain + plain, mode)), std::string(row.cipher) + row.cipher);
      EXPECT_EQ(decrypt(aes, hex_to_bytes(row.cipher) + hex_to_bytes(row.cipher), mode),
                plain + plain);
    }
  }
}

// The SP 800-38A vectors, enciphered whole, block by block on one object, and
// in place; deciphered block by block.
TEST(Aes, Sp800CbcAndCfbChainingAcrossCalls) {
  const std::string key = hex_to_bytes(kSp800Key), iv = hex_to_bytes(kSp800Iv);
  const std::string plain = hex_to_bytes(kSp800Plain);
  for (auto row : {std::make_pair(+AES::CBC, kSp800Cbc), std::make_pair(+AES::CFB, kSp800Cfb)}) {
    SCOPED_TRACE(row.first);
    const int mode = row.first;
    const std::string expected = to_hex(hex_to_bytes(row.second));
    AES whole = keyed(key, iv), pieces = keyed(key, iv), dec = keyed(key, iv);
    EXPECT_EQ(to_hex(encrypt(whole, plain, mode)), expected);
    std::string joined, back;
    for (size_t off = 0; off < plain.size(); off += 16) {
      joined += encrypt(pieces, plain.substr(off, 16), mode);
      back += decrypt(dec, hex_to_bytes(row.second).substr(off, 16), mode);
    }
    EXPECT_EQ(to_hex(joined), expected);
    EXPECT_EQ(to_hex(back), to_hex(plain));

    // Without a new key the chain goes on; with one it starts over.
    EXPECT_NE(to_hex(encrypt(pieces, plain, mode)), expected);
    pieces.MakeKey(key.data(), iv.data(), 16, 16);
    EXPECT_EQ(to_hex(encrypt(pieces, plain, mode)), expected);

    // In place, both ways.
    std::string buf = plain;
    AES enc_in_place = keyed(key, iv), dec_in_place = keyed(key, iv);
    enc_in_place.Encrypt(buf.data(), &buf[0], static_cast<int64_t>(buf.size()), mode);
    EXPECT_EQ(to_hex(buf), expected);
    dec_in_place.Decrypt(buf.data(), &buf[0], static_cast<int64_t>(buf.size()), mode);
    EXPECT_EQ(to_hex(buf), to_hex(plain));
  }
}

TEST(Aes, MisuseWritesNothing) {
  const std::string key = hex_to_bytes(kSp800Key), iv = hex_to_bytes(kSp800Iv);
  const std::string plain = hex_to_bytes(kSp800Plain) + "0";  // 65 bytes
  const std::string sentinel(plain.size(), '\xaa');
  auto untouched = [&](AES& aes, int64_t n, bool forward, int mode) {
    std::string out = sentinel;
    if (forward) {
      aes.Encrypt(plain.data(), &out[0], n, mode);
    } else {
      aes.Decrypt(plain.data(), &out[0], n, mode);
    }
    return out == sentinel;
  };

  AES fresh;
  EXPECT_FALSE(fresh.ready());
  for (int mode : {AES::ECB, AES::CBC, AES::CFB}) {
    EXPECT_TRUE(untouched(fresh, 16, true, mode));
    EXPECT_TRUE(untouched(fresh, 16, false, mode));
  }
  std::string block(16, '\xaa');
  fresh.EncryptBlock(plain.data(), &block[0]);
  fresh.DefDecryptBlock(plain.data(), &block[0]);
  EXPECT_EQ(block, std::string(16, '\xaa'));

  AES aes = keyed(key, iv);
  for (int64_t n : {0, 17, 15, 65, -16}) {
    for (int mode : {AES::ECB, AES::CBC, AES::CFB}) {
      EXPECT_TRUE(untouched(aes, n, true, mode)) << "n=" << n << " mode=" << mode;
      EXPECT_TRUE(untouched(aes, n, false, mode)) << "n=" << n << " mode=" << mode;
    }
  }
  // No buffer to read or write: nothing happens either.
  for (int mode : {AES::ECB, AES::CBC, AES::CFB}) {
    aes.Encrypt(nullptr, &block[0], 16, mode);
    aes.Decrypt(nullptr, &block[0], 16, mode);
    aes.Encrypt(block.data(), nullptr, 16, mode);
    aes.Decrypt(block.data(), nullptr, 16, mode);
  }
  aes.EncryptBlock(nullptr, &block[0]);
  aes.DecryptBlock(block.data(), nullptr);
  aes.DefEncryptBlock(nullptr, &block[0]);
  aes.DefDecryptBlock(block.data(), nullptr);
  EXPECT_EQ(block, std::string(16, '\xaa'));
  // Rejected calls did not advance the chain either.
  AES clean = keyed(key, iv);
  EXPECT_EQ(encrypt(aes, plain.substr(0, 64), AES::CBC),
            encrypt(clean, plain.substr(0, 64), AES::CBC));
}

TEST(Aes, BadMakeKeyChangesNothing) {
  const std::string key32 = hex_to_bytes(kFips197[2].key);
  const std::string plain = hex_to_bytes(kFips197Plain);

  AES fresh;
  fresh.MakeKey(key32.data(), nullptr, 20, 16);
  EXPECT_FALSE(fresh.ready());
  fresh.MakeKey(key32.data(), nullptr, 16, 20);
  EXPECT_FALSE(fresh.ready());
  fresh.MakeKey(nullptr, nullptr, 16, 16);
  EXPECT_FALSE(fresh.ready());

  AES aes = keyed(hex_to_bytes(kFips197[0].key), std::string(16, '\0'));
  aes.MakeKey(key32.data(), nullptr, 20, 16);
  aes.MakeKey(key32.data(), nullptr, 32, 8);
  aes.MakeKey(nullptr, nullptr, 32, 16);
  EXPECT_TRUE(aes.ready());
  EXPECT_EQ(aes.block_length(), 16);
  EXPECT_EQ(to_hex(encrypt(aes, plain, AES::ECB)), kFips197[0].cipher);

  // A null chain is the all-zero chain.
  AES null_chain, zero_chain = keyed(key32, std::string(16, '\0'));
  null_chain.MakeKey(key32.data(), nullptr, 32, 16);
  EXPECT_EQ(encrypt(null_chain, plain, AES::CBC), encrypt(zero_chain, plain, AES::CBC));
}

TEST(Aes, AllKeyAndBlockLengthsMatchReferenceAndRoundTrip) {
  std::mt19937 rng(20240501);
  const int lengths[] = {16, 24, 32};
  const int expected_rounds[3][3] = {{10, 12, 14}, {12, 12, 14}, {14, 14, 14}};
  for (int ki = 0; ki < 3; ++ki) {
    for (int bi = 0; bi < 3; ++bi) {
      const int kl = lengths[ki], bl = lengths[bi];
      SCOPED_TRACE("key " + std::to_string(kl) + " block " + std::to_string(bl));
      const std::string key = random_bytes(rng, static_cast<size_t>(kl));
      const std::string iv = random_bytes(rng, static_cast<size_t>(bl));
      AES aes = keyed(key, iv, bl);
      ReferenceRijndael reference(key, bl);
      EXPECT_EQ(aes.rounds(), expected_rounds[ki][bi]);
      EXPECT_EQ(reference.rounds(), expected_rounds[ki][bi]);
      for (int i = 0; i < 8; ++i) {
        const std::string block = random_bytes(rng, static_cast<size_t>(bl));
        std::string out(block.size(), '\0'), back(block.size(), '\0');
        aes.EncryptBlock(block.data(), &out[0]);
        EXPECT_EQ(to_hex(out), to_hex(reference.encrypt(block)));
        aes.DecryptBlock(out.data(), &back[0]);
        EXPECT_EQ(to_hex(back), to_hex(block));
      }
      const std::string data = random_bytes(rng, static_cast<size_t>(bl) * 5);
      for (int mode : {AES::ECB, AES::CBC, AES::CFB}) {
        AES enc = keyed(key, iv, bl);
        AES dec = keyed(key, iv, bl);
        EXPECT_EQ(to_hex(decrypt(dec, encrypt(enc, data, mode), mode)), to_hex(data));
      }
    }
  }
}

// The instructions and the tables make the same schedules and blocks: a key
// made one way serves blocks enciphered and deciphered the other way.
TEST(Aes, InstructionsAndTablesAgree) {
  {
    InstructionsSetting on(true);
    if (!AES::UsesAesInstructions()) GTEST_SKIP() << "the processor has no AES instructions";
  }
  std::mt19937 rng(5);
  for (int kl : {16, 24, 32}) {
    for (int i = 0; i < 8; ++i) {
      const std::string key = random_bytes(rng, static_cast<size_t>(kl));
      const std::string block = random_bytes(rng, 16);
      ReferenceRijndael reference(key, 16);
      const std::string expected = to_hex(reference.encrypt(block));
      for (bool keyed_with : {true, false}) {
        for (bool blocks_with : {true, false}) {
          SCOPED_TRACE(std::to_string(kl) + (keyed_with ? " keyed on" : " keyed off") +
                       (blocks_with ? " blocks on" : " blocks off"));
          AES aes;
          {
            InstructionsSetting setting(keyed_with);
            aes.MakeKey(key.data(), nullptr, kl, 16);
          }
          InstructionsSetting setting(blocks_with);
          std::string out(16, '\0'), back(16, '\0');
          aes.EncryptBlock(block.data(), &out[0]);
          EXPECT_EQ(to_hex(out), expected);
          aes.DecryptBlock(out.data(), &back[0]);
          EXPECT_EQ(to_hex(back), to_hex(block));
        }
      }
    }
  }
  // Re-keying with a 16-byte key after a wider one.
  AES aes;
  const std::string wide = random_bytes(rng, 32), key = random_bytes(rng, 16);
  aes.MakeKey(wide.data(), nullptr, 32, 32);
  aes.MakeKey(key.data(), nullptr, 16, 16);
  const std::string block = random_bytes(rng, 16);
  std::string out(16, '\0');
  aes.EncryptBlock(block.data(), &out[0]);
  EXPECT_EQ(to_hex(out), to_hex(ReferenceRijndael(key, 16).encrypt(block)));
}
