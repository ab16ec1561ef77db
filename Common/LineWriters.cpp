#include "LineWriters.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <thread>
#include <utility>

TLineWriter::TLineWriter(int fd, TDroppedLine droppedLine) : fd_(fd), droppedLine_(std::move(droppedLine)) {}

void TLineWriter::Post(std::string line) {
  {
    std::lock_guard guard(lock_);
    if (!started_) {
      std::thread([this] { Run(); }).detach();  // lives as long as the process
      started_ = true;
    }
    if (queuedBytes_ + line.size() > kMaxQueuedBytes) {
      ++dropped_;
      droppedTotal_.fetch_add(1);
      return;
    }
    queuedBytes_ += line.size();
    lines_.push_back(std::move(line));
  }
  wake_.notify_one();
}

void TLineWriter::Drain(std::chrono::milliseconds bound) {
  std::unique_lock guard(lock_);
  drained_.wait_for(guard, bound, [this] { return lines_.empty() && !writing_; });
}

void TLineWriter::Run() {
  std::unique_lock guard(lock_);
  for (;;) {
    wake_.wait(guard, [this] { return !lines_.empty(); });
    std::deque<std::string> lines;
    lines.swap(lines_);
    queuedBytes_ = 0;
    uint64_t dropped = std::exchange(dropped_, 0);
    writing_ = true;
    guard.unlock();
    // Lines are dropped while the queue is full, that is after the lines
    // taken here: the count goes out where the gap was.
    for (const std::string& line : lines) WriteWhole(line);
    if (dropped > 0) WriteWhole(droppedLine_(dropped));
    guard.lock();
    writing_ = false;
    drained_.notify_all();
  }
}

void TLineWriter::WriteWhole(const std::string& line) const {
  // One write() per line keeps lines from several writers whole.
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed reader: the line is gone, the process goes on
    p += n;
    left -= static_cast<size_t>(n);
  }
}

namespace {

std::mutex writersLock;
std::map<int, std::pair<TLineWriter*, std::chrono::milliseconds>>* writers = nullptr;

void DrainAllAtExit() {
  std::lock_guard guard(writersLock);
  for (auto& [fd, entry] : *writers) entry.first->Drain(entry.second);
}

}  // namespace

TLineWriter& ProcessLineWriter(int fd, TLineWriter::TDroppedLine droppedLine, std::chrono::milliseconds exitDrain) {
  std::lock_guard guard(writersLock);
  if (writers == nullptr) {
    writers = new std::map<int, std::pair<TLineWriter*, std::chrono::milliseconds>>;
    std::atexit(DrainAllAtExit);
  }
  auto found = writers->find(fd);
  if (found != writers->end()) return *found->second.first;
  auto* writer = new TLineWriter(fd, std::move(droppedLine));
  writers->emplace(fd, std::make_pair(writer, exitDrain));
  return *writer;
}
