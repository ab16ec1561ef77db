#include "DestinationSenders.h"

namespace {
bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }
}  // namespace

TDestinationKind DestinationKind(const std::string& url) {
  if (StartsWith(url, "rtmp://") || StartsWith(url, "rtmps://")) return TDestinationKind::Rtmp;
  if (StartsWith(url, "file:///")) return TDestinationKind::File;
  return TDestinationKind::Unknown;
}

std::string TDestinationSenders::Refusal(const std::string& url) const {
  switch (DestinationKind(url)) {
    case TDestinationKind::Rtmp: return {};
    case TDestinationKind::File: return FMakeFile ? std::string() : "this build cannot record to a local folder";
    case TDestinationKind::Unknown: break;
  }
  return "not an rtmp://, rtmps:// or file:/// destination";
}

TSender* TDestinationSenders::SenderFor(const std::string& url) {
  if (!Refusal(url).empty()) return nullptr;
  if (DestinationKind(url) == TDestinationKind::Rtmp) return &FRtmp;
  FOwned.push_back(FMakeFile());
  return FOwned.back().get();
}
