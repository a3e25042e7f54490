// SP client library: the framed request/response protocol spoken with the
// back-end server.
//
// A packet is a 20-byte header, a data area of `data_len` bytes and a one-byte
// checksum (sum modulo 256 of header and data area). Multi-byte fields are
// little-endian, the board's own order; nothing is byte-swapped.
//
// One exchange per connection: sp_tcp_chan and sp_udp_chan build the request
// packet, open a fresh socket, send, read one response, close and verify it.
// The library never retries. Its messages go to the system log.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "SP records are laid out little-endian");

inline constexpr std::uint16_t SP_HEADER_IDENT = 0xAAEE;  // EE AA on the wire
inline constexpr std::uint16_t SP_VERSION = 1;
inline constexpr std::uint16_t SP_SEQUENCE = 1;
inline constexpr std::uint16_t SP_PTL_TYPE = 0x0200;
inline constexpr std::size_t SP_HEADER_LEN = 20;
inline constexpr std::size_t SP_OVERHEAD = SP_HEADER_LEN + 1;  // header + checksum
inline constexpr std::size_t SP_UDP_MAX = 1472;                // one Ethernet payload, no fragments
inline constexpr std::size_t SP_MIN_RSP_DATA = 2;

struct __attribute__((packed)) sp_protocol_header {
  std::uint16_t header;
  std::uint16_t version;
  std::uint16_t sequence;
  std::uint16_t data_len;
  std::uint16_t ptl_type;
  std::uint16_t cmd;
  std::uint16_t api_version;
  std::uint16_t status;
  std::uint16_t option1;
  std::uint16_t option2;
};
static_assert(sizeof(sp_protocol_header) == SP_HEADER_LEN);
static_assert(offsetof(sp_protocol_header, data_len) == 6);
static_assert(offsetof(sp_protocol_header, ptl_type) == 8);
static_assert(offsetof(sp_protocol_header, cmd) == 10);
static_assert(offsetof(sp_protocol_header, api_version) == 12);
static_assert(offsetof(sp_protocol_header, status) == 14);
static_assert(offsetof(sp_protocol_header, option2) == 18);

struct sp_config_t {
  char tcp_ip[128];  // dotted IPv4, zero-terminated
  char udp_ip[128];
  std::uint16_t tcp_port;
  std::uint16_t udp_port;
  std::uint32_t conn_timeout_sec;
  std::uint32_t rw_timeout_sec;
  std::uint16_t apiver;  // put into every request's api_version
};

struct sp_context_t {
  sp_config_t config;
};

// The caller's buffers. *out_len: capacity of `out` on entry, length of the
// received data area on return.
struct sp_buff_t {
  const std::uint8_t* in;
  std::size_t in_len;
  std::uint8_t* out;
  std::size_t* out_len;
};

enum sp_chan_state_t : int {
  SP_CHAN_INIT = 0,
  SP_CHAN_CONNECTING = 1,
  SP_CHAN_CONNECTED = 2,
  SP_CHAN_PACK = 3,
  SP_CHAN_UNPACK = 4,
  SP_CHAN_SENDING = 5,
  SP_CHAN_SENT = 6,
  SP_CHAN_READING = 7,
  SP_CHAN_READED = 8,
  SP_CHAN_ERROR = 9,
};

struct sockaddr_in;

// One exchange; lives only for the duration of one sp_tcp_chan/sp_udp_chan.
struct sp_chan_t {
  sp_context_t* context;
  std::uint16_t sp_type;   // always SP_PTL_TYPE
  std::uint8_t chan_type;  // 0 TCP, 1 UDP
  std::uint16_t cmd;
  sp_buff_t* buff;
  sp_protocol_header header;  // request while sending, response after reading
  std::uint8_t checksum;      // request checksum, then the received one
  int sockfd;
  int nw_bytes;
  int nr_bytes;
  sockaddr_in* udp_serv_addr;
  sp_chan_state_t state;
  // The context's configuration as it stood when the exchange began: one
  // exchange never mixes two configurations.
  sp_config_t config;
};

// ---- Packet helpers ----

// Sum modulo 256 of n_bytes bytes of data_buffer from start_index.
std::uint8_t cal_checksum(std::uint16_t n_bytes, const std::uint8_t* data_buffer,
                          std::uint16_t start_index);
// Sum modulo 256 of the 20 header bytes and data_len bytes of data_buffer.
std::uint8_t sp_checksum(const sp_protocol_header* header, const std::uint8_t* data_buffer,
                         std::uint16_t data_len);
// 0 when data is not null and starts with EE AA, else -1.
int sp_check_prefix(const std::uint8_t* data);

// Writes header, header->data_len bytes of data_buffer and the checksum into
// sp_packet (data_len + 21 bytes of room) and stores that length. Always 0.
int sp_pack(const sp_protocol_header* header, const std::uint8_t* data_buffer,
            std::uint8_t* sp_packet, std::uint16_t* sp_packet_len);

// Finds the packet start (EE AA) in a received stream and copies its header
// out; the start's offset goes to *start_index. 0, or -1.
int sp_parse_header(const std::uint8_t* data_buffer, std::uint16_t data_len,
                    sp_protocol_header* header, std::uint16_t* start_index);

// Finds the packet in a received stream, checks its length and checksum and
// copies header and data area out. *data_area_len: capacity of
// data_area_buffer on entry (a larger data area fails), the data area's length
// on return. Bytes before the start and after the checksum are ignored. 0, or -1.
int sp_unpack(const std::uint8_t* data_buffer, std::uint16_t data_len, sp_protocol_header* header,
              std::uint8_t* data_area_buffer, std::uint16_t* data_area_len);

// The checks of sp_unpack; copies the whole packet (data_len + 21 bytes).
// *sp_packet_len: capacity of sp_packet on entry, the packet's length on return.
int sp_check_data(const std::uint8_t* data_buffer, std::uint16_t data_len, std::uint8_t* sp_packet,
                  std::uint16_t* sp_packet_len);

// Copies the first 20 bytes of a packet into header. Always 0.
int sp_parse_head(const std::uint8_t* sp_packet, sp_protocol_header* header);

// Tracing hook, called at fixed points of an exchange; it produces no output.
void sp_chan_log(const sp_chan_t* chan);

// ---- Channels ----

// Validates and installs the client configuration. A time-out of 0 becomes 3
// (in *config as well). -1 when config is null or a port is from 1 to 1023.
// Safe against exchanges running on other threads.
int sp_init_conf(sp_config_t* config);

// One exchange over TCP, respectively UDP. *outlen: capacity of out on entry,
// length of the response's data area on return. 0 when a verified response
// with status 0 arrived, else -1.
int sp_tcp_chan(std::uint16_t cmd, const std::uint8_t* in, std::size_t inlen, std::uint8_t* out,
                std::size_t* outlen);
int sp_udp_chan(std::uint16_t cmd, const std::uint8_t* in, std::size_t inlen, std::uint8_t* out,
                std::size_t* outlen);

// While on (non-zero), every exchange fails as soon as it would wait for the
// network (within 0.1 s for those already waiting): a stopping client does
// not sit out its time-outs. Off again with 0. Any thread.
void sp_cancel(int on);
