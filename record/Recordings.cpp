#include "Recordings.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "Debugs.h"
#include "FlvTags.h"
#include "RecordFolders.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t kVideoStream = 0;
constexpr int32_t kAudioStream = 1;
// A queued sample's extra: media carry their segment number (0, 1, ...);
// header messages and the end mark are told apart by these.
constexpr int32_t kExtraMetadata = -1;
constexpr int32_t kExtraVideoHeader = -2;
constexpr int32_t kExtraAudioHeader = -3;
constexpr int32_t kExtraEnd = -4;
// What may wait for a slow disk before whole groups of pictures are dropped:
// the same bounds as the sender's queue, so a recording and a server fall
// behind alike.
constexpr int64_t kMaxQueuedMs = 8000;
constexpr size_t kMaxQueuedBytes = 32u * 1024 * 1024;
constexpr std::chrono::milliseconds kCloseDrain{1000};
constexpr std::chrono::milliseconds kWriterStopGrace{2000};
// The sender's header buffer, so both refuse the same oversized headers.
constexpr size_t kHeaderBodyCapacity = 1024;
constexpr int kMaxNameCollisions = 100;
constexpr int64_t kMiB = 1024 * 1024;
constexpr int64_t kMaxPruneStep = 64 * kMiB;
// The sender's metadata opens with "@setDataFrame" for the server, which
// stores only what follows; a file holds what the server stores.
constexpr uint8_t kSetDataFrame[] = {0x02, 0x00, 0x0D, '@', 's', 'e', 't', 'D', 'a', 't', 'a', 'F', 'r', 'a', 'm', 'e'};

std::string ErrorText(int error) { return std::error_code(error, std::generic_category()).message(); }

bool SameAudioConfig(const TMediaHeader& a, const TMediaHeader& b) {
  return a.AudioConfigLen == b.AudioConfigLen &&
         std::memcmp(a.AudioConfig, b.AudioConfig, static_cast<size_t>(std::clamp(a.AudioConfigLen, 0, 1024))) == 0;
}

}  // namespace

TRecording::TRecording(std::string folder, const TRecordOptions& options)
    : folder_(std::move(folder)), options_(options) {}

TRecording::~TRecording() { Close(); }

std::chrono::system_clock::time_point TRecording::Now() const {
  return options_.Clock ? options_.Clock() : std::chrono::system_clock::now();
}

int TRecording::Open(const std::string& folder, const TRecordOptions& options, std::unique_ptr<TRecording>& recording) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) {
    DebugLogFmt("Record: cannot create the folder %s: %s", folder.c_str(), error.message().c_str());
    return VELMARO_CONNECT_FAILED;
  }
  std::unique_ptr<TRecording> made(new TRecording(folder, options));
  made->segmentStart_ = made->Now();
  if (int code = made->CreateFile(made->segmentStart_); code != 0) {
    DebugLogFmt("Record: cannot create a file in %s: %s", folder.c_str(), ErrorText(code).c_str());
    return VELMARO_CONNECT_FAILED;
  }
  made->Prune();
  recording = std::move(made);
  return VELMARO_OK;
}

int TRecording::CreateFile(std::chrono::system_clock::time_point start) {
  int error = EEXIST;
  for (int collision = 0; collision < kMaxNameCollisions && error == EEXIST; ++collision) {
    fileName_ = RecordFileName(options_.InstanceId, start, collision);
    error = file_.Create((fs::path(folder_) / fileName_).string());
  }
  if (error == 0) DebugLogFmt("Record: writing %s/%s", folder_.c_str(), fileName_.c_str());
  return error;
}

int64_t TRecording::CapBytes() const {
  return options_.MaxMB > 0 ? std::min(options_.MaxMB, INT64_MAX / kMiB) * kMiB : 0;
}

void TRecording::Prune() {
  bytesSincePrune_ = 0;
  if (CapBytes() > 0) PruneRecordings(folder_, options_.InstanceId, CapBytes(), fileName_);
}

// ---- media side --------------------------------------------------------------

bool TRecording::Pushable() const {
  return queue_ != nullptr && !closed_ && failure_.load(std::memory_order_relaxed) == TFailure::None;
}

