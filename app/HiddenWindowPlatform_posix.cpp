#include "HiddenWindowPlatform.h"

namespace HiddenWindowPlatform {

// A launcher here ends the instance with SIGTERM: no window is needed.
THiddenWindow::THiddenWindow(const std::string&, void (*)()) {}
THiddenWindow::~THiddenWindow() = default;

}  // namespace HiddenWindowPlatform
