// The FLV output: failed and short writes leave a file that ends on a whole
// tag, the flags fix needs a seekable output, a resumed file loses its stale
// tail, and a failed flush or close is reported. Queued tags keep their order,
// reach the file before any other operation and before the connection waits,
// and a batch that fails part way keeps the tags that went out whole.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "download/output.h"
#include "log_capture.h"
#include "transport_fixture.h"

using RTMP_LIB::FlvOutput;

namespace {

class TempDir
{
public:
  TempDir()
  {
    char sz[] = "/tmp/kavelo-output-XXXXXX";
    m_dir = mkdtemp(sz) ? sz : "/tmp";
  }
  ~TempDir()
  {
    for (const std::string &p : m_files)
      unlink(p.c_str());
    rmdir(m_dir.c_str());
  }
  std::string Path(const char *szName)
  {
    m_files.push_back(m_dir + "/" + szName);
    return m_files.back();
  }

private:
  std::string m_dir;
  std::vector<std::string> m_files;
};

std::string Contents(const std::string &path)
{
  std::string out;
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr)
    return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0)
    out.append(buf, n);
  fclose(f);
  return out;
}

void WriteFile(const std::string &path, const std::string &bytes)
{
  FILE *f = fopen(path.c_str(), "wb");
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

// The process may not grow a file past nBytes while this lives; a write that
// would fails with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit
{
public:
  explicit FileSizeLimit(rlim_t nBytes)
  {
    m_oldHandler = signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &m_old);
    rlimit lim = m_old;
    lim.rlim_cur = nBytes;
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit()
  {
    setrlimit(RLIMIT_FSIZE, &m_old);
    signal(SIGXFSZ, m_oldHandler);
  }

private:
  rlimit m_old;
  sighandler_t m_oldHandler;
};

}  // namespace

TEST(FlvOutput, ShortWriteCutsTheFileBackToTheLastWholeTag)
{
  TempDir dir;
  const std::string path = dir.Path("out.flv");
  const std::string header(13, 'h'), tag1(500, '1'), tag2(600, '2');
  {
    LogCapture log(LOG_LEVEL_ERROR);
    FlvOutput out;
    ASSERT_TRUE(out.OpenFile(path.c_str()));
    FileSizeLimit limit(1000);
    EXPECT_TRUE(out.Write(header.data(), header.size()));
    EXPECT_TRUE(out.Write(tag1.data(), tag1.size()));
    // 487 bytes of this one fit under the limit; they must not stay.
    EXPECT_FALSE(out.Write(tag2.data(), tag2.size()));
    EXPECT_EQ(out.End(), 513u);
    EXPECT_TRUE(out.Close());
  }
  EXPECT_EQ(Contents(path), header + tag1);
}

TEST(FlvOutput, FailedWritesFlushesAndClosesAreReported)
{
  LogCapture log(LOG_LEVEL_ERROR);
  {
    // Unbuffered: the write itself fails.
    FlvOutput out;
    ASSERT_TRUE(out.OpenFile("/dev/full"));
    EXPECT_FALSE(out.Write("FLV", 3));
    out.Close();
  }
  {
    // Buffered like standard output: the write is accepted, the flush fails.
    FlvOutput out;
    FILE *f = fopen("/dev/full", "wb");
    ASSERT_NE(f, nullptr);
    out.Adopt(f, 0);
    EXPECT_TRUE(out.Write("FLV", 3));
    EXPECT_FALSE(out.Close());
    EXPECT_NE(log.Text().find("ERROR: main: Failed writing, exiting!"), std::string::npos) << log.Text();
  }
}

TEST(FlvOutput, FlagsAreFixedOnlyWhereTheOutputCanSeek)
{
  TempDir dir;
  const std::string path = dir.Path("out.flv");
  const std::string header("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00", 13);
  {
    FlvOutput out;
    ASSERT_TRUE(out.OpenFile(path.c_str()));
    ASSERT_TRUE(out.Write(header.data(), header.size()));
    ASSERT_TRUE(out.Write("tag", 3));
    EXPECT_TRUE(out.FixFlags(0x01));
    EXPECT_TRUE(out.Close());
  }
  std::string expected = header + "tag";
  expected[4] = 0x01;
  EXPECT_EQ(Contents(path), expected);

  // A pipe cannot seek: its bytes stay as written and nothing is appended.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    FlvOutput out;
    out.Adopt(fdopen(fds[1], "wb"), 0);
    ASSERT_TRUE(out.Write(header.data(), header.size()));
    EXPECT_TRUE(out.FixFlags(0x01));
    EXPECT_TRUE(out.Close());
  }
  char buf[64];
  ssize_t n = read(fds[0], buf, sizeof buf);
  close(fds[0]);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), header);
}

TEST(FlvOutput, ResumedFileEndsWhereTheNewDataEnds)
{
  TempDir dir;
  const std::string old = std::string(40, 'o') + std::string(60, 's');  // 60 stale bytes after offset 40
  const struct {
    const char *szName;
    std::string write;
    std::string expected;
  } cases[] = {
      {"shorter than the old tail", "new", std::string(40, 'o') + "new"},
      {"longer than the old tail", std::string(90, 'n'), std::string(40, 'o') + std::string(90, 'n')},
      {"nothing written", "", old},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    const std::string path = dir.Path(c.szName);
    WriteFile(path, old);
    FlvOutput out;
    FILE *f = fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    setbuf(f, nullptr);
    ASSERT_EQ(fseeko(f, 40, SEEK_SET), 0);
    out.Adopt(f, 40);
    if (!c.write.empty()) {
      ASSERT_TRUE(out.Write(c.write.data(), c.write.size()));
    }
    EXPECT_TRUE(out.CutStaleTail());
    EXPECT_TRUE(out.Close());
    EXPECT_EQ(Contents(path), c.expected);
  }
}

