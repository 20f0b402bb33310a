// What one outermost decode call shares with every level of the tree it
// builds: the start of its range, for the offsets in log lines; the values it
// may still create; and its recovery scan. A hostile peer controls every byte
// of a message of up to 16 MB, so the memory and the time of one decode are
// bounded here rather than by what the bytes ask for.
#pragma once

#include <cstdint>

namespace RTMP_LIB {

class AMFDecodeContext
{
public:
  AMFDecodeContext(const char *pBase, int nSize);

  const char *Base() const { return m_pBase; }

  // Takes nValues from the budget. When fewer are left the budget is spent
  // for good: this and every later request fail, and the first failure is
  // logged, with szWho naming the decoder.
  bool Spend(int nValues, const char *szWho);
  // Text copied into the tree (names, strings) costs one more value for
  // every kTextPerValue bytes: a hostile body can make the decoder read the
  // same long string again and again.
  bool SpendText(int nBytes, const char *szWho) { return Spend(nBytes / kTextPerValue, szWho); }

  // The recovery scan logs one line per skipped byte, up to a limit per
  // decode; past it, it moves to the next end marker in one step.
  bool LogEachSkip() const { return m_nSkipped < kLoggedSkips; }
  // Where the first end marker 00 00 09 starts that lies wholly in
  // [pFrom, pEnd), or nullptr.
  const char *NextObjectEnd(const char *pFrom, const char *pEnd);
  // Counts skipped bytes; false once the scans of this decode have skipped
  // more than AMF_MAX_DEPTH + 2 times its range. Each level of unclosed
  // objects may skip to the end of the range once; more than that only comes
  // from skips that land inside bytes already decoded, over and over.
  bool CountSkipped(int nBytes);

  // Called by the outermost decoder with its result, which it returns: logs
  // one line for the skipped bytes that went without a line of their own.
  int Finish(int nResult, const char *szWho) const;

  static const int kLoggedSkips = 1000;
  static const int kTextPerValue = 128;

private:
  const char *m_pBase;
  int m_nValuesLeft;
  bool m_bSpent;
  int64_t m_nSkipped;
  int64_t m_nSkipsAllowed;
  // The last answer of NextObjectEnd: the first marker in [m_pScanFrom,
  // m_pScanEnd) is m_pScanFound. Each level of a nest scans the bytes of the
  // level inside it again, from a little earlier.
  const char *m_pScanFrom;
  const char *m_pScanEnd;
  const char *m_pScanFound;
};

}  // namespace RTMP_LIB
