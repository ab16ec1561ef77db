#include "DestinationSenders.h"

#include <cctype>

TDestinationKind DestinationKind(const std::string& url) {
  static constexpr char kFile[] = "file:///";
  if (url.size() < sizeof kFile - 1) return TDestinationKind::Rtmp;
  for (size_t i = 0; i + 1 < sizeof kFile; ++i)
    if (std::tolower(static_cast<unsigned char>(url[i])) != kFile[i]) return TDestinationKind::Rtmp;
  return TDestinationKind::File;
}

std::string TDestinationSenders::Refusal(const std::string& url) const {
  if (DestinationKind(url) == TDestinationKind::File && !FMakeFile) return "this build cannot record to a local folder";
  return {};
}

TSender* TDestinationSenders::SenderFor(const std::string& url) {
  if (!Refusal(url).empty()) return nullptr;
  if (DestinationKind(url) == TDestinationKind::Rtmp) return &FRtmp;
  FOwned.push_back(FMakeFile());
  return FOwned.back().get();
}
