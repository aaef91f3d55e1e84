// Field access on a block in memory: text fields and unsigned word values.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "global.h"
#include "tvq_constants.h"

namespace {

// A block whose bytes are all 0x5A except where a test puts its own.
struct Block {
  int16_t words[WORDS_PER_BLOCK];
  Block() { std::memset(words, 0x5A, sizeof words); }
  void put_bytes(int32_t word_index, const void* bytes, size_t length) {
    std::memcpy(reinterpret_cast<unsigned char*>(words) + 2 * word_index, bytes, length);
  }
  void put_word(int32_t word_index, uint16_t value) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(value & 0xFF),
                                    static_cast<unsigned char>(value >> 8)};
    put_bytes(word_index, bytes, 2);
  }
};

struct String_case {
  const char* name;
  int32_t word_index;
  int32_t byte_count;
  std::string field;     // bytes stored at the field (byte_count of them)
  std::string expected;  // text decoded from it
};

TEST(DecodeBinaryToString, FieldTextEndsAtFirstZeroOrAfterWholeField) {
  const String_case cases[] = {
      // a full-width field has no terminator inside the block; the bytes after
      // it (0x5A) must not leak into the text
      {"full run number", RUN_NUMBER_NUM, RUN_NUMBER_LEN, "RUN-1001", "RUN-1001"},
      {"short run number", RUN_NUMBER_NUM, RUN_NUMBER_LEN, std::string("R7\0\0\0\0\0\0", 8), "R7"},
      {"empty field", RUN_NUMBER_NUM, RUN_NUMBER_LEN, std::string(8, '\0'), ""},
      {"text then zero then text", PRINT_DATE_NUM, PRINT_DATE_LEN,
       std::string("01-JA\0N-01", 10), "01-JA"},
      {"full start time", START_TIME_NUM, START_TIME_LEN, "START => 33:33:33 ",
       "START => 33:33:33 "},
      {"full header text", HEADER_NUM, HEADER_LEN, std::string(80, 'h'), std::string(80, 'h')},
      {"high bytes kept", ENDER_NUM, 4, "\xff\x80\x01z", "\xff\x80\x01z"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.field.size(), static_cast<size_t>(c.byte_count));
    Block block;
    block.put_bytes(c.word_index, c.field.data(), c.field.size());
    char dest[128];
    std::memset(dest, 'X', sizeof dest);
    EXPECT_EQ(OK, decode_binary_to_string(block.words, dest, c.word_index, c.byte_count));
    // byte_count bytes copied as they are, then a terminator right after them
    EXPECT_EQ(0, std::memcmp(dest, c.field.data(), c.field.size()));
    EXPECT_EQ('\0', dest[c.byte_count]);
    EXPECT_EQ('X', dest[c.byte_count + 1]) << "wrote past count + 1 bytes";
    EXPECT_EQ(c.expected, std::string(dest));
  }
}

struct Integer_case {
  const char* name;
  uint16_t word;       // value at the word index
  uint16_t next_word;  // value of the word after it
  int32_t byte_count;
  int32_t expected;
};

TEST(DecodeBinaryToInteger, UnsignedLittleEndianOfExactlyTheGivenBytes) {
  const Integer_case cases[] = {
      {"event size keeps bit 15", 0x8000 | 17, 0xFFFF, 2, 32785},
      {"bare event size flag", 0x8000, 0xFFFF, 2, 32768},
      {"0xffff is 65535, not -1", 0xFFFF, 0xFFFF, 2, 65535},
      {"zero", 0x0000, 0xFFFF, 2, 0},
      {"byte order", 0x1234, 0xFFFF, 2, 0x1234},
      {"one byte: the low byte only", 0xABCD, 0xFFFF, 1, 0xCD},
      {"four bytes: the next word is the high half", 0x5678, 0x1234, 4, 0x12345678},
      {"four bytes all set", 0xFFFF, 0xFFFF, 4, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Block block;
    const int32_t index = 100;
    block.put_word(index, c.word);
    block.put_word(index + 1, c.next_word);
    int32_t dest = 0x7EADBEEF;  // the bytes not copied must end up zero
    EXPECT_EQ(OK, decode_binary_to_integer(block.words, &dest, index, c.byte_count));
    EXPECT_EQ(c.expected, dest);
  }
}

TEST(DecodeBinaryToInteger, ReadsAtTheWordIndexOfTheBlock) {
  Block block;
  for (int32_t i = 0; i < WORDS_PER_BLOCK; ++i) block.put_word(i, static_cast<uint16_t>(i * 7 + 3));
  for (const int32_t index : {0, 1, EVENT_SIZE_NUM, DATA_NUM, 4095, WORDS_PER_BLOCK - 1}) {
    int32_t dest = -1;
    EXPECT_EQ(OK, decode_binary_to_integer(block.words, &dest, index, 2));
    EXPECT_EQ(static_cast<uint16_t>(index * 7 + 3), dest) << "word " << index;
  }
}

}  // namespace
