// The handshake, through Connect, against a loopback server thread that
// scripts the server's side.

#include <gtest/gtest.h>

#include "log_capture.h"
#include "transport_fixture.h"

using RTMP_LIB::CRTMP;
using transport_test::Hex;
using transport_test::Listener;
using transport_test::Pattern;
using transport_test::ReadUpTo;
using transport_test::WriteAll;

namespace {

struct Script {
  const char *name;
  char version;
  const char *versionBytes;  // bytes 4..7 of the server block
  bool bWrongEcho;
  bool bCloseAfterVersion;
};

struct Seen {
  std::string c0c1;   // version byte and client block
  std::string c2;     // the client's echo
  std::string after;  // the start of what follows: the connect command
  std::string s1;     // the server block sent
};

void Serve(Listener &listener, const Script &script, Seen &seen)
{
  int fd = listener.Accept(5000);
  if (fd < 0)
    return;
  seen.c0c1 = ReadUpTo(fd, 1537);
  if (script.bCloseAfterVersion) {
    WriteAll(fd, std::string(1, script.version));
    close(fd);
    return;
  }
  seen.s1 = Hex("00 00 12 34") + Hex(script.versionBytes) + Pattern(1528, 9);
  std::string s2 = script.bWrongEcho ? Pattern(1536, 77) : seen.c0c1.substr(1);
  WriteAll(fd, std::string(1, script.version) + seen.s1 + s2);
  seen.c2 = ReadUpTo(fd, 1536);
  seen.after = ReadUpTo(fd, 12);
  close(fd);
}

}  // namespace

TEST(HandShake, ServerVariants)
{
  struct Expect {
    Script script;
    bool bConnected;
    const char *log;
  } cases[] = {
      {{"plain", 0x03, "09 00 7C 02", false, false}, true, "DEBUG: HandShake: FMS Version   : 9.0.124.2\n"},
      {{"other version", 0x06, "09 00 7C 02", false, false},
       true,
       "WARNING: HandShake: Type mismatch: client sent 3, server answered 6\n"},
      {{"wrong echo", 0x03, "80 00 7C FF", true, false},
       true,
       "WARNING: HandShake, client signiture does not match!\n"},
      {{"closes after version", 0x03, "", false, true}, false, "ERROR: Connect, handshake failed.\n"},
  };
  for (const Expect &e : cases) {
    SCOPED_TRACE(e.script.name);
    Listener listener;
    Seen seen;
    std::thread server([&] { Serve(listener, e.script, seen); });
    LogCapture log(LOG_LEVEL_DEBUG);
    CRTMP r;
    bool bOk = r.Connect(0, "127.0.0.1", listener.Port(), "clip", nullptr, nullptr, nullptr, "vod", nullptr,
                         nullptr, nullptr, 0, 0, false, 5);
    server.join();
    EXPECT_EQ(bOk, e.bConnected);
    EXPECT_NE(log.Text().find(e.log), std::string::npos) << log.Text();

    // The client block: version 3, time, four zero bytes, filler.
    ASSERT_EQ(seen.c0c1.size(), 1537u);
    EXPECT_EQ(seen.c0c1[0], 0x03);
    EXPECT_EQ(seen.c0c1.substr(5, 4), std::string(4, '\0'));
    if (!e.bConnected) {
      EXPECT_FALSE(r.IsConnected());
      continue;
    }
    EXPECT_EQ(log.Text().find("WARNING") != std::string::npos, e.script.version != 3 || e.script.bWrongEcho);
    EXPECT_NE(log.Text().find("DEBUG: HandShake: Server Uptime : 4660\n"), std::string::npos);
    // The echo is the server block except bytes 4..7.
    ASSERT_EQ(seen.c2.size(), 1536u);
    EXPECT_EQ(seen.c2.substr(0, 4), seen.s1.substr(0, 4));
    EXPECT_EQ(seen.c2.substr(8), seen.s1.substr(8));
    // Then the connect command, on chunk stream 3 with a full header.
    ASSERT_EQ(seen.after.size(), 12u);
    EXPECT_EQ(seen.after[0], 0x03);
    EXPECT_EQ(seen.after[7], 0x14);
    EXPECT_EQ(r.m_nBytesIn, 3073u);
  }
}

TEST(HandShake, SignedVersionBytes)
{
  Listener listener;
  Seen seen;
  Script script = {"high bytes", static_cast<char>(0x83), "80 00 7C FF", false, false};
  std::thread server([&] { Serve(listener, script, seen); });
  LogCapture log(LOG_LEVEL_DEBUG);
  CRTMP r;
  EXPECT_TRUE(r.Connect(0, "127.0.0.1", listener.Port(), "clip", nullptr, nullptr, nullptr, nullptr, nullptr,
                        nullptr, nullptr, 0, 0, false, 5));
  server.join();
  // Single bytes print as signed 8-bit values.
  EXPECT_NE(log.Text().find("DEBUG: HandShake: Type Answer   : FFFFFF83\n"), std::string::npos) << log.Text();
  EXPECT_NE(log.Text().find("DEBUG: HandShake: FMS Version   : -128.0.124.-1\n"), std::string::npos);
  EXPECT_NE(log.Text().find("client sent 3, server answered -125\n"), std::string::npos);
}
