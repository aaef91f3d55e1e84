// Cconverter: the three conversions between the two files the driver hands it.
// -b2rb and -b2t run the same block walk with different writers; -t2b packs
// text data lines into event blocks between a header and an ender block. The
// walk serves programs that embed the core too (tvq_core.h).
#ifndef CCONVERTER_H
#define CCONVERTER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "Cdata_reader.h"
#include "Cfile.h"
#include "messages.h"
#include "problem.h"
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

    // text() : the field of TEXT_FIELDS[field], one longer than its length.
    char* text(size_t field);
    const char* text(size_t field) const { return const_cast<Cuser*>(this)->text(field); }
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

  // typed block readers: take the next block of in where it lies (block
  // points into in's buffer until its next read) and check its word 0; a
  // block the input does not hold whole is reported and never checked. OK,
  // or ERROR after the messages, with problem(); block is null unless the
  // block was read.
  int read_header_binary(const int16_t*& block, Cfile* in);
  int read_event_block_binary(const int16_t*& block, Cfile* in);
  int read_ender_binary(const int16_t*& block, Cfile* in);

  // The block walk over m_in, a block a call. next_block() : the header, the
  // event blocks, the ender, then WALK_END; each block in place, as the typed
  // readers give it. A block after the header is peeked at (its word 0 seen,
  // the block left to be read) so that word 0 decides whether the event block
  // reader or the ender reader takes it. ERROR after the messages of the
  // step that failed, the last one naming the step, with problem(); the walk
  // then stays ended.
  enum Block_kind { HEADER_BLOCK, EVENT_BLOCK, ENDER_BLOCK, WALK_END };
  int next_block(const int16_t*& block);
  // start_walk_at() : the walk goes on with event block number, which m_in
  // serves next (its header already walked over once).
  void start_walk_at(int32_t number) {
    m_next_block = EVENT_BLOCK;
    m_event_blocks = number - 1;
  }
  // event_block_number() : the number of the last event block given, from 1.
  int32_t event_block_number() const { return m_event_blocks; }
  // problem() : the last problem of the walk: what ended it, or the record
  // that ended a listed block's records.
  const Problem& problem() const { return m_problem; }

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
  // line, READ_FAILED when a line could not be read. line_counter counts data
  // lines over the whole conversion.
  int write_event_block_binary(int64_t& line_counter);

  // The block writer of -t2b, over records from any source: next_record()
  // gives OK when a record's words are ready (get_number_of_word() words at
  // words()), COMMENT for nothing to write, END_OF_FILE at the end, ERROR
  // after its message, or READ_FAILED. write_event_block() writes one event
  // block as write_event_block_binary() does; write_binary_file() the header
  // block from header, every event block and the ender block from ender, and
  // returns OK, ERROR (after the name of the step that failed) or READ_FAILED.
  template <typename Record_source>
  int write_event_block(Record_source& source, int64_t& line_counter);
  template <typename Record_source>
  int write_binary_file(Record_source& source, Cuser* header, Cuser* ender);

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
  int read_typed_block(const int16_t*& block, Cfile* in, int16_t flag, const char* type,
                       const char* wrong_type, int32_t event_block);
  void report_untaken_block(int result, const char* type, const Cfile* in, int32_t event_block);
  int write_user_block(int16_t flag, const Cuser* user);
  int write_fields_txt(const char* banner, const int16_t* block, Cfile* out);
  static void put_word16(unsigned char* p, uint16_t value) {
    p[0] = static_cast<unsigned char>(value & 0xFF);
    p[1] = static_cast<unsigned char>(value >> 8);
  }

  Cfile* m_in;
  Cfile* m_out;
  int m_next_block;  // what the walk takes next
  int32_t m_event_blocks;
  Problem m_problem;
  // The large buffers live here rather than on the stack, so that the
  // conversions run with a small stack.
  int16_t m_block[WORDS_PER_BLOCK];  // a header or ender block being written
  std::unique_ptr<Cdata_reader> m_reader;  // the text lines of -t2b
};

// The largest record, of 16 values of two words each, fits in an event block
// with the two closing markers: every block takes at least one record.
static_assert(2 * (EVENT_SIZE_NUM + 2 * MAX_CONVERSIONS) + EVENT_SIZE + 4 <= BLOCK_SIZE,
              "one record and the two closing markers must fit in an event block");
static_assert(BLOCK_SIZE <= Cfile::OUTPUT_ROOM, "an event block is built in the output buffer");

