#include <cstdio>

#include "LaunchModes.h"
#include "StartResultPlatform.h"

namespace StartResultPlatform {

// The launching program reads standard output line by line: the result goes
// out whole and at once, whatever buffering a pipe would otherwise choose.
void Report(intptr_t, int32_t id, int32_t result) {
  std::string line = StartResultLine(id, result) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace StartResultPlatform
