#include "download/reseek.h"

#include "foundation/log.h"

namespace RTMP_LIB {

int ReplayBeforeKeyframe(CRTMP &conn, const StreamParams &params, StreamState &state)
{
  state.bReseekWanted = false;
  state.timeModel = TIME_MODEL_UNKNOWN;
  const uint32_t nStart = params.nSeekTime - 1;
  // A play length ends the stream at the same time as before.
  const double dLength = conn.m_dLength != 0.0 ? conn.m_dLength + 1.0 : 0.0;
  Log(LOG_LEVEL_INFO, "Playing again from %u ms on a new connection", nStart);
  if (!conn.Connect(conn.m_nProtocol, conn.m_strHostname, conn.m_nPort, conn.m_strPlaypath, conn.m_strTcUrl,
                    conn.m_strSwfUrl, conn.m_strPageUrl, conn.m_strApp, conn.m_strAuth, conn.m_strFlashVer,
                    conn.m_strSubscribePath, static_cast<double>(nStart), dLength, conn.m_bLiveStream,
                    conn.m_nTimeout)) {
    LogPrintf("Failed to connect!\n");
    return -1;
  }
  return 0;
}

}  // namespace RTMP_LIB
