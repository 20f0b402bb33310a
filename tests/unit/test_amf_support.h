// Helpers shared by the AMF unit tests: byte vectors written in hex, and a
// capture of the log output.
#pragma once

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/log.h"

namespace amftest {

// "03 00 01 61" -> {0x03, 0x00, 0x01, 0x61}; blanks are ignored.
inline std::vector<char> Hex(const std::string &text)
{
  std::vector<char> out;
  int nHigh = -1;
  for (char c : text) {
    if (isspace(static_cast<unsigned char>(c)))
      continue;
    int nDigit = isdigit(static_cast<unsigned char>(c)) ? c - '0' : (tolower(c) - 'a' + 10);
    if (nHigh < 0) {
      nHigh = nDigit;
    } else {
      out.push_back(static_cast<char>(nHigh * 16 + nDigit));
      nHigh = -1;
    }
  }
  return out;
}

inline std::vector<char> Concat(std::vector<char> a, const std::vector<char> &b)
{
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline int Size(const std::vector<char> &v)
{
  return static_cast<int>(v.size());
}

inline int CountOf(const std::string &text, const std::string &needle)
{
  int n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
    n++;
  return n;
}

// Sends the log to memory at the given level for the life of the object.
class LogCapture
{
public:
  explicit LogCapture(int nLevel = LOG_LEVEL_DEBUG + 1) : m_savedOut(fmsg), m_nSavedLevel(debuglevel)
  {
    m_file = open_memstream(&m_pText, &m_nLen);
    LogSetOutput(m_file);
    debuglevel = nLevel;
  }
  ~LogCapture()
  {
    LogSetOutput(m_savedOut);
    debuglevel = m_nSavedLevel;
    fclose(m_file);
    free(m_pText);
  }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  std::string Text()
  {
    fflush(m_file);
    return std::string(m_pText, m_nLen);
  }

  // The log lines without their "\r" prefix.
  std::vector<std::string> Lines()
  {
    std::vector<std::string> lines;
    std::string text = Text();
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos)
        end = text.size();
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line[0] == '\r')
        line.erase(0, 1);
      lines.push_back(line);
      start = end + 1;
    }
    return lines;
  }

private:
  FILE *m_savedOut;
  int m_nSavedLevel;
  FILE *m_file = nullptr;
  char *m_pText = nullptr;
  size_t m_nLen = 0;
};

}  // namespace amftest