TEST(FlvOutput, QueuedTagsKeepTheirOrderAndPrecedeEveryOtherOperation)
{
  TempDir dir;
  const std::string header("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00", 13);
  const std::string small1(300, 'a'), small2(200, 'b'), big(70000, 'B'), direct("direct");
  struct Case {
    const char *szName;
    // Runs after the header and the two small tags are queued; true: expected to succeed.
    bool (*op)(FlvOutput &, const std::string &, const std::string &);
    std::string (*expected)(const std::string &);
  };
  const Case cases[] = {
      {"flags fixed after queued tags",
       [](FlvOutput &out, const std::string &, const std::string &) { return out.FixFlags(0x04); },
       [](const std::string &queued) {
         std::string s = queued;
         s[4] = 0x04;
         return s;
       }},
      {"direct write after queued tags",
       [](FlvOutput &out, const std::string &, const std::string &d) { return out.Write(d.data(), d.size()); },
       [](const std::string &queued) { return queued + "direct"; }},
      {"tag larger than the batch after queued tags",
       [](FlvOutput &out, const std::string &b, const std::string &) { return out.Queue(b.data(), b.size()); },
       [](const std::string &queued) { return queued + std::string(70000, 'B'); }},
      {"explicit flush", [](FlvOutput &out, const std::string &, const std::string &) { return out.Flush(); },
       [](const std::string &queued) { return queued; }},
      {"close only", [](FlvOutput &, const std::string &, const std::string &) { return true; },
       [](const std::string &queued) { return queued; }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.szName);
    const std::string path = dir.Path(c.szName);
    FlvOutput out;
    ASSERT_TRUE(out.OpenFile(path.c_str()));
    ASSERT_TRUE(out.Queue(header.data(), header.size()));
    ASSERT_TRUE(out.Queue(small1.data(), small1.size()));
    ASSERT_TRUE(out.Queue(small2.data(), small2.size()));
    EXPECT_EQ(Contents(path), "") << "small tags are held back";
    EXPECT_TRUE(c.op(out, big, direct));
    EXPECT_TRUE(out.Close());
    EXPECT_EQ(Contents(path), c.expected(header + small1 + small2));
  }
}

TEST(FlvOutput, BatchThatFailsPartWayKeepsItsWholeTags)
{
  TempDir dir;
  const std::string header(13, 'h'), tag1(500, '1'), tag2(600, '2'), tag3(100, '3');
  const std::string path = dir.Path("out.flv");
  {
    LogCapture log(LOG_LEVEL_ERROR);
    FlvOutput out;
    ASSERT_TRUE(out.OpenFile(path.c_str()));
    FileSizeLimit limit(1000);
    for (const std::string *t : {&header, &tag1, &tag2, &tag3})
      ASSERT_TRUE(out.Queue(t->data(), t->size()));
    // One write of 1213 bytes; 1000 of them fit, of which 513 are whole tags.
    EXPECT_FALSE(out.Flush());
    EXPECT_TRUE(out.Failed());
    EXPECT_EQ(out.End(), 513u);
    EXPECT_FALSE(out.Queue(tag3.data(), tag3.size())) << "no more tags after a failure";
    EXPECT_TRUE(out.Close());
  }
  EXPECT_EQ(Contents(path), header + tag1);
}

TEST(FlvOutput, QueuedTagsAreWrittenBeforeTheConnectionWaits)
{
  TempDir dir;
  const std::string path = dir.Path("out.flv");
  const std::string tag(400, 't');
  transport_test::SocketPair pair;
  RTMP_LIB::CRTMP &r = pair.Client();
  FlvOutput out;
  ASSERT_TRUE(out.OpenFile(path.c_str()));
  r.SetBeforeReceive(FlvOutput::FlushQueued, &out);

  // Bytes still in the receive buffer: reading them waits for nothing, so
  // the queued tag stays queued.
  ASSERT_TRUE(pair.Send("abcdef"));
  char buf[8];
  ASSERT_EQ(r.ReadN(buf, 2), 2);
  ASSERT_TRUE(out.Queue(tag.data(), tag.size()));
  ASSERT_EQ(r.ReadN(buf, 4), 4);
  EXPECT_EQ(Contents(path), "");

  // The next read must receive: the server sends only once the tag is in the
  // file, or after 5 s without it.
  std::atomic<bool> bOnDisk{false};
  std::thread server([&] {
    for (int i = 0; i < 500 && !bOnDisk; i++) {
      bOnDisk = Contents(path) == tag;
      if (!bOnDisk)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pair.Send("gh");
  });
  EXPECT_EQ(r.ReadN(buf, 2), 2);
  server.join();
  EXPECT_TRUE(bOnDisk);
  r.SetBeforeReceive(nullptr, nullptr);
  EXPECT_TRUE(out.Close());
}