// The block is built where it goes, in the output buffer, and committed
// once: when it is closed, or as far as it got when a record stops it, so
// that a bad record leaves the block's flag, blank and finished records in
// the file. The output is only written at a reservation, so a failed write
// shows before the block's first record as it would after any of them.
template <typename Record_source>
int Cconverter::write_event_block(Record_source& source, int64_t& line_counter) {
  auto* const block = reinterpret_cast<unsigned char*>(m_out->reserve_output(BLOCK_SIZE));
  const bool write_failed = m_out->write_failed();  // as it stays until the next reservation
  std::memset(block, 0, 2 + EVENT_BLOCK_BLANK_LEN);
  put_word16(block, static_cast<uint16_t>(FLAG_OF_EVENT_BLOCK));
  uint32_t used = 2 + EVENT_BLOCK_BLANK_LEN;
  uint32_t previous = used;
  uint32_t largest = 0;
  uint32_t records = 0;
  const uint32_t markers = 2 * sizeof(int16_t);
  int result = OK;
  // Progress every 100 data lines of the conversion: the next count to tell,
  // kept rather than a division a line.
  int64_t next_progress = (line_counter + 99) / 100 * 100;
  const auto stop = [&](const char* step, int status) {
    m_out->commit_output(reinterpret_cast<char*>(block + used));
    if (step != nullptr) say_step(step);
    return status;
  };

  for (;;) {
    // A record is written while the largest record of the block would still
    // fit together with the two closing markers.
    if (used - previous > largest) largest = used - previous;
    previous = used;
    if (largest + used + markers > static_cast<uint32_t>(BLOCK_SIZE)) {
      say("\n goto next event block\n\n");
      result = OK;
      break;
    }
    const int line = source.next_record();
    if (line == END_OF_FILE) {
      say("\n %lld events converted \n", static_cast<long long>(line_counter));
      result = END_OF_FILE;
      break;
    }
    if (line == COMMENT) continue;
    if (line == READ_FAILED) return stop(nullptr, READ_FAILED);
    if (line == ERROR) return stop("data_reader_flag", ERROR);
    if (line_counter == next_progress) {
      say("now reading line #%lld\n", static_cast<long long>(line_counter));
      next_progress += 100;
    }
    ++line_counter;
    ++records;
    if (write_failed) return stop("write_event_block_binary", ERROR);

    const int32_t words = source.get_number_of_word();
    const uint32_t length = EVENT_SIZE + 2 * static_cast<uint32_t>(words);
    unsigned char* const record = block + used;
    // The head's first four words in one store: event size with its flag,
    // FID, event id and segment size, little-endian; then the segment id.
    const uint64_t head =
        uint64_t{static_cast<uint16_t>((words + EVENT_SIZE / 2) |
                                       static_cast<uint16_t>(FLAG_OF_EVENT_SIZE))} |
        uint64_t{static_cast<uint16_t>(FLAG_OF_FID)} << 16 | uint64_t{records & 0xFFFFu} << 32 |
        uint64_t{static_cast<uint16_t>(words + SEGMENT_SIZE / 2)} << 48;
    std::memcpy(record, &head, sizeof head);
    put_word16(record + 8, 1);
    // Little-endian words, as the machine keeps them. A data line of the
    // settings' layout has WORDS_PER_LINE words; a size known when compiling
    // makes the copy a few moves instead of a call.
    if (words == WORDS_PER_LINE)
      std::memcpy(record + EVENT_SIZE, source.words(), 2 * WORDS_PER_LINE);
    else
      std::memcpy(record + EVENT_SIZE, source.words(), 2 * static_cast<size_t>(words));
    used += length;
  }

  put_word16(block + used, static_cast<uint16_t>(FLAG_OF_END_OF_EVENT_BLOCK));
  put_word16(block + used + 2, static_cast<uint16_t>(FLAG_OF_END_OF_EVENT_BLOCK));
  used += markers;
  std::memset(block + used, 0, BLOCK_SIZE - used);
  used = BLOCK_SIZE;
  if (write_failed) return stop("write_event_block_binary", ERROR);
  return stop(nullptr, result);
}

template <typename Record_source>
int Cconverter::write_binary_file(Record_source& source, Cuser* header, Cuser* ender) {
  write_header_binary(header);
  if (m_out->write_failed()) {
    say_step("write_header_binary");
    return ERROR;
  }

  int64_t line_counter = 0;
  for (;;) {
    const int result = write_event_block(source, line_counter);
    if (result == READ_FAILED) return READ_FAILED;
    if (result == ERROR) {
      say_step("return_flag");
      return ERROR;
    }
    if (result == END_OF_FILE) break;
  }

  write_ender_binary(ender);
  if (m_out->write_failed()) {
    say_step("write_ender_binary");
    return ERROR;
  }
  return OK;
}

#endif
