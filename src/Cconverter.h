// Cconverter: the three conversions between the two files the driver hands it.
// -b2rb and -b2t run the same block walk with different writers; -t2b packs
// text data lines into event blocks between a header and an ender block.
#ifndef CCONVERTER_H
#define CCONVERTER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Cdata_reader.h"
#include "Cfile.h"
#include "tvq_constants.h"

class Cconverter {
 public:
  // The record a header or an ender block is written from.
  class Cuser {
   public:
    char run_number[RUN_NUMBER_LEN + 1];
    char start_time[START_TIME_LEN + 1];
    char stop_time[STOP_TIME_LEN + 1];
    char print_time[PRINT_TIME_LEN + 1];
    char print_date[PRINT_DATE_LEN + 1];
    char header[HEADER_LEN + 1];
    int32_t header_length;
    char ender[ENDER_LEN + 1];
    int32_t ender_length;
  };
  class Cheader : public Cuser {};
  class Cender : public Cuser {};

  Cconverter();
  ~Cconverter();
  Cconverter(const Cconverter&) = delete;
  Cconverter& operator=(const Cconverter&) = delete;

  int set_file(Cfile* file, std::string mode);

  // -b2rb
  int convert_binary_to_readable_binary();
  // -b2t
  int convert_binary_to_txt();
  // -t2b
  int convert_txt_to_binary();

  // typed block readers: read the next block and check its word 0
  int read_header_binary(int16_t* block, Cfile* in);
  int read_event_block_binary(int16_t* block, Cfile* in);
  int read_ender_binary(int16_t* block, Cfile* in);

  // readable dump writers
  int write_header_readable_binary(const int16_t* block, Cfile* out);
  int write_event_block_readable_binary(const int16_t* block, int32_t number, Cfile* out);
  int write_ender_readable_binary(const int16_t* block, Cfile* out);

  // text listing writers
  int write_header_txt(const int16_t* block, Cfile* out);
  int write_event_block_txt(const int16_t* block, int32_t number, Cfile* out);
  int write_ender_txt(const int16_t* block, Cfile* out);

  // text to binary
  int read_header_txt(Cuser* user);
  int read_ender_txt(Cuser* user);
  int read_event_block_txt(char* line, uint32_t size, Cfile* in);
  int write_header_binary(Cuser* user);
  int write_ender_binary(Cuser* user);
  // Writes one event block from lines of m_in: OK when the block was closed
  // for lack of room, END_OF_FILE when the input is exhausted, ERROR on a bad
  // line. line_counter counts data lines over the whole conversion.
  int write_event_block_binary(int64_t& line_counter);

 private:
  using header_writer = int (Cconverter::*)(const int16_t*, Cfile*);
  using event_block_writer = int (Cconverter::*)(const int16_t*, int32_t, Cfile*);
  // The writers of one output style and the names under which they fail.
  struct Block_writers {
    header_writer header;
    const char* header_name;
    event_block_writer event_block;
    const char* event_block_name;
    header_writer ender;
    const char* ender_name;
  };
  int walk_blocks(const Block_writers& writers);
  int read_typed_block(int16_t* block, Cfile* in, int16_t flag, const char* type,
                       const char* wrong_type);
  int write_user_block(int16_t flag, const Cuser* user);
  int write_fields_txt(const char* banner, const int16_t* block, Cfile* out);

  Cfile* m_in;
  Cfile* m_out;
  // The large buffers live here rather than on the stack, so that the
  // conversions run with a small stack.
  int16_t m_block[WORDS_PER_BLOCK];  // the block being walked or written
  std::unique_ptr<Cdata_reader> m_reader;  // the text lines of -t2b
};

#endif
