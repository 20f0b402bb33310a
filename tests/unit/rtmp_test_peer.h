// The far end of a connection for unit tests: the socketpair of the
// transport fixture, a writer for the server's chunks and an independent
// parser for what the client sends. Shares no code with the product's chunk
// reader and writer or its AMF codec, so a mistake common to both shows up.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "log_capture.h"
#include "transport_fixture.h"

namespace testpeer {

using transport_test::Hex;
using transport_test::ToHex;

inline std::string Be(uint64_t v, int nBytes)
{
  std::string out;
  for (int i = nBytes - 1; i >= 0; i--)
    out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
  return out;
}

inline uint32_t BeRead(const std::string &s, size_t pos, int nBytes)
{
  uint32_t v = 0;
  for (int i = 0; i < nBytes; i++)
    v = (v << 8) | static_cast<unsigned char>(s[pos + i]);
  return v;
}

// AMF0 values, written out by hand.
namespace amf {
inline std::string Num(double d)
{
  uint64_t bits;
  memcpy(&bits, &d, 8);
  return std::string(1, '\x00') + Be(bits, 8);
}
inline std::string Str(const std::string &s) { return "\x02" + Be(s.size(), 2) + s; }
inline std::string Bool(bool b) { return std::string("\x01") + (b ? '\x01' : '\x00'); }
inline std::string Null() { return "\x05"; }
inline std::string Key(const std::string &name) { return Be(name.size(), 2) + name; }
inline std::string ObjStart() { return "\x03"; }
inline std::string ObjEnd() { return std::string("\x00\x00\x09", 3); }
inline std::string EcmaStart(uint32_t nCount) { return "\x08" + Be(nCount, 4); }
inline std::string Date(double ms, int16_t tz) { return "\x0b" + Num(ms).substr(1) + Be(static_cast<uint16_t>(tz), 2); }
// An information object as status replies carry it.
inline std::string Info(const std::string &code, const std::string &description = "")
{
  std::string s = ObjStart() + Key("level") + Str("error") + Key("code") + Str(code);
  if (!description.empty())
    s += Key("description") + Str(description);
  return s + ObjEnd();
}
}  // namespace amf

// One message as the client sent it.
struct Message {
  int nChannel = 0;
  int nHeaderType = 0;        // of the first chunk
  uint32_t nTimestamp = 0;    // the timestamp field as carried by the last full header
  uint8_t nType = 0;
  uint32_t nStreamId = 0;
  std::string body;
  int nChunks = 0;
};

// A server message with a full header on a one-byte chunk stream, body split
// into chunks of nChunkSize with continuation bytes.
inline std::string Chunked(int nChannel, uint8_t nType, const std::string &body, uint32_t nStreamId = 0,
                           uint32_t nTimestamp = 0, size_t nChunkSize = 128)
{
  std::string out(1, static_cast<char>(nChannel & 0x3f));
  out += Be(nTimestamp, 3) + Be(body.size(), 3) + std::string(1, static_cast<char>(nType));
  for (int i = 0; i < 4; i++)
    out.push_back(static_cast<char>((nStreamId >> (8 * i)) & 0xff));
  for (size_t nPos = 0; nPos < body.size() || nPos == 0; nPos += nChunkSize) {
    if (nPos > 0)
      out.push_back(static_cast<char>(0xC0 | (nChannel & 0x3f)));
    out += body.substr(nPos, nChunkSize);
    if (body.empty())
      break;
  }
  return out;
}

inline bool Contains(const LogCapture &log, const std::string &s)
{
  return log.Text().find(s) != std::string::npos;
}

class Peer : public transport_test::SocketPair
{
public:
  Peer()
  {
    // Room for a whole test's messages either way without a reader.
    int nBuf = 4 << 20;
    setsockopt(ClientFd(), SOL_SOCKET, SO_SNDBUF, &nBuf, sizeof(nBuf));
    setsockopt(ServerFd(), SOL_SOCKET, SO_SNDBUF, &nBuf, sizeof(nBuf));
  }

  void Send(const std::string &bytes)
  {
    ASSERT_TRUE(SocketPair::Send(bytes)) << "peer write failed: " << strerror(errno);
  }

