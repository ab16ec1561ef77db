// Which sender serves a destination, by its URL's scheme: a local
// recording's sender (made by a factory the program plugs in, one per
// destination) for file:///absolute/folder, the sender library for anything
// else (rtmp://, rtmps://; it refuses what it cannot open, with its code).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PushSeams.h"

// Makes the sender of a local recording (file:///folder destinations).
using TFileSenderFactory = std::function<std::unique_ptr<TSender>()>;

enum class TDestinationKind { Rtmp, File };
TDestinationKind DestinationKind(const std::string& url);

class TDestinationSenders {
 public:
  explicit TDestinationSenders(TSender& rtmp) : FRtmp(rtmp) {}
  void SetFileSenderFactory(TFileSenderFactory factory) { FMakeFile = std::move(factory); }
  // Why the URL cannot be served (a local folder without a recorder), or "".
  std::string Refusal(const std::string& url) const;
  // The sender for the URL (a recording's is kept until Forget); nullptr
  // when refused.
  TSender* SenderFor(const std::string& url);
  // Lets the recordings' senders go (a new push).
  void Forget() { FOwned.clear(); }

 private:
  TSender& FRtmp;
  TFileSenderFactory FMakeFile;
  std::vector<std::unique_ptr<TSender>> FOwned;
};
