// What stands for the window of a hidden launch-mode instance. On Windows a
// launcher finds its instance by the window caption (TidecastMain-<id>) and
// sends it a close request to end it: a hidden instance keeps a hidden
// window of that caption, whose close request asks the process to stop.
// Elsewhere a launcher ends the instance with a signal, and nothing stands
// for the window.
#pragma once

#include <string>

namespace HiddenWindowPlatform {

class THiddenWindow {
 public:
  // `onClose` runs when the window is asked to close (on a thread of the
  // window's own); it must not block.
  THiddenWindow(const std::string& caption, void (*onClose)());
  ~THiddenWindow();
  THiddenWindow(const THiddenWindow&) = delete;
  THiddenWindow& operator=(const THiddenWindow&) = delete;

  struct TImpl;  // the platform's

 private:
  TImpl* impl_ = nullptr;
};

}  // namespace HiddenWindowPlatform
