// The records of an event block as the listing reads them, record by record,
// with the checks that end a block's records. -b2t lists what this gives; a
// program that embeds the core takes the records that come whole.
#ifndef EVENT_RECORDS_H
#define EVENT_RECORDS_H

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "messages.h"
#include "problem.h"
#include "tvq_constants.h"

struct Event_record {
  uint32_t start;          // word index of the record's event size word
  uint16_t event_size;     // without its flag bit
  uint16_t event_id;
  uint16_t segment_size;
  const int16_t* words;    // the segment id, then the data words
  uint32_t listed;         // words at words that lie in the block
  bool whole;              // consistent, and every word lies in the block

  // The data words of a whole record.
  const int16_t* data() const { return words + 1; }
  uint32_t data_count() const { return listed - 1; }
};

// record_place() : where a record stands, in words.
inline std::string record_place(int32_t number, uint32_t start) {
  return "event block " + std::to_string(number) + ", record at word " + std::to_string(start);
}

// record_problem() : a record that ends its block's records: the problem
// kept (its file left for the caller to name) and its reason said. place
// tells whether the reason leaves the record's place unsaid.
__attribute__((cold, noinline)) inline int record_problem(Problem& problem, int32_t number,
                                                          uint32_t start, bool place,
                                                          std::string reason) {
  problem = {Problem_kind::DAMAGE, 0, "", number, static_cast<int32_t>(start),
             place ? record_place(number, start) : std::string(), std::move(reason)};
  say_line(problem.reason.c_str());
  return ERROR;
}

// walk_event_records() : on_record(const Event_record&) for each record of
// event block number from word from on (EVENT_SIZE_NUM for the whole block),
// in order, as far as its words lie in the block. A record's words
// are taken in order: a word without the event size bit, or an FID other
// than FLAG_OF_FID, ends the records (OK). A record whose event and segment
// sizes do not differ by 3, whose segment is too short to hold its own head,
// or that runs past the block's last word ends them with ERROR after its
// message, kept in problem; it is given to on_record first, not whole, when
// its event id lies in the block. on_record returns false to stop after its
// record: STOPPED, with from at the next one, to go on from there.
template <typename On_record>
inline int walk_event_records(const int16_t* block, int32_t number, uint32_t& from,
                              On_record&& on_record, Problem& problem) {
  constexpr uint32_t END = WORDS_PER_BLOCK;
  const auto word_at = [block](uint32_t index) { return static_cast<uint16_t>(block[index]); };
  const auto runs_past = [number, &problem](uint32_t start) {
    return record_problem(problem, number, start, false,
                          "record at word " + std::to_string(start) + " of event block " +
                              std::to_string(number) + " runs past the end of the block");
  };
  Event_record record{};
  uint32_t position = from;
  // The bound is tested before each record: one whose event size word is
  // the block's last word ends the records.
  while (position < END - 1) {
    record.start = position;
    const uint16_t event_size_word = word_at(position++);
    if ((event_size_word & 0x8000u) == 0) return OK;
    record.event_size = static_cast<uint16_t>(event_size_word & 0x7FFFu);
    if (word_at(position++) != static_cast<uint16_t>(FLAG_OF_FID)) return OK;
    if (position == END) return runs_past(record.start);
    record.event_id = word_at(position++);
    record.words = block + position;
    record.listed = 0;
    record.whole = false;
    if (position == END) {
      on_record(record);
      return runs_past(record.start);
    }
    record.segment_size = word_at(position++);
    const int32_t segment_size = record.segment_size;
    if (record.event_size - segment_size != 3) {
      on_record(record);
      return record_problem(problem, number, record.start, true,
                            "event_size or segment_size is wrong");
    }
    if (segment_size < 2) {
      on_record(record);
      return record_problem(problem, number, record.start, false,
                            "segment size " + std::to_string(segment_size) +
                                " is too small at word " + std::to_string(record.start) +
                                " of event block " + std::to_string(number));
    }
    // segment id and data words
    const auto words = static_cast<uint32_t>(segment_size - 1);
    record.words = block + position;
    record.listed = words < END - position ? words : END - position;
    record.whole = record.listed == words;
    const bool go_on = on_record(record);
    position += record.listed;
    if (!record.whole) return runs_past(record.start);
    if (!go_on) {
      from = position;
      return STOPPED;
    }
  }
  return OK;
}

// alike_records() : how many records from word from on, at most most, are
// alike the first of them (the same event size word, FID and segment size)
// and lie whole in the block, each of length words: walk_event_records()
// gives each of them whole, with length - 5 data words. The place of each is
// known without reading the one before it, so a block of records alike is
// passed over at the speed of its loads.
inline uint32_t alike_records(const int16_t* block, uint32_t from, uint32_t most,
                              uint32_t& length) {
  constexpr uint32_t END = WORDS_PER_BLOCK;
  if (most == 0 || from + 4 > END) return 0;
  const auto word_at = [block](uint32_t index) { return static_cast<uint16_t>(block[index]); };
  const uint16_t event_size_word = word_at(from);
  const uint16_t segment_size = word_at(from + 3);
  // A record's words: its head, the segment id and the data, that is its
  // event size, when event size and segment size differ by 3.
  length = event_size_word & 0x7FFFu;
  if ((event_size_word & 0x8000u) == 0 || length != segment_size + 3u || segment_size < 2)
    return 0;
  // A head's four words in one load, the event id left out.
  constexpr uint64_t EVENT_ID_OUT = 0xFFFF0000FFFFFFFFu;
  const uint64_t head = uint64_t{event_size_word} |
                        uint64_t{static_cast<uint16_t>(FLAG_OF_FID)} << 16 |
                        uint64_t{segment_size} << 48;
  uint32_t count = 0;
  for (uint32_t at = from; count < most && at + length <= END; at += length, ++count) {
    uint64_t words;
    std::memcpy(&words, block + at, sizeof words);
    if ((words & EVENT_ID_OUT) != head) break;
  }
  return count;
}

#endif
