#include "WriteProtections.h"

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

namespace {

constexpr unsigned kOverrides[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH};

// The calling thread's capability sets (capget and capset act per thread).
struct TCapabilities {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};

  TCapabilities() { ::syscall(SYS_capget, &header, data); }
  void Lower(unsigned cap) { data[cap / 32].effective &= ~(1u << (cap % 32)); }
  bool Apply() { return ::syscall(SYS_capset, &header, data) == 0; }
};

}  // namespace

TWriteProtection::TWriteProtection(std::string path, mode_t mode) : path_(std::move(path)) {
  struct stat info {};
  if (::stat(path_.c_str(), &info) != 0) throw std::runtime_error("cannot protect " + path_);
  oldMode_ = info.st_mode & 07777;
  if (::chmod(path_.c_str(), mode) != 0) throw std::runtime_error("cannot protect " + path_);
  TCapabilities caps;
  for (int i = 0; i < 2; ++i) savedEffective_[i] = caps.data[i].effective;
  for (unsigned cap : kOverrides) caps.Lower(cap);
  if (!caps.Apply()) {
    ::chmod(path_.c_str(), oldMode_);
    throw std::runtime_error("cannot lower the permission overrides");
  }
}

TWriteProtection::~TWriteProtection() {
  TCapabilities caps;
  for (int i = 0; i < 2; ++i) caps.data[i].effective = savedEffective_[i];
  caps.Apply();  // raising back within the permitted set cannot fail
  ::chmod(path_.c_str(), oldMode_);
}

}  // namespace testsupport
