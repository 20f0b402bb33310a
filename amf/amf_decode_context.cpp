#include "amf/amf_decode_context.h"

#include <algorithm>

#include "amf/AMFObject.h"
#include "foundation/log.h"

namespace RTMP_LIB {

namespace {

const char kObjectEnd[3] = {0x00, 0x00, 0x09};

const char *FindObjectEnd(const char *pFrom, const char *pEnd)
{
  if (pEnd - pFrom < static_cast<long>(sizeof(kObjectEnd)))
    return nullptr;
  const char *p = std::search(pFrom, pEnd, kObjectEnd, kObjectEnd + sizeof(kObjectEnd));
  return p != pEnd ? p : nullptr;
}

}  // namespace

AMFDecodeContext::AMFDecodeContext(const char *pBase, int nSize)
    : m_pBase(pBase),
      m_nValuesLeft(AMF_MAX_VALUES),
      m_bSpent(false),
      m_nSkipped(0),
      m_nSkipsAllowed(static_cast<int64_t>(AMF_MAX_DEPTH + 2) * (nSize > 0 ? nSize : 0)),
      m_pScanFrom(nullptr),
      m_pScanEnd(nullptr),
      m_pScanFound(nullptr)
{
}

bool AMFDecodeContext::Spend(int nValues, const char *szWho)
{
  if (!m_bSpent && nValues >= 0 && nValues <= m_nValuesLeft) {
    m_nValuesLeft -= nValues;
    return true;
  }
  if (!m_bSpent)
    Log(LOG_LEVEL_ERROR, "%s, more than %d values in one message, giving up!", szWho,
        AMF_MAX_VALUES);
  m_bSpent = true;
  m_nValuesLeft = 0;
  return false;
}

const char *AMFDecodeContext::NextObjectEnd(const char *pFrom, const char *pEnd)
{
  const char *pFound = nullptr;
  if (m_pScanFrom != nullptr && pEnd == m_pScanEnd && pFrom >= m_pScanFrom &&
      (m_pScanFound == nullptr || pFrom <= m_pScanFound))
    return m_pScanFound;

  if (m_pScanFrom != nullptr && pEnd == m_pScanEnd && pFrom < m_pScanFrom) {
    // Only the bytes before the last scan are new: a marker starting before
    // it may still reach two bytes into it.
    const char *pNewEnd = m_pScanEnd - m_pScanFrom > 2 ? m_pScanFrom + 2 : m_pScanEnd;
    pFound = FindObjectEnd(pFrom, pNewEnd);
    if (pFound == nullptr)
      pFound = m_pScanFound;
  } else {
    pFound = FindObjectEnd(pFrom, pEnd);
  }
  m_pScanFrom = pFrom;
  m_pScanEnd = pEnd;
  m_pScanFound = pFound;
  return pFound;
}

bool AMFDecodeContext::CountSkipped(int nBytes)
{
  m_nSkipped += nBytes;
  return m_nSkipped <= m_nSkipsAllowed;
}

int AMFDecodeContext::Finish(int nResult, const char *szWho) const
{
  if (m_nSkipped > kLoggedSkips)
    Log(LOG_LEVEL_ERROR, "%s, %lld more bytes ignored until the next known pattern!", szWho,
        static_cast<long long>(m_nSkipped - kLoggedSkips));
  return nResult;
}

}  // namespace RTMP_LIB
