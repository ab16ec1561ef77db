#include "RtspStreams.h"

#include <cstdio>
#include <string_view>
#include <vector>

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

// A media whose session description the options may edit (see
// EditedFormatParameters); the options ride on the media object.
const char* const kOptionsKey = "tidecast-options";
GstRTSPMediaClass* gMediaParent = nullptr;

gboolean SetupEditedSdp(GstRTSPMedia* media, GstSDPMessage* sdp, GstSDPInfo* info) {
  if (!gMediaParent->setup_sdp(media, sdp, info)) return FALSE;
  const auto* options = static_cast<const TSimulatorOptions*>(g_object_get_data(G_OBJECT(media), kOptionsKey));
  if (options == nullptr) return TRUE;
  for (guint m = 0; m < gst_sdp_message_medias_len(sdp); ++m) {
    auto* described = const_cast<GstSDPMedia*>(gst_sdp_message_get_media(sdp, m));
    for (guint a = 0; a < gst_sdp_media_attributes_len(described); ++a) {
      const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(described, a);
      if (attribute->key == nullptr || std::string_view(attribute->key) != "fmtp" || attribute->value == nullptr)
        continue;
      GstSDPAttribute edited;
      gst_sdp_attribute_set(&edited, "fmtp", TRtspStreams::EditedFormatParameters(attribute->value, *options).c_str());
      gst_sdp_media_replace_attribute(described, a, &edited);
    }
  }
  return TRUE;
}

void InitEditedMediaClass(gpointer klass, gpointer) {
  gMediaParent = GST_RTSP_MEDIA_CLASS(g_type_class_peek_parent(klass));
  GST_RTSP_MEDIA_CLASS(klass)->setup_sdp = SetupEditedSdp;
}

GType EditedMediaType() {
  static const GType type = g_type_register_static_simple(
      GST_TYPE_RTSP_MEDIA, "TidecastEditedMedia", sizeof(GstRTSPMediaClass), InitEditedMediaClass,
      sizeof(GstRTSPMedia), nullptr, static_cast<GTypeFlags>(0));
  return type;
}

