// Geometry, flags, field positions and status codes of the tvq block format.
// A file is a header block, event blocks and an ender block; every block is
// BLOCK_SIZE bytes of little-endian 16-bit words. A field is located by a
// word index (_NUM) and a length in bytes (_LEN).
#ifndef TVQ_CONSTANTS_H
#define TVQ_CONSTANTS_H

#include <cstddef>
#include <cstdint>

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "blocks are held in memory as they are stored: a little-endian host is required"
#endif

constexpr int32_t BLOCK_SIZE = 16384;
constexpr int32_t WORDS_PER_BLOCK = BLOCK_SIZE / 2;
constexpr int32_t MAX_ONE_LINE_LEN = 16384;

constexpr int16_t BLANK = 0;

// header block
constexpr int16_t FLAG_OF_HEADER = 1;
constexpr int32_t FLAG_OF_HEADER_NUM = 0;
constexpr int32_t FLAG_OF_HEADER_LEN = 2;
constexpr int32_t HEADER_BLANK_NUM = 1;
constexpr int32_t HEADER_BLANK_LEN = 18;
constexpr int32_t RUN_NUMBER_NUM = 10;
constexpr int32_t RUN_NUMBER_LEN = 8;
constexpr int32_t START_TIME_NUM = 15;
constexpr int32_t START_TIME_LEN = 18;
constexpr int32_t STOP_TIME_NUM = 24;
constexpr int32_t STOP_TIME_LEN = 18;
constexpr int32_t PRINT_TIME_NUM = 34;
constexpr int32_t PRINT_TIME_LEN = 18;
constexpr int32_t PRINT_DATE_NUM = 43;
constexpr int32_t PRINT_DATE_LEN = 10;
constexpr int32_t HEADER_NUM = 50;
constexpr int32_t HEADER_LEN = 80;
constexpr int32_t ENDER_NUM = 90;
constexpr int32_t ENDER_LEN = 80;
constexpr int32_t REST_LEN = 16124;

// event block and event records
constexpr int16_t FLAG_OF_EVENT_BLOCK = 0;
constexpr int32_t FLAG_OF_EVENT_BLOCK_NUM = 0;
constexpr int32_t FLAG_OF_EVENT_BLOCK_LEN = 2;
constexpr int32_t EVENT_BLOCK_BLANK_NUM = 1;
constexpr int32_t EVENT_BLOCK_BLANK_LEN = 6;
constexpr int32_t EVENT_SIZE_NUM = 4;
constexpr int32_t EVENT_SIZE_LEN = 2;
constexpr int16_t FLAG_OF_EVENT_SIZE = INT16_MIN;  // 0x8000
constexpr int32_t FID_NUM = 5;
constexpr int32_t FID_LEN = 2;
constexpr int16_t FLAG_OF_FID = 1;
constexpr int32_t EVENT_ID_NUM = 6;
constexpr int32_t EVENT_ID_LEN = 2;
constexpr int32_t SEGMENT_SIZE_NUM = 7;
constexpr int32_t SEGMENT_SIZE_LEN = 2;
constexpr int32_t SEGMENT_ID_NUM = 8;
constexpr int32_t SEGMENT_ID_LEN = 2;
constexpr int32_t DATA_NUM = 9;
constexpr int32_t DATA_LEN = 2;
constexpr int16_t FLAG_OF_END_OF_EVENT_BLOCK = -1;  // 0xFFFF
constexpr int32_t SEGMENT_SIZE = 4;  // bytes of a segment's head
constexpr int32_t EVENT_SIZE = 10;   // bytes of a record's head

// ender block: the header's layout with its own flag
constexpr int16_t FLAG_OF_ENDER = -1;  // 0xFFFF
constexpr int32_t FLAG_OF_ENDER_NUM = 0;
constexpr int32_t FLAG_OF_ENDER_LEN = 2;
constexpr int32_t ENDER_BLANK_NUM = 1;
constexpr int32_t ENDER_BLANK_LEN = 18;

// The seven text fields of a header or ender block, in block order, which is
// the order the listing gives them, with the names the Python module gives
// them. Header and ender blocks are written and read from this table.
struct Text_field {
  const char* name;
  int32_t number;  // _NUM
  int32_t length;  // _LEN
};
constexpr Text_field TEXT_FIELDS[] = {
    {"run_number", RUN_NUMBER_NUM, RUN_NUMBER_LEN}, {"start_time", START_TIME_NUM, START_TIME_LEN},
    {"stop_time", STOP_TIME_NUM, STOP_TIME_LEN},    {"print_time", PRINT_TIME_NUM, PRINT_TIME_LEN},
    {"print_date", PRINT_DATE_NUM, PRINT_DATE_LEN}, {"header", HEADER_NUM, HEADER_LEN},
    {"ender", ENDER_NUM, ENDER_LEN}};
constexpr size_t TEXT_FIELD_COUNT = sizeof TEXT_FIELDS / sizeof TEXT_FIELDS[0];

// Besides its flag and the texts, a header or ender block holds two spaces
// after the run number and two after the stop time; every other byte is zero.
constexpr int32_t TEXT_SPACES_NUM[] = {RUN_NUMBER_NUM + RUN_NUMBER_LEN / 2,
                                       STOP_TIME_NUM + STOP_TIME_LEN / 2};
constexpr int32_t TEXT_SPACES_LEN = 2;

static_assert(2 + HEADER_BLANK_LEN + RUN_NUMBER_LEN + 2 + START_TIME_LEN + STOP_TIME_LEN + 2 +
                      PRINT_TIME_LEN + PRINT_DATE_LEN + 4 + HEADER_LEN + ENDER_LEN + REST_LEN ==
                  BLOCK_SIZE,
              "the header block fills exactly one block");

// status codes
constexpr int OK = 0;
constexpr int ERROR = -1;
constexpr int END_OF_FILE = 1;
constexpr int COMMENT = 2;
// A text line could not be read: the run ends with "fgets error" and exit
// status 1, keeping what was written.
constexpr int READ_FAILED = 3;
// A walk was stopped by its caller; it can go on from there.
constexpr int STOPPED = 4;

#endif
