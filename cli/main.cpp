#include "cli/cli.h"

int main(int argc, char **argv)
{
  InstallSignalHandlers();
  Settings settings;
  int nExitCode = ParseOptions(argc, argv, settings);
  if (nExitCode >= 0)
    return nExitCode;
  return Download(settings);
}
