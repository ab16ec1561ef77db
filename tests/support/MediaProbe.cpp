#include "MediaProbe.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "Processes.h"

namespace testsupport {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, ',')) fields.push_back(field);
  if (!line.empty() && line.back() == ',') fields.emplace_back();
  return fields;
}

int ToInt(const std::string& s) {
  try {
    return std::stoi(s);
  } catch (...) {
    return 0;
  }
}

long long SecondsToMs(const std::string& s) {
  try {
    return std::llround(std::stod(s) * 1000.0);
  } catch (...) {
    return 0;
  }
}

}  // namespace

std::vector<TProbedStream> ProbeStreams(const std::string& path) {
  TCommandResult r = RunCommand({"ffprobe", "-v", "error", "-show_entries",
                                 "stream=codec_type,codec_name,width,height,sample_rate,channels", "-of",
                                 "csv=p=0:nk=0", path});
  if (r.exitCode != 0) throw std::runtime_error("ffprobe failed: " + r.errors);
  std::vector<TProbedStream> streams;
  for (const std::string& line : Lines(r.output)) {
    TProbedStream s;
    for (const std::string& kv : Fields(line)) {
      auto eq = kv.find('=');
      if (eq == std::string::npos) continue;
      std::string k = kv.substr(0, eq), v = kv.substr(eq + 1);
      if (k == "codec_type") s.codecType = v;
      if (k == "codec_name") s.codecName = v;
      if (k == "width") s.width = ToInt(v);
      if (k == "height") s.height = ToInt(v);
      if (k == "sample_rate") s.sampleRate = ToInt(v);
      if (k == "channels") s.channels = ToInt(v);
    }
    streams.push_back(s);
  }
  return streams;
}

std::vector<TProbedPacket> ProbePackets(const std::string& path) {
  TCommandResult r = RunCommand({"ffprobe", "-v", "error", "-show_entries",
                                 "packet=codec_type,pts_time,dts_time,flags,size", "-of", "csv=p=0:nk=0", path});
  if (r.exitCode != 0) throw std::runtime_error("ffprobe failed: " + r.errors);
  std::vector<TProbedPacket> packets;
  for (const std::string& line : Lines(r.output)) {
    TProbedPacket p;
    for (const std::string& kv : Fields(line)) {
      auto eq = kv.find('=');
      if (eq == std::string::npos) continue;
      std::string k = kv.substr(0, eq), v = kv.substr(eq + 1);
      if (k == "codec_type") p.codecType = v;
      if (k == "pts_time") p.ptsMs = SecondsToMs(v);
      if (k == "dts_time") p.dtsMs = SecondsToMs(v);
      if (k == "flags") p.key = v.find('K') != std::string::npos;
      if (k == "size") p.size = ToInt(v);
    }
    packets.push_back(p);
  }
  return packets;
}

std::vector<std::string> DecodeErrors(const std::string& path) {
  TCommandResult r = RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"});
  std::vector<std::string> errors = Lines(r.errors);
  if (r.exitCode != 0 && errors.empty()) errors.push_back("ffmpeg exited with " + std::to_string(r.exitCode));
  return errors;
}

std::vector<std::pair<std::pair<int, int>, int>> DecodedPictureSizes(const std::string& path) {
  TCommandResult r = RunCommand({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                                 "frame=width,height", "-of", "csv=p=0:nk=0", path});
  if (r.exitCode != 0) throw std::runtime_error("ffprobe failed: " + r.errors);
  std::vector<std::pair<std::pair<int, int>, int>> sizes;
  for (const std::string& line : Lines(r.output)) {
    int width = 0, height = 0;
    for (const std::string& kv : Fields(line)) {
      auto eq = kv.find('=');
      if (eq == std::string::npos) continue;
      if (kv.substr(0, eq) == "width") width = ToInt(kv.substr(eq + 1));
      if (kv.substr(0, eq) == "height") height = ToInt(kv.substr(eq + 1));
    }
    if (width == 0 || height == 0) continue;  // side data lines
    if (sizes.empty() || sizes.back().first != std::pair{width, height}) sizes.push_back({{width, height}, 0});
    ++sizes.back().second;
  }
  return sizes;
}

std::string ProbeSummary(const std::string& path) {
  TCommandResult r = RunCommand({"ffprobe", "-hide_banner", path});
  return r.errors;
}

}  // namespace testsupport
