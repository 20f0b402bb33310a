// The plain RTMP handshake: a version byte and a 1536-byte block each way,
// then the echo of the peer's block. No digest, no encryption.

#include <cstdlib>
#include <cstring>

#include "foundation/log.h"
#include "rtmp/rtmp.h"

namespace RTMP_LIB {

#define RTMP_SIG_SIZE 1536
#define RTMP_HANDSHAKE_VERSION 0x03

bool CRTMP::HandShake()
{
  // Version byte and client block go out together.
  // Client block: time (4), zero (4), filler (1528).
  char clientsig[RTMP_SIG_SIZE + 1];
  char serversig[RTMP_SIG_SIZE];
  char echo[RTMP_SIG_SIZE];

  clientsig[0] = RTMP_HANDSHAKE_VERSION;
  char *block = clientsig + 1;
  EncodeInt32(block, GetTime());
  memset(block + 4, 0, 4);
  for (int i = 8; i < RTMP_SIG_SIZE; i++)
    block[i] = static_cast<char>(rand());

  if (!WriteN(clientsig, RTMP_SIG_SIZE + 1))
    return false;

  char type;
  if (ReadN(&type, 1) != 1)
    return false;
  Log(LOG_LEVEL_DEBUG, "%s: Type Answer   : %02X", "HandShake", static_cast<int>(static_cast<signed char>(type)));
  if (type != clientsig[0])
    Log(LOG_LEVEL_WARNING, "%s: Type mismatch: client sent %d, server answered %d", "HandShake",
        static_cast<int>(static_cast<signed char>(clientsig[0])), static_cast<int>(static_cast<signed char>(type)));

  if (ReadN(serversig, RTMP_SIG_SIZE) != RTMP_SIG_SIZE)
    return false;
  // Server block: uptime (4), four version bytes, the rest is not examined.
  Log(LOG_LEVEL_DEBUG, "%s: Server Uptime : %d", "HandShake", ReadInt32(serversig));
  Log(LOG_LEVEL_DEBUG, "%s: FMS Version   : %d.%d.%d.%d", "HandShake", static_cast<signed char>(serversig[4]),
      static_cast<signed char>(serversig[5]), static_cast<signed char>(serversig[6]),
      static_cast<signed char>(serversig[7]));

  if (ReadN(echo, RTMP_SIG_SIZE) != RTMP_SIG_SIZE)
    return false;
  // Some servers answer with a block of their own; that is not fatal.
  if (memcmp(echo, block, RTMP_SIG_SIZE) != 0)
    Log(LOG_LEVEL_WARNING, "%s, client signiture does not match!", "HandShake");

  EncodeInt32(serversig + 4, GetTime());
  return WriteN(serversig, RTMP_SIG_SIZE);
}

}  // namespace RTMP_LIB
