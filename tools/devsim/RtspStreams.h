// The simulated device's RTSP server: one live source (H.264 + AAC unless
// told to be a camera of another kind) shared by
// every mount point (/stream/0, /stream/4, /dispatch/0, /dispatch/1), so many
// clients cost one encoder. On request it behaves as devices do that tools
// rarely meet: parameter sets only in the stream, a picture size that
// changes, HE-AAC, RTSP authentication.
#pragma once

#include <gst/rtsp-server/rtsp-server.h>

#include <string>

#include "LogonServers.h"
#include "SimulatorOptions.h"

class TRtspStreams {
 public:
  TRtspStreams(const TSimulatorOptions& options, const TLoginKeys& keys);
  ~TRtspStreams();
  TRtspStreams(const TRtspStreams&) = delete;
  TRtspStreams& operator=(const TRtspStreams&) = delete;

  // Listens (on the thread-default main context); returns the bound port, or
  // 0 with the reason in `error`.
  int Listen(std::string& error);

  // The gst-launch description of the live media.
  static std::string PipelineDescription(const TSimulatorOptions& options);
  // A media-level "fmtp" value as the options want it described: without
  // sprop-parameter-sets (in-band sets), with an HE-AAC config.
  static std::string EditedFormatParameters(const std::string& fmtp, const TSimulatorOptions& options);

 private:
  static void HandleClientConnected(GstRTSPServer* server, GstRTSPClient* client, gpointer self);
  static void HandleMediaConfigure(GstRTSPMediaFactory* factory, GstRTSPMedia* media, gpointer self);
  void RequireAuthentication(GstRTSPMediaFactory* factory);
  static GstRTSPStatusCode HandleRequest(GstRTSPClient* client, GstRTSPContext* context, gpointer self);
  GstRTSPStatusCode Admit(const GstRTSPContext& context) const;

  const TSimulatorOptions& options_;
  const TLoginKeys& keys_;
  GstRTSPServer* server_ = nullptr;
  guint source_ = 0;
};
