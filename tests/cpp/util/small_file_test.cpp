#include <cerrno>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.h"
#include "util/small_file.h"
#include "util/util.h"

// A regular file reads as file_get_contents reads it, whatever its size
// against the fixed buffer and wherever its NUL bytes lie.
TEST(SmallFile, RegularFileReadsAsFileGetContents) {
  ScratchDir dir;
  const size_t b = SmallFile::kBufferSize;
  std::string nul_after_piece(12000, 'x');
  nul_after_piece[kFileReadPiece - 1] = '\0';  // first byte of the second piece
  nul_after_piece[11000] = '\0';
  const std::string cases[] = {
      "",
      std::string(b - 1, 'a'),
      std::string(b, 'b'),
      std::string(b + 1, 'c'),
      std::string(3 * b + 17, 'd') + "\n" + std::string(50, 'e'),
      std::string("ab\0cd\nef\0g\nhi", 13),
      std::string(b - 3, 'f') + std::string("\0z\nend", 6),
      nul_after_piece,
  };
  for (const std::string& content : cases) {
    write_bytes(dir.file("f"), content);
    SmallFile file;
    ASSERT_TRUE(file.read(dir.file("f").c_str()));
    EXPECT_EQ(std::string(file.text()), file_get_contents(dir.file("f")))
        << content.size() << " bytes";
  }
}

// What is no regular file never blocks and reads as empty: a FIFO without a
// writer, an endless device, a directory.  A missing path cannot be opened.
TEST(SmallFile, OtherObjectsGiveTheEmptyText) {
  ScratchDir dir;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", dir.file("zero").c_str()), 0);
  for (const std::string& path : {dir.file("fifo"), dir.file("zero"), dir.path()}) {
    SmallFile file;
    EXPECT_TRUE(file.read(path.c_str())) << path;
    EXPECT_EQ(file.text().size(), 0u) << path;
  }
  SmallFile file;
  errno = 0;
  EXPECT_FALSE(file.read(dir.file("missing").c_str()));
  EXPECT_EQ(errno, ENOENT);
}

TEST(SmallFile, ReadAgainForgetsTheEarlierFile) {
  ScratchDir dir;
  write_bytes(dir.file("big"), std::string(5000, 'b'));
  write_bytes(dir.file("small"), "s");
  SmallFile file;
  ASSERT_TRUE(file.read(dir.file("big").c_str()));
  EXPECT_EQ(file.text().size(), 5000u);
  ASSERT_TRUE(file.read(dir.file("small").c_str()));
  EXPECT_EQ(std::string(file.text()), "s");
  EXPECT_FALSE(file.read(dir.file("missing").c_str()));
  EXPECT_EQ(file.text().size(), 0u);
}
