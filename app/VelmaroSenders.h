// The sender seam of the push controller, on the Velmaro library's exports
// (linked by name: the program does not start without the library).
#pragma once

#include "PushSeams.h"

class TVelmaroSender : public TSender {
 public:
  int Open(const char* url, void** handle) override;
  int SendHeader(void* handle, const TMediaHeader* header) override;
  bool SendVideo(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey) override;
  bool SendAudio(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs) override;
  bool Close(void* handle) override;
  void CancelOpen() override;
  void SetTls(const std::string& caFile, bool verify) override;
  bool GetStats(void* handle, TVelmaroStats* stats) override;
};
