// Internals of the SP client library, shared between its files only.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "sproto/sp_common.h"

inline constexpr std::uint8_t SP_CHAN_TCP = 0;
inline constexpr std::uint8_t SP_CHAN_UDP = 1;

// The process-wide context; read only through sp_context_copy.
extern sp_context_t sp_context;
// Copies the installed configuration under the context's lock.
void sp_context_copy(sp_config_t* out);

int port_handle(std::uint16_t port);

int sp_packet_process(sp_chan_t* chan);
void sp_header_setup(sp_chan_t* chan);

int sp_tcp_connect(sp_chan_t* chan);
int sp_tcp_send(sp_chan_t* chan);
int sp_tcp_read(sp_chan_t* chan);
void sp_tcp_disconnect(sp_chan_t* chan);

int sp_udp_connect(sp_chan_t* chan);
int sp_udp_send(sp_chan_t* chan);
int sp_udp_read(sp_chan_t* chan);
void sp_udp_disconnect(sp_chan_t* chan);

// Socket helpers. They leave the socket open on failure: the exchange closes
// the channel's socket on every way out (sp_packet_process).
int sock_tcp_options(int sockfd, std::uint32_t rw_timeout_sec);
int sock_tcp_connect(int sockfd, const char* ip, std::uint16_t port, std::uint32_t timeout_sec);
int sock_tcp_conn_select(int sockfd, std::uint32_t timeout_sec);
// Waits until sockfd is ready for `events`, polling in slices of 0.1 s so
// that sp_cancel ends the wait. timeout_ms: -1 for none, or
// SOCK_WAIT_RECV_TIMEOUT for the socket's receive time-out. 1 when ready
// (or when poll failed: the call that follows reports it), 0 after the
// time-out (errno EAGAIN), -1 when cancelled (errno ECANCELED).
inline constexpr int SOCK_WAIT_RECV_TIMEOUT = -2;
int sock_wait(int sockfd, short events, int timeout_ms);
int sock_tcp_part_send(int sockfd, const std::uint8_t* data, std::size_t len);
int sock_tcp_part_read(int sockfd, std::uint8_t* data, std::size_t len);
int sock_send_timeout_opt(int sockfd, std::uint32_t sec);
int sock_recv_timeout_opt(int sockfd, std::uint32_t sec);
int sock_tcp_nodelay(int sockfd);
int sock_tcp_reuseaddr(int sockfd);
int sock_udp_init(sp_chan_t* chan, sockaddr_in* addr);

// Closes *sockfd if open and marks it closed.
void sock_close(int* sockfd);

// Thread-safe text of an error number.
const char* sp_strerror(int err, char* buf, std::size_t len);
