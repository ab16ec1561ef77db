// Keeping the process's memory, which holds the password, its hash and the
// stream key, from other local users: no core file on a crash, no debugger
// attaching without privilege.
#pragma once

namespace ProcessProtectionPlatform {

// Call once at start-up, before any secret is read.
void KeepMemoryPrivate();

}  // namespace ProcessProtectionPlatform
