#include "FlvRecorders.h"

#include <cctype>

#include "Debugs.h"
#include "RecordFolders.h"

namespace {
TRecording* RecordingOf(void* handle) { return static_cast<TRecording*>(handle); }
}  // namespace

int TFlvRecorder::Open(const char* url, void** handle) {
  if (handle == nullptr) return VELMARO_BAD_HANDLE;
  *handle = nullptr;
  const std::string folder = url != nullptr ? RecordFolderOfUrl(url) : std::string();
  if (folder.empty()) {
    DebugLog("Record: a recording needs file:///absolute/folder");
    return VELMARO_URL_REJECTED;
  }
  std::unique_ptr<TRecording> recording;
  int code = TRecording::Open(folder, options_, recording);
  if (code == VELMARO_OK) *handle = recording.release();
  return code;
}

int TFlvRecorder::SendHeader(void* handle, const TMediaHeader* header) {
  if (handle == nullptr) return VELMARO_BAD_HANDLE;
  if (header == nullptr) return VELMARO_METADATA_FAILED;
  return RecordingOf(handle)->SendHeader(*header);
}

bool TFlvRecorder::SendVideo(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey) {
  return handle != nullptr && RecordingOf(handle)->SendVideo(data, length, timeMs, isKey);
}

bool TFlvRecorder::SendAudio(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs) {
  return handle != nullptr && RecordingOf(handle)->SendAudio(data, length, timeMs);
}

bool TFlvRecorder::Close(void* handle) {
  if (handle == nullptr) return false;
  // A writer stuck in the file system still uses the recording: it is left
  // behind rather than waited for.
  if (RecordingOf(handle)->Close()) delete RecordingOf(handle);
  return true;
}

bool TFlvRecorder::GetStats(void* handle, TVelmaroStats* stats) {
  if (handle == nullptr || stats == nullptr) return false;
  RecordingOf(handle)->Stats(*stats);
  return true;
}

std::string TFlvRecorder::FatalReason(void* handle) {
  return handle != nullptr ? RecordingOf(handle)->FatalReason() : std::string();
}

std::unique_ptr<TSender> MakeFlvRecorder(const TRecordOptions& options) {
  return std::make_unique<TFlvRecorder>(options);
}

bool IsRecordingUrl(std::string_view url) {
  constexpr std::string_view kScheme = "file:";
  if (url.size() < kScheme.size()) return false;
  for (size_t i = 0; i < kScheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(url[i])) != kScheme[i]) return false;
  return true;
}