// HE-AAC's AudioSpecificConfig with explicit SBR signalling: object type 5,
// the core's rate, the channels, the output rate, then the core's type 2
// (AAC-LC) and its GASpecificConfig (all flags 0). Hex, as SDP carries it.
std::string HeAacConfigHex(int outputRate, int channels) {
  static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
  auto index = [](int rate) {
    for (int i = 0; i < 13; ++i)
      if (kRates[i] == rate) return i;
    return 15;
  };
  uint32_t bits = 5u << 27 | static_cast<uint32_t>(index(outputRate / 2)) << 23 |
                  static_cast<uint32_t>(channels) << 19 | static_cast<uint32_t>(index(outputRate)) << 15 | 2u << 10;
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", bits);
  return hex;
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

std::string TRtspStreams::EditedFormatParameters(const std::string& fmtp, const TSimulatorOptions& options) {
  // "96 packetization-mode=1;sprop-parameter-sets=Z0..,aM..;profile-level-id=42c00d"
  auto space = fmtp.find(' ');
  if (space == std::string::npos) return fmtp;
  std::string edited = fmtp.substr(0, space + 1);
  std::string_view rest = std::string_view(fmtp).substr(space + 1);
  bool first = true;
  while (!rest.empty()) {
    auto end = rest.find(';');
    std::string item(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    if (options.inBandSets && (item.rfind("sprop-parameter-sets=", 0) == 0 || item.rfind("sprop-vps=", 0) == 0 ||
                               item.rfind("sprop-sps=", 0) == 0 || item.rfind("sprop-pps=", 0) == 0))
      continue;
    if (options.heAac && item.rfind("config=", 0) == 0)
      item = "config=" + HeAacConfigHex(options.audioRate, options.audioChannels);
    edited += (first ? "" : ";") + item;
    first = false;
  }
  return edited;
}

namespace {

// The encoder and payloader behind the scaled test picture. Live x264 at
// zerolatency: Constrained Baseline, no B-frames, several slices per picture.
// x264 repeats the parameter sets before every IDR picture; the payloader
// must not add its own, which it would put before every IDR slice, in the
// middle of the picture. x265 is told to repeat its VPS, SPS and PPS the
// same way, as cameras do.
std::string VideoEncoder(const TSimulatorOptions& o) {
  char encoder[400];
  if (o.videoCodec == "h265")
    std::snprintf(encoder, sizeof encoder,
                  "x265enc speed-preset=ultrafast tune=zerolatency key-int-max=%d bitrate=%d "
                  "option-string=repeat-headers=1:slices=%d ! video/x-h265,stream-format=byte-stream ! "
                  "rtph265pay name=pay0 pt=96 config-interval=0",
                  o.keyInterval, o.bitrateKbps, o.slices);
  else if (o.videoCodec == "mjpeg")
    // The payloader takes 4:2:0 only; the test source would pick another layout.
    std::snprintf(encoder, sizeof encoder,
                  "videoconvert ! video/x-raw,format=I420 ! jpegenc quality=60 ! rtpjpegpay name=pay0 pt=26");
  else
    std::snprintf(encoder, sizeof encoder,
                  "x264enc speed-preset=ultrafast tune=zerolatency key-int-max=%d bitrate=%d option-string=slices=%d ! "
                  "video/x-h264,profile=constrained-baseline,stream-format=byte-stream ! "
                  "rtph264pay name=pay0 pt=96 config-interval=0",
                  o.keyInterval, o.bitrateKbps, o.slices);
  return encoder;
}

// G.711 as cameras send it: 8 kHz mono, static payload types 8 and 0.
std::string AudioEncoder(const TSimulatorOptions& o, int payloader) {
  char encoder[200];
  if (o.audioCodec == "pcma")
    std::snprintf(encoder, sizeof encoder, "alawenc ! rtppcmapay name=pay%d pt=8", payloader);
  else if (o.audioCodec == "pcmu")
    std::snprintf(encoder, sizeof encoder, "mulawenc ! rtppcmupay name=pay%d pt=0", payloader);
  else
    std::snprintf(encoder, sizeof encoder, "avenc_aac ! aacparse ! rtpmp4gpay name=pay%d pt=97", payloader);
  return encoder;
}

}  // namespace

std::string TRtspStreams::PipelineDescription(const TSimulatorOptions& o) {
  std::string description = "(";
  int payloaders = 0;
  if (o.video) {
    char video[300];
    std::snprintf(video, sizeof video,
                  " videotestsrc is-live=true pattern=%s ! "
                  "capsfilter name=size caps=video/x-raw,width=%d,height=%d,framerate=%d/1 ! ",
                  o.pattern.c_str(), o.width, o.height, o.frameRate);
    description += video + VideoEncoder(o);
    ++payloaders;
  }
  if (o.audio) {
    char audio[300];
    std::snprintf(audio, sizeof audio,
                  " audiotestsrc is-live=true wave=sine freq=440 samplesperbuffer=1024 ! "
                  "audioconvert ! audioresample ! audio/x-raw,rate=%d,channels=%d ! ",
                  o.heAac ? o.audioRate / 2 : o.audioRate, o.audioChannels);
    description += audio + AudioEncoder(o, payloaders++);
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
  gst_rtsp_media_factory_set_media_gtype(factory, EditedMediaType());
  g_signal_connect(factory, "media-configure", G_CALLBACK(&TRtspStreams::HandleMediaConfigure), this);
  if (options_.rtspAuth != "none") RequireAuthentication(factory);

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

void TRtspStreams::RequireAuthentication(GstRTSPMediaFactory* factory) {
  static const char* const kRole = "operator";
  GstRTSPAuth* auth = gst_rtsp_auth_new();
  GstRTSPToken* token = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kRole, nullptr);
  if (options_.rtspAuth == "basic") {
    gchar* basic = gst_rtsp_auth_make_basic(options_.user.c_str(), options_.password.c_str());
    gst_rtsp_auth_add_basic(auth, basic, token);
    g_free(basic);
    gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_BASIC);
  } else {
    gst_rtsp_auth_add_digest(auth, options_.user.c_str(), options_.password.c_str(), token);
    gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_DIGEST);
  }
  gst_rtsp_token_unref(token);
  gst_rtsp_server_set_auth(server_, auth);
  g_object_unref(auth);
  gst_rtsp_media_factory_add_role(factory, kRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                                  GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
}

namespace {

gboolean ChangePictureSize(gpointer data) {
  auto* filter = static_cast<GstElement*>(data);
  const auto* options = static_cast<const TSimulatorOptions*>(g_object_get_data(G_OBJECT(filter), kOptionsKey));
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "width", G_TYPE_INT, options->resizeWidth, "height", G_TYPE_INT,
                                      options->resizeHeight, "framerate", GST_TYPE_FRACTION, options->frameRate, 1,
                                      nullptr);
  g_object_set(filter, "caps", caps, nullptr);
  gst_caps_unref(caps);
  std::printf("devsim picture size now %dx%d\n", options->resizeWidth, options->resizeHeight);
  std::fflush(stdout);
  return G_SOURCE_REMOVE;
}

bool IsParameterSet(uint8_t header, bool hevc) {
  if (hevc) return ((header >> 1) & 0x3F) >= 32 && ((header >> 1) & 0x3F) <= 34;  // VPS, SPS, PPS
  return (header & 0x1F) == 7 || (header & 0x1F) == 8;
}

// The buffer without its parameter sets (start codes of three or four bytes;
// a unit runs to the next start code), or null when it holds none.
GstBuffer* WithoutParameterSets(GstBuffer* buffer, bool hevc) {
  GstMapInfo map;
  if (buffer == nullptr || !gst_buffer_map(buffer, &map, GST_MAP_READ)) return nullptr;
  std::vector<size_t> starts;  // offsets of each unit's start code
  for (size_t i = 0; i + 3 < map.size; ++i)
    if (map.data[i] == 0 && map.data[i + 1] == 0 && map.data[i + 2] == 1)
      starts.push_back(i > 0 && map.data[i - 1] == 0 ? i - 1 : i);
  std::vector<uint8_t> kept;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t begin = starts[k], end = k + 1 < starts.size() ? starts[k + 1] : map.size;
    size_t header = begin + (map.data[begin + 2] == 1 ? 3 : 4);
    if (header >= map.size || !IsParameterSet(map.data[header], hevc))
      kept.insert(kept.end(), map.data + begin, map.data + end);
  }
  bool changed = !starts.empty() && kept.size() != map.size;
  gst_buffer_unmap(buffer, &map);
  if (!changed) return nullptr;
  GstBuffer* stripped = gst_buffer_new_memdup(kept.data(), kept.size());
  gst_buffer_copy_into(stripped, buffer, GST_BUFFER_COPY_METADATA, 0, static_cast<gsize>(-1));
  return stripped;
}

// Drops the SPS and PPS from every buffer the encoder pushes, alone or in a list.
GstPadProbeReturn DropParameterSets(GstPad*, GstPadProbeInfo* info, gpointer hevcFlag) {
  bool hevc = hevcFlag != nullptr;
  if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (GstBuffer* stripped = WithoutParameterSets(buffer, hevc)) {
      gst_buffer_unref(buffer);
      GST_PAD_PROBE_INFO_DATA(info) = stripped;
    }
  } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
    GstBufferList* list = gst_buffer_list_make_writable(GST_PAD_PROBE_INFO_BUFFER_LIST(info));
    for (guint i = 0; i < gst_buffer_list_length(list); ++i)
      if (GstBuffer* stripped = WithoutParameterSets(gst_buffer_list_get(list, i), hevc)) {
        gst_buffer_list_remove(list, i, 1);
        gst_buffer_list_insert(list, static_cast<gint>(i), stripped);
      }
    GST_PAD_PROBE_INFO_DATA(info) = list;
  }
  return GST_PAD_PROBE_OK;
}

}  // namespace

