#include "cli/duration.h"

#include <cctype>
#include <cstring>

namespace {

// The largest time whose milliseconds fit in 32 bits, in whole seconds.
const uint64_t kMaxMs = 4294967ull * 1000;
// Digits beyond these could overflow; no real time needs them.
const size_t kMaxWholeDigits = 10;
const size_t kMaxFractionDigits = 9;

// A decimal number "d+", "d+.d*" or ".d+" at text[0..len).
struct Decimal {
  uint64_t nWhole = 0;
  uint64_t nFraction = 0;  // nFraction / nScale
  uint64_t nScale = 1;
  size_t nWholeDigits = 0;
  bool bPoint = false;
};

bool ReadDecimal(const char *text, size_t len, Decimal *d)
{
  size_t i = 0;
  for (; i < len && isdigit(static_cast<unsigned char>(text[i])); i++) {
    if (++d->nWholeDigits > kMaxWholeDigits)
      return false;
    d->nWhole = d->nWhole * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  size_t nFractionDigits = 0;
  if (i < len && text[i] == '.') {
    d->bPoint = true;
    for (i++; i < len && isdigit(static_cast<unsigned char>(text[i])); i++, nFractionDigits++) {
      if (nFractionDigits < kMaxFractionDigits) {  // later digits cannot reach a millisecond
        d->nFraction = d->nFraction * 10 + static_cast<uint64_t>(text[i] - '0');
        d->nScale *= 10;
      }
    }
  }
  return i == len && d->nWholeDigits + nFractionDigits > 0;
}

// d times unit milliseconds, truncated.
uint64_t Milliseconds(const Decimal &d, uint64_t unit)
{
  return d.nWhole * unit + d.nFraction * unit / d.nScale;
}

// "m:ss", "h:mm:ss", seconds with an optional fraction; the first field
// takes any number of digits, the others exactly two and stay below 60.
bool ReadClock(const char *text, size_t len, uint64_t *ms)
{
  const char *fields[3];
  size_t lengths[3];
  size_t n = 0;
  for (size_t start = 0;;) {
    const void *colon = memchr(text + start, ':', len - start);
    size_t end = colon != nullptr ? static_cast<size_t>(static_cast<const char *>(colon) - text) : len;
    if (n == 3)
      return false;
    fields[n] = text + start;
    lengths[n++] = end - start;
    if (colon == nullptr)
      break;
    start = end + 1;
  }
  uint64_t total = 0;
  for (size_t i = 0; i < n; i++) {
    Decimal d;
    bool bLast = i + 1 == n;
    if (!ReadDecimal(fields[i], lengths[i], &d) || (d.bPoint && !bLast))
      return false;
    if (i > 0 && (d.nWholeDigits != 2 || d.nWhole >= 60))
      return false;
    total = total * 60 + d.nWhole;
    if (bLast)
      *ms = total * 1000 + d.nFraction * 1000 / d.nScale;
  }
  return true;
}

}  // namespace

bool ParseDuration(const char *text, uint32_t *ms)
{
  size_t len = strlen(text);
  uint64_t value = 0;
  if (memchr(text, ':', len) != nullptr) {
    if (!ReadClock(text, len, &value))
      return false;
  } else {
    uint64_t unit = 1000;
    if (len > 0 && strchr("smh", text[len - 1]) != nullptr) {
      unit = text[len - 1] == 's' ? 1000 : text[len - 1] == 'm' ? 60000 : 3600000;
      len--;
    }
    Decimal d;
    if (!ReadDecimal(text, len, &d))
      return false;
    value = Milliseconds(d, unit);
  }
  if (value > kMaxMs)
    return false;
  *ms = static_cast<uint32_t>(value);
  return true;
}
