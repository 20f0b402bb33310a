// Redirects the log stream into a temporary file for one test and restores
// the stream and the verbosity afterwards.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "foundation/log.h"

class LogCapture
{
public:
  // By default every line is kept, even the unnamed AMF members that only
  // show above the debug level, and the text is written as for a terminal.
  explicit LogCapture(int level = LOG_LEVEL_DEBUG + 1, bool bTerminal = true)
      : m_file(tmpfile()), m_saved(fmsg), m_nSavedLevel(debuglevel), m_bSavedTerminal(LogIsTerminal())
  {
    LogSetOutput(m_file);
    LogSetTerminal(bTerminal);
    debuglevel = level;
  }
  ~LogCapture()
  {
    LogSetOutput(m_saved);
    LogSetTerminal(m_bSavedTerminal);
    debuglevel = m_nSavedLevel;
    if (m_file != nullptr)
      fclose(m_file);
  }
  LogCapture(const LogCapture &) = delete;
  LogCapture &operator=(const LogCapture &) = delete;

  // Everything written so far.
  std::string Text() const
  {
    std::string text;
    if (m_file == nullptr)
      return text;
    fflush(m_file);
    long end = ftell(m_file);
    rewind(m_file);
    text.resize(end > 0 ? static_cast<size_t>(end) : 0);
    size_t n = fread(&text[0], 1, text.size(), m_file);
    text.resize(n);
    fseek(m_file, 0, SEEK_END);
    return text;
  }

  // The lines written so far, each without the "\r" a log line starts with.
  std::vector<std::string> Lines() const
  {
    std::vector<std::string> lines;
    const std::string text = Text();
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
  FILE *m_file;
  FILE *m_saved;
  int m_nSavedLevel;
  bool m_bSavedTerminal;
};
