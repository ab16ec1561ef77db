#include <windows.h>

#include <thread>

#include "HiddenWindowPlatform.h"

namespace HiddenWindowPlatform {

// A top-level window that is never shown, with its message loop on a thread
// of its own: FindWindow finds it by caption, WM_CLOSE asks the stop.
struct THiddenWindow::TImpl {
  HWND window = nullptr;
  void (*onClose)() = nullptr;
  std::thread loop;
};

namespace {

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_CLOSE) {
    auto* impl = reinterpret_cast<THiddenWindow::TImpl*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (impl != nullptr && impl->onClose != nullptr) impl->onClose();
    return 0;  // the stop sequence ends the process; the window goes with it
  }
  return DefWindowProcA(window, message, w, l);
}

}  // namespace

THiddenWindow::THiddenWindow(const std::string& caption, void (*onClose)()) : impl_(new TImpl) {
  impl_->onClose = onClose;
  HANDLE created = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  impl_->loop = std::thread([this, caption, created] {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "TTidecastMain";
    RegisterClassA(&windowClass);
    impl_->window = CreateWindowA("TTidecastMain", caption.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr,
                                  nullptr, windowClass.hInstance, nullptr);
    if (impl_->window != nullptr) SetWindowLongPtrA(impl_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(impl_));
    SetEvent(created);
    MSG message;
    while (impl_->window != nullptr && GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    if (impl_->window != nullptr) DestroyWindow(impl_->window);  // on the thread that made it
  });
  WaitForSingleObject(created, 5000);
  CloseHandle(created);
}

THiddenWindow::~THiddenWindow() {
  if (impl_->window != nullptr) PostMessageA(impl_->window, WM_QUIT, 0, 0);
  if (impl_->loop.joinable()) impl_->loop.join();
  delete impl_;
}

}  // namespace HiddenWindowPlatform
