// The chunk reader against chunk streams written out byte by byte.

#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>

#include "log_capture.h"
#include "transport_fixture.h"

using RTMP_LIB::CRTMP;
using RTMP_LIB::RTMPPacket;
using transport_test::Hex;
using transport_test::Pattern;
using transport_test::SocketPair;

namespace {

std::string Body(const RTMPPacket &p)
{
  return p.m_body ? std::string(p.m_body, p.m_nBodySize) : std::string();
}

// Reads chunks until one completes a message; false when a read fails.
bool ReadMessage(CRTMP &r, RTMPPacket &p)
{
  for (int i = 0; i < 100000; i++) {
    if (!r.ReadPacket(p))
      return false;
    if (p.IsReady())
      return true;
  }
  return false;
}

}  // namespace

TEST(ChunkReader, BasicHeaderForms)
{
  // Each form addresses its own chunk stream: 64 + b, 64 + b1 + 256 * b2.
  struct Case {
    const char *basic;
    int nChannel;
  } cases[] = {
      {"03", 3},      {"3F", 63},       {"00 00", 64},    {"00 C8", 264},    {"00 FF", 319},
      {"01 00 01", 320}, {"01 01 02", 577}, {"01 C8 00", 264}, {"01 FF FF", 65599},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.basic);
    SocketPair pair;
    // Type 0: timestamp 10, size 2, audio, stream id 1.
    ASSERT_TRUE(pair.Send(Hex(c.basic) + Hex("00 00 0A 00 00 02 08 01 00 00 00 AA BB")));
    RTMPPacket p;
    ASSERT_TRUE(pair.Client().ReadPacket(p));
    ASSERT_TRUE(p.IsReady());
    EXPECT_EQ(p.m_nChannel, c.nChannel);
    EXPECT_EQ(p.m_packetType, 0x08);
    EXPECT_EQ(p.m_nInfoField2, 1);
    EXPECT_EQ(p.m_nTimeStamp, 10u);
    EXPECT_EQ(Body(p), Hex("AA BB"));
  }
}

TEST(ChunkReader, IdsThatAliasModulo256KeepTheirOwnState)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  // 64, 320 and 576 share their low 8 bits; 65599 is the largest id.
  ASSERT_TRUE(pair.Send(Hex("00 00    00 00 64 00 00 01 08 01 00 00 00  11") +
                        Hex("01 00 01 00 00 C8 00 00 02 09 01 00 00 00  22 22") +
                        Hex("01 00 02 00 01 2C 00 00 03 12 01 00 00 00  33 33 33") +
                        Hex("01 FF FF 00 01 90 00 00 04 14 01 00 00 00  44 44 44 44")));
  RTMPPacket p;
  for (int i = 0; i < 4; i++)
    ASSERT_TRUE(r.ReadPacket(p));
  // Type 3 on each: same size and type as that stream's last message, the
  // timestamp field repeated as a delta.
  ASSERT_TRUE(pair.Send(Hex("C0 00 55") + Hex("C1 00 01 66 66") + Hex("C1 00 02 77 77 77") +
                        Hex("C1 FF FF 88 88 88 88")));
  struct Expect {
    int nChannel;
    uint8_t nType;
    uint32_t nTime;
    const char *body;
  } expect[] = {{64, 0x08, 200, "55"}, {320, 0x09, 400, "66 66"}, {576, 0x12, 600, "77 77 77"},
                {65599, 0x14, 800, "88 88 88 88"}};
  for (const Expect &e : expect) {
    SCOPED_TRACE(e.nChannel);
    ASSERT_TRUE(r.ReadPacket(p));
    ASSERT_TRUE(p.IsReady());
    EXPECT_EQ(p.m_nChannel, e.nChannel);
    EXPECT_EQ(p.m_packetType, e.nType);
    EXPECT_EQ(p.m_nTimeStamp, e.nTime);
    EXPECT_EQ(Body(p), Hex(e.body));
  }
}

TEST(ChunkReader, ReassemblesAcrossChunks)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  const std::string body = Pattern(300);
  // 300 bytes at chunk size 128: 128, C3, 128, C3, 44.
  ASSERT_TRUE(pair.Send(Hex("03 00 00 07 00 01 2C 14 00 00 00 00") + body.substr(0, 128) + Hex("C3") +
                        body.substr(128, 128) + Hex("C3") + body.substr(256)));
  RTMPPacket p;
  for (int i = 0; i < 2; i++) {
    ASSERT_TRUE(r.ReadPacket(p));
    EXPECT_FALSE(p.IsReady());
    EXPECT_EQ(p.m_body, nullptr);
    EXPECT_EQ(p.m_nBytesRead, 128u * (i + 1));
  }
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_TRUE(p.IsReady());
  EXPECT_EQ(p.m_nChannel, 3);
  EXPECT_EQ(p.m_nTimeStamp, 7u);
  EXPECT_EQ(Body(p), body);
  // The chunk stream gave the body away.
  EXPECT_EQ(r.ChannelIn(3).m_body, nullptr);
}