void TRtspStreams::HandleMediaConfigure(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer self) {
  const TSimulatorOptions& options = static_cast<TRtspStreams*>(self)->options_;
  g_object_set_data(G_OBJECT(media), kOptionsKey, const_cast<TSimulatorOptions*>(&options));
  GstElement* bin = gst_rtsp_media_get_element(media);
  if (options.noSets && options.video) {
    GstElement* payloader = gst_bin_get_by_name(GST_BIN(bin), "pay0");
    GstPad* input = payloader != nullptr ? gst_element_get_static_pad(payloader, "sink") : nullptr;
    if (input != nullptr) {
      gst_pad_add_probe(input, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                        DropParameterSets, options.videoCodec == "h265" ? payloader : nullptr,  // flag only
                        nullptr);
      gst_object_unref(input);
    }
    if (payloader != nullptr) gst_object_unref(payloader);
  }
  if (options.resizeAfter == 0 || !options.video) {
    gst_object_unref(bin);
    return;
  }
  GstElement* filter = gst_bin_get_by_name(GST_BIN(bin), "size");
  gst_object_unref(bin);
  if (filter == nullptr) return;
  g_object_set_data(G_OBJECT(filter), kOptionsKey, const_cast<TSimulatorOptions*>(&options));
  // The timer holds the filter; the media may go before it fires.
  g_timeout_add_seconds_full(G_PRIORITY_DEFAULT, static_cast<guint>(options.resizeAfter), ChangePictureSize, filter,
                             gst_object_unref);
}