int TRecording::SendHeader(const TMediaHeader& header) {
  std::lock_guard guard(mediaLock_);
  if (closed_ || failure_.load() != TFailure::None) return VELMARO_HEADER_FAILED;
  if (queue_ != nullptr && (header.HasAudio != 0) != hasAudio_) return VELMARO_HEADER_FAILED;  // streams are fixed
  uint8_t metadata[kHeaderBodyCapacity], video[kHeaderBodyCapacity], audio[kHeaderBodyCapacity];
  size_t metadataLength = velmaro::BuildMetadata(&header, metadata, sizeof metadata);
  if (metadataLength <= sizeof kSetDataFrame) return VELMARO_METADATA_FAILED;
  size_t videoLength = velmaro::BuildVideoSequenceHeader(header, video, sizeof video);
  if (videoLength == 0) return VELMARO_HEADER_FAILED;
  // As the sender: the audio sequence header again only when its config changed.
  size_t audioLength = 0;
  if (header.HasAudio && (queue_ == nullptr || !SameAudioConfig(header, header_))) {
    audioLength = velmaro::BuildAudioSequenceHeader(header, audio, sizeof audio);
    if (audioLength == 0) return VELMARO_HEADER_FAILED;
  }
  if (queue_ == nullptr) {
    hasAudio_ = header.HasAudio != 0;  // set before the writer thread exists
    queue_ = std::make_unique<TSampleSort>(hasAudio_ ? 2 : 1);
    queue_->SetBound(kMaxQueuedMs, kMaxQueuedBytes, kVideoStream);
    queue_->SetOnSample({&TRecording::OnSample, this});
  }
  // Before any media the header leaves first, whatever the media's times;
  // later it goes behind the media queued so far, as the sender queues it.
  const int64_t videoTime = mediaPushed_ ? lastVideoMs_ : INT64_MIN;
  const int64_t audioTime = mediaPushed_ ? lastAudioMs_ : INT64_MIN;
  const size_t skip = std::memcmp(metadata, kSetDataFrame, sizeof kSetDataFrame) == 0 ? sizeof kSetDataFrame : 0;
  bool queued = queue_->PushKept(kVideoStream, metadata + skip, static_cast<int32_t>(metadataLength - skip),
                                 videoTime, 0, kExtraMetadata) &&
                queue_->PushKept(kVideoStream, video, static_cast<int32_t>(videoLength), videoTime, 0,
                                 kExtraVideoHeader);
  if (queued && audioLength > 0)
    queued = queue_->PushKept(kAudioStream, audio, static_cast<int32_t>(audioLength), audioTime, 0,
                              kExtraAudioHeader);
  if (!queued) return VELMARO_HEADER_FAILED;
  header_ = header;
  return VELMARO_OK;
}

// A key frame past the segment period starts the next file; the writer
// learns it from the frame's segment number, so the cut lands on exactly
// this frame whatever the queue holds.
void TRecording::MarkSegment(bool isKey) {
  if (!isKey || options_.SegmentMinutes <= 0) return;
  const auto now = Now();
  if (now - segmentStart_ < std::chrono::minutes(options_.SegmentMinutes)) return;
  segmentStart_ = now;
  ++segment_;
  std::lock_guard guard(startsLock_);
  segmentStarts_[segment_] = now;
}

bool TRecording::SendVideo(const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey) {
  if (data == nullptr || length == 0) return false;
  std::lock_guard guard(mediaLock_);
  if (!Pushable()) return false;
  const int32_t codec = header_.VideoCodecId;
  const size_t size = velmaro::PlanVideoBody(codec, data, length, false, units_);
  if (size == 0 || size > kMaxFlvTagBody) return false;
  body_.resize(size);
  velmaro::BuildVideoBody(codec, units_, isKey, body_.data(), body_.size());
  MarkSegment(isKey);
  lastVideoMs_ = timeMs;
  mediaPushed_ = true;
  return queue_->Push(kVideoStream, body_.data(), static_cast<int32_t>(size), timeMs, isKey ? 1 : 0, segment_);
}