TEST(ChunkReader, InterleavedChunkStreams)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  const std::string a = Pattern(200, 1), b = Pattern(150, 7);
  ASSERT_TRUE(pair.Send(Hex("04 00 00 01 00 00 C8 09 01 00 00 00") + a.substr(0, 128) +
                        Hex("05 00 00 02 00 00 96 08 01 00 00 00") + b.substr(0, 128) + Hex("C4") + a.substr(128) +
                        Hex("C5") + b.substr(128)));
  RTMPPacket p;
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_TRUE(p.IsReady());
  EXPECT_EQ(p.m_nChannel, 4);
  EXPECT_EQ(Body(p), a);
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_TRUE(p.IsReady());
  EXPECT_EQ(p.m_nChannel, 5);
  EXPECT_EQ(p.m_nTimeStamp, 2u);
  EXPECT_EQ(Body(p), b);
}

TEST(ChunkReader, HeaderTypesAndRunningTimestamps)
{
  struct Step {
    const char *chunk;
    uint32_t nTime;
    uint8_t nType;
    const char *body;
  } steps[] = {
      {"06 00 03 E8 00 00 01 08 01 00 00 00 A1", 1000, 0x08, "A1"},  // type 0: absolute 1000
      {"46 00 00 28 00 00 02 09 B1 B2", 1040, 0x09, "B1 B2"},        // type 1: delta 40, new size and type
      {"C6 C1 C2", 1080, 0x09, "C1 C2"},                              // type 3 starts a message: delta again
      {"86 00 00 0A D1 D2", 1090, 0x09, "D1 D2"},                     // type 2: delta 10
      {"C6 E1 E2", 1100, 0x09, "E1 E2"},
      {"06 00 00 05 00 00 00 12 01 00 00 00", 5, 0x12, ""},         // empty body: complete at once
      {"C6", 10, 0x12, ""},
  };
  SocketPair pair;
  RTMPPacket p;
  for (const Step &s : steps) {
    SCOPED_TRACE(s.chunk);
    ASSERT_TRUE(pair.Send(Hex(s.chunk)));
    ASSERT_TRUE(pair.Client().ReadPacket(p));
    ASSERT_TRUE(p.IsReady());
    EXPECT_EQ(p.m_nTimeStamp, s.nTime);
    EXPECT_EQ(p.m_packetType, s.nType);
    EXPECT_EQ(p.m_nInfoField2, 1);
    EXPECT_EQ(Body(p), Hex(s.body));
    if (*s.body == '\0') {
      EXPECT_EQ(p.m_body, nullptr);
    }
  }
  EXPECT_EQ(pair.Client().ChannelTimestamp(6), 10u);
}

TEST(ChunkReader, ExtendedTimestamps)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  const std::string body = Pattern(200);
  // Type 0 with FF FF FF: the time follows in 4 bytes, and again after the
  // continuation header.
  ASSERT_TRUE(pair.Send(Hex("03 FF FF FF 00 00 C8 09 01 00 00 00 01 00 00 05") + body.substr(0, 128) +
                        Hex("C3 01 00 00 05") + body.substr(128)));
  RTMPPacket p;
  ASSERT_TRUE(ReadMessage(r, p));
  EXPECT_EQ(p.m_nTimeStamp, 16777221u);
  EXPECT_EQ(Body(p), body);

  // Type 3 starting a message repeats the 4 bytes; they are its delta.
  ASSERT_TRUE(pair.Send(Hex("C3 01 00 00 05") + body.substr(0, 128) + Hex("C3 01 00 00 05") + body.substr(128)));
  ASSERT_TRUE(ReadMessage(r, p));
  EXPECT_EQ(p.m_nTimeStamp, 33554442u);
  EXPECT_EQ(Body(p), body);

  // A type-2 header with a small delta ends the 4-byte field for later type 3s.
  ASSERT_TRUE(pair.Send(Hex("83 00 00 0A") + body.substr(0, 128) + Hex("C3") + body.substr(128)));
  ASSERT_TRUE(ReadMessage(r, p));
  EXPECT_EQ(p.m_nTimeStamp, 33554452u);
  EXPECT_EQ(Body(p), body);

  // An extended delta on a type-1 header; the time wraps at 32 bits.
  ASSERT_TRUE(pair.Send(Hex("43 FF FF FF 00 00 01 08 FF FF FF F0 7A")));
  ASSERT_TRUE(ReadMessage(r, p));
  EXPECT_EQ(p.m_nTimeStamp, 33554452u + 0xFFFFFFF0u);
  EXPECT_EQ(Body(p), Hex("7A"));
}

