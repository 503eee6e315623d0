#include "crypto/md5.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

struct Digest {
  std::string input;
  const char* hex;
};

// RFC 1321 appendix A.5.
const Digest kRfc1321[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

// Lengths around the point where the padding spills into another block
// (digests from Python's hashlib).
const Digest kBoundaries[] = {
    {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
    {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
    {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
    {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
    {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
    {std::string(119, 'a'), "8a7bd0732ed6a28ce75f6dabc90e1613"},
    {std::string(120, 'a'), "5f61c0ccad4cac44c75ff505e1f1e537"},
    {std::string(128, 'a'), "e510683b3f5ffe4093d021808bc6ff70"},
};

}  // namespace

TEST(Md5, Rfc1321SuiteAndPaddingBoundaries) {
  for (const auto& row : kRfc1321) EXPECT_EQ(md5(row.input), row.hex) << '"' << row.input << '"';
  for (const auto& row : kBoundaries) {
    EXPECT_EQ(md5(row.input), row.hex) << row.input.size() << " bytes";
  }
}

TEST(Md5, SplitAtEveryOffsetGivesTheSameDigest) {
  std::string input;
  for (int i = 0; i < 1024; ++i) input += static_cast<char>(i & 0xff);
  const std::string whole = md5(input);
  EXPECT_EQ(whole, "b2ea9f7fcea831a4a63b213f41a8855b");  // hashlib
  for (size_t cut = 0; cut <= 200; ++cut) {
    MD5 m;
    m.update(input.data(), static_cast<uint32_t>(cut));
    m.update(input.data() + cut, static_cast<uint32_t>(input.size() - cut));
    ASSERT_EQ(m.finalize().hexdigest(), whole) << "cut at " << cut;
  }
  // Byte by byte.
  MD5 m;
  for (char c : input) m.update(&c, 1);
  EXPECT_EQ(m.finalize().hexdigest(), whole);
}

TEST(Md5, LifecycleAndStreamOutput) {
  MD5 open;
  open.update("abc", 3);
  EXPECT_EQ(open.hexdigest(), "");
  EXPECT_EQ(MD5().hexdigest(), "");

  open.finalize();
  const std::string digest = open.hexdigest();
  EXPECT_EQ(digest, "900150983cd24fb0d6963f7d28e17f72");
  // After finalize the digest is fixed.
  open.update("more", 4);
  open.finalize();
  EXPECT_EQ(open.hexdigest(), digest);

  std::ostringstream out;
  out << MD5(std::string("abc")) << '|';
  EXPECT_EQ(out.str(), digest + "|");

  // NUL bytes are data like any other.
  EXPECT_EQ(md5(std::string("\0", 1)), "93b885adfe0da089cdf634904fd59f71");
}