bool TRecording::SendAudio(const uint8_t* data, uint32_t length, uint32_t timeMs) {
  if (data == nullptr || length <= 2) return false;  // as the sender: no frame is that short
  std::lock_guard guard(mediaLock_);
  if (!Pushable() || !hasAudio_) return false;
  const size_t size = velmaro::AudioBodySize(header_.AudioCodecId, length);
  if (size > kMaxFlvTagBody) return false;
  body_.resize(size);
  velmaro::BuildAudioBody(header_, data, length, body_.data(), body_.size());
  lastAudioMs_ = timeMs;
  mediaPushed_ = true;
  return queue_->Push(kAudioStream, body_.data(), static_cast<int32_t>(size), timeMs, 0, segment_);
}

bool TRecording::Close() {
  TSampleSort* queue = nullptr;
  {
    std::lock_guard guard(mediaLock_);
    if (closed_) return true;
    closed_ = true;
    queue = queue_.get();
    // End marks behind everything: the writer meets one once all media is written.
    if (queue != nullptr)
      for (int32_t stream = 0; stream < queue->StreamCount(); ++stream)
        queue->PushKept(stream, nullptr, 0, INT64_MAX, 0, kExtraEnd);
  }
  if (queue != nullptr) {
    std::unique_lock lock(endLock_);
    if (!endSignal_.wait_for(lock, kCloseDrain, [this] { return ended_; }))
      DebugLogFmt("Record: %zu bytes still queued at close; dropped", queue->QueuedBytes());
    lock.unlock();
    queue->Terminate();
    if (!queue->WaitFinished(kWriterStopGrace)) {
      DebugLogFmt("Record: the writer is stuck in the file system under %s; left behind", folder_.c_str());
      return false;
    }
    std::lock_guard guard(mediaLock_);
    queue_.reset();
  }
  const bool empty = file_.IsOpen() && file_.Size() == 0;
  file_.Close();
  std::error_code ignored;
  if (empty) fs::remove(fs::path(folder_) / fileName_, ignored);
  DebugLogFmt("Record: closed %s", fileName_.c_str());
  return true;
}

void TRecording::Stats(TVelmaroStats& stats) {
  stats = TVelmaroStats{};
  stats.BytesSent = bytesWritten_.load(std::memory_order_relaxed);
  stats.SendFailed = failure_.load() != TFailure::None ? 1 : 0;
  stats.AnyMediaSent = anyMedia_.load(std::memory_order_acquire) ? 1 : 0;
  stats.SentMediaMs = newestMediaMs_.load(std::memory_order_relaxed);
  stats.VideoFramesDropped = videoSkipped_.load(std::memory_order_relaxed);
  stats.AudioFramesDropped = audioSkipped_.load(std::memory_order_relaxed);
  std::lock_guard guard(mediaLock_);
  if (queue_ == nullptr) return;
  stats.VideoFramesDropped += queue_->Dropped(kVideoStream);
  stats.AudioFramesDropped += queue_->Dropped(kAudioStream);
  stats.QueuedMs = static_cast<uint32_t>(std::max<int64_t>(0, queue_->QueuedMs()));
  stats.QueuedBytes = static_cast<uint32_t>(std::min<size_t>(queue_->QueuedBytes(), UINT32_MAX));
}

std::string TRecording::FatalReason() const {
  switch (failure_.load()) {
    case TFailure::DiskFull: return "disk_full";
    case TFailure::Failed: return "record_failed";
    case TFailure::None: break;
  }
  return {};
}

// ---- writer side (the queue's thread) ----------------------------------------

void TRecording::OnSample(void* self, int32_t stream, const uint8_t* data, int32_t length, int64_t time,
                          uint8_t key, int32_t extra) {
  static_cast<TRecording*>(self)->Write(stream, data, static_cast<size_t>(length), time, key != 0, extra);
}

void TRecording::Write(int32_t stream, const uint8_t* data, size_t length, int64_t time, bool key, int32_t extra) {
  if (extra == kExtraEnd) return SignalEnd();
  if (failure_.load() != TFailure::None) return;
  if (extra < 0) return KeepHeaderMessage(extra, data, length, time);
  const bool video = stream == kVideoStream;
  if (video && key && (!fileStarted_ || extra > fileSegment_)) {
    if (extra > fileSegment_ && !StartNextSegment(extra)) return;
    return BeginFile(data, length, time);
  }
  if (!fileStarted_) {  // no key frame yet: it would not decode
    (video ? videoSkipped_ : audioSkipped_).fetch_add(1, std::memory_order_relaxed);
    return;
  }
  file_.AddTag(video ? kFlvTagVideo : kFlvTagAudio, FileTime(time), data, length);
  if (FlushOrFail()) NoteMedia(time);
}

