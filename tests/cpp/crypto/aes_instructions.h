// Choosing, in a test, whether 16-byte AES blocks use the processor's AES
// instructions or the tables.
#pragma once

#include "crypto/aes.h"

// Sets the choice for the life of the object, then puts back what was before.
class InstructionsSetting {
 public:
  explicit InstructionsSetting(bool on) : before_(AES::UsesAesInstructions()) {
    AES::UseAesInstructions(on);
  }
  ~InstructionsSetting() { AES::UseAesInstructions(before_); }
  InstructionsSetting(const InstructionsSetting&) = delete;
  InstructionsSetting& operator=(const InstructionsSetting&) = delete;

 private:
  bool before_;
};
