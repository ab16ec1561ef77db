// Command-line options of the device simulator.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct TSimulatorOptions {
  std::string address = "127.0.0.1";  // where both servers listen
  int rtspPort = 8554;                 // 0: the system picks a free port
  int httpPort = 8080;                 // 0: the system picks a free port
  std::string user = "admin";
  std::string password = "admin";      // UTF-8; the device hashes its GBK bytes
  int width = 320;
  int height = 240;
  int frameRate = 25;
  int keyInterval = 25;                // frames from one IDR picture to the next
  int slices = 2;                      // slices per picture
  int bitrateKbps = 400;
  // The test picture (a videotestsrc pattern). A moving ball encodes far
  // below most bit rates; "snow" fills whatever rate is asked for.
  std::string pattern = "ball";
  bool video = true;
  bool audio = true;
  // What the device encodes, as IP cameras do: "h264", "h265" or "mjpeg"
  // video; "aac", "pcma" or "pcmu" sound (G.711 is always 8 kHz mono).
  std::string videoCodec = "h264";
  std::string audioCodec = "aac";
  int audioRate = 48000;
  int audioChannels = 2;
  std::optional<std::string> logonReply;  // reply body to right credentials
  // Devices as they come:
  bool inBandSets = false;    // no sprop-parameter-sets in the description
  bool noSets = false;        // no parameter sets at all: a broken device
  int resizeAfter = 0;        // seconds of streaming before the picture size changes; 0: never
  int resizeWidth = 640;      // the size it changes to
  int resizeHeight = 480;
  bool heAac = false;         // HE-AAC: the description signals SBR at audioRate over a core at half of it
  std::string rtspAuth = "none";  // "basic" or "digest": RTSP asks for user and password
};

// Parses argv. Returns the options, or std::nullopt after printing the usage
// (with the error, if any) to standard error; `exitCode` says how to leave.
std::optional<TSimulatorOptions> ParseSimulatorOptions(const std::vector<std::string>& args,
                                                       int& exitCode);
