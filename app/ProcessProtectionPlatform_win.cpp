#include "ProcessProtectionPlatform.h"

namespace ProcessProtectionPlatform {

// Windows keeps another user's debugger out by the process's security
// descriptor already; crash dumps are the system's error reporting, which the
// crash reporter takes over. Nothing to do here.
void KeepMemoryPrivate() {}

}  // namespace ProcessProtectionPlatform