TEST(ChunkReader, ChunkSizeChangeMidStream)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  const std::string body = Pattern(300);
  // The server's chunk size message (4096), handled as the dispatcher does,
  // then a 300-byte message in one chunk.
  ASSERT_TRUE(pair.Send(Hex("02 00 00 00 00 00 04 01 00 00 00 00 00 00 10 00") +
                        Hex("03 00 00 00 00 01 2C 14 00 00 00 00") + body));
  RTMPPacket p;
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_TRUE(p.IsReady());
  r.HandleChangeChunkSize(p);
  EXPECT_EQ(r.m_chunkSize, 4096);
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_TRUE(p.IsReady());
  EXPECT_EQ(Body(p), body);

  // Down to 100 between two chunks of one message.
  ASSERT_TRUE(pair.Send(Hex("03 00 00 00 00 01 2C 14 00 00 00 00") + body.substr(0, 200)));
  r.m_chunkSize = 200;
  ASSERT_TRUE(r.ReadPacket(p));
  EXPECT_FALSE(p.IsReady());
  r.m_chunkSize = 100;
  ASSERT_TRUE(pair.Send(Hex("C3") + body.substr(200)));
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_TRUE(p.IsReady());
  EXPECT_EQ(Body(p), body);
}

TEST(ChunkReader, RefusesChunkSizeBelowOne)
{
  for (int nSize : {0, -1, INT32_MIN}) {
    SCOPED_TRACE(nSize);
    SocketPair pair;
    CRTMP &r = pair.Client();
    LogCapture log(LOG_LEVEL_ERROR);
    r.m_chunkSize = nSize;
    ASSERT_TRUE(pair.Send(Hex("03 00 00 00 00 00 05 14 00 00 00 00 01 02 03 04 05")));
    RTMPPacket p;
    EXPECT_FALSE(r.ReadPacket(p));
    EXPECT_FALSE(r.IsConnected());
    EXPECT_EQ(p.m_body, nullptr);
    EXPECT_NE(log.Text().find("ERROR: ReadPacket, refusing chunk size"), std::string::npos) << log.Text();
  }
}

