// A failure as data, kept where it happens: its kind, the errno where there
// is one, the file, the event block and word where there are, and the
// program's words for it. The command line prints the words; a program that
// embeds the core decides by the kind.
#ifndef PROBLEM_H
#define PROBLEM_H

#include <cstdint>
#include <string>

enum class Problem_kind {
  OPEN,    // a file could not be opened
  READ,    // a read failed
  WRITE,   // a write or the close of an output failed
  EXISTS,  // an output name is taken
  DAMAGE,  // the file breaks the block format
  INTERRUPTED,  // the embedding program asked to stop (Interrupt_check)
};

struct Problem {
  Problem_kind kind = Problem_kind::DAMAGE;
  int error_number = 0;     // errno, 0 where there is none
  std::string path;
  int32_t event_block = 0;  // as the listing counts them, from 1; 0 outside an event block
  int32_t word = -1;        // within its block; -1 where there is none
  std::string place;        // block and word in words, empty where the reason names them
  std::string reason;       // the program's words

  // message() : "path: place: reason", the text for people.
  std::string message() const {
    return path + ": " + (place.empty() ? std::string() : place + ": ") + reason;
  }
};

#endif
