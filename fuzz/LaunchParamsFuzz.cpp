// Launch parameters come from whatever program starts us: any bytes must
// parse without a crash, and what parses must be within the documented rules.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "LaunchModes.h"

namespace {

// Each argument in double quotes, blanks between: how a launching program
// writes a command line, and what SplitCommandLine must take apart again.
std::string QuotedCommandLine(const std::vector<std::string>& arguments) {
  std::string line;
  for (const std::string& argument : arguments) line += (line.empty() ? "\"" : " \"") + argument + "\"";
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\0');
  std::string list = input.substr(0, split);
  std::string url = split == std::string::npos ? "" : input.substr(split + 1);
  TLaunchParams p = ParseLaunchParams(list, url);
  if (p.RtmpUrl != url) std::abort();
  if (p.Caption().rfind("TidecastMain-", 0) != 0) std::abort();
  std::vector<std::string> arguments = SplitCommandLine(input);
  for (const std::string& argument : arguments)
    if (argument.find('"') != std::string::npos) std::abort();
  if (SplitCommandLine(QuotedCommandLine(arguments)) != arguments) std::abort();
  return 0;
}
