// The air between phone and microphone: a thread writing stereo frames into
// the FIFO that the capture device reads (see asoundrc in gate_line.h).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kalvo/kalvo.h"

namespace ztpu_test {

class Air {
 public:
  explicit Air(std::string path) : path_(std::move(path)) {
    writer_ = std::thread([this] { run(); });
  }
  ~Air() { close(); }
  Air(const Air&) = delete;
  Air& operator=(const Air&) = delete;

  // Whole blocks (padded with silence): the receiver never holds part of a
  // block between two plays.
  void play(const std::vector<pcm_t>& mono) {
    const size_t frames =
        (mono.size() + KALVO_BLOCK_FRAMES - 1) / KALVO_BLOCK_FRAMES * KALVO_BLOCK_FRAMES;
    std::vector<pcm_t> stereo(frames * 2, 0);
    for (size_t i = 0; i < mono.size(); ++i) {
      stereo[2 * i] = mono[i];
      stereo[2 * i + 1] = static_cast<pcm_t>(-mono[i]);  // the second channel is ignored
    }
    std::lock_guard lock(mu_);
    pending_.push_back(std::move(stereo));
    cv_.notify_all();
  }

  // Waits until everything queued has been written into the FIFO.
  bool drained(std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, limit, [this] { return pending_.empty() && !writing_; });
  }

  // End of the stream (the queue dropped): the capture device reads the end.
  void close() {
    if (!writer_.joinable()) return;
    std::unique_lock lock(mu_);
    closing_ = true;
    cv_.notify_all();
    lock.unlock();
    const int fd = ::open(
        path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // lets go a writer waiting for a reader
    writer_.join();
    if (fd >= 0) ::close(fd);
  }

 private:
  void run() {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the reader
    for (;;) {
      std::vector<pcm_t> chunk;
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [this] { return closing_ || !pending_.empty(); });
        if (closing_) break;
        chunk = std::move(pending_.front());
        pending_.pop_front();
        writing_ = true;
      }
      const char* p = reinterpret_cast<const char*>(chunk.data());
      size_t left = chunk.size() * sizeof(pcm_t);
      while (fd >= 0 && left > 0) {
        const ssize_t w = ::write(fd, p, left);
        if (w <= 0) break;
        p += w;
        left -= static_cast<size_t>(w);
      }
      std::lock_guard lock(mu_);
      writing_ = false;
      cv_.notify_all();
    }
    if (fd >= 0) ::close(fd);
  }

  std::string path_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::vector<pcm_t>> pending_;
  bool writing_ = false;
  bool closing_ = false;
  std::thread writer_;
};

}  // namespace ztpu_test
