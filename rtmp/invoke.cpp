// The server's invokes: results and errors for the client's commands, status
// notifications, bandwidth probes and close requests. Results are matched to
// commands by order alone, through m_methodCalls.
#include <algorithm>
#include <climits>
#include <cmath>
#include <string>

#include "foundation/log.h"
#include "rtmp/rtmp.h"

namespace RTMP_LIB {

namespace {

// Takes the oldest command still waiting for an answer. The client's own
// "_result" (its answer to _onbwcheck) is recorded by the writer like any
// invoke but the server never answers it: drop such entries on the way.
bool TakeOldestCall(std::vector<std::string> &calls, std::string &strName)
{
  size_t i = 0;
  while (i < calls.size() && calls[i] == "_result")
    i++;
  if (i == calls.size()) {
    calls.clear();
    return false;
  }
  strName = calls[i];
  calls.erase(calls.begin(), calls.begin() + static_cast<long>(i) + 1);
  return true;
}

// FCSubscribe is answered by onFCSubscribe, never by _result or _error: an
// _error goes to the oldest call that can get one, so a refused play behind a
// subscription is seen as such. FCSubscribe takes it only when alone.
bool TakeErroredCall(std::vector<std::string> &calls, std::string &strName)
{
  auto it = std::find_if(calls.begin(), calls.end(),
                         [](const std::string &s) { return s != "_result" && s != "FCSubscribe"; });
  if (it == calls.end())
    return TakeOldestCall(calls, strName);
  strName = *it;
  it = calls.erase(it);
  calls.erase(std::remove(calls.begin(), it, std::string("_result")), it);
  return true;
}

// The subscription is answered: it waits for nothing more.
void EndSubscribeCall(std::vector<std::string> &calls)
{
  auto it = std::find(calls.begin(), calls.end(), "FCSubscribe");
  if (it != calls.end())
    calls.erase(it);
}

// "code (description)", or whichever of the two the information object has.
std::string DescribeStatus(const AMFObject &info)
{
  const std::string &strCode = info.GetProperty("code").GetString();
  const std::string &strDescription = info.GetProperty("description").GetString();
  if (strDescription.empty())
    return strCode;
  if (strCode.empty())
    return strDescription;
  return strCode + " (" + strDescription + ")";
}

bool IsFailureStatus(const std::string &strCode)
{
  return strCode == "NetStream.Failed" || strCode == "NetStream.Play.Failed" ||
         strCode == "NetStream.Play.StreamNotFound" || strCode == "NetConnection.Connect.InvalidApp";
}

// Without these the stream cannot start, so a refusal of one ends the connection.
bool IsEssentialCall(const std::string &strName)
{
  return strName == "connect" || strName == "createStream" || strName == "play";
}

}  // namespace

static void HandleResult(CRTMP &rtmp, const AMFObject &obj)
{
  std::string strMethod;
  if (!TakeOldestCall(rtmp.m_methodCalls, strMethod)) {
    Log(LOG_LEVEL_DEBUG, "%s, received result without a pending method call, ignoring", "HandleInvoke");
    return;
  }
  Log(LOG_LEVEL_DEBUG, "%s, received result for method call <%s>", "HandleInvoke", strMethod.c_str());

  if (strMethod == "connect") {
    rtmp.SendServerBW();
    rtmp.SendPing(3, 0, 300);
    rtmp.SendCreateStream(2.0);
    if (rtmp.m_strSubscribePath)
      rtmp.SendFCSubscribe(rtmp.m_strSubscribePath);
    else if (rtmp.m_bLiveStream)
      rtmp.SendFCSubscribe(rtmp.m_strPlaypath);
  } else if (strMethod == "createStream") {
    double dStreamId = obj.GetProperty(3).GetNumber();
    // Converting NaN, an infinity or a value outside int is undefined; such a
    // stream id cannot be played.
    if (!std::isfinite(dStreamId) || dStreamId <= static_cast<double>(INT_MIN) - 1.0 ||
        dStreamId >= static_cast<double>(INT_MAX) + 1.0) {
      Log(LOG_LEVEL_ERROR, "%s, createStream result carries an invalid stream id %f, closing connection",
          "HandleInvoke", dStreamId);
      // Asking again gets the same answer: a failure, not an interruption.
      rtmp.m_bRefused = true;
      rtmp.SetBreakReason("the server answered createStream with an unusable stream id");
      rtmp.Close();
      return;
    }
    rtmp.m_stream_id = static_cast<int>(dStreamId);
    rtmp.SendPlay();
    rtmp.SendPing(3, 1, static_cast<unsigned int>(rtmp.m_nBufferMS));
  } else if (strMethod == "play") {
    rtmp.SendPlay();
  }
}

static void HandleError(CRTMP &rtmp, const AMFObject &obj)
{
  Log(LOG_LEVEL_ERROR, "rtmp server sent error");
  std::string strMethod;
  if (!TakeErroredCall(rtmp.m_methodCalls, strMethod)) {
    Log(LOG_LEVEL_DEBUG, "%s, received error without a pending method call", "HandleInvoke");
    return;
  }
  std::string strStatus = DescribeStatus(obj.GetProperty(3).GetObject());
  if (strStatus.empty())
    Log(LOG_LEVEL_ERROR, "%s, call <%s> failed", "HandleInvoke", strMethod.c_str());
  else
    Log(LOG_LEVEL_ERROR, "%s, call <%s> failed: %s", "HandleInvoke", strMethod.c_str(), strStatus.c_str());

  // Waiting for the receive timeout would help nobody: the server said no.
  if (IsEssentialCall(strMethod)) {
    rtmp.m_bRefused = true;
    rtmp.SetBreakReason(std::string(strMethod == "connect" ? "the server refused the connection"
                                                           : "the server refused the stream") +
                        (strStatus.empty() ? " (" + strMethod + " failed)" : ": " + strStatus));
    rtmp.Close();
  }
}

// 1 when the stream ended normally, else 0.
static int HandleStatus(CRTMP &rtmp, const AMFObject &obj)
{
  const AMFObject &info = obj.GetProperty(3).GetObject();
  const std::string &strCode = info.GetProperty("code").GetString();
  Log(LOG_LEVEL_DEBUG, "%s, onStatus: %s", "HandleInvoke", strCode.c_str());

  if (IsFailureStatus(strCode)) {
    Log(LOG_LEVEL_ERROR, "%s, server refused: %s", "HandleInvoke", DescribeStatus(info).c_str());
    rtmp.m_bRefused = true;
    rtmp.SetBreakReason((strCode == "NetConnection.Connect.InvalidApp" ? "the server refused the connection: "
                                                                       : "the server refused the stream: ") +
                        DescribeStatus(info));
    rtmp.Close();
    return 0;
  }
  // Enhanced RTMP: the server wants the client elsewhere (or back on the same
  // address). The application decides whether and where to connect again.
  if (strCode == "NetConnection.Connect.ReconnectRequest") {
    rtmp.m_bReconnectRequested = true;
    rtmp.m_strReconnectUrl = info.GetProperty("tcUrl").GetString();
    Log(LOG_LEVEL_WARNING, "%s, server requests a reconnect to %s: %s", "HandleInvoke",
        rtmp.m_strReconnectUrl.empty() ? "the same address" : rtmp.m_strReconnectUrl.c_str(),
        DescribeStatus(info).c_str());
    rtmp.Close();
    return 0;
  }
  if (strCode == "NetStream.Play.Complete" || strCode == "NetStream.Play.Stop") {
    rtmp.Close();
    return 1;
  }
  // The publisher of a live stream stopped. Some servers say so before any
  // media when the play started ahead of the publisher; that ends nothing.
  if (strCode == "NetStream.Play.UnpublishNotify" && rtmp.m_bLiveStream) {
    if (!rtmp.m_bMediaReceived) {
      Log(LOG_LEVEL_INFO, "%s, %s before any media, waiting for the publisher", "HandleInvoke", strCode.c_str());
      return 0;
    }
    LogPrintf("\rNetStream.Play.UnpublishNotify: the publisher stopped, ending the recording\n");
    rtmp.Close();
    return 1;
  }
  return 0;
}

int CRTMP::HandleInvoke(const char *body, unsigned int nBodySize)
{
  // An empty invoke, or a flex message of at most one byte, has no method name.
  if (!body || nBodySize < 1) {
    Log(LOG_LEVEL_WARNING, "%s, empty invoke packet, ignoring", "HandleInvoke");
    return 0;
  }
  if (body[0] != 0x02) {
    Log(LOG_LEVEL_WARNING, "%s, Sanity failed. no string method in invoke packet", "HandleInvoke");
    return 0;
  }
  AMFObject obj;
  // No message is longer than RTMP_MAX_BODY_SIZE, so the size fits the decoder's int.
  if (nBodySize > RTMP_MAX_BODY_SIZE || obj.Decode(body, static_cast<int>(nBodySize), false) < 0) {
    Log(LOG_LEVEL_ERROR, "%s, error decoding invoke packet", "HandleInvoke");
    return 0;
  }
  obj.Dump();

  const std::string &strMethod = obj.GetProperty(0).GetString();
  Log(LOG_LEVEL_DEBUG, "%s, server invoking <%s>", "HandleInvoke", strMethod.c_str());

  if (strMethod == "_result") {
    HandleResult(*this, obj);
  } else if (strMethod == "onBWDone") {
    // nothing to answer
  } else if (strMethod == "onFCSubscribe") {
    EndSubscribeCall(m_methodCalls);
  } else if (strMethod == "_onbwcheck") {
    SendCheckBWResult();
  } else if (strMethod == "_error") {
    HandleError(*this, obj);
  } else if (strMethod == "close") {
    Log(LOG_LEVEL_ERROR, "rtmp server requested close");
    // Before any media the server is turning the stream down; afterwards it
    // has cut a running stream short.
    if (!m_bMediaReceived)
      m_bRefused = true;
    SetBreakReason(m_bMediaReceived ? "the server asked the client to close the connection"
                                    : "the server closed the stream before sending any media (close request)");
    Close();
  } else if (strMethod == "onStatus") {
    return HandleStatus(*this, obj);
  }
  return 0;
}

}  // namespace RTMP_LIB