  // Every message the client has written so far. The client writes whole
  // messages before its calls return, so what is buffered is complete.
  std::vector<Message> Received()
  {
    m_pending += Drain();
    std::vector<Message> out;
    size_t nPos = 0;
    while (nPos < m_pending.size()) {
      size_t nUsed = ParseChunk(m_pending, nPos, out);
      if (nUsed == 0) {
        ADD_FAILURE() << "client sent a truncated chunk: " << ToHex(m_pending.substr(nPos, 32));
        break;
      }
      nPos += nUsed;
    }
    m_pending.erase(0, nPos);
    return out;
  }

  // Size the client splits its outgoing chunks at.
  size_t m_nChunkSize = 128;

private:
  struct ChannelState {
    uint32_t nTimestamp = 0;
    uint32_t nSize = 0;
    uint8_t nType = 0;
    uint32_t nStreamId = 0;
    bool bExtended = false;
    bool bInProgress = false;
    Message msg;
  };

  // Parses one chunk at nPos; returns its length, 0 when incomplete.
  size_t ParseChunk(const std::string &s, size_t nPos, std::vector<Message> &out)
  {
    size_t p = nPos;
    auto need = [&](size_t n) { return p + n <= s.size(); };
    if (!need(1))
      return 0;
    unsigned char b0 = static_cast<unsigned char>(s[p++]);
    int nHeaderType = b0 >> 6;
    int nChannel = b0 & 0x3f;
    if (nChannel == 0) {
      if (!need(1))
        return 0;
      nChannel = 64 + static_cast<unsigned char>(s[p++]);
    } else if (nChannel == 1) {
      if (!need(2))
        return 0;
      nChannel = 64 + static_cast<unsigned char>(s[p]) + 256 * static_cast<unsigned char>(s[p + 1]);
      p += 2;
    }
    ChannelState &ch = m_channels[nChannel];
    static const int kFields[4] = {11, 7, 3, 0};
    if (!need(kFields[nHeaderType]))
      return 0;
    uint32_t nTs = ch.nTimestamp;
    if (nHeaderType <= 2)
      nTs = BeRead(s, p, 3);
    if (nHeaderType <= 1) {
      ch.nSize = BeRead(s, p + 3, 3);
      ch.nType = static_cast<uint8_t>(s[p + 6]);
    }
    if (nHeaderType == 0) {
      ch.nStreamId = 0;
      for (int i = 0; i < 4; i++)
        ch.nStreamId |= static_cast<uint32_t>(static_cast<unsigned char>(s[p + 7 + i])) << (8 * i);
    }
    p += static_cast<size_t>(kFields[nHeaderType]);
    if (nHeaderType <= 2) {
      ch.bExtended = nTs == 0xFFFFFF;
      if (ch.bExtended) {
        if (!need(4))
          return 0;
        nTs = BeRead(s, p, 4);
        p += 4;
      }
      ch.nTimestamp = nTs;
    } else if (ch.bExtended) {
      if (!need(4))
        return 0;
      p += 4;
    }
    if (!ch.bInProgress || nHeaderType <= 1) {
      EXPECT_FALSE(ch.bInProgress && nHeaderType <= 1) << "new header abandons a message on channel " << nChannel;
      ch.msg = Message();
      ch.msg.nChannel = nChannel;
      ch.msg.nHeaderType = nHeaderType;
      ch.msg.nTimestamp = ch.nTimestamp;
      ch.msg.nType = ch.nType;
      ch.msg.nStreamId = ch.nStreamId;
      ch.bInProgress = true;
    }
    size_t nLeft = ch.nSize - ch.msg.body.size();
    size_t nTake = nLeft < m_nChunkSize ? nLeft : m_nChunkSize;
    if (!need(nTake))
      return 0;
    ch.msg.body.append(s, p, nTake);
    ch.msg.nChunks++;
    p += nTake;
    if (ch.msg.body.size() == ch.nSize) {
      out.push_back(ch.msg);
      ch.bInProgress = false;
    }
    return p - nPos;
  }

  std::string m_pending;
  std::map<int, ChannelState> m_channels;
};

// The messages of one type among those the client sent.
inline std::vector<Message> OfType(const std::vector<Message> &msgs, uint8_t nType)
{
  std::vector<Message> out;
  for (const Message &m : msgs)
    if (m.nType == nType)
      out.push_back(m);
  return out;
}

// The AMF0 command name at the start of an invoke body.
inline std::string CommandName(const Message &m)
{
  if (m.body.size() < 3 || m.body[0] != 0x02)
    return "";
  size_t n = BeRead(m.body, 1, 2);
  return m.body.substr(3, n);
}

}  // namespace testpeer
