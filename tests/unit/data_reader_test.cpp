// Cdata_reader: comment lines, the scan of a data line into one integer and
// five floats, the 16-bit words cut from them, and the messages of bad lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Cdata_reader.h"
#include "Cfile.h"
#include "tvq_constants.h"
#include "unit_support.h"
#include "user_settings.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using tvq_test::visible;

namespace {

const std::string SCAN_MESSAGE = "\n scaned number and number_of_data is not consistent!!\n\n";
const std::string SIZE_MESSAGE = "input data_size is wrong\n";

uint32_t bits(float value) {
  uint32_t b;
  std::memcpy(&b, &value, sizeof b);
  return b;
}

struct Outcome {
  int status;
  std::string out;
};

Outcome process(Cdata_reader& reader, const std::string& line) {
  std::snprintf(reader.line(), MAX_ONE_LINE_LEN, "%s", line.c_str());
  CaptureStdout();
  const int status = reader.process_line();
  return {status, GetCapturedStdout()};
}

std::vector<uint16_t> words_of(const Cdata_reader& reader) {
  std::vector<uint16_t> words;
  for (int i = 0; i < reader.get_number_of_word(); ++i) {
    data_t word = 0;
    EXPECT_EQ(OK, reader.get_data(word, i));
    words.push_back(static_cast<uint16_t>(word));
  }
  return words;
}

// The twelve words of six 32-bit values: low half, then high half of each.
std::vector<uint16_t> words_from(const std::vector<uint32_t>& raw) {
  std::vector<uint16_t> words;
  for (const uint32_t value : raw) {
    words.push_back(static_cast<uint16_t>(value & 0xFFFF));
    words.push_back(static_cast<uint16_t>(value >> 16));
  }
  return words;
}

TEST(DataReaderCheckComment, CommentFormsAndDataLookAlikes) {
  const struct {
    const char* line;
    int expected;
  } cases[] = {
      {"#", COMMENT},        {"# note\n", COMMENT},        {"#1 2 3 4 5 6\n", COMMENT},
      {"c", COMMENT},        {"c\n", COMMENT},             {"comment 1 2 3 4 5 6\n", COMMENT},
      {"c1 2 3 4 5 6\n", COMMENT},                         {"%", COMMENT},
      {"% 1 2 3 4 5 6\n", COMMENT},                        {"\n", COMMENT},
      {"//", COMMENT},       {"// 1 2 3 4 5 6\n", COMMENT}, {"///\n", COMMENT},
      {"/x\n", OK},          {"/", OK},                    {"/\n", OK},
      {"/ /\n", OK},         {" #\n", OK},                 {"\t# note\n", OK},
      {" //\n", OK},         {" c\n", OK},                 {"C\n", OK},
      {"Comment\n", OK},     {"1 2 3 4 5 6\n", OK},        {"1 2 3 4 5 6 # note\n", OK},
      {" \n", OK},           {"\r\n", OK},                 {"", OK},
  };
  for (const auto& c : cases) {
    Cdata_reader reader;
    std::snprintf(reader.line(), MAX_ONE_LINE_LEN, "%s", c.line);
    EXPECT_EQ(c.expected, reader.check_comment()) << "line \"" << visible(c.line) << "\"";
  }
}

struct Scan_case {
  std::string line;
  int status;
  std::string out;
  std::vector<uint32_t> raw;  // the six scanned values (int, float bit patterns) when OK
};

const uint32_t NAN_BITS = 0x7FC00000;
const uint32_t INF_BITS = 0x7F800000;
const uint32_t NEGATIVE_ZERO = 0x80000000;

TEST(DataReaderProcessLine, DataLinesAndBadLines) {
  const std::vector<Scan_case> cases = {
      // good lines
      {"1 2 3 4 5 6\n", OK, "", {1, bits(2), bits(3), bits(4), bits(5), bits(6)}},
      {"1 2 3 4 5 6", OK, "", {1, bits(2), bits(3), bits(4), bits(5), bits(6)}},
      {"1 2 3 4 5 6 7\n", OK, "", {1, bits(2), bits(3), bits(4), bits(5), bits(6)}},
      {"1 2 3 4 5 6 # note\n", OK, "", {1, bits(2), bits(3), bits(4), bits(5), bits(6)}},
      {"1 2 3 4 5 6#\n", OK, "", {1, bits(2), bits(3), bits(4), bits(5), bits(6)}},
      {"1 2 3 4 5 6abc\n", OK, "", {1, bits(2), bits(3), bits(4), bits(5), bits(6)}},
      {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18\n", OK, "",
       {1, bits(2), bits(3), bits(4), bits(5), bits(6)}},
      // the integer conversion stops at the point: ".5" is the first float
      {"1.5 2 3 4 5 6\n", OK, "", {1, bits(0.5f), bits(2), bits(3), bits(4), bits(5)}},
      {"1-2-3-4-5-6\n", OK, "", {1, bits(-2), bits(-3), bits(-4), bits(-5), bits(-6)}},
      {"1\t2\t3\t4\t5\t6\n", OK, "", {1, bits(2), bits(3), bits(4), bits(5), bits(6)}},
      {"  \t 1 2\v3\f4 5 6\n", OK, "", {1, bits(2), bits(3), bits(4), bits(5), bits(6)}},
      {"1 2 3 4 5 6\r\n", OK, "", {1, bits(2), bits(3), bits(4), bits(5), bits(6)}},
      {"1\r2\r3\r4\r5\r6\r\n", OK, "", {1, bits(2), bits(3), bits(4), bits(5), bits(6)}},
      {"7 0x1p-3 0X1.8P1 -0x10 0x.8p0 0x1p+2\n", OK, "",
       {7, bits(0.125f), bits(3), bits(-16), bits(0.5f), bits(4)}},
      {"0 inf -inf INFINITY nan -NAN\n", OK, "",
       {0, INF_BITS, INF_BITS | 0x80000000, INF_BITS, NAN_BITS, NAN_BITS | 0x80000000}},
      {"0 1e3 1E-2 -2.5e+1 .5e1 5.e0\n", OK, "",
       {0, bits(1000), bits(0.01f), bits(-25), bits(5), bits(5)}},
      {"+3 +1 +.5 -0 0.0 +0\n", OK, "", {3, bits(1), bits(0.5f), NEGATIVE_ZERO, 0, 0}},
      {"00012 0002.5 -000 1e0001 0x0001p0 000\n", OK, "",
       {12, bits(2.5f), NEGATIVE_ZERO, bits(10), bits(1), 0}},
      {"-1 -.5 5. 0.1 -0.1 3.14159265358979\n", OK, "",
       {0xFFFFFFFF, bits(-0.5f), bits(5), bits(0.1f), bits(-0.1f), bits(3.14159265358979f)}},
      // float rounding: ties to even, the largest float, the smallest denormal
      {"3 16777217 1e38 3.4028235e38 1e-45 1e-46\n", OK, "",
       {3, 0x4B800000, bits(1e38f), 0x7F7FFFFF, 0x00000001, 0}},
      {"3 16777219 16777217.000001 3.4028236e38 1e39 -1e39\n", OK, "",
       {3, 0x4B800002, 0x4B800001, INF_BITS, INF_BITS, INF_BITS | 0x80000000}},
      {"3 1e-50 -1e-50 1.17549435e-38 1.1754942e-38 0x1p-149\n", OK, "",
       {3, 0, NEGATIVE_ZERO, 0x00800000, 0x007FFFFF, 0x00000001}},
      // the integer range of 32 bits is usable to its ends
      {"2147483647 1 1 1 1 1\n", OK, "", {0x7FFFFFFF, bits(1), bits(1), bits(1), bits(1), bits(1)}},
      {"-2147483648 1 1 1 1 1\n", OK, "", {0x80000000, bits(1), bits(1), bits(1), bits(1), bits(1)}},
      {"-00000000002147483648 1 1 1 1 1\n", OK, "",
       {0x80000000, bits(1), bits(1), bits(1), bits(1), bits(1)}},
      // fewer than six values, or nothing to scan
      {"1 2 3 4 5\n", ERROR, SCAN_MESSAGE, {}},
      {"1 2 3 4 5", ERROR, SCAN_MESSAGE, {}},
      {"1 2 x 4 5 6\n", ERROR, SCAN_MESSAGE, {}},
      {"x 1 2 3 4 5\n", ERROR, SCAN_MESSAGE, {}},
      {"1,2,3,4,5,6\n", ERROR, SCAN_MESSAGE, {}},
      {"1e5 1 1 1 1 1\n", ERROR, SCAN_MESSAGE, {}},
      {"0x10 1 1 1 1 1\n", ERROR, SCAN_MESSAGE, {}},
      {"1 2 3 4 5 .\n", ERROR, SCAN_MESSAGE, {}},
      {"1 2 3 4 5 +-1\n", ERROR, SCAN_MESSAGE, {}},
      {"1 2 3 4 5 infinit\n", ERROR, SCAN_MESSAGE, {}},
      {"1 2 3 4 5 0x\n", ERROR, SCAN_MESSAGE, {}},
      {"+ 1 2 3 4 5 6\n", ERROR, SCAN_MESSAGE, {}},
      {"\r\n", ERROR, SCAN_MESSAGE, {}},
      {"   \t \n", ERROR, SCAN_MESSAGE, {}},
      {" \n", ERROR, SCAN_MESSAGE, {}},
      {"", ERROR, SCAN_MESSAGE, {}},
      {"/x\n", ERROR, SCAN_MESSAGE, {}},
      {" # 1 2 3 4 5 6\n", ERROR, SCAN_MESSAGE, {}},
      {"C 1 2 3 4 5 6\n", ERROR, SCAN_MESSAGE, {}},
      // an integer outside 32 bits is refused before the scan, named as written
      {"2147483648 1 2 3 4 5\n", ERROR, "integer 2147483648 does not fit in 32 bits\n", {}},
      {"-2147483649 1 2 3 4 5\n", ERROR, "integer -2147483649 does not fit in 32 bits\n", {}},
      {"+2147483648 1 2 3 4 5\n", ERROR, "integer +2147483648 does not fit in 32 bits\n", {}},
      {" \t4294967297 1 2 3 4 5\n", ERROR, "integer 4294967297 does not fit in 32 bits\n", {}},
      {"000000000002147483648 1 2 3 4 5\n", ERROR,
       "integer 000000000002147483648 does not fit in 32 bits\n", {}},
      {"9223372036854775808 1 2 3 4 5\n", ERROR,
       "integer 9223372036854775808 does not fit in 32 bits\n", {}},
      {"18446744073709551617 1 2 3 4 5\n", ERROR,
       "integer 18446744073709551617 does not fit in 32 bits\n", {}},
      {"-99999999999999999999999999999 1 2 3 4 5\n", ERROR,
       "integer -99999999999999999999999999999 does not fit in 32 bits\n", {}},
      {"12345678901x 1 2 3 4 5\n", ERROR, "integer 12345678901 does not fit in 32 bits\n", {}},
      {"12345678901.5 1 2 3 4 5\n", ERROR, "integer 12345678901 does not fit in 32 bits\n", {}},
      {"2147483648\n", ERROR, "integer 2147483648 does not fit in 32 bits\n", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("line \"" + visible(c.line) + "\"");
    Cdata_reader reader;
    const Outcome outcome = process(reader, c.line);
    EXPECT_EQ(c.status, outcome.status);
    EXPECT_EQ(c.out, outcome.out);
    if (c.status == OK) {
      EXPECT_EQ(12, reader.get_number_of_word());
      EXPECT_EQ(words_from(c.raw), words_of(reader));
    }
  }
}

TEST(DataReaderProcessLine, WordsCutFromALine) {
  const struct {
    const char* line;
    std::vector<uint16_t> words;
  } cases[] = {
      {"5 2 0 0 0 0\n", {5, 0, 0, 0x4000, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"-1 0 0 0 0 0\n", {0xFFFF, 0xFFFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"-2147483648 -2 0.5 -0 1e-45 nan\n",
       {0, 0x8000, 0, 0xC000, 0, 0x3F00, 0, 0x8000, 1, 0, 0, 0x7FC0}},
      {"305419896 1 -1 0.1 65536 16777216\n",
       {0x5678, 0x1234, 0, 0x3F80, 0, 0xBF80, 0xCCCD, 0x3DCC, 0, 0x4780, 0, 0x4B80}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(visible(c.line));
    Cdata_reader reader;
    const Outcome outcome = process(reader, c.line);
    EXPECT_EQ(OK, outcome.status);
    EXPECT_EQ("", outcome.out);
    EXPECT_EQ(c.words, words_of(reader));
  }
  // each good line replaces the words of the one before
  Cdata_reader reader;
  EXPECT_EQ(OK, process(reader, "-1 -1 -1 -1 -1 -1\n").status);
  EXPECT_EQ(OK, process(reader, "5 2 0 0 0 0\n").status);
  EXPECT_EQ((std::vector<uint16_t>{5, 0, 0, 0x4000, 0, 0, 0, 0, 0, 0, 0, 0}), words_of(reader));
}

// Lines fed through a real file: comments go by, a last line without newline
// counts, and the end is reported (again) without a message.
TEST(DataReaderReadInOneLine, MixedFileToTheEnd) {
  tvq_test::Scratch_dir dir;
  const std::string name = dir.path("in.txt");
  tvq_test::write_file(name,
                       "# run 1001\n1 2 3 4 5 6\n\nc anything\n//x\n%\n-7 0.5 0 0 0 0\n"
                       "5 2 0 0 0 0");
  Cfile file;
  ASSERT_EQ(OK, file.fopen_r(name));
  Cdata_reader reader;
  const int expected[] = {COMMENT, OK, COMMENT, COMMENT, COMMENT, COMMENT, OK, OK, END_OF_FILE, END_OF_FILE};
  std::vector<std::vector<uint16_t>> data_words;
  CaptureStdout();
  for (const int status : expected) {
    EXPECT_EQ(status, reader.read_in_one_line(&file));
    if (status == OK) data_words.push_back(words_of(reader));
  }
  EXPECT_EQ("", GetCapturedStdout());
  ASSERT_EQ(3u, data_words.size());
  EXPECT_EQ(words_from({1, bits(2), bits(3), bits(4), bits(5), bits(6)}), data_words[0]);
  EXPECT_EQ(words_from({static_cast<uint32_t>(-7), bits(0.5f), 0, 0, 0, 0}), data_words[1]);
  EXPECT_EQ(words_from({5, bits(2), 0, 0, 0, 0}), data_words[2]);
}

// A line is read at most MAX_ONE_LINE_LEN - 1 characters at a time; each piece
// is a line of its own.
TEST(DataReaderReadInOneLine, LongLinesAreReadInPieces) {
  const size_t piece = MAX_ONE_LINE_LEN - 1;  // 16383
  const std::string six = "1 2 3 4 5 6";
  const std::string straddle_head = "1 2 3 4 5 ";
  const std::vector<uint32_t> one_to_six = {1, bits(2), bits(3), bits(4), bits(5), bits(6)};
  const struct {
    const char* name;
    std::string content;
    std::vector<int> statuses;
    std::string out;
    std::vector<uint32_t> first_raw;  // the words of the first line read when it is OK
  } cases[] = {
      {"16382 characters and newline: one line", six + std::string(piece - 1 - six.size(), ' ') + "\n",
       {OK, END_OF_FILE}, "", one_to_six},
      {"16383 characters and newline: the newline comes alone as an empty line",
       six + std::string(piece - six.size(), ' ') + "\n", {OK, COMMENT, END_OF_FILE}, "", one_to_six},
      {"16383 characters without newline", six + std::string(piece - six.size(), ' '),
       {OK, END_OF_FILE}, "", one_to_six},
      // "6789" cut after "67": the first piece ends in 67, the second piece is "89\n"
      {"number cut at the piece boundary",
       straddle_head + std::string(piece - 2 - straddle_head.size(), ' ') + "6789\n",
       {OK, ERROR, END_OF_FILE}, SCAN_MESSAGE,
       {1, bits(2), bits(3), bits(4), bits(5), bits(67)}},
      {"blank first piece, data in the second", std::string(20000, ' ') + six + "\n",
       {ERROR, OK, END_OF_FILE}, SCAN_MESSAGE, {}},
      {"integer of 16383 digits", "1" + std::string(piece - 1, '0') + " 2 3 4 5 6\n",
       {ERROR, ERROR, END_OF_FILE},
       "integer 1" + std::string(piece - 1, '0') + " does not fit in 32 bits\n" + SCAN_MESSAGE, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tvq_test::Scratch_dir dir;
    const std::string name = dir.path("in.txt");
    tvq_test::write_file(name, c.content);
    Cfile file;
    ASSERT_EQ(OK, file.fopen_r(name));
    Cdata_reader reader;
    CaptureStdout();
    std::vector<int> statuses;
    std::vector<uint16_t> first_words;
    for (size_t i = 0; i < c.statuses.size(); ++i) {
      statuses.push_back(reader.read_in_one_line(&file));
      if (i == 0 && statuses[0] == OK) first_words = words_of(reader);
    }
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(c.statuses, statuses);
    EXPECT_EQ(c.out, out);
    if (!c.first_raw.empty()) {
      EXPECT_EQ(words_from(c.first_raw), first_words);
    }
  }
}

// With two bytes per value every scanned slot must fit a short; the float
// slots hold bit patterns, so only zero and the smallest denormals fit.
TEST(DataReaderConvertDataToDataT, TwoBytesPerValue) {
  const std::string too_large = "input data is too large or small for short\n";
  const struct {
    const char* line;
    int status;
    std::string out;
    std::vector<uint16_t> words;
  } cases[] = {
      {"-5 0 1e-45 0 0 0\n", OK, "", {0xFFFB, 0, 1, 0, 0, 0}},
      {"32767 0 0 0 0 0x1p-140\n", OK, "", {0x7FFF, 0, 0, 0, 0, 512}},
      {"-32768 0 0 0 0 0\n", OK, "", {0x8000, 0, 0, 0, 0, 0}},
      {"32768 0 0 0 0 0\n", ERROR, too_large, {}},
      {"-32769 0 0 0 0 0\n", ERROR, too_large, {}},
      {"65535 0 0 0 0 0\n", ERROR, too_large, {}},
      {"0 2 0 0 0 0\n", ERROR, too_large, {}},
      {"0 0 0 0 0 -0\n", ERROR, too_large, {}},
      {"0 0 0 0 0 0x1p-133\n", ERROR, too_large, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(visible(c.line));
    Cdata_reader reader;
    ASSERT_EQ(OK, process(reader, c.line).status);
    CaptureStdout();
    const int status = reader.convert_data_to_data_t(2);
    EXPECT_EQ(c.out, GetCapturedStdout());
    EXPECT_EQ(c.status, status);
    if (status != OK) continue;
    EXPECT_EQ(OK, reader.count_number_of_word(2));
    EXPECT_EQ(6, reader.get_number_of_word());
    EXPECT_EQ(c.words, words_of(reader));
  }
}

TEST(DataReaderConvertDataToDataT, CountOfWordsFollowsDataSize) {
  Cdata_reader reader;
  ASSERT_EQ(OK, process(reader, "1 2 3 4 5 6\n").status);
  ASSERT_EQ(12, reader.get_number_of_word());
  const struct {
    uint32_t size;
    int status;
    std::string out;
    int words_after;
  } cases[] = {
      {2, OK, "", 6}, {4, OK, "", 12}, {0, ERROR, SIZE_MESSAGE, 12}, {1, ERROR, SIZE_MESSAGE, 12},
      {3, ERROR, SIZE_MESSAGE, 12}, {8, ERROR, SIZE_MESSAGE, 12}, {0xFFFFFFFF, ERROR, SIZE_MESSAGE, 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    CaptureStdout();
    EXPECT_EQ(c.status, reader.count_number_of_word(c.size));
    EXPECT_EQ(c.out, GetCapturedStdout());
    EXPECT_EQ(c.words_after, reader.get_number_of_word());
    if (c.status == OK) continue;
    // a wrong size converts nothing either; the words stay as they were
    const std::vector<uint16_t> before = words_of(reader);
    CaptureStdout();
    EXPECT_EQ(ERROR, reader.convert_data_to_data_t(c.size));
    EXPECT_EQ(SIZE_MESSAGE, GetCapturedStdout());
    EXPECT_EQ(before, words_of(reader));
  }
}

TEST(DataReaderGetData, IndexOutsideTheValidWords) {
  const auto check_refused = [](const Cdata_reader& reader, int32_t index) {
    data_t destination = 1234;
    CaptureStdout();
    EXPECT_EQ(ERROR, reader.get_data(destination, index));
    EXPECT_EQ("cannot access to m_data[" + std::to_string(index) + "]\n", GetCapturedStdout());
    EXPECT_EQ(0, destination);
  };
  {
    SCOPED_TRACE("before any line");
    Cdata_reader reader;
    EXPECT_EQ(0, reader.get_number_of_word());
    for (const int32_t index : {0, 1, 11, -1}) check_refused(reader, index);
  }
  Cdata_reader reader;
  ASSERT_EQ(OK, process(reader, "-1 2 3 4 5 6\n").status);
  {
    SCOPED_TRACE("after a good line");
    for (const int32_t index : {-1, 12, 13, 100000, INT32_MIN, INT32_MAX}) check_refused(reader, index);
    data_t destination = 0;
    CaptureStdout();
    EXPECT_EQ(OK, reader.get_data(destination, 0));
    EXPECT_EQ(OK, reader.get_data(destination, 11));
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_EQ(0x40C0, static_cast<uint16_t>(destination));  // high half of 6.0f
  }
  {
    SCOPED_TRACE("after counting two bytes per value");
    ASSERT_EQ(OK, reader.count_number_of_word(2));
    check_refused(reader, 6);
    data_t destination = 0;
    EXPECT_EQ(OK, reader.get_data(destination, 5));
  }
}

}  // namespace
