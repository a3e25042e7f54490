/* Test key-table plug-in: deterministic rows from the base key and the
 * factor (testpcode.h). Built in variants that misbehave on purpose:
 * TESTPCODE_REPORT fixes the byte count reported (without writing more
 * than the room), TESTPCODE_RESULT the result. */
#include "testpcode.h"

#include <string.h>

int Zef_Pcode(uint8_t* base, uint32_t baselen, uint8_t* factor, uint32_t factorlen, uint8_t* rows,
              uint32_t* rowslen);

int Zef_Pcode(uint8_t* base, uint32_t baselen, uint8_t* factor, uint32_t factorlen, uint8_t* rows,
              uint32_t* rowslen) {
  if (rows == NULL || rowslen == NULL) return 1;
  uint32_t n = testpcode_rows(factor, factorlen);
  if (n * TESTPCODE_ROW_SIZE > *rowslen) n = *rowslen / TESTPCODE_ROW_SIZE;
  for (uint32_t r = 0; r < n; ++r)
    testpcode_row(base, baselen, factor, factorlen, r, rows + r * TESTPCODE_ROW_SIZE);
  *rowslen = n * TESTPCODE_ROW_SIZE;
#ifdef TESTPCODE_REPORT
  *rowslen = TESTPCODE_REPORT;
#endif
#ifdef TESTPCODE_RESULT
  return TESTPCODE_RESULT;
#else
  return 0;
#endif
}
