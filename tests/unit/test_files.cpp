// Files: types, where a new file can go, and 64-bit offsets.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/files.h"

namespace {

class TempDir
{
public:
  TempDir()
  {
    char sz[] = "/tmp/kavelo-files-XXXXXX";
    m_path = mkdtemp(sz) != nullptr ? sz : "";
  }
  ~TempDir() { (void)!system(("rm -rf '" + m_path + "'").c_str()); }
  std::string Path(const char *name) const { return m_path + "/" + name; }
  const std::string &Root() const { return m_path; }

private:
  std::string m_path;
};

}  // namespace

TEST(Files, TypesAndWhereNewFilesGo)
{
  TempDir dir;
  ASSERT_FALSE(dir.Root().empty());
  FILE *f = fopen(dir.Path("old.flv").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fclose(f);
  ASSERT_EQ(mkfifo(dir.Path("pipe").c_str(), 0600), 0);
  struct Case {
    std::string path;
    FileType type;
    bool bCanCreate;
  } cases[] = {
      {dir.Path("old.flv"), FILE_TYPE_REGULAR, true},
      {dir.Root(), FILE_TYPE_DIRECTORY, true},
      {dir.Path("pipe"), FILE_TYPE_OTHER, true},
      {dir.Path("new.flv"), FILE_TYPE_NONE, true},
      {dir.Path("no-such-dir/new.flv"), FILE_TYPE_NONE, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    errno = 0;
    EXPECT_EQ(GetFileType(c.path.c_str()), c.type);
    if (c.type == FILE_TYPE_NONE) {
      EXPECT_EQ(errno, ENOENT);
    }
    EXPECT_EQ(CanCreateFile(c.path.c_str()), c.bCanCreate);
  }
}

TEST(Files, OffsetsPastFourGiB)
{
  TempDir dir;
  FILE *f = fopen(dir.Path("big.flv").c_str(), "w+b");
  ASSERT_NE(f, nullptr);
  setbuf(f, nullptr);
  const uint64_t nBig = (5ull << 30) + 3;  // sparse: no disk space is taken
  ASSERT_TRUE(FileTruncate(f, nBig));
  EXPECT_EQ(FileSeekEnd(f), static_cast<int64_t>(nBig));
  ASSERT_TRUE(FileSeek(f, (4ull << 30) + 1));
  ASSERT_EQ(fputc('x', f), 'x');
  ASSERT_TRUE(FileSeek(f, (4ull << 30) + 1));
  EXPECT_EQ(fgetc(f), 'x');
  ASSERT_TRUE(FileTruncate(f, 10));
  EXPECT_EQ(FileSeekEnd(f), 10);
  // Offsets a signed 64-bit position cannot hold are refused, not wrapped.
  EXPECT_FALSE(FileSeek(f, UINT64_MAX));
  EXPECT_FALSE(FileTruncate(f, UINT64_MAX));
  EXPECT_EQ(FileSeekEnd(f), 10);
  fclose(f);
}
