// SP packet layout: checksum, identifier and the packet helpers.
#include <cstring>

#include "sproto/sp_common.h"
#include "ztpu/log.h"

namespace {

constexpr std::uint8_t kIdent0 = 0xEE;
constexpr std::uint8_t kIdent1 = 0xAA;

// Locates and checks one packet in a stream: start offset and total length
// (data_len + 21, computed wide so that a length near 65535 cannot wrap).
int sp_find_packet(const std::uint8_t* data_buffer, std::uint16_t data_len,
                   sp_protocol_header* header, std::uint16_t* start, std::uint32_t* total) {
  if (sp_parse_header(data_buffer, data_len, header, start) != 0) return -1;

  std::uint32_t needed = std::uint32_t{header->data_len} + SP_OVERHEAD;
  std::uint32_t available = std::uint32_t{data_len} - *start;
  if (available < needed) {
    ztpu_log(LOG_INFO, "SP_ERROR data_length = %d less than needed_length = %d \n",
             static_cast<int>(available), static_cast<int>(needed));
    return -1;
  }

  const std::uint8_t* packet = data_buffer + *start;
  std::uint8_t sum = sp_checksum(header, packet + SP_HEADER_LEN, header->data_len);
  std::uint8_t got = packet[SP_HEADER_LEN + header->data_len];
  if (got != sum) {
    ztpu_log(LOG_INFO, "SP_ERROR checksum(%02x != %02x) \n", got, sum);
    return -1;
  }
  *total = needed;
  return 0;
}

}  // namespace

std::uint8_t cal_checksum(std::uint16_t n_bytes, const std::uint8_t* data_buffer,
                          std::uint16_t start_index) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < n_bytes; ++i)
    sum = static_cast<std::uint8_t>(sum + data_buffer[start_index + i]);
  return sum;
}

std::uint8_t sp_checksum(const sp_protocol_header* header, const std::uint8_t* data_buffer,
                         std::uint16_t data_len) {
  std::uint8_t raw[SP_HEADER_LEN];
  std::memcpy(raw, header, SP_HEADER_LEN);
  std::uint8_t sum = cal_checksum(SP_HEADER_LEN, raw, 0);
  if (data_len > 0) sum = static_cast<std::uint8_t>(sum + cal_checksum(data_len, data_buffer, 0));
  return sum;
}

int sp_check_prefix(const std::uint8_t* data) {
  if (data == nullptr) return -1;
  return (data[0] == kIdent0 && data[1] == kIdent1) ? 0 : -1;
}

int sp_pack(const sp_protocol_header* header, const std::uint8_t* data_buffer,
            std::uint8_t* sp_packet, std::uint16_t* sp_packet_len) {
  std::uint16_t n = header->data_len;
  std::memcpy(sp_packet, header, SP_HEADER_LEN);
  if (n > 0) std::memcpy(sp_packet + SP_HEADER_LEN, data_buffer, n);
  sp_packet[SP_HEADER_LEN + n] = sp_checksum(header, data_buffer, n);
  *sp_packet_len = static_cast<std::uint16_t>(n + SP_OVERHEAD);
  return 0;
}

int sp_parse_header(const std::uint8_t* data_buffer, std::uint16_t data_len,
                    sp_protocol_header* header, std::uint16_t* start_index) {
  if (data_buffer == nullptr || data_len < SP_HEADER_LEN) return -1;

  std::size_t pos = 0;
  bool found = false;
  for (; pos + 1 < data_len; ++pos) {
    if (data_buffer[pos] == kIdent0 && data_buffer[pos + 1] == kIdent1) {
      found = true;
      break;
    }
  }
  if (!found) {
    ztpu_log(LOG_INFO, "SP_ERROR have no header identifiers \n");
    return -1;
  }
  // An identifier too close to the end has no whole header behind it.
  if (data_len - pos < SP_HEADER_LEN) {
    ztpu_log(LOG_INFO, "SP_ERROR data_length = %d less than needed_length = %d \n",
             static_cast<int>(data_len - pos), static_cast<int>(SP_OVERHEAD));
    return -1;
  }
  std::memcpy(header, data_buffer + pos, SP_HEADER_LEN);
  *start_index = static_cast<std::uint16_t>(pos);
  return 0;
}

int sp_unpack(const std::uint8_t* data_buffer, std::uint16_t data_len, sp_protocol_header* header,
              std::uint8_t* data_area_buffer, std::uint16_t* data_area_len) {
  if (header == nullptr || data_area_buffer == nullptr || data_area_len == nullptr) return -1;
  std::uint16_t start = 0;
  std::uint32_t total = 0;
  if (sp_find_packet(data_buffer, data_len, header, &start, &total) != 0) return -1;
  if (header->data_len > *data_area_len) return -1;
  std::memcpy(data_area_buffer, data_buffer + start + SP_HEADER_LEN, header->data_len);
  *data_area_len = header->data_len;
  return 0;
}

int sp_check_data(const std::uint8_t* data_buffer, std::uint16_t data_len, std::uint8_t* sp_packet,
                  std::uint16_t* sp_packet_len) {
  if (sp_packet == nullptr || sp_packet_len == nullptr) return -1;
  sp_protocol_header header{};
  std::uint16_t start = 0;
  std::uint32_t total = 0;
  if (sp_find_packet(data_buffer, data_len, &header, &start, &total) != 0) return -1;
  if (total > *sp_packet_len) return -1;
  std::memcpy(sp_packet, data_buffer + start, total);
  *sp_packet_len = static_cast<std::uint16_t>(total);
  return 0;
}

int sp_parse_head(const std::uint8_t* sp_packet, sp_protocol_header* header) {
  std::memcpy(header, sp_packet, SP_HEADER_LEN);
  return 0;
}
