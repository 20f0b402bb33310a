// Fuzz target for the chunk reader and the message dispatch: the input is what
// a server sends after the handshake, fed through a socketpair to a fresh
// connection that has just sent its connect command.
//
// The first byte chooses the mode; the other bytes are the stream.
//   bit 0: render every message with WriteStream, as the download loop does
//          (otherwise call GetNextMediaPacket alone)
//   bit 1: print the log at --debug level (into /dev/null)
//   bit 2: resume mode: the stream must continue a file whose last keyframe
//          is kStoredKeyframe at 1000 ms
//   bit 3: live stream
//   bit 4: play from 1000 ms (time model decisions)
//   bit 5: with bit 2, the file's last keyframe is an audio tag of no data
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "download/flv_writer.h"
#include "fuzz/tag_chain.h"
#include "foundation/log.h"
#include "rtmp/rtmp.h"
#include "fuzz_support.h"

using namespace RTMP_LIB;

namespace {

const unsigned char kStoredKeyframe[] = {0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x64, 0x00, 0x1f};
const unsigned char kStoredMeta[] = {0x02, 0x00, 0x0a, 'o', 'n', 'M', 'e', 't', 'a', 'D', 'a', 't', 'a',
                                     0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09};
const uint32_t kSeekTime = 1000;
const unsigned int kInitialBuffer = 64;  // small, so that WriteStream has to grow it

// The server's end: sends the input, then its end of stream, and reads and
// drops whatever the client answers until the client closes. Reading while
// writing keeps both sides from blocking on a full socket buffer.
void ServeInput(int fd, const uint8_t *data, size_t size)
{
  size_t nSent = 0;
  bool bShut = false;
  static char sink[65536];
  for (;;) {
    if (!bShut && nSent == size) {
      shutdown(fd, SHUT_WR);
      bShut = true;
    }
    struct pollfd pfd = {fd, static_cast<short>(POLLIN | (bShut ? 0 : POLLOUT)), 0};
    if (poll(&pfd, 1, -1) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if ((pfd.revents & POLLIN) != 0) {
      if (recv(fd, sink, sizeof sink, MSG_DONTWAIT) == 0)
        return;  // the client closed its end
    } else if ((pfd.revents & (POLLHUP | POLLERR)) != 0) {
      return;
    }
    if (!bShut && (pfd.revents & POLLOUT) != 0) {
      ssize_t n = send(fd, data + nSent, size - nSent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0)
        nSent += static_cast<size_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        nSent = size;  // the client is gone; stop writing
    }
  }
}

void CheckConnection(const CRTMP &rtmp, size_t size)
{
  // The incoming chunk size is refused before it is used, and bytes are
  // counted once each.
  if (rtmp.IsConnected() && rtmp.m_chunkSize < 1)
    __builtin_trap();
  if (rtmp.m_nBytesIn > size || rtmp.m_nBufferSize < 0 || rtmp.m_nBufferSize > RTMP_BUFFER_CACHE_SIZE)
    __builtin_trap();
}

void CheckMedia(const RTMPPacket &packet)
{
  // Only media, metadata and FLV data come back, always whole.
  unsigned char t = packet.m_packetType;
  if (t != RTMP_PACKET_TYPE_AUDIO && t != RTMP_PACKET_TYPE_VIDEO && t != RTMP_PACKET_TYPE_INFO &&
      t != RTMP_PACKET_TYPE_FLASH_VIDEO)
    __builtin_trap();
  if (!packet.IsReady() || (packet.m_nBodySize > 0 && packet.m_body == nullptr) ||
      packet.m_nBodyAlloc < packet.m_nBodySize)
    __builtin_trap();
  // Every body byte must be readable.
  volatile unsigned char sum = 0;
  for (uint32_t i = 0; i < packet.m_nBodySize; i++)
    sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(packet.m_body[i]));
}

void PumpMessages(CRTMP &rtmp, size_t size)
{
  RTMPPacket packet;
  // Every call that returns a message has read at least one byte.
  for (size_t nPass = 0;; nPass++) {
    if (nPass > size)
      __builtin_trap();
    int nRes = rtmp.GetNextMediaPacket(packet);
    CheckConnection(rtmp, size);
    if (nRes == 0)
      break;
    if (nRes == 1)
      CheckMedia(packet);
    else if (nRes != 2 || rtmp.IsConnected())
      __builtin_trap();  // the end of play closes the connection
    packet.FreePacket();
  }
}

void RenderMessages(CRTMP &rtmp, size_t size, uint8_t nMode)
{
  StreamParams params;
  params.bLiveStream = (nMode & 8) != 0;
  if ((nMode & 4) != 0) {
    params.bResumeMode = true;
    params.nSeekTime = kSeekTime;
    params.pStoredMeta = reinterpret_cast<const char *>(kStoredMeta);
    params.nStoredMetaSize = sizeof kStoredMeta;
    if ((nMode & 32) != 0) {
      // An audio-only file may end in a tag of no data; its stored copy is empty.
      params.storedKeyframeType = RTMP_PACKET_TYPE_AUDIO;
    } else {
      params.pStoredKeyframe = reinterpret_cast<const char *>(kStoredKeyframe);
      params.nStoredKeyframeSize = sizeof kStoredKeyframe;
      params.storedKeyframeType = RTMP_PACKET_TYPE_VIDEO;
    }
  } else if ((nMode & 16) != 0) {
    params.nSeekTime = kSeekTime;
  }
  StreamState state;

  char *pBuffer = static_cast<char *>(malloc(kInitialBuffer));
  if (pBuffer == nullptr)
    return;
  unsigned char dataTypes = 0;
  uint32_t nPosition = 0;
  for (size_t nPass = 0;; nPass++) {
    if (nPass > size)
      __builtin_trap();
    int nOut = WriteStream(&rtmp, &pBuffer, kInitialBuffer, &nPosition, params, state, &dataTypes);
    CheckConnection(rtmp, size);
    if (nOut < -2)
      __builtin_trap();
    if (nOut < 0)
      break;
    // What goes to the file is whole tags with true sizes, whatever came in.
    size_t nTags = 0;
    if (!IsTagChain(pBuffer, static_cast<size_t>(nOut), nTags))
      __builtin_trap();
  }
  free(pBuffer);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  // The server's end may be closed while the client writes.
  signal(SIGPIPE, SIG_IGN);
  SilenceLog(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  if (size < 1)
    return 0;
  const uint8_t nMode = data[0];
  data++;
  size--;
  debuglevel = (nMode & 2) != 0 ? LOG_LEVEL_DEBUG + 1 : 0;

  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
    abort();

  CRTMP rtmp;
  rtmp.m_strApp = "vod";
  rtmp.m_strTcUrl = "rtmp://127.0.0.1:1935/vod";
  rtmp.m_strFlashVer = "LNX 10,0,22,87";
  rtmp.m_strPlaypath = "clip";
  rtmp.m_bLiveStream = (nMode & 8) != 0;
  rtmp.m_dSeekTime = (nMode & 20) != 0 ? kSeekTime : 0.0;
  rtmp.AttachSocket(fds[0]);
  // As after the handshake: connect is on its way, its answer pending.
  rtmp.SendConnectPacket();

  std::thread server(ServeInput, fds[1], data, size);
  if ((nMode & 1) != 0)
    RenderMessages(rtmp, size, nMode);
  else
    PumpMessages(rtmp, size);
  rtmp.Close();  // the server's end sees the close and stops
  server.join();
  close(fds[1]);
  return 0;
}