void TRtspStreams::HandleClientConnected(GstRTSPServer*, GstRTSPClient* client, gpointer self) {
  for (const char* signal : kRequestSignals)
    g_signal_connect(client, signal, G_CALLBACK(&TRtspStreams::HandleRequest), self);
}

GstRTSPStatusCode TRtspStreams::HandleRequest(GstRTSPClient* client, GstRTSPContext* context, gpointer self) {
  GstRTSPStatusCode status = static_cast<TRtspStreams*>(self)->Admit(*context);
  const GstRTSPUrl* uri = context->uri;
  GstRTSPConnection* connection = gst_rtsp_client_get_connection(client);
  // Whether the request answered a challenge, and how (never the credentials).
  gchar* authorization = nullptr;
  std::string scheme = "none";
  if (context->request != nullptr &&
      gst_rtsp_message_get_header(context->request, GST_RTSP_HDR_AUTHORIZATION, &authorization, 0) == GST_RTSP_OK)
    scheme = std::string(authorization).substr(0, std::string(authorization).find(' '));
  std::printf("RTSP %s %s%s%s from %s -> %d authorization %s\n", gst_rtsp_method_as_text(context->method),
              uri != nullptr && uri->abspath != nullptr ? uri->abspath : "*",
              uri != nullptr && uri->query != nullptr ? "?" : "",
              uri != nullptr && uri->query != nullptr ? uri->query : "",
              connection != nullptr ? gst_rtsp_connection_get_ip(connection) : "?", static_cast<int>(status),
              scheme.c_str());
  std::fflush(stdout);
  return status;
}

GstRTSPStatusCode TRtspStreams::Admit(const GstRTSPContext& context) const {
  // /stream/N is the device's logged-in form: only a key it handed out opens
  // it. Checked at DESCRIBE: the SETUP URLs built from the content base carry
  // no query.
  // A camera (RTSP authentication on) knows no login keys.
  if (context.method != GST_RTSP_DESCRIBE || options_.rtspAuth != "none") return GST_RTSP_STS_OK;
  const GstRTSPUrl* uri = context.uri;
  if (uri == nullptr || uri->abspath == nullptr) return GST_RTSP_STS_OK;
  if (std::string_view(uri->abspath).rfind("/stream/", 0) != 0) return GST_RTSP_STS_OK;
  std::string key;
  if (uri->query == nullptr || !QueryValue(uri->query, "config.login", key) || !keys_.Valid(key))
    return GST_RTSP_STS_UNAUTHORIZED;
  return GST_RTSP_STS_OK;
}
