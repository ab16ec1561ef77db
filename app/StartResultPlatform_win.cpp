#include <windows.h>

#include "StartResultPlatform.h"

namespace StartResultPlatform {

// SendMessageA blocks until the launching window has handled the message.
void Report(intptr_t notifyWindow, int32_t id, int32_t result) {
  if (notifyWindow == 0) return;
  SendMessageA(reinterpret_cast<HWND>(notifyWindow), WM_START_RESULT, static_cast<WPARAM>(id),
               static_cast<LPARAM>(result));
}

}  // namespace StartResultPlatform
