#include "SimulatorOptions.h"

#include <charconv>
#include <cstdio>
#include <functional>
#include <map>

namespace {

const char* const kUsage =
    "Usage: devsim [options]\n"
    "A recording-device simulator: HTTP logon at /cgi-bin/logon.cgi and a live\n"
    "stream (H.264 + AAC by default) over RTSP at /stream/0, /stream/4 (login key required),\n"
    "/dispatch/0 and /dispatch/1.\n"
    "  --address A         listen address (default 127.0.0.1)\n"
    "  --rtsp-port N       RTSP port (default 8554; 0 picks a free port)\n"
    "  --http-port N       HTTP port (default 8080; 0 picks a free port)\n"
    "  --user U            user name (default admin)\n"
    "  --password P        password (default admin)\n"
    "  --size WxH          picture size (default 320x240)\n"
    "  --fps N             frame rate (default 25)\n"
    "  --key-interval N    frames between key frames (default 25)\n"
    "  --slices N          slices per picture (default 2)\n"
    "  --bitrate N         video bit rate in kbit/s (default 400)\n"
    "  --pattern NAME      test picture: ball, snow, smpte or zone-plate (default\n"
    "                      ball; snow, random noise, reaches the bit rate asked for)\n"
    "  --audio-rate N      audio sample rate (default 48000; up to 96000)\n"
    "  --audio-profile P   lc or he (default lc; he describes HE-AAC at the audio\n"
    "                      rate over an AAC core at half of it)\n"
    "  --audio-channels N  audio channels, 1 or 2 (default 2)\n"
    "  --video-codec C     h264, h265 or mjpeg (default h264)\n"
    "  --audio-codec C     aac, pcma or pcmu (default aac; G.711 A-law and mu-law\n"
    "                      are 8 kHz mono whatever the audio rate and channels)\n"
    "  --no-audio          video only\n"
    "  --no-video          audio only (not what a device should send)\n"
    "  --in-band-sets      leave the parameter sets out of the description: they\n"
    "                      come only in the stream, before each key frame\n"
    "  --no-sets           no parameter sets at all, neither described nor in the\n"
    "                      stream (a broken device no client can decode)\n"
    "  --resize-after N    change the picture size after N seconds of streaming\n"
    "  --resize-to WxH     the size it changes to (default 640x480)\n"
    "  --rtsp-auth M       none, basic or digest (default none): RTSP asks for\n"
    "                      --user and --password, as IP cameras do; /stream/0\n"
    "                      then needs no login key\n"
    "  --logon-reply TEXT  reply body for right credentials (default \"1|KEY|USER\"\n"
    "                      with a fresh key)\n"
    "When both servers listen it prints \"devsim ready http=PORT rtsp=PORT\".\n";

bool ParseInt(const std::string& text, int low, int high, int& value) {
  int parsed = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (error != std::errc() || end != text.data() + text.size() || parsed < low || parsed > high)
    return false;
  value = parsed;
  return true;
}

bool ParsePattern(const std::string& text, std::string& pattern) {
  for (const char* known : {"ball", "snow", "smpte", "zone-plate"})
    if (text == known) {
      pattern = text;
      return true;
    }
  return false;
}

bool ParseSize(const std::string& text, int& width, int& height) {
  auto x = text.find('x');
  if (x == std::string::npos) return false;
  // Even sizes: the encoder works on 4:2:0 pictures.
  return ParseInt(text.substr(0, x), 16, 4096, width) && ParseInt(text.substr(x + 1), 16, 4096, height) &&
         width % 2 == 0 && height % 2 == 0;
}

}  // namespace

std::optional<TSimulatorOptions> ParseSimulatorOptions(const std::vector<std::string>& args,
                                                       int& exitCode) {
  TSimulatorOptions o;
  using TSetter = std::function<bool(const std::string&)>;
  const std::map<std::string, TSetter> withValue = {
      {"--address", [&](const std::string& v) { o.address = v; return !v.empty(); }},
      {"--rtsp-port", [&](const std::string& v) { return ParseInt(v, 0, 65535, o.rtspPort); }},
      {"--http-port", [&](const std::string& v) { return ParseInt(v, 0, 65535, o.httpPort); }},
      {"--user", [&](const std::string& v) { o.user = v; return true; }},
      {"--password", [&](const std::string& v) { o.password = v; return true; }},
      {"--size", [&](const std::string& v) { return ParseSize(v, o.width, o.height); }},
      {"--fps", [&](const std::string& v) { return ParseInt(v, 1, 120, o.frameRate); }},
      {"--key-interval", [&](const std::string& v) { return ParseInt(v, 1, 1000, o.keyInterval); }},
      {"--slices", [&](const std::string& v) { return ParseInt(v, 1, 8, o.slices); }},
      {"--bitrate", [&](const std::string& v) { return ParseInt(v, 16, 100000, o.bitrateKbps); }},
      {"--pattern", [&](const std::string& v) { return ParsePattern(v, o.pattern); }},
      {"--audio-rate", [&](const std::string& v) { return ParseInt(v, 8000, 96000, o.audioRate); }},
      {"--audio-channels", [&](const std::string& v) { return ParseInt(v, 1, 2, o.audioChannels); }},
      {"--logon-reply", [&](const std::string& v) { o.logonReply = v; return true; }},
      {"--resize-after", [&](const std::string& v) { return ParseInt(v, 1, 86400, o.resizeAfter); }},
      {"--resize-to", [&](const std::string& v) { return ParseSize(v, o.resizeWidth, o.resizeHeight); }},
      {"--audio-profile", [&](const std::string& v) { o.heAac = v == "he"; return v == "he" || v == "lc"; }},
      {"--video-codec", [&](const std::string& v) {
         o.videoCodec = v;
         return v == "h264" || v == "h265" || v == "mjpeg";
       }},
      {"--audio-codec", [&](const std::string& v) {
         o.audioCodec = v;
         return v == "aac" || v == "pcma" || v == "pcmu";
       }},
      {"--rtsp-auth", [&](const std::string& v) {
         o.rtspAuth = v;
         return v == "none" || v == "basic" || v == "digest";
       }},
  };
  exitCode = 2;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--help" || name == "-h") {
      std::fputs(kUsage, stdout);
      exitCode = 0;
      return std::nullopt;
    }
    if (name == "--in-band-sets" || name == "--no-sets") {
      o.inBandSets = true;
      o.noSets = name == "--no-sets";
      continue;
    }
    if (name == "--no-audio" || name == "--no-video") {
      (name == "--no-audio" ? o.audio : o.video) = false;
      continue;
    }
    auto setter = withValue.find(name);
    if (setter == withValue.end() || i + 1 >= args.size() || !setter->second(args[i + 1])) {
      std::fprintf(stderr, "devsim: bad option or value: %s\n%s", name.c_str(), kUsage);
      return std::nullopt;
    }
    ++i;
  }
  if (o.heAac && o.audioRate % 2 != 0) {
    std::fprintf(stderr, "devsim: HE-AAC needs an even --audio-rate (its core runs at half of it)\n");
    return std::nullopt;
  }
  if (o.heAac && o.audioCodec != "aac") {
    std::fprintf(stderr, "devsim: --audio-profile he needs --audio-codec aac\n");
    return std::nullopt;
  }
  if (o.audioCodec != "aac") {
    o.audioRate = 8000;
    o.audioChannels = 1;
  }
  if (!o.video && !o.audio) {
    std::fprintf(stderr, "devsim: --no-audio and --no-video leave nothing to stream\n");
    return std::nullopt;
  }
  return o;
}
