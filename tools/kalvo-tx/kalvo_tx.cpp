// ztpu-kalvo-tx: writes the acoustic frame of a hex payload as raw S16_LE
// stereo at 44100 Hz (both channels alike), to stdout or a file. With -3 the
// frame is played three times, separated by 200 and then 1234 zero samples,
// which the receiver finds at every alignment of its search windows.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kalvo/kalvo.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: ztpu-kalvo-tx [-3] [-p PEAK] [-o FILE] HEXPAYLOAD\n"
               "  HEXPAYLOAD  2 to 32 bytes, an even number, as hex digits\n"
               "  -3          play the frame three times (gaps of 200 and 1234 samples)\n"
               "  -p PEAK     largest sample magnitude, 1..32767 (default %d)\n"
               "  -o FILE     write to FILE instead of standard output\n",
               KALVO_TX_DEFAULT_PEAK);
}

bool parse_hex(const char* text, std::vector<unsigned char>& out) {
  const size_t n = std::strlen(text);
  if (n % 2 != 0) return false;
  for (size_t i = 0; i < n; i += 2) {
    unsigned v = 0;
    for (size_t j = i; j < i + 2; ++j) {
      const char c = text[j];
      unsigned d;
      if (c >= '0' && c <= '9')
        d = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        d = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        d = static_cast<unsigned>(c - 'A' + 10);
      else
        return false;
      v = v * 16 + d;
    }
    out.push_back(static_cast<unsigned char>(v));
  }
  return true;
}

bool write_all(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t w = ::write(fd, p, len);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    len -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool three = false;
  int peak = KALVO_TX_DEFAULT_PEAK;
  const char* path = nullptr;
  int opt;
  while ((opt = getopt(argc, argv, "3p:o:h")) != -1) {
    switch (opt) {
      case '3':
        three = true;
        break;
      case 'p': {
        char* end = nullptr;
        const long v = std::strtol(optarg, &end, 10);
        if (*optarg == '\0' || *end != '\0' || v < 1 || v > 32767) {
          std::fprintf(stderr, "ztpu-kalvo-tx: bad peak '%s'\n", optarg);
          return 2;
        }
        peak = static_cast<int>(v);
        break;
      }
      case 'o':
        path = optarg;
        break;
      default:
        usage();
        return 2;
    }
  }
  if (optind != argc - 1) {
    usage();
    return 2;
  }
  std::vector<unsigned char> payload;
  const int samples = parse_hex(argv[optind], payload)
                          ? kalvo_tx_frame_samples(static_cast<int>(payload.size()))
                          : -1;
  if (samples < 0) {
    std::fprintf(stderr, "ztpu-kalvo-tx: payload must be 2 to 32 bytes (even) of hex\n");
    return 2;
  }
  std::vector<pcm_t> frame(static_cast<size_t>(samples));
  if (kalvo_tx_build(payload.data(), static_cast<int>(payload.size()), peak, frame.data(),
                     samples) != samples) {
    std::fprintf(stderr, "ztpu-kalvo-tx: cannot build the frame\n");
    return 1;
  }
  std::vector<pcm_t> mono(frame);
  if (three) {
    mono.insert(mono.end(), 200, 0);
    mono.insert(mono.end(), frame.begin(), frame.end());
    mono.insert(mono.end(), 1234, 0);
    mono.insert(mono.end(), frame.begin(), frame.end());
  }
  // Little-endian samples, as the machine holds them (x86 and ARM alike).
  std::vector<pcm_t> stereo;
  stereo.reserve(mono.size() * 2);
  for (pcm_t v : mono) {
    stereo.push_back(v);
    stereo.push_back(v);
  }

  int fd = STDOUT_FILENO;
  std::string tmp;
  if (path != nullptr) {
    // Written under a temporary name so that a reader never sees half a frame.
    tmp = std::string(path) + ".tmp";
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::fprintf(stderr, "ztpu-kalvo-tx: %s: %s\n", tmp.c_str(), std::strerror(errno));
      return 1;
    }
  }
  const bool ok = write_all(fd, stereo.data(), stereo.size() * sizeof(pcm_t));
  if (path != nullptr) {
    const bool closed = ::close(fd) == 0;
    if (!ok || !closed || ::rename(tmp.c_str(), path) != 0) {
      std::fprintf(stderr, "ztpu-kalvo-tx: %s: %s\n", path, std::strerror(errno));
      ::unlink(tmp.c_str());
      return 1;
    }
  } else if (!ok) {
    std::fprintf(stderr, "ztpu-kalvo-tx: write: %s\n", std::strerror(errno));
    return 1;
  }
  return 0;
}