TEST(ChunkReader, TruncatedInputFailsAndCloses)
{
  struct Case {
    const char *bytes;
    const char *message;
  } cases[] = {
      {"", "ERROR: ReadPacket, failed to read RTMP packet header\n"},
      {"00", "ERROR: ReadPacket, failed to read RTMP packet header 2nd byte\n"},
      {"01 05", "ERROR: ReadPacket, failed to read RTMP packet header 3rd byte\n"},
      {"03 00 00", "ERROR: ReadPacket, failed to read RTMP packet header. type: 3\n"},
      {"40 05 00", "ERROR: ReadPacket, failed to read RTMP packet header. type: 5\n"},
      {"83 00", "ERROR: ReadPacket, failed to read RTMP packet header. type: ffffff83\n"},
      {"03 FF FF FF 00 00 01 08 00 00 00 00 00 00", "ERROR: ReadPacket, failed to read extended timestamp\n"},
      {"03 00 00 00 00 00 05 08 00 00 00 00 41 42", "ERROR: ReadPacket, failed to read RTMP packet body. len: 5\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.bytes);
    SocketPair pair;
    LogCapture log(LOG_LEVEL_ERROR);
    ASSERT_TRUE(pair.Send(Hex(c.bytes)));
    pair.CloseServerWrite();
    RTMPPacket p;
    EXPECT_FALSE(pair.Client().ReadPacket(p));
    EXPECT_FALSE(pair.Client().IsConnected());
    EXPECT_EQ(p.m_body, nullptr);
    EXPECT_NE(log.Text().find(c.message), std::string::npos) << log.Text();
  }
}

TEST(ChunkReader, OwnershipOnAbandonFailureAndClose)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  RTMPPacket p;
  // A complete message left in the packet is released by the next call.
  ASSERT_TRUE(pair.Send(Hex("03 00 00 00 00 00 02 08 00 00 00 00 01 02")));
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_NE(p.m_body, nullptr);
  // A message in progress on 3 is abandoned by a new type-0 header there.
  ASSERT_TRUE(pair.Send(Hex("03 00 00 00 00 01 2C 08 00 00 00 00") + Pattern(128)));
  ASSERT_TRUE(r.ReadPacket(p));
  EXPECT_EQ(p.m_body, nullptr);
  EXPECT_NE(r.ChannelIn(3).m_body, nullptr);
  ASSERT_TRUE(pair.Send(Hex("03 00 00 21 00 00 01 08 00 00 00 00 09")));
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_TRUE(p.IsReady());
  EXPECT_EQ(Body(p), Hex("09"));
  // A type-1 header abandons one too; its timestamp is a delta even though
  // the abandoned message had an absolute one.
  ASSERT_TRUE(pair.Send(Hex("03 00 00 50 00 01 2C 08 00 00 00 00") + Pattern(128) + Hex("43 00 00 05 00 00 01 08 0A")));
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_TRUE(p.IsReady());
  EXPECT_EQ(p.m_nTimeStamp, 0x26u);
  EXPECT_EQ(Body(p), Hex("0A"));
  // Partial messages on several streams, then the server goes away: Close
  // releases them all; the running timestamps stay.
  ASSERT_TRUE(pair.Send(Hex("04 00 00 09 00 01 2C 08 00 00 00 00") + Pattern(128) +
                        Hex("01 00 04 00 00 09 00 01 2C 08 00 00 00 00") + Pattern(128)));
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_TRUE(r.ReadPacket(p));
  EXPECT_NE(r.ChannelIn(4).m_body, nullptr);
  EXPECT_NE(r.ChannelIn(1088).m_body, nullptr);
  pair.CloseServerWrite();
  EXPECT_FALSE(r.ReadPacket(p));
  EXPECT_EQ(p.m_body, nullptr);
  EXPECT_EQ(r.ChannelIn(4).m_body, nullptr);
  EXPECT_EQ(r.ChannelIn(1088).m_body, nullptr);
  EXPECT_EQ(r.ChannelIn(1088).m_nBytesRead, 0u);
  EXPECT_EQ(r.ChannelIn(1088).m_nChannel, 1088);
  EXPECT_EQ(r.ChannelTimestamp(3), 0x26u);
  r.Close();
  r.Close();
}

TEST(ChunkReader, LargestBodyIsAccepted)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  r.m_chunkSize = 0x7FFFFFFF;
  const std::string body = Pattern(RTMP_MAX_BODY_SIZE, 3);
  pair.SendInBackground(Hex("03 00 00 00 FF FF FF 09 01 00 00 00") + body, false);
  RTMPPacket p;
  ASSERT_TRUE(r.ReadPacket(p));
  ASSERT_TRUE(p.IsReady());
  EXPECT_EQ(p.m_nBodySize, 16777215u);
  EXPECT_TRUE(Body(p) == body);
}

TEST(ChunkReader, MemoryFollowsTheBytesThatArrive)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  // A header that claims 16 MB, then 1000 chunks of 128 bytes.
  std::string stream = Hex("03 00 00 00 FF FF FF 09 01 00 00 00") + Pattern(128);
  for (int i = 1; i < 1000; i++)
    stream += Hex("C3") + Pattern(128, i);
  pair.SendInBackground(stream, true);
  RTMPPacket p;
  for (uint32_t i = 1; i <= 1000; i++) {
    ASSERT_TRUE(r.ReadPacket(p));
    ASSERT_FALSE(p.IsReady());
    ASSERT_EQ(r.ChannelIn(3).m_nBytesRead, 128 * i);
    ASSERT_LE(r.ChannelIn(3).m_nBodyAlloc, 2 * 128 * i);
  }
  EXPECT_FALSE(r.ReadPacket(p));
  EXPECT_EQ(r.ChannelIn(3).m_body, nullptr);
}

namespace {

// The system call a thread of this process is blocked in, or -1.
long BlockedSyscall(pid_t tid)
{
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long nCall = -1;
  in >> nCall;
  return in ? nCall : -1;
}

}  // namespace

