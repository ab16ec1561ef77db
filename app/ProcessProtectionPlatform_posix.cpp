#include "ProcessProtectionPlatform.h"

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace ProcessProtectionPlatform {

// On Linux a process that is not dumpable leaves no core file, and its
// /proc entries (memory, environment) belong to root, so that another user's
// debugger cannot attach. Elsewhere nothing is done.
void KeepMemoryPrivate() {
#ifdef __linux__
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
}

}  // namespace ProcessProtectionPlatform
