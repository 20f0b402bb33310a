#include "app/kavelo.h"

// Placeholder until the download loop lands: the run ends after validation.
int Download(Settings &)
{
  return 0;
}
