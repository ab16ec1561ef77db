// The folder of a local recording: its file:/// URL, the names of one
// instance's files, and the size cap kept by deleting that instance's oldest
// files.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// The absolute folder of a "file:///absolute/folder" URL, taken as written
// (no percent-decoding); empty when the URL is anything else (another scheme,
// a host, a relative or empty path).
std::string RecordFolderOfUrl(std::string_view url);

// "<id>-<UTC start, YYYYMMDDTHHMMSSZ>.flv"; a collision number above 0 adds
// "_<n>" before ".flv". Names of one instance sort by start time.
std::string RecordFileName(int32_t instanceId, std::chrono::system_clock::time_point start, int collision);

// Deletes this instance's oldest recordings (names RecordFileName gives for
// the id, nothing else) until its recordings in the folder take at most
// maxBytes; the file named `current` is counted but never deleted. Returns
// how many files went.
int PruneRecordings(const std::string& folder, int32_t instanceId, int64_t maxBytes, const std::string& current);
