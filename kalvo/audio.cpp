// ALSA capture wrapper and the receiver thread.
#include <alsa/asoundlib.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>

#include "kalvo/kalvo.h"
#include "kalvo_internal.h"
#include "ztpu/log.h"

using kalvo::detail::kalvo_pacer;
using kalvo::detail::kalvo_pcm_type_paced;

#define KALVO_AUDIO_ERROR(err) \
  ztpu_log(LOG_ERR, "[%s():%d] ERROR: %s\n", __func__, __LINE__, snd_strerror(err))

namespace {

constexpr char kDevice[] = "hw:0,0";
constexpr int kReceiverPriority = 50;
// Pause after a read that failed or returned nothing, so that a dead device
// can neither keep the real-time thread busy nor flood the log: it doubles
// while the failures go on, up to one second, and resets on a good read.
constexpr int64_t kFailPauseNs = 10'000'000;
constexpr int64_t kMaxFailPauseNs = 1'000'000'000;

// Reads frames frames; the number read, or the last negative error after
// two attempts (prepare between them recovers an overrun).
snd_pcm_sframes_t read_frames(kalvo_audio* a, void* buf, int frames) {
  snd_pcm_sframes_t r = -EIO;
  for (int attempt = 0; attempt < 2; ++attempt) {
    r = snd_pcm_readi(a->handle, buf, static_cast<snd_pcm_uframes_t>(frames));
    if (r >= 0 || r == -EINTR) return r;  // interrupted only by kalvo_receiver_free
    ztpu_log(LOG_ERR, "[%s():%d] ERROR: audio read: %s\n", "kalvo_audio_read", __LINE__,
             snd_strerror(static_cast<int>(r)));
    snd_pcm_prepare(a->handle);
  }
  return r;
}

int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

void sleep_ns(int64_t ns) {
  timespec ts{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// What the receiver thread does with the blocks it reads.
enum class delivery {
  discarding,  // inactive: read and drop
  decoding,    // active: decode on from the flush made at the switch
};

void* receiver_thread(void* arg) {
  auto* r = static_cast<kalvo_receiver*>(arg);
  pthread_setname_np(pthread_self(), "kalvo-rx");
  auto* decoder = static_cast<kalvo_decoder*>(r->decoder);
  kalvo_audio_prepare(r->audio);
  delivery mode = delivery::discarding;
  kalvo_pacer pacer(kalvo_pcm_type_paced(snd_pcm_type(r->audio->handle)), now_ns);
  int64_t pause = kFailPauseNs;
  while (r->running.load(std::memory_order_acquire) == 1) {
    // A source that returns without filling the buffer (a file at its end)
    // then yields silence instead of repeating the previous block.
    std::fill(std::begin(r->buffer), std::end(r->buffer), pcm_t{0});
    const snd_pcm_sframes_t got = read_frames(r->audio, r->buffer, KALVO_BLOCK_FRAMES);
    r->progress.fetch_add(1, std::memory_order_relaxed);
    if (got <= 0) {
      // Sliced so that freeing never waits long for the thread.
      for (int64_t left = pause; left > 0 && r->running.load(std::memory_order_acquire) == 1;
           left -= kFailPauseNs)
        sleep_ns(kFailPauseNs);
      pause = std::min(pause * 2, kMaxFailPauseNs);
      continue;
    }
    pause = kFailPauseNs;
    if (const int64_t wait = pacer.delivered(got); wait > 0) sleep_ns(wait);
    if (r->active.load(std::memory_order_acquire) == 0) {
      mode = delivery::discarding;
      continue;
    }
    if (mode == delivery::discarding) {
      kalvo_decoder_flush(decoder);
      mode = delivery::decoding;
    }
    // A short read leaves stale samples behind it: decode only what came.
    const int frames = static_cast<int>(got);
    for (int i = 1; i < frames; ++i) r->buffer[i] = r->buffer[2 * i];
    unsigned char* out = nullptr;
    const int length = kalvo_decoder_decode(decoder, r->buffer, frames, &out);
    if (length != 0 && r->callback != nullptr) r->callback(out, length, r->callback_arg);
  }
  r->finished.store(1, std::memory_order_release);
  return nullptr;
}

void wake_handler(int) {}

void silent_alsa(const char*, int, const char*, int, const char*, ...) {}

}  // namespace

int kalvo_audio_set_params(kalvo_audio* a) {
  snd_pcm_hw_params_t* params;
  snd_pcm_hw_params_alloca(&params);
  snd_pcm_t* h = a->handle;
  int err;
  unsigned rate = KALVO_RATE;
  if ((err = snd_pcm_hw_params_any(h, params)) < 0 ||
      (err = snd_pcm_hw_params_set_access(h, params, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
      (err = snd_pcm_hw_params_set_format(h, params, SND_PCM_FORMAT_S16_LE)) < 0 ||
      (err = snd_pcm_hw_params_set_channels(h, params, 2)) < 0 ||
      (err = snd_pcm_hw_params_set_rate_near(h, params, &rate, nullptr)) < 0 ||
      (err = snd_pcm_hw_params_set_buffer_size(h, params, 4096)) < 0 ||
      (err = snd_pcm_hw_params_set_period_size(h, params, 256, 0)) < 0) {
    KALVO_AUDIO_ERROR(err);
    return err;
  }
  // A device that refuses the configuration would fail every read later.
  if ((err = snd_pcm_hw_params(h, params)) < 0) {
    KALVO_AUDIO_ERROR(err);
    return err;
  }
  return 0;
}

kalvo_audio* kalvo_audio_new(int playback) {
  // The library's own diagnostics would go to stderr; ours are logged.
  static std::once_flag quiet;
  std::call_once(quiet, [] { snd_lib_error_set_handler(silent_alsa); });
  auto* a = new (std::nothrow) kalvo_audio{};
  if (a == nullptr) return nullptr;
  int err = snd_pcm_open(&a->handle, kDevice,
                         playback ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE, 0);
  if (err < 0) {
    KALVO_AUDIO_ERROR(err);
    delete a;
    return nullptr;
  }
  if ((err = kalvo_audio_set_params(a)) < 0) {
    KALVO_AUDIO_ERROR(err);
    snd_pcm_close(a->handle);
    delete a;
    return nullptr;
  }
  return a;
}

int kalvo_audio_prepare(kalvo_audio* a) { return snd_pcm_prepare(a->handle); }

int kalvo_audio_pause(kalvo_audio* a) { return snd_pcm_drop(a->handle); }

int kalvo_audio_read(kalvo_audio* a, void* buf, int frames) {
  const snd_pcm_sframes_t r = read_frames(a, buf, frames);
  return r < 0 ? static_cast<int>(r) : 0;
}

int kalvo_audio_write(kalvo_audio* a, const void* buf, int frames) {
  snd_pcm_sframes_t r = -EIO;
  for (int attempt = 0; attempt < 3; ++attempt) {
    r = snd_pcm_writei(a->handle, buf, static_cast<snd_pcm_uframes_t>(frames));
    if (r >= 0) return static_cast<int>(r);
    snd_pcm_prepare(a->handle);
  }
  return static_cast<int>(r);
}

void kalvo_audio_free(kalvo_audio* a) {
  if (a == nullptr) return;
  snd_pcm_hw_free(a->handle);
  snd_pcm_close(a->handle);
  delete a;
}

kalvo_receiver* kalvo_receiver_new(receiver_callback_t callback, void* arg) {
  static std::once_flag wake;
  std::call_once(wake, [] {
    // Without SA_RESTART: the signal ends a blocked read with EINTR.
    struct sigaction old {};
    if (sigaction(KALVO_WAKE_SIGNAL, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
      struct sigaction sa {};
      sa.sa_handler = wake_handler;
      sigemptyset(&sa.sa_mask);
      sigaction(KALVO_WAKE_SIGNAL, &sa, nullptr);
    }
  });
  auto* r = new (std::nothrow) kalvo_receiver{};
  if (r == nullptr) return nullptr;
  kalvo_decoder* decoder = kalvo_decoder_new();
  if (decoder == nullptr) {
    delete r;
    return nullptr;
  }
  r->decoder = decoder;
  r->audio = kalvo_audio_new(0);
  if (r->audio == nullptr) {
    kalvo_decoder_free(decoder);
    delete r;
    return nullptr;
  }
  r->active.store(0);
  r->callback = callback;
  r->callback_arg = arg;
  r->running.store(1);

  pthread_attr_init(&r->thread_attr);
  pthread_attr_setschedpolicy(&r->thread_attr, SCHED_FIFO);
  sched_param param{};
  pthread_attr_getschedparam(&r->thread_attr, &param);
  param.sched_priority = kReceiverPriority;
  pthread_attr_setschedparam(&r->thread_attr, &param);
  pthread_attr_setinheritsched(&r->thread_attr, PTHREAD_EXPLICIT_SCHED);
  int err = pthread_create(&r->thread, &r->thread_attr, receiver_thread, r);
  if (err == EPERM) {
    ztpu_log(LOG_WARNING,
             "[%s():%d] WARNING: real-time priority refused (%s), receiver runs at normal "
             "priority\n",
             __func__, __LINE__, strerror(err));
    pthread_attr_destroy(&r->thread_attr);
    pthread_attr_init(&r->thread_attr);
    err = pthread_create(&r->thread, &r->thread_attr, receiver_thread, r);
  }
  if (err != 0) {
    ztpu_log(LOG_ERR, "[%s():%d] ERROR: receiver thread: %s\n", __func__, __LINE__, strerror(err));
    pthread_attr_destroy(&r->thread_attr);
    kalvo_audio_free(r->audio);
    kalvo_decoder_free(decoder);
    delete r;
    return nullptr;
  }
  return r;
}

void kalvo_receiver_start(kalvo_receiver* r) {
  if (r->running.load(std::memory_order_acquire) == 1)
    r->active.store(1, std::memory_order_release);
}

void kalvo_receiver_stop(kalvo_receiver* r) { r->active.store(0, std::memory_order_release); }

void kalvo_receiver_free(kalvo_receiver* r) {
  if (r == nullptr) return;
  r->running.store(0, std::memory_order_release);
  r->active.store(0, std::memory_order_release);
  // A read may wait for ever on a device that delivers nothing (a FIFO
  // whose writer went quiet): abort it, signalling until the thread is out.
  snd_pcm_abort(r->audio->handle);
  constexpr int kWakeTries = 200;  // 10 ms apart: 2 s
  constexpr int kQuietTries = 3;   // a thread that reads leaves by itself
  for (int i = 0; i < kWakeTries && r->finished.load(std::memory_order_acquire) == 0; ++i) {
    if (i >= kQuietTries) pthread_kill(r->thread, KALVO_WAKE_SIGNAL);
    sleep_ns(10'000'000);
  }
  pthread_join(r->thread, nullptr);
  pthread_attr_destroy(&r->thread_attr);
  kalvo_audio_free(r->audio);
  kalvo_decoder_free(static_cast<kalvo_decoder*>(r->decoder));
  delete r;
}
