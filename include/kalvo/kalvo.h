// Acoustic modem: receives the byte blocks a phone plays as multi-carrier
// sound in the 15 to 22 kHz band, entirely in integer arithmetic.
//
// Layers, outermost first:
//   receiver     a real-time thread reading the microphone and handing every
//                decoded block to a callback (kalvo_receiver_*)
//   audio        one ALSA PCM device, "hw:0,0" (kalvo_audio_*)
//   decoder      preamble search, header and data symbols (kalvo_decoder_*)
//   transmitter  builds the complete signal of one frame (kalvo_tx_*)
//   FFT          integer sine/cosine, 256-point transforms, correlation
//
// All functions return int: 0 (or a length) on success, negative on failure,
// unless stated otherwise. Nothing here throws. Messages go through
// ztpu_log; nothing prints on its own.
#pragma once

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdint>

struct _snd_pcm;

// One audio sample: signed 16-bit, 44100 Hz.
using pcm_t = int16_t;

// ---------------------------------------------------------------------------
// Signal constants

inline constexpr int KALVO_RATE = 44100;     // samples per second
inline constexpr int KALVO_FFT_SIZE = 256;   // transform and symbol body
inline constexpr int KALVO_GUARD = 60;       // silence after every body
inline constexpr int KALVO_SYMBOL = 316;     // symbol period
inline constexpr int KALVO_MIN_PAYLOAD = 2;  // bytes; lengths are even
inline constexpr int KALVO_MAX_PAYLOAD = 32;
inline constexpr int KALVO_MAX_SYMBOLS = 34;    // data symbols of a 32-byte frame
inline constexpr int KALVO_BLOCK_FRAMES = 128;  // frames per receiver read

// ---------------------------------------------------------------------------
// FFT and correlation (fixed point)
//
// Angles are hundredths of a degree (36000 = one turn). sini/cosi return
// sine/cosine times 10000 from a quarter-wave table of whole degrees with
// linear interpolation. A complex value is a pair of signed 64-bit integers;
// all arithmetic on them wraps in two's complement, divisions truncate.

struct kalvo_complex {
  int64_t re;
  int64_t im;
};

int sini(int angle);
int cosi(int angle);

// Fills the shared twiddle table once (later calls are no-ops). Every
// kalvo_decoder_new calls it; call it before using kalvo_fft directly.
void kalvo_fft_init();

// out = a * b / 10000, each component divided once; out may alias a or b.
void complex_mul(const kalvo_complex* a, const kalvo_complex* b, kalvo_complex* out);

// Unnormalised forward DFT of n real samples (n must be 256; any other n
// leaves out untouched), with the twiddle rounding of a radix-2 transform.
void kalvo_fft(const int64_t* in, kalvo_complex* out, int n);

// Inverse DFT of n complex values (n must be 256), each component divided by
// n with truncation.
void kalvo_ifft(const kalvo_complex* in, kalvo_complex* out, int n);

// Circular cross-correlation of the spectra ref and sig (n = 256): returns the
// lag 0..255 with the largest |re|, lowest lag on ties. work and out are
// overwritten; out may be sig.
int kalvo_xcorr(int n, const kalvo_complex* ref, const kalvo_complex* sig, kalvo_complex* work,
                kalvo_complex* out);

// ---------------------------------------------------------------------------
// Decoder: turns a mono 44100 Hz stream into byte blocks.

struct kalvo_decoder {
  pcm_t samples[632];           // queue, oldest first
  int count;                    // samples queued
  unsigned char payload[68];    // data symbols, then the decoded payload
  int symbol_index;             // data symbols received, -1: header awaited
  int symbol_count;             // data symbols announced by the header
  int checksum;                 // expected XOR of the payload bytes
  int64_t work[256];            // current window as 64-bit samples
  kalvo_complex spectrum[256];  // transform of the window (searching: bins 68..107, +128) / xcorr
  kalvo_complex preamble_spectrum[256];
  kalvo_complex xcorr_work[256];
  int offset;  // last correlation lag, -127..128
  int state;   // 0 searching, 1 skipping the gap, 2 receiving
};

// Allocates and prepares a decoder (searching, empty queue); null when
// allocation fails.
kalvo_decoder* kalvo_decoder_new();

// Consumes n samples. Returns the payload length (2..32) with *out pointing
// into the decoder (valid until the next decode or flush on it), or 0 with
// *out null. When a block is returned, the samples of this call not yet
// queued are dropped: at most 7 when fed blocks of up to 128 samples, as the
// receiver does; feed larger amounts only when losing the rest is acceptable.
int kalvo_decoder_decode(kalvo_decoder* d, const pcm_t* in, int n, unsigned char** out);

// Empties the queue and returns to searching.
void kalvo_decoder_flush(kalvo_decoder* d);

// Releases the decoder; null is ignored.
void kalvo_decoder_free(kalvo_decoder* d);

// The 256-sample preamble (six tones of amplitude 10000).
void kalvo_get_preamble(int64_t out[256]);

// Transforms one 256-sample window into spectrum and returns its 16-bit
// symbol word (differential phase decisions relative to the pilots).
unsigned kalvo_demodulate(const int64_t window[256], kalvo_complex spectrum[256]);

// Writes the 256-sample body of one symbol carrying the low 16 bits of word
// (amplitude 100 * 10000 per carrier).
void kalvo_modulate(unsigned word, int64_t out[256]);

// Encoder interface, kept for its callers but not implemented: new returns
// null, encode -1, checkout its argument, free does nothing. The transmitter
// below builds the signal instead.
// Kept for callers: users of the modem's public interface.
void* kalvo_encoder_new();
int kalvo_encoder_encode();
int kalvo_encoder_checkout(int x);
void kalvo_encoder_free(void* e);

