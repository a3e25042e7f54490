// Serial port module and the gate line's frame codec.
//
// Serial: a Linux tty in raw mode (8N1, receiver on, modem lines ignored) at
// a fixed speed. The functions are thin and stateless and return the system
// call's result unless said otherwise; only open and configuration failures
// are logged.
//
// Frame: STX (0x02), the record with every 0x02, 0x03 and 0x10 preceded by
// DLE (0x10), ETX (0x03). The record starts with a 16-bit little-endian
// length (record size - 3) and ends with the XOR of all preceding bytes; the
// caller fills both before encoding and interprets the record after decoding.
#pragma once

#include <cstddef>

struct serial_attr {
  int vtime;  // VTIME: inter-byte timer, tenths of a second
  int vmin;   // VMIN: minimum bytes for a read
};

inline constexpr int SERIAL_EOPEN = -5;        // device cannot be opened, or waiting failed
inline constexpr int SERIAL_ETIMEDOUT = -110;  // nothing readable within the time-out

// Copies the default attributes (vtime 1, vmin 255) into attr.
void serial_attr_get_default(serial_attr* attr);

// Opens dev read-write (not as controlling terminal) and configures it raw at
// speed bit/s (4800 ... 230400; any unlisted speed gives 115200) with attr
// (NULL for the default). Descriptor, or SERIAL_EOPEN. A failure to apply the
// setting is logged and the descriptor still returned.
int serial_open(const char* dev, int speed, const serial_attr* attr);
int serial_close(int fd);
int serial_write(int fd, const void* buf, size_t n);
int serial_read(int fd, void* buf, size_t n);

// Waits up to timeout ms for fd to become readable, then reads once up to n
// bytes. SERIAL_EOPEN if waiting fails, SERIAL_ETIMEDOUT on silence, else the
// read's result.
int serial_read_timeout(int fd, void* buf, size_t n, int timeout);

// A received raw frame is accepted only with COMM_FRAME_MIN..COMM_FRAME_MAX
// bytes, delimiters and escapes included.
inline constexpr int COMM_FRAME_MIN = 6;
inline constexpr int COMM_FRAME_MAX = 100;

// XOR of data[0..len-1]; for len of 1 or less, data[0].
unsigned char comm_xor_calc(const unsigned char* data, int len);

// Decodes the raw frame cmd[0..cmd_len) into out (capacity out_cap bytes) and
// stores the record's size through outl. Verifies delimiters, escapes, the
// length field and the check byte. 0, or -1 (a frame that would unescape to
// more than out_cap bytes is refused; out is then undefined, *outl unchanged).
int comm_protocol_parse(const unsigned char* cmd, int cmd_len, unsigned char* out, int out_cap,
                        int* outl);

// Encodes the record buf[0..len) (length and check already set) into out
// (capacity out_cap; 2*len + 2 always suffices) and stores the frame's size
// through outl. 0, or -1 on bad arguments, len <= 5 or too small an out.
int comm_protocol_gen(const unsigned char* buf, int len, unsigned char* out, int out_cap,
                      int* outl);

// Streaming reader: reads the port until an ETX and stores the unescaped bytes
// after the last STX in out (capacity out_cap), their count through outl.
// 0, or -1 on error, on silence (two empty reads 2 ms apart), on a frame longer
// than out_cap, or after COMM_FLOW_MAX_READ bytes without a whole frame.
inline constexpr int COMM_FLOW_MAX_READ = 1024;
int comm_protocol_flow_parse(int serial_fd, unsigned char* out, int out_cap, int* outl);
