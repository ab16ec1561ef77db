// A local recording as a destination of the push: the sender seam on FLV
// files in a folder, opened with "file:///absolute/folder". Each Open starts
// a recording of its own (a new file); see TRecording for what it writes.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "PushSeams.h"
#include "Recordings.h"

class TFlvRecorder : public TSender {
 public:
  explicit TFlvRecorder(TRecordOptions options) : options_(std::move(options)) {}
  // VELMARO_URL_REJECTED for anything but a file:/// URL with an absolute
  // folder; VELMARO_CONNECT_FAILED when the folder or its first file cannot
  // be created. Each with a trace line.
  int Open(const char* url, void** handle) override;
  int SendHeader(void* handle, const TMediaHeader* header) override;
  bool SendVideo(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey) override;
  bool SendAudio(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs) override;
  bool Close(void* handle) override;
  bool GetStats(void* handle, TVelmaroStats* stats) override;
  std::string FatalReason(void* handle) override;

 private:
  const TRecordOptions options_;
};

std::unique_ptr<TSender> MakeFlvRecorder(const TRecordOptions& options);

// True for a destination the recorder takes (the scheme "file:", in any
// case), whether well formed or not: Open says what is wrong with it.
bool IsRecordingUrl(std::string_view url);
