// The walk over a block file: the header block, each event block in turn, the
// ender block. -b2rb and -b2t write what it gives; the Python module reads
// from it.
#ifndef BLOCK_WALK_H
#define BLOCK_WALK_H

#include <cstdint>

#include "Cfile.h"

// read_typed_block() : reads the next block of in and checks its word 0
// against flag; a block the input does not hold whole is reported ("no
// <type> block: ...") and never checked. OK, or ERROR after the messages.
int read_typed_block(int16_t* block, Cfile* in, int16_t flag, const char* type,
                     const char* wrong_type);

class Cblock_walk {
 public:
  // What next_block() gave.
  enum Kind { HEADER_BLOCK, EVENT_BLOCK, ENDER_BLOCK, WALK_END };

  explicit Cblock_walk(Cfile* in) : m_in(in), m_next(HEADER_BLOCK), m_event_blocks(0) {}

  // next_block() : the next block of the walk in block (WORDS_PER_BLOCK
  // words): the header, the event blocks, the ender, then WALK_END. A block
  // after the header is peeked at (read, then stepped back) so that its word
  // 0 decides whether the event block reader or the ender reader takes it.
  // ERROR after the messages of the step that failed, the last one naming
  // the step; the walk then stays ended.
  int next_block(int16_t* block);
  // The number of the last event block given, from 1.
  int32_t event_block_number() const { return m_event_blocks; }

 private:
  Cfile* m_in;
  int m_next;
  int32_t m_event_blocks;
};

#endif