// ---------------------------------------------------------------------------
// Transmitter: the complete signal of one frame, ready to play.
//
// A frame is the preamble, 60 samples of silence, the header symbol and
// 2 * (len / 2 + 1) data symbols, every symbol body followed by 60 samples of
// silence: kalvo_tx_frame_samples(len) = 316 * (len + 4) samples. The payload
// length must be even, 2 to 32 bytes. Each payload column is encoded with the
// rate-1/2 convolutional code (generators 7 and 5, one tail step) and laid out
// as the decoder reads it.
//
// Scaling: the preamble and the symbols are scaled separately so that each
// part's largest magnitude becomes `peak` (rounded to nearest), which keeps
// every sample within [-peak, peak]: nothing clips as long as peak <= 32767.

inline constexpr int KALVO_TX_DEFAULT_PEAK = 24000;

// Samples of a frame for a payload of len bytes, or -1 when len is invalid.
int kalvo_tx_frame_samples(int len);

// The 16-bit header word of a payload (length code, XOR check), or -1 when
// len is invalid.
int kalvo_tx_header_word(const unsigned char* payload, int len);

// The data symbol words of a payload: writes 2 * (len / 2 + 1) words to
// symbols (room for KALVO_MAX_SYMBOLS) and returns their number, or -1.
int kalvo_tx_symbols(const unsigned char* payload, int len, uint16_t* symbols);

// Convolutional code word of the low L data bits of word (1 <= L <= 31), in
// the column layout the trellis decoder reads; 0 for an invalid L.
uint64_t kalvo_tx_encode_column(unsigned word, int L);

// Writes the frame for payload into out (capacity out_len samples) with the
// given peak (1..32767). Returns the number of samples written, or -1 when
// the length, the peak or the capacity is invalid (out is then untouched).
int kalvo_tx_build(const unsigned char* payload, int len, int peak, pcm_t* out, int out_len);

// ---------------------------------------------------------------------------
// Audio device: one ALSA PCM on "hw:0,0", S16_LE, 2 channels, 44100 Hz,
// buffer 4096 frames, period 256 frames. Errors are logged at LOG_ERR as
// "[function():line] ERROR: text".

struct kalvo_audio {
  _snd_pcm* handle;
};

// Opens "hw:0,0" for capture (playback = 0) or playback, in blocking mode,
// and applies the hardware parameters. Null on any failure, nothing left open.
kalvo_audio* kalvo_audio_new(int playback);
// Applies the hardware parameters; 0 or the negative ALSA error of the first
// step that failed.
int kalvo_audio_set_params(kalvo_audio* a);
int kalvo_audio_prepare(kalvo_audio* a);  // snd_pcm_prepare
// Kept for callers: users of the modem's public interface.
int kalvo_audio_pause(kalvo_audio* a);  // snd_pcm_drop: stop, discard pending
// Reads frames interleaved frames (2 attempts, prepare after a failure):
// 0, or the last negative ALSA error.
// Kept for callers: users of the modem's public interface.
int kalvo_audio_read(kalvo_audio* a, void* buf, int frames);
// Writes frames frames (3 attempts): the number written or a negative error.
// Kept for callers: users of the modem's public interface.
int kalvo_audio_write(kalvo_audio* a, const void* buf, int frames);
// Closes the device and releases the record; null is ignored.
void kalvo_audio_free(kalvo_audio* a);

// ---------------------------------------------------------------------------
// Receiver: a thread that captures from "hw:0,0", keeps the first channel,
// decodes and hands every decoded block to the callback.

// Called on the receiver thread with a decoded block of count bytes (2..32;
// the caller checks the length it wants). buf is valid only during the call:
// copy what is needed and return quickly, no audio is read meanwhile.
using receiver_callback_t = void (*)(unsigned char* buf, int count, void* arg);

struct kalvo_receiver {
  kalvo_audio* audio;        // capture device, owned
  void* decoder;             // kalvo_decoder, owned
  pcm_t buffer[256];         // one block: 128 stereo frames, then 128 mono
  std::atomic<int> active;   // 1 while decoded blocks are wanted
  std::atomic<int> running;  // 1 while the thread must go on
  pthread_t thread;
  pthread_attr_t thread_attr;
  receiver_callback_t callback;  // may be null: decode and discard
  void* callback_arg;
  std::atomic<unsigned> progress;  // bumped by every pass of the thread (watchdog)
  std::atomic<int> finished;       // 1 once the thread has left its loop
};

// Creates the decoder, opens the capture device and starts the thread, which
// asks for SCHED_FIFO priority 50 and falls back to normal scheduling with a
// warning when that is refused. The receiver starts inactive: audio is read
// and discarded. Returns null (nothing left running) when the decoder, the
// device or the thread cannot be had; the caller reports it.
kalvo_receiver* kalvo_receiver_new(receiver_callback_t callback, void* arg);

// Interrupts a blocked capture read when a receiver is freed.
inline constexpr int KALVO_WAKE_SIGNAL = SIGUSR2;

// Makes the receiver deliver decoded blocks; the decoder starts empty with
// the next block read. No effect once the receiver is being freed.
void kalvo_receiver_start(kalvo_receiver* r);

// Stops delivering; a frame in progress is lost (the next start flushes).
void kalvo_receiver_stop(kalvo_receiver* r);

// Stops and joins the thread, closes the device, frees everything. A read
// blocked on a device that delivers nothing is interrupted (snd_pcm_abort
// and the signal KALVO_WAKE_SIGNAL, whose no-op handler kalvo_receiver_new
// installs when the signal has none). Null is ignored. Never call it from
// the callback.
void kalvo_receiver_free(kalvo_receiver* r);
