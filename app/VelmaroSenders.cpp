#include "VelmaroSenders.h"

#include "velmaro.h"

int TVelmaroSender::Open(const char* url, void** handle) { return RTMP_Open(url, handle); }

int TVelmaroSender::SendHeader(void* handle, const TMediaHeader* header) {
  return RTMP_SendHeader(handle, header);
}

bool TVelmaroSender::SendVideo(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey) {
  return RTMP_SendVideo(handle, data, length, timeMs, isKey ? 1 : 0);
}

bool TVelmaroSender::SendAudio(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs) {
  return RTMP_SendAudio(handle, data, length, timeMs);
}

bool TVelmaroSender::Close(void* handle) { return RTMP_Close(handle); }

void TVelmaroSender::CancelOpen() { RTMP_CancelOpen(); }

void TVelmaroSender::SetTls(const std::string& caFile, bool verify) {
  RTMP_SetParam(nullptr, VELMARO_PARAM_TLS_CA_FILE, caFile.c_str());
  RTMP_SetParam(nullptr, VELMARO_PARAM_TLS_VERIFY, verify ? "1" : "0");
}

bool TVelmaroSender::GetStats(void* handle, TVelmaroStats* stats) {
  return RTMP_GetStats(handle, stats) == VELMARO_OK;
}
