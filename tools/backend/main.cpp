// ztpu-backend: the back-end server simulator for the demo.
//
//   ztpu-backend [--port N] [--apiver N] [--device-id HEX32]
//                [--command CODE[:ARGHEX]]... [--config FILE]
//                [--key-file FILE --key-ver N [--key-block N]]
//
// Serves on 127.0.0.1 (TCP and UDP on one port), prints "listening on
// 127.0.0.1:PORT" and then one line per event, and runs until SIGINT or
// SIGTERM. Each --command is delivered in one later heartbeat response;
// --config is the text a configuration update delivers, --key-file the key
// file a key update delivers (in blocks of --key-block bytes, default 1024).
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "backend_sim.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: ztpu-backend [--port N] [--apiver N] [--device-id HEX32] "
               "[--command CODE[:ARGHEX]]... [--config FILE] "
               "[--key-file FILE --key-ver N [--key-block N]]\n");
  return 2;
}

bool parse_hex(const std::string& text, ztpu_backend::Bytes& out) {
  if (text.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    char* end = nullptr;
    std::string pair = text.substr(i, 2);
    long v = std::strtol(pair.c_str(), &end, 16);
    if (end == nullptr || *end != '\0') return false;
    out.push_back(static_cast<std::uint8_t>(v));
  }
  return true;
}

bool read_file(const char* path, ztpu_backend::Bytes& out) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  out.clear();
  std::uint8_t buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) out.insert(out.end(), buf, buf + n);
  bool ok = std::ferror(f) == 0;
  std::fclose(f);
  return ok;
}

bool parse_number(const char* text, long max, long* out) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 0);
  if (end == text || *end != '\0' || v < 0 || v > max) return false;
  *out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  ztpu_backend::Options opts;
  struct Scripted {
    std::uint16_t code;
    ztpu_backend::Bytes arg;
  };
  std::vector<Scripted> commands;
  ztpu_backend::Bytes config, key_file;
  bool have_config = false;
  long key_ver = -1, key_block = 1024;

  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    const char* v = argv[++i];
    long n = 0;
    if (a == "--port") {
      if (!parse_number(v, 65535, &n)) return usage();
      opts.port = static_cast<std::uint16_t>(n);
    } else if (a == "--apiver") {
      if (!parse_number(v, 65535, &n)) return usage();
      opts.apiver = static_cast<std::uint16_t>(n);
    } else if (a == "--device-id") {
      ztpu_backend::Bytes id;
      if (!parse_hex(v, id) || id.size() != opts.device_id.size()) return usage();
      std::copy(id.begin(), id.end(), opts.device_id.begin());
      opts.check_device_id = true;
    } else if (a == "--command") {
      std::string text = v;
      std::size_t colon = text.find(':');
      Scripted s{};
      if (!parse_number(text.substr(0, colon).c_str(), 0xFFFF, &n)) return usage();
      s.code = static_cast<std::uint16_t>(n);
      if (colon != std::string::npos && !parse_hex(text.substr(colon + 1), s.arg)) return usage();
      commands.push_back(s);
    } else if (a == "--config") {
      if (!read_file(v, config)) {
        std::fprintf(stderr, "ztpu-backend: cannot read %s\n", v);
        return 1;
      }
      have_config = true;
    } else if (a == "--key-file") {
      if (!read_file(v, key_file)) {
        std::fprintf(stderr, "ztpu-backend: cannot read %s\n", v);
        return 1;
      }
    } else if (a == "--key-ver") {
      if (!parse_number(v, 0xFFFF, &key_ver)) return usage();
    } else if (a == "--key-block") {
      if (!parse_number(v, 0xFFFF, &key_block) || key_block == 0) return usage();
    } else {
      return usage();
    }
  }
  if (!key_file.empty() && key_ver < 0) return usage();

  // Block the stop signals before any thread starts; the main thread waits for them.
  sigset_t stop_set;
  sigemptyset(&stop_set);
  sigaddset(&stop_set, SIGINT);
  sigaddset(&stop_set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);

  ztpu_backend::BackendSim sim;
  sim.set_event_sink([](const std::string& line) {
    std::printf("ztpu-backend: %s\n", line.c_str());
    std::fflush(stdout);
  });
  if (have_config) sim.set_config(std::string(config.begin(), config.end()));
  if (!key_file.empty()) {
    sim.set_key_file(key_file, static_cast<std::uint16_t>(key_ver),
                     static_cast<std::uint16_t>(key_block));
  }
  std::uint8_t next_id = 1;
  for (const Scripted& s : commands) {
    sim.push_heartbeat_command(s.code, {0, 0, 0, 0, 0, next_id++}, s.arg);
  }
  if (sim.start(opts) != 0) {
    std::fprintf(stderr, "ztpu-backend: cannot listen on 127.0.0.1:%u\n", opts.port);
    return 1;
  }
  std::printf("listening on 127.0.0.1:%u\n", sim.port());
  std::fflush(stdout);

  int sig = 0;
  sigwait(&stop_set, &sig);
  sim.stop();
  std::printf("ztpu-backend: stopped, %zu violation(s)\n", sim.violations().size());
  return 0;
}
