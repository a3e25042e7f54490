/* Rows of the test key-table plug-in, shared with the tests that predict
 * them. Plain C: the plug-in is a C shared object.
 *
 * Factor layout (deciphered): bytes 0-1 the key version; byte 2 the row
 * count (0: 8 rows); bytes 3-4 the first two key-id bytes (default: the
 * version); byte 5 the cipher mode of every row (0 or absent: mode
 * (row % 24) + 1). Row r: id = {id0, id1, r}, key byte j = base[j % blen]
 * ^ factor[(j + r) % flen] ^ (r * 31 + j). */
#ifndef ZTPU_TESTPCODE_H
#define ZTPU_TESTPCODE_H

#include <stdint.h>

#define TESTPCODE_ROW_SIZE 36

static inline uint32_t testpcode_rows(const uint8_t* factor, uint32_t flen) {
  return (flen >= 3 && factor[2] != 0) ? factor[2] : 8;
}

static inline void testpcode_row(const uint8_t* base, uint32_t blen, const uint8_t* factor,
                                 uint32_t flen, uint32_t r, uint8_t* row) {
  uint8_t alg = (uint8_t)(r % 24 + 1);
  if (flen >= 6 && factor[5] >= 1 && factor[5] <= 28) alg = factor[5];
  row[0] = alg;
  for (uint32_t j = 0; j < 32; ++j) {
    uint8_t b = blen > 0 ? base[j % blen] : 0;
    uint8_t f = flen > 0 ? factor[(j + r) % flen] : 0;
    row[1 + j] = (uint8_t)(b ^ f ^ (uint8_t)(r * 31 + j));
  }
  row[33] = flen >= 5 ? factor[3] : (flen >= 1 ? factor[0] : 0);
  row[34] = flen >= 5 ? factor[4] : (flen >= 2 ? factor[1] : 0);
  row[35] = (uint8_t)r;
}

#endif
