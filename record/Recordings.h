// One local recording of one push: media messages in FLV files, the same
// bodies the sender sends a server (metadata, sequence headers, one access
// unit per video message), on a writer thread of its own behind a bounded
// queue, so the media threads never wait for the disk.
//
// Threads: the push's media threads call Send*, under mediaLock_; the
// queue's thread (TSampleSort) calls Write, which alone touches the file and
// the writer's fields; Stats and FatalReason may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FlvFileWriters.h"
#include "SampleSorts.h"
#include "h264utils.h"
#include "velmaro.h"

struct TRecordOptions {
  int32_t InstanceId = 0;    // the files' name prefix; only this id's files are pruned
  int32_t SegmentMinutes = 60;  // a new file at the first key frame after this period; 0 or less: never
  int64_t MaxMB = 20480;     // this instance's files in the folder, at most (MiB); 0 or less: no cap
  // The wall clock of file names and segment periods; the system clock when empty.
  std::function<std::chrono::system_clock::time_point()> Clock;
};

class TRecording {
 public:
  // Creates the folder (with its parents) and the first file. VELMARO_OK, or
  // VELMARO_CONNECT_FAILED with a trace line saying why.
  static int Open(const std::string& folder, const TRecordOptions& options, std::unique_ptr<TRecording>& recording);
  ~TRecording();
  TRecording(const TRecording&) = delete;
  TRecording& operator=(const TRecording&) = delete;

  // As the sender's exports: the header (again: queued behind the media), one
  // access unit, one raw audio frame. False or a failure code when refused.
  int SendHeader(const TMediaHeader& header);
  bool SendVideo(const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey);
  bool SendAudio(const uint8_t* data, uint32_t length, uint32_t timeMs);
  // Writes what is queued within kCloseDrain (drops the rest) and closes the
  // file. False when the writer is stuck in the file system: the recording
  // must then be leaked, not deleted.
  bool Close();

  void Stats(TVelmaroStats& stats);
  // "disk_full" (no space, quota or file size limit) or "record_failed" once
  // the recording failed for good; empty before.
  std::string FatalReason() const;

 private:
  enum class TFailure { None, DiskFull, Failed };
  TRecording(std::string folder, const TRecordOptions& options);
  std::chrono::system_clock::time_point Now() const;
  int CreateFile(std::chrono::system_clock::time_point start);  // 0 or the errno value
  void Prune();
  int64_t CapBytes() const;  // 0: no cap
  bool Pushable() const;          // under mediaLock_
  void MarkSegment(bool isKey);   // under mediaLock_

  // Writer side (the queue's thread).
  static void OnSample(void* self, int32_t stream, const uint8_t* data, int32_t length, int64_t time,
                       uint8_t key, int32_t extra);
  void Write(int32_t stream, const uint8_t* data, size_t length, int64_t time, bool key, int32_t extra);
  void KeepHeaderMessage(int32_t extra, const uint8_t* data, size_t length, int64_t time);
  void BeginFile(const uint8_t* keyFrame, size_t length, int64_t time);
  bool StartNextSegment(int32_t segment);
  bool FlushOrFail();
  uint32_t FileTime(int64_t time) const;
  void NoteMedia(int64_t time);
  void Fail(int error, const std::string& what);
  void SignalEnd();

  const std::string folder_;
  const TRecordOptions options_;

  // Media side, under mediaLock_.
  std::mutex mediaLock_;
  std::unique_ptr<TSampleSort> queue_;  // made by the first header: its streams are fixed from then on
  TMediaHeader header_{};
  bool closed_ = false;
  uint32_t lastVideoMs_ = 0;
  uint32_t lastAudioMs_ = 0;
  bool mediaPushed_ = false;
  int32_t segment_ = 0;
  std::chrono::system_clock::time_point segmentStart_;
  std::vector<uint8_t> body_;
  std::vector<TNalUnit> units_;
  bool hasAudio_ = false;  // fixed by the first header, before the writer thread exists

  // Start times of segments the writer has not begun yet.
  std::mutex startsLock_;
  std::map<int32_t, std::chrono::system_clock::time_point> segmentStarts_;

  // Writer side.
  TFlvFileWriter file_;
  std::string fileName_;  // also set by Open, before the writer thread exists
  bool fileStarted_ = false;  // the file has its header messages and a key frame
  int32_t fileSegment_ = 0;
  int64_t fileBase_ = 0;      // push time of the file's first key frame: its time 0
  std::vector<uint8_t> metadata_, videoHeader_, audioHeader_;
  uint64_t bytesSincePrune_ = 0;

  std::atomic<uint64_t> bytesWritten_{0};
  std::atomic<uint32_t> videoSkipped_{0};  // media before a file's first key frame
  std::atomic<uint32_t> audioSkipped_{0};
  std::atomic<bool> anyMedia_{false};
  std::atomic<uint32_t> newestMediaMs_{0};
  std::atomic<TFailure> failure_{TFailure::None};

  std::mutex endLock_;
  std::condition_variable endSignal_;
  bool ended_ = false;  // the writer reached the end mark or failed; guarded by endLock_
};
