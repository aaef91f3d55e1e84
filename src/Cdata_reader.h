// Cdata_reader: reads the text input of -t2b one line at a time, tells
// comment lines from data lines and cuts a data line into 16-bit data words.
#ifndef CDATA_READER_H
#define CDATA_READER_H

#include <cstdint>

#include "Cfile.h"
#include "line_scan.h"
#include "tvq_constants.h"
#include "user_settings.h"

static_assert(Cfile::READ_AHEAD >= LINE_PADDING, "a line in the input buffer can be scanned there");

using data_t = int16_t;

class Cdata_reader {
 public:
  // words of one data line when every value is cut into 16-bit halves
  static constexpr int32_t MAX_WORDS = NUMBER_OF_DATA * 2;

  Cdata_reader();
  ~Cdata_reader();
  Cdata_reader(const Cdata_reader&) = delete;
  Cdata_reader& operator=(const Cdata_reader&) = delete;

  // OK (words ready), COMMENT, END_OF_FILE, ERROR after a message, or
  // READ_FAILED when the line could not be read.
  int read_in_one_line(Cfile* in);
  int get_number_of_word() const { return m_number_of_word; }
  // get_data() : the word at index, or 0 and ERROR (after a message) when
  // index is outside the words of the current line.
  int get_data(data_t& destination, int32_t index) const {
    if (index >= 0 && index < m_number_of_word) {
      destination = m_data[index];
      return OK;
    }
    return report_bad_index(destination, index);
  }
  // words() : the get_number_of_word() words of the current line.
  const data_t* words() const { return m_data; }
  int check_comment() const;
  int convert_data_to_data_t(uint32_t data_size);
  int count_number_of_word(uint32_t data_size);

  // for tests and harnesses that feed lines without a file
  char* line() { return m_line; }
  int process_line();

 private:
  int32_t scanned_values() const;
  int convert_scanned();
  static bool is_comment(const char* line);
  static int report_bad_index(data_t& destination, int32_t index);

  // LINE_PADDING zero bytes past the longest line: the scan reads 64
  // bytes at a time
  char m_line[MAX_ONE_LINE_LEN + LINE_PADDING];
  uint32_t* m_raw;
  data_t* m_data;
  int32_t m_number_of_data;
  int32_t m_number_of_word;
};

#endif
