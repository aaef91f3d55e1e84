// The layout of a text data line, read from a line format such as
// "%d %f %f %f %f %f": which values a line holds, in order, and whether the
// format is one the program can use. Usable when compiling (the user
// settings are checked so) and at run time (a layout given by a caller).
#ifndef LINE_FORMAT_H
#define LINE_FORMAT_H

#include <cstdint>

#include "byte_masks.h"

// A data line holds at most this many values.
constexpr int MAX_CONVERSIONS = 16;

// What a line format says: its conversions in order ('d' or 'f'), whether
// white space comes before each, and what makes it unusable.
struct Line_layout {
  int conversions = 0;
  char kinds[MAX_CONVERSIONS] = {};
  bool space_before[MAX_CONVERSIONS] = {};
  bool has_float = false;
  bool other_conversion = false;  // not plain %d or %f: width, length, '*', %%, %s, ...
  bool other_text = false;        // a character that is neither white space nor a conversion
  bool unseparated = false;       // two conversions without white space between them
};

constexpr Line_layout parse_line_format(const char* format) {
  Line_layout layout;
  bool space = false;
  for (const char* p = format; *p != '\0'; ++p) {
    if (is_c_space(*p)) {
      space = true;
      continue;
    }
    if (*p != '%') {
      layout.other_text = true;
      continue;
    }
    const char kind = p[1];
    if (kind != 'd' && kind != 'f') {
      layout.other_conversion = true;
      if (kind == '\0') break;
      ++p;
      continue;
    }
    ++p;
    if (layout.conversions > 0 && !space) layout.unseparated = true;
    if (layout.conversions < MAX_CONVERSIONS) {
      layout.kinds[layout.conversions] = kind;
      layout.space_before[layout.conversions] = space;
    }
    layout.has_float = layout.has_float || kind == 'f';
    ++layout.conversions;
    space = false;
  }
  return layout;
}

// What a usable layout must be, each rule in words: the compile-time checks of
// the user settings and layout_problem() say the same.
#define LAYOUT_RULE_PLAIN "only %d and %f conversions, without width, length or '*'"
#define LAYOUT_RULE_TEXT "only conversions and white space between them"
#define LAYOUT_RULE_SEPARATED "the conversions must be separated by white space"
#define LAYOUT_RULE_COUNT "1 to 16 conversions"
#define LAYOUT_RULE_DATA_SIZE "2 or 4 bytes per value"
#define LAYOUT_RULE_SHORTS "2 takes only %d conversions: a float does not fit in one word"

// layout_problem() : nullptr when lines of this layout can be converted with
// data_size bytes a value; otherwise what is wrong.
constexpr const char* layout_problem(const Line_layout& layout, uint32_t data_size) {
  if (layout.other_conversion) return "line format: " LAYOUT_RULE_PLAIN;
  if (layout.other_text) return "line format: " LAYOUT_RULE_TEXT;
  if (layout.unseparated) return "line format: " LAYOUT_RULE_SEPARATED;
  if (layout.conversions < 1 || layout.conversions > MAX_CONVERSIONS)
    return "line format: " LAYOUT_RULE_COUNT;
  if (data_size != 2 && data_size != 4) return "data size: " LAYOUT_RULE_DATA_SIZE;
  if (data_size == 2 && layout.has_float) return "data size " LAYOUT_RULE_SHORTS;
  return nullptr;
}

#endif
