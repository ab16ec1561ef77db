#include "RtspStreams.h"

#include <cstdio>
#include <string_view>

namespace {

// A media factory whose media all share one cache key: the RTSP server keys
// shared media by URL, query included, so without this every login key would
// start an encoder of its own.
struct TSharedFactory {
  GstRTSPMediaFactory parent;
};
struct TSharedFactoryClass {
  GstRTSPMediaFactoryClass parent;
};

gchar* SharedKey(GstRTSPMediaFactory*, const GstRTSPUrl*) { return g_strdup("live"); }

void InitSharedFactoryClass(gpointer klass, gpointer) {
  static_cast<TSharedFactoryClass*>(klass)->parent.gen_key = SharedKey;
}

GType SharedFactoryType() {
  static const GType type = g_type_register_static_simple(
      GST_TYPE_RTSP_MEDIA_FACTORY, "TidecastSharedFactory", sizeof(TSharedFactoryClass),
      InitSharedFactoryClass, sizeof(TSharedFactory), nullptr, static_cast<GTypeFlags>(0));
  return type;
}

// Finds the value of `name` in a URL query ("a=1&config.login=K").
bool QueryValue(std::string_view query, std::string_view name, std::string& value) {
  while (!query.empty()) {
    auto end = query.find('&');
    std::string_view item = query.substr(0, end);
    if (item.size() > name.size() && item.substr(0, name.size()) == name && item[name.size()] == '=') {
      value = std::string(item.substr(name.size() + 1));
      return true;
    }
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  return false;
}

const char* const kRequestSignals[] = {"pre-options-request", "pre-describe-request", "pre-setup-request",
                                       "pre-play-request", "pre-pause-request", "pre-teardown-request",
                                       "pre-get-parameter-request", "pre-set-parameter-request"};

}  // namespace

TRtspStreams::TRtspStreams(const TSimulatorOptions& options, const TLoginKeys& keys)
    : options_(options), keys_(keys) {}

TRtspStreams::~TRtspStreams() {
  if (source_ != 0) g_source_remove(source_);
  if (server_ != nullptr) g_object_unref(server_);
}

std::string TRtspStreams::PipelineDescription(const TSimulatorOptions& o) {
  // Live x264 at zerolatency: Constrained Baseline, no B-frames, several
  // slices per picture. x264 repeats the parameter sets before every IDR
  // picture; the payloader must not add its own, which it would put before
  // every IDR slice, in the middle of the picture.
  std::string description = "(";
  int payloaders = 0;
  if (o.video) {
    char video[600];
    std::snprintf(video, sizeof video,
                  " videotestsrc is-live=true pattern=%s ! video/x-raw,width=%d,height=%d,framerate=%d/1 ! "
                  "x264enc speed-preset=ultrafast tune=zerolatency key-int-max=%d bitrate=%d option-string=slices=%d ! "
                  "video/x-h264,profile=constrained-baseline ! rtph264pay name=pay%d pt=96 config-interval=0",
                  o.pattern.c_str(), o.width, o.height, o.frameRate, o.keyInterval, o.bitrateKbps, o.slices, payloaders++);
    description += video;
  }
  if (o.audio) {
    char audio[400];
    std::snprintf(audio, sizeof audio,
                  " audiotestsrc is-live=true wave=sine freq=440 samplesperbuffer=1024 ! "
                  "audioconvert ! audio/x-raw,rate=%d,channels=%d ! avenc_aac ! aacparse ! "
                  "rtpmp4gpay name=pay%d pt=97",
                  o.audioRate, o.audioChannels, payloaders++);
    description += audio;
  }
  return description + " )";
}

int TRtspStreams::Listen(std::string& error) {
  server_ = gst_rtsp_server_new();
  gst_rtsp_server_set_address(server_, options_.address.c_str());
  gst_rtsp_server_set_service(server_, std::to_string(options_.rtspPort).c_str());

  auto* factory = GST_RTSP_MEDIA_FACTORY(g_object_new(SharedFactoryType(), nullptr));
  gst_rtsp_media_factory_set_launch(factory, PipelineDescription(options_).c_str());
  gst_rtsp_media_factory_set_shared(factory, TRUE);
  // A shared live media must not be seeked on each PLAY: that would restart
  // the timestamps of every client already watching when another one joins.
  gst_rtsp_media_factory_set_publish_clock_mode(factory, GST_RTSP_PUBLISH_CLOCK_MODE_CLOCK_AND_OFFSET);
  gst_rtsp_media_factory_set_protocols(factory, static_cast<GstRTSPLowerTrans>(GST_RTSP_LOWER_TRANS_TCP |
                                                                               GST_RTSP_LOWER_TRANS_UDP));

  GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
  for (const char* path : {"/stream/0", "/stream/4", "/dispatch/0", "/dispatch/1"})
    gst_rtsp_mount_points_add_factory(mounts, path, GST_RTSP_MEDIA_FACTORY(g_object_ref(factory)));
  g_object_unref(factory);
  g_object_unref(mounts);

  g_signal_connect(server_, "client-connected", G_CALLBACK(&TRtspStreams::HandleClientConnected), this);
  source_ = gst_rtsp_server_attach(server_, nullptr);
  if (source_ == 0) {
    error = "cannot listen on RTSP port " + std::to_string(options_.rtspPort);
    return 0;
  }
  return gst_rtsp_server_get_bound_port(server_);
}

void TRtspStreams::HandleClientConnected(GstRTSPServer*, GstRTSPClient* client, gpointer self) {
  for (const char* signal : kRequestSignals)
    g_signal_connect(client, signal, G_CALLBACK(&TRtspStreams::HandleRequest), self);
}

GstRTSPStatusCode TRtspStreams::HandleRequest(GstRTSPClient* client, GstRTSPContext* context, gpointer self) {
  GstRTSPStatusCode status = static_cast<TRtspStreams*>(self)->Admit(*context);
  const GstRTSPUrl* uri = context->uri;
  GstRTSPConnection* connection = gst_rtsp_client_get_connection(client);
  std::printf("RTSP %s %s%s%s from %s -> %d\n", gst_rtsp_method_as_text(context->method),
              uri != nullptr && uri->abspath != nullptr ? uri->abspath : "*",
              uri != nullptr && uri->query != nullptr ? "?" : "",
              uri != nullptr && uri->query != nullptr ? uri->query : "",
              connection != nullptr ? gst_rtsp_connection_get_ip(connection) : "?", static_cast<int>(status));
  std::fflush(stdout);
  return status;
}

GstRTSPStatusCode TRtspStreams::Admit(const GstRTSPContext& context) const {
  // /stream/N is the device's logged-in form: only a key it handed out opens
  // it. Checked at DESCRIBE: the SETUP URLs built from the content base carry
  // no query.
  if (context.method != GST_RTSP_DESCRIBE) return GST_RTSP_STS_OK;
  const GstRTSPUrl* uri = context.uri;
  if (uri == nullptr || uri->abspath == nullptr) return GST_RTSP_STS_OK;
  if (std::string_view(uri->abspath).rfind("/stream/", 0) != 0) return GST_RTSP_STS_OK;
  std::string key;
  if (uri->query == nullptr || !QueryValue(uri->query, "config.login", key) || !keys_.Valid(key))
    return GST_RTSP_STS_UNAUTHORIZED;
  return GST_RTSP_STS_OK;
}