uint32_t TRecording::FileTime(int64_t time) const {
  return time <= fileBase_ ? 0 : static_cast<uint32_t>(time - fileBase_);
}

// The newest header is kept for the next file. Inside a started file its
// sequence headers are written where they came, as the server gets them;
// its onMetaData is not: FFmpeg 5.1's ffprobe crashes reading frames of an
// FLV file with an onMetaData after the media began (measured), and the
// server's own recordings hold none there either.
void TRecording::KeepHeaderMessage(int32_t extra, const uint8_t* data, size_t length, int64_t time) {
  std::vector<uint8_t>& kept =
      extra == kExtraMetadata ? metadata_ : extra == kExtraVideoHeader ? videoHeader_ : audioHeader_;
  kept.assign(data, data + length);
  if (!fileStarted_ || extra == kExtraMetadata) return;
  file_.AddTag(extra == kExtraVideoHeader ? kFlvTagVideo : kFlvTagAudio, FileTime(time), data, length);
  FlushOrFail();
}

// A file opens with the header messages, then the key frame, at time 0.
void TRecording::BeginFile(const uint8_t* keyFrame, size_t length, int64_t time) {
  fileBase_ = time;
  file_.AddFileHeader(hasAudio_);
  file_.AddTag(kFlvTagScript, 0, metadata_.data(), metadata_.size());
  file_.AddTag(kFlvTagVideo, 0, videoHeader_.data(), videoHeader_.size());
  if (hasAudio_ && !audioHeader_.empty()) file_.AddTag(kFlvTagAudio, 0, audioHeader_.data(), audioHeader_.size());
  file_.AddTag(kFlvTagVideo, 0, keyFrame, length);
  if (!FlushOrFail()) return;
  fileStarted_ = true;
  NoteMedia(time);
}

bool TRecording::StartNextSegment(int32_t segment) {
  const bool empty = file_.Size() == 0;
  file_.Close();
  std::error_code ignored;
  if (empty) fs::remove(fs::path(folder_) / fileName_, ignored);
  auto start = Now();
  {
    std::lock_guard guard(startsLock_);
    auto found = segmentStarts_.find(segment);
    if (found != segmentStarts_.end()) start = found->second;
    segmentStarts_.erase(segmentStarts_.begin(), segmentStarts_.upper_bound(segment));
  }
  fileSegment_ = segment;
  fileStarted_ = false;
  if (int error = CreateFile(start); error != 0) {
    Fail(error, "cannot create the next file in " + folder_);
    return false;
  }
  Prune();
  return true;
}

bool TRecording::FlushOrFail() {
  const uint64_t before = file_.Size();
  if (int error = file_.Flush(); error != 0) {
    Fail(error, "cannot write " + fileName_);
    return false;
  }
  const uint64_t written = file_.Size() - before;
  bytesWritten_.fetch_add(written, std::memory_order_relaxed);
  bytesSincePrune_ += written;
  const int64_t cap = CapBytes();
  if (cap > 0 && static_cast<int64_t>(bytesSincePrune_) >= std::clamp(cap / 16, kMiB, kMaxPruneStep)) Prune();
  return true;
}

void TRecording::NoteMedia(int64_t time) {
  newestMediaMs_.store(static_cast<uint32_t>(time), std::memory_order_relaxed);
  anyMedia_.store(true, std::memory_order_release);
}

// No room (space, quota, the file size limit) is a full disk; anything else
// a failed recording. Either ends it for good: what is queued is let go.
void TRecording::Fail(int error, const std::string& what) {
  const TFailure failure = error == ENOSPC || error == EDQUOT || error == EFBIG ? TFailure::DiskFull : TFailure::Failed;
  TFailure none = TFailure::None;
  if (!failure_.compare_exchange_strong(none, failure)) return;
  DebugLogFmt("Record: %s: %s; the recording stops (%s)", what.c_str(), ErrorText(error).c_str(),
              FatalReason().c_str());
  SignalEnd();
}

void TRecording::SignalEnd() {
  {
    std::lock_guard guard(endLock_);
    ended_ = true;
  }
  endSignal_.notify_all();
}
