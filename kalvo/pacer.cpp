// Pacing of capture sources that have no clock of their own.
#include <alsa/asoundlib.h>

#include "kalvo/kalvo.h"
#include "kalvo_internal.h"

namespace kalvo::detail {

namespace {

constexpr int64_t kNsPerSecond = 1'000'000'000;
// The anchor moves forward by whole hours so that frames * 10^9 and
// elapsed * rate stay far from overflowing however long the source runs.
constexpr int64_t kRebaseSeconds = 3600;

}  // namespace

bool kalvo_pcm_type_paced(int type) {
  // The file plugin (a FIFO or a file as the simulated board's microphone)
  // and the null device deliver as fast as they are read.
  return type == SND_PCM_TYPE_FILE || type == SND_PCM_TYPE_NULL;
}

kalvo_pacer::kalvo_pacer(bool paced, clock_fn clock)
    : paced_(paced), clock_(clock), start_(paced ? clock() : 0) {}

int64_t kalvo_pacer::delivered(int64_t frames) {
  if (!paced_) return 0;
  frames_ += frames;
  if (frames_ >= kRebaseSeconds * KALVO_RATE) {
    frames_ -= kRebaseSeconds * KALVO_RATE;
    start_ += kRebaseSeconds * kNsPerSecond;
  }
  const int64_t now = clock_();
  const int64_t elapsed = now - start_;
  const int64_t due =
      elapsed / kNsPerSecond * KALVO_RATE + elapsed % kNsPerSecond * KALVO_RATE / kNsPerSecond;
  if (frames_ < due) {
    // Behind (blocked on the source): no credit for the past.
    start_ = now - frames_ * kNsPerSecond / KALVO_RATE;
    return 0;
  }
  const int64_t ahead = frames_ - due;
  return ahead > kMaxAheadFrames ? (ahead - kMaxAheadFrames) * kNsPerSecond / KALVO_RATE : 0;
}

}  // namespace kalvo::detail
