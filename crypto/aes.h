// The Rijndael block cipher with 16-, 24- or 32-byte keys and blocks, in ECB,
// CBC and full-block CFB modes.  With a 16-byte block it is AES-128/192/256.
//
// The cipher is table-driven (T-tables indexed by secret state bytes), so it
// is NOT constant-time: its timing and cache footprint depend on the key and
// the data.  On a processor with AES instructions, 16-byte blocks and the
// schedule of a 16-byte key use those instead (same results, no table
// look-ups); 24- and 32-byte blocks always take the tables.
//
// Misuse is silent: an unsupported key or block length leaves the object as
// it was, and every operation on an object without a key, or on a byte count
// that is not a positive multiple of the block length, writes nothing.  The
// object allocates nothing and may live on the stack.
#pragma once

#include <array>
#include <cstdint>

class AES {
 public:
  // Chaining modes of Encrypt and Decrypt; any other value means ECB.
  enum { ECB = 0, CBC = 1, CFB = 2 };

  AES();
  virtual ~AES();

  // Takes key_length bytes of key and block_length bytes of chain (the IV);
  // lengths are 16, 24 or 32.  A null chain stands for all zeros.  Re-keying
  // restarts the chain.
  void MakeKey(const char* key, const char* chain, int key_length = 16, int block_length = 16);

  // n bytes, block by block; the chain carries over between calls.  ECB and
  // CBC encryption may work in place.
  void Encrypt(const char* in, char* result, int64_t n, int mode = ECB);
  void Decrypt(const char* in, char* result, int64_t n, int mode = ECB);

  // One block of the object's block length, no chaining.
  void EncryptBlock(const char* in, char* result);
  void DecryptBlock(const char* in, char* result);
  // The 16-byte block path.
  void DefEncryptBlock(const char* in, char* result);
  void DefDecryptBlock(const char* in, char* result);

  // XORs one block of data into buffer.
  void Xor(char* buffer, const char* data) const;

  // ---- class constants ----
  static const std::array<uint8_t, 256> sm_S;
  static const std::array<uint8_t, 256> sm_Si;
  static const std::array<uint32_t, 256> sm_T1, sm_T2, sm_T3, sm_T4;
  static const std::array<uint32_t, 256> sm_T5, sm_T6, sm_T7, sm_T8;
  static const std::array<uint32_t, 256> sm_U1, sm_U2, sm_U3, sm_U4;
  static const std::array<uint8_t, 30> sm_rcon;
  // [block length 16/24/32][state row][0 = encryption, 1 = decryption]
  static const int sm_shifts[3][4][2];
  // 32 zero bytes: a chain value for callers that have none.
  static const char* const sm_chain0;
  static const char* const sm_szErrorMsg1;
  static const char* const sm_szErrorMsg2;

  // Whether 16-byte blocks use the processor's AES instructions: on by
  // default when the processor has them.  Switching it off (tests do, to
  // check the tables) affects every object; on has no effect without them.
  static void UseAesInstructions(bool on);
  static bool UsesAesInstructions();

  bool ready() const { return m_ready; }
  int rounds() const { return m_rounds; }
  int block_length() const { return m_blockLength; }

 private:
  enum { kMaxRounds = 14, kMaxBlockWords = 8, kMaxBlockBytes = 32 };

  // The key schedule of a 16-byte key and block.
  void make_key_128(const uint8_t* key);
  // The general path for any block length (used for 24 and 32 bytes).
  void encrypt_general(const uint8_t* in, uint8_t* result);
  void decrypt_general(const uint8_t* in, uint8_t* result);

  bool m_ready;
  uint32_t m_encRoundKeys[kMaxRounds + 1][kMaxBlockWords];
  uint32_t m_decRoundKeys[kMaxRounds + 1][kMaxBlockWords];
  int m_keyLength;
  int m_blockLength;
  int m_rounds;
  uint8_t m_initChain[kMaxBlockBytes];
  uint8_t m_curChain[kMaxBlockBytes];
  uint32_t m_keyWork[kMaxBlockWords];
  uint32_t m_blockWork[kMaxBlockWords];
  uint32_t m_blockTemp[kMaxBlockWords];
};
