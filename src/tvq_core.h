// The core of tvqconverter for programs that embed it, such as the Python
// module: a block file walked record by record with the program's own walk,
// a block file written from any source of records as -t2b writes one, a line
// layout checked by the settings' rules and a record's values read by it,
// and the texts of header and ender blocks by the one table of their fields.
// Nothing is printed: a failure comes back as a Problem, whose kind tells
// what failed and whose reason is the program's own text for it.
#ifndef TVQ_CORE_H
#define TVQ_CORE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "Cconverter.h"
#include "Cfile.h"
#include "event_records.h"
#include "line_format.h"
#include "messages.h"
#include "problem.h"
#include "tvq_constants.h"

// ------------------------------------------------------------------- texts

// The seven texts of a header or ender block, in the order of TEXT_FIELDS.
using Block_texts = std::array<std::string, TEXT_FIELD_COUNT>;

// block_texts() : the texts of a header or ender block, each up to its first
// zero byte.
Block_texts block_texts(const int16_t* block);
// user_texts() : the compiled-in texts, which -t2b writes.
Block_texts user_texts();

// ----------------------------------------------------------------- reading

// Cblock_reader: a block file, walked record by record.
class Cblock_reader {
 public:
  Cblock_reader() { m_converter.set_file(&m_in, "in"); }

  // open_file() : OK, or ERROR with problem() (OPEN, with its errno).
  int open_file(const std::string& path);
  // open_source() : the same for an input fed by source.
  int open_source(const Input_source& source, const std::string& name);
  // Before the open, so that a blocked open can be interrupted too.
  void set_interrupt_check(const Interrupt_check& check) { m_in.set_interrupt_check(check); }
  // map_input() : after the open, before the walk: a regular file's blocks
  // are read where the file lies in memory (Cfile::map_input()).
  void map_input() { m_in.map_input(); }
  // read_blocks_singly() : a block at a time from the input (no read-ahead),
  // for a look at the first and the last block alone.
  void read_blocks_singly() { m_in.read_blocks_singly(); }

  // seek_event_block() : the walk goes on with event block number, read by
  // its index, as if the blocks before it had been walked (an input that can
  // move; OK, or ERROR with problem()).
  int seek_event_block(int32_t number);
  // read_last_ender() : the texts of the input's last block if it is an
  // ender block, read by its index alone: found is false for an input that
  // cannot move, is not whole blocks or ends in another block. OK, or ERROR
  // with problem() for a failed read. The walk does not go on after it.
  int read_last_ender(bool& found, Block_texts& texts);

  // walk() : the file to visitor, in file order, from where the last call
  // stopped. Blocks and records are given in place, valid until the walk
  // goes on.
  //   bool header(const int16_t* block)
  //   bool event_block(int32_t event_block, const int16_t* block)
  //       before its records
  //   bool record(int32_t event_block, const Event_record& record)
  //       each record that the listing shows whole
  //   bool ender(const int16_t* block)
  //   uint32_t alike_wanted()
  //   uint32_t take_alike(int32_t event_block, uint32_t count,
  //                       uint32_t data_count)
  //       optional, for a visitor that counts or passes over records: at
  //       most alike_wanted() records alike (alike_records()) of data_count
  //       words each come next, count of them; take_alike() gives how many
  //       it takes in place of record()
  //   bool problem(const Problem& problem)
  //       a record that breaks the rules (DAMAGE): the rest of its block is
  //       lost, the walk goes on with the next block; or what ends the walk:
  //       a block of the wrong type or an input that ends too soon (DAMAGE),
  //       a failed read (READ)
  // Each returns false to stop the walk: STOPPED, and the next call goes on
  // after what stopped it. END_OF_FILE when the walk has ended.
  template <typename Visitor>
  int walk(Visitor& visitor);

  const std::string& path() const { return m_in.name(); }
  const Problem& problem() const { return m_in.problem(); }
  // The event blocks met so far.
  int32_t event_blocks() const { return m_converter.event_block_number(); }

 private:
  Cfile m_in;
  Cconverter m_converter;
  const int16_t* m_block = nullptr;  // an event block whose records are being given
  uint32_t m_position = 0;           // of its next record
  Problem m_record_problem;
};

template <typename Visitor, typename = void>
struct Takes_alike : std::false_type {};
template <typename Visitor>
struct Takes_alike<Visitor, std::void_t<decltype(&Visitor::take_alike)>> : std::true_type {};

