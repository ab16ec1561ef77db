#include "LaunchModes.h"
#include "LauncherLines.h"
#include "StartResultPlatform.h"

namespace StartResultPlatform {

// The launching program reads standard output line by line: the result goes
// out whole and at once, whatever buffering a pipe would otherwise choose.
void Report(intptr_t, int32_t id, int32_t result) { WriteLauncherLine(StartResultLine(id, result)); }

}  // namespace StartResultPlatform