TEST(ChunkReader, MemoryFollowsTheBytesWithinOneLargeChunk)
{
  SocketPair pair;
  CRTMP &r = pair.Client();
  r.m_chunkSize = 0x7FFFFFFF;
  // One chunk claiming 16 MB of which 1 MB arrives; then the server stalls.
  ASSERT_TRUE(pair.Send(Hex("03 00 00 00 FF FF FF 09 01 00 00 00")));
  pair.SendInBackground(Pattern(1 << 20), false);

  std::atomic<pid_t> tid{0};
  std::atomic<bool> bResult{true};
  std::thread reader([&] {
    tid = static_cast<pid_t>(syscall(SYS_gettid));
    RTMPPacket p;
    bResult = r.ReadPacket(p);
  });
  pair.Join();
  // Wait until the reader has taken every byte and waits for more.
  bool bBlocked = false;
  for (int i = 0; i < 500 && !bBlocked; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bBlocked = tid != 0 && BlockedSyscall(tid) == SYS_recvfrom;
  }
  if (bBlocked) {
    uint32_t nAlloc = r.ChannelIn(3).m_nBodyAlloc;
    EXPECT_GE(nAlloc, 1u << 20);
    EXPECT_LE(nAlloc, 3u << 20);
  }
  pair.CloseServerWrite();
  reader.join();
  EXPECT_FALSE(bResult);
  EXPECT_EQ(r.ChannelIn(3).m_body, nullptr);
  if (!bBlocked)
    GTEST_SKIP() << "could not observe the blocked reader through /proc";
}

TEST(ChunkReader, HostileBytesEndWithoutHangOrOverrun)
{
  // Random streams: every call consumes at least one byte, so the reader
  // fails at the end of the input after at most that many calls.
  for (unsigned nSeed = 1; nSeed <= 40; nSeed++) {
    SCOPED_TRACE(nSeed);
    std::mt19937 rng(nSeed);
    std::string bytes(4096 + rng() % 4096, '\0');
    for (char &c : bytes)
      c = static_cast<char>(rng());
    // Keep sizes small now and then, so messages also complete.
    for (size_t i = 0; i + 7 < bytes.size(); i += 97)
      bytes[i + 4] = 0;
    SocketPair pair;
    LogCapture log(LOG_LEVEL_CRIT);
    CRTMP &r = pair.Client();
    r.m_chunkSize = 1 + static_cast<int>(rng() % 300);
    pair.SendInBackground(bytes, true);
    RTMPPacket p;
    size_t nCalls = 0;
    while (r.ReadPacket(p) && nCalls <= bytes.size())
      nCalls++;
    EXPECT_LE(nCalls, bytes.size());
    EXPECT_FALSE(r.IsConnected());
  }
}

TEST(ChunkReader, BytesReadReportFollowsTheReadThatCrossesTheMark)
{
  // One message read as four pieces: basic header (1 byte), message header
  // (11), extended timestamp (4), body (10); their ends are at 1, 12, 16, 26.
  // The report goes out after the piece that takes the count more than
  // 614400 past the last report, carrying the count at the end of that piece.
  const std::string msg = Hex("03 FF FF FF 00 00 0A 09 01 00 00 00  00 01 00 00") + Pattern(10);
  const struct {
    const char *szName;
    uint32_t nSent;     // count carried by the last report
    uint32_t nBelow;    // bytes below the mark at the start
    int nReportedEnd;   // end of the piece that sends the report, 0: none
  } cases[] = {
      {"crossed by the basic header", 0, 0, 1},
      {"crossed by the message header", 0, 1, 12},
      {"crossed by the extended timestamp", 0, 12, 16},
      {"crossed by the body", 0, 16, 26},
      {"reached exactly by the body", 0, 26, 0},
      {"crossed by the header across 2^32", 0xFFFFFF00u, 5, 12},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.szName);
    SocketPair pair;
    CRTMP &r = pair.Client();
    const uint32_t nStart = c.nSent + RTMP_BYTES_REPORT_INTERVAL - c.nBelow;
    r.m_nBytesInSent = c.nSent;
    r.m_nBytesIn = nStart;
    ASSERT_TRUE(pair.Send(msg));
    RTMPPacket p;
    ASSERT_TRUE(r.ReadPacket(p));
    ASSERT_TRUE(p.IsReady());
    EXPECT_EQ(r.m_nBytesIn, nStart + 26);
    const std::string wire = pair.Drain();
    if (c.nReportedEnd == 0) {
      EXPECT_EQ(wire, "");
      EXPECT_EQ(r.m_nBytesInSent, c.nSent);
      continue;
    }
    const uint32_t nValue = nStart + static_cast<uint32_t>(c.nReportedEnd);
    // Chunk stream 2, message type 3, the count in 4 big-endian bytes.
    if (wire.size() != 12u) {
      ADD_FAILURE() << "report: " << transport_test::ToHex(wire);
      continue;
    }
    EXPECT_EQ(wire[7], 0x03);
    EXPECT_EQ(transport_test::ToHex(wire.substr(8)),
              transport_test::ToHex({char(nValue >> 24), char(nValue >> 16), char(nValue >> 8), char(nValue)}));
    EXPECT_EQ(r.m_nBytesInSent, nValue);
  }
}
