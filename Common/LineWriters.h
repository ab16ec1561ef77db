// Lines for a file descriptor that nobody may read (standard output or error
// of a process whose launcher stopped reading): the threads that write only
// queue the line, a writer thread of its own does the blocking write. Past a
// byte bound lines are dropped and counted, and once the descriptor takes
// lines again a line with the count goes out first. The queue keeps the
// order of the lines posted.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

class TLineWriter {
 public:
  static constexpr size_t kMaxQueuedBytes = 1 << 20;
  // The line that reports `dropped` lines lost (with its line end).
  using TDroppedLine = std::function<std::string(uint64_t dropped)>;

  // The writer thread starts with the first line and lives as long as the
  // process: create writers that are never destroyed (see ProcessLineWriter).
  TLineWriter(int fd, TDroppedLine droppedLine);
  TLineWriter(const TLineWriter&) = delete;
  TLineWriter& operator=(const TLineWriter&) = delete;

  // Queues a whole line (with its line end); never blocks on the descriptor.
  void Post(std::string line);
  // Waits, at most `bound`, until every queued line is written.
  void Drain(std::chrono::milliseconds bound);
  uint64_t Dropped() const { return droppedTotal_.load(); }

 private:
  void Run();
  void WriteWhole(const std::string& line) const;

  const int fd_;
  const TDroppedLine droppedLine_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable drained_;
  std::deque<std::string> lines_;
  size_t queuedBytes_ = 0;
  uint64_t dropped_ = 0;  // since the last count written
  std::atomic<uint64_t> droppedTotal_{0};
  bool writing_ = false;
  bool started_ = false;
};

// The process's writer for `fd` (created on first use, never destroyed: its
// thread may still write while statics go away). At exit the queued lines
// get `exitDrain` to go out. The first call for an fd fixes its dropped line.
TLineWriter& ProcessLineWriter(int fd, TLineWriter::TDroppedLine droppedLine,
                               std::chrono::milliseconds exitDrain = std::chrono::milliseconds(200));
