// Makes a file or folder read-only for the calling thread, also when the
// tests run as root: root's capability to override file permissions is
// lowered on this thread (effective set only) for the protection's life, so
// the permission bits hold as they would for the operator.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

class TWriteProtection {
 public:
  // `mode` replaces the permission bits of `path` (0500 for a read-only
  // folder, 0400 for a read-only file, 0 for no access at all).
  TWriteProtection(std::string path, mode_t mode);
  ~TWriteProtection();
  TWriteProtection(const TWriteProtection&) = delete;
  TWriteProtection& operator=(const TWriteProtection&) = delete;

 private:
  std::string path_;
  mode_t oldMode_ = 0;
  unsigned savedEffective_[2] = {};  // the thread's effective capabilities before
};

}  // namespace testsupport