template <typename Visitor>
int Cblock_reader::walk(Visitor& visitor) {
  Quiet_messages quiet;
  for (;;) {
    if (m_block != nullptr) {
      const int32_t number = m_converter.event_block_number();
      if constexpr (Takes_alike<Visitor>::value) {
        uint32_t length = 0;
        const uint32_t count = alike_records(m_block, m_position, visitor.alike_wanted(), length);
        if (count > 0) m_position += length * visitor.take_alike(number, count, length - 5);
      }
      const int result = walk_event_records(
          m_block, number, m_position,
          [&visitor, number](const Event_record& record) {
            return !record.whole || visitor.record(number, record);
          },
          m_record_problem);
      if (result == STOPPED) return STOPPED;
      m_block = nullptr;
      if (result == ERROR) {
        m_record_problem.path = m_in.name();
        if (!visitor.problem(m_record_problem)) return STOPPED;
      }
      continue;
    }
    const int16_t* block = nullptr;
    switch (m_converter.next_block(block)) {
      case Cconverter::HEADER_BLOCK:
        if (!visitor.header(block)) return STOPPED;
        break;
      case Cconverter::EVENT_BLOCK:
        m_block = block;
        m_position = EVENT_SIZE_NUM;
        if (!visitor.event_block(m_converter.event_block_number(), block)) return STOPPED;
        break;
      case Cconverter::ENDER_BLOCK:
        if (!visitor.ender(block)) return STOPPED;
        break;
      case Cconverter::WALK_END:
        return END_OF_FILE;
      default:
        visitor.problem(m_converter.problem());
        return END_OF_FILE;
    }
  }
}

// ------------------------------------------------------------------ values

// A line format's values in a row: the event block (uint32), the event id
// (uint16), two zero bytes, then 4 bytes a value: an int32 for %d, a
// float32 for %f.
constexpr size_t VALUES_AT = 8;

struct Value_layout {
  char kinds[MAX_CONVERSIONS];  // 'd' or 'f', a value each
  uint32_t values;
  uint32_t data_size;  // bytes of a value in a record: 2 or 4
  uint32_t words;      // data words of a record
  size_t row_size;
};

// check_value_layout() : nullptr, with layout set, when records can hold the
// values of format with data_size bytes each; otherwise what is wrong, in
// the words of the settings' checks.
const char* check_value_layout(const std::string& format, uint32_t data_size,
                               Value_layout& layout);

// misfit_problem() : a record of path, at word of event_block, whose count
// data words are not the words of a layout's row (DAMAGE).
Problem misfit_problem(const std::string& path, int32_t event_block, uint32_t word, uint32_t count,
                       uint32_t words);

// put_value_row() : the row of a record whose data_count() is layout.words.
// FIXED_WORDS, unless 0, is layout.words of a layout of 4-byte values, known
// when compiling: the row is then a few moves instead of a call.
template <uint32_t FIXED_WORDS = 0>
inline void put_value_row(const Value_layout& layout, int32_t event_block,
                          const Event_record& record, char* row) {
  const uint64_t head = static_cast<uint32_t>(event_block) | uint64_t{record.event_id} << 32;
  std::memcpy(row, &head, sizeof head);
  const int16_t* data = record.data();
  char* value = row + VALUES_AT;
  // Two words a value, low half first: the value's own bytes.
  if (FIXED_WORDS != 0) {
    std::memcpy(value, data, 2 * size_t{FIXED_WORDS});
    return;
  }
  if (layout.data_size == 4) {
    std::memcpy(value, data, 2 * static_cast<size_t>(layout.words));
    return;
  }
  for (uint32_t i = 0; i < layout.words; ++i, value += 4) {
    const int32_t word = data[i];
    std::memcpy(value, &word, 4);
  }
}

// ----------------------------------------------------------------- writing

// set_user_texts() : the record a header or ender block is written from,
// with these texts (each cut to its field).
void set_user_texts(Cconverter::Cuser& user, const Block_texts& texts);
// close_block_file() : write_block_file()'s end, after its blocks were
// written (OK) or not.
int close_block_file(Cfile& out, int written, Problem& problem);

// write_block_file() : a new block file at path as -t2b writes one: a header
// and an ender block of texts, event blocks of the records of source, whose
// next_record() gives OK with a record ready or END_OF_FILE. The records
// are taken from a copy of source, a local that stays in registers record
// by record. A name that exists is refused (EXISTS) and left alone; a failed
// or interrupted write (WRITE, INTERRUPTED) removes the file it created. OK,
// or ERROR with problem.
template <typename Record_source>
int write_block_file(const std::string& path, const Record_source& source,
                     const Block_texts& texts, Problem& problem,
                     const Interrupt_check& check = {}) {
  Quiet_messages quiet;
  Cconverter::Cuser user{};
  set_user_texts(user, texts);
  Cfile out;
  out.set_interrupt_check(check);
  if (out.fopen_wb(path) != OK) {
    problem = out.problem();
    return ERROR;
  }
  Cconverter converter;
  converter.set_file(&out, "out");
  Record_source records = source;
  return close_block_file(out, converter.write_binary_file(records, &user, &user), problem);
}

#endif
