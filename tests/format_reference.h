// The tests' model of the block format and of the three conversions, written
// from the format itself and independent of the program's sources: none of
// its headers is included here; a build's settings (texts, line format, bytes
// per value) come in as data. It gives the -b2rb dump and the -b2t listing of
// a block file with the messages of the walk, a data line as the reader takes
// it (the C library's sscanf with the whole line format is the oracle of the
// scan), and the -t2b output of a text.
#ifndef TVQ_FORMAT_REFERENCE_H
#define TVQ_FORMAT_REFERENCE_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace reference {

using Bytes = std::vector<unsigned char>;

constexpr size_t BLOCK = 16384;
constexpr size_t WORDS = BLOCK / 2;
constexpr size_t LINE_PIECE = 16383;  // characters a line read takes at most
constexpr int MAX_VALUES = 16;        // conversions a line format may hold

// The settings of one build, as data.
struct Settings {
  // run number, start time, stop time, print time, print date, header, ender
  const char* texts[7];
  const char* line_format;  // "%d" and "%f" conversions separated by white space
  int data_size;            // bytes per value: 2 or 4

  int values() const {
    int count = 0;
    for (const char* p = line_format; *p != '\0'; ++p) count += *p == '%';
    return count;
  }
  char kind(int i) const {  // 'd' or 'f'
    const char* p = line_format;
    for (int seen = -1; seen < i; ++p)
      if (*p == '%') ++seen;
    return *p;
  }
  int words_per_line() const { return values() * data_size / 2; }
  // records that fit between an event block's head and its two markers
  size_t records_per_block() const {
    return (BLOCK - 8 - 4) / (2 * (static_cast<size_t>(words_per_line()) + 5));
  }
};

// (word index, bytes) of the seven text fields, in listing order
constexpr size_t TEXT_FIELDS[7][2] = {{10, 8}, {15, 18}, {24, 18}, {34, 18},
                                      {43, 10}, {50, 80}, {90, 80}};

inline unsigned get_word(const unsigned char* block, size_t index) {
  return static_cast<unsigned>(block[2 * index]) | (static_cast<unsigned>(block[2 * index + 1]) << 8);
}

inline void put_word(Bytes& file, size_t byte_offset, unsigned value) {
  file[byte_offset] = static_cast<unsigned char>(value & 0xFF);
  file[byte_offset + 1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

// A header (flag 1) or ender (flag 0xFFFF) block with the settings' texts.
inline void append_user_block(Bytes& file, unsigned flag, const Settings& settings) {
  const size_t at = file.size();
  file.resize(at + BLOCK, 0);
  put_word(file, at, flag);
  file[at + 28] = file[at + 29] = file[at + 66] = file[at + 67] = ' ';
  for (int i = 0; i < 7; ++i)
    std::memcpy(&file[at + 2 * TEXT_FIELDS[i][0]], settings.texts[i],
                strnlen(settings.texts[i], TEXT_FIELDS[i][1]));
}

// ------------------------------------------------------------ dump, listing

// Lines of eight words, each as printf's "%04x " gives it, and a newline.
inline void append_dump(const uint16_t* words, size_t count, std::string& out) {
  static const std::vector<char> groups = [] {
    std::vector<char> table(65536 * 6);
    for (unsigned w = 0; w < 65536; ++w) std::snprintf(&table[w * 6], 6, "%04x ", w);
    return table;
  }();
  for (size_t i = 0; i < count; ++i) {
    out.append(&groups[words[i] * 6u], 5);
    if (i % 8 == 7) out += '\n';
  }
}

inline void append_dump(const unsigned char* block, std::string& out) {
  uint16_t words[WORDS];
  for (size_t i = 0; i < WORDS; ++i) words[i] = static_cast<uint16_t>(get_word(block, i));
  append_dump(words, WORDS, out);
}

// A word of a record as printf's "%4d " gives it.
inline void append_value(unsigned value, std::string& out) {
  char text[8];
  out.append(text, static_cast<size_t>(std::snprintf(text, sizeof text, "%4d ", static_cast<int>(value))));
}

inline void append_fields(const char* banner, const unsigned char* block, std::string& out) {
  out += banner;
  for (const auto& field : TEXT_FIELDS) {
    const char* text = reinterpret_cast<const char*>(block + 2 * field[0]);
    out += "#  ";
    out.append(text, strnlen(text, field[1]));
    out += '\n';
  }
  out += '\n';
}

// The listing of one event block and the messages it prints. A record that is
// inconsistent or too short ends the listing without its closing newline, and
// so does the first word of a record that lies past the block, after the
// words before it are listed.
inline void append_event_listing(const unsigned char* block, int number, std::string& out,
                                 std::string& messages) {
  out += "#  " + std::to_string(number) + " event block\n\n";
  const std::string where = " of event block " + std::to_string(number);
  size_t p = 4;
  while (p < WORDS - 1) {
    const size_t start = p;
    const std::string past = "record at word " + std::to_string(start) + where +
                             " runs past the end of the block\n";
    const unsigned event_size = get_word(block, p);
    if ((event_size & 0x8000u) == 0 || get_word(block, p + 1) != 1) break;
    if (start + 2 >= WORDS) return void(messages += past);
    append_value(get_word(block, start + 2), out);
    if (start + 3 >= WORDS) return void(messages += past);
    const unsigned segment_size = get_word(block, start + 3);
    if (static_cast<long>(event_size & 0x7FFFu) - static_cast<long>(segment_size) != 3)
      return void(messages += "event_size or segment_size is wrong\n");
    if (segment_size < 2)
      return void(messages += "segment size " + std::to_string(segment_size) + " is too small at word " +
                              std::to_string(start) + where + "\n");
    for (p = start + 4; p < start + 3 + segment_size; ++p) {  // segment id and data words
      if (p >= WORDS) return void(messages += past);
      append_value(get_word(block, p), out);
    }
    out += '\n';
  }
  out += '\n';
}

// ---------------------------------------------------------------- the walk

// What the -b2rb or -b2t walk over a file gives: whether it succeeds, the
// output, and the converter's messages (the driver's closing line not
// among them).
struct Walk {
  bool ok = false;
  std::string output;
  std::string messages;
};

// The walk as the converter reads the file named name: header, event blocks
// until a block whose word 0 is 0xFFFF, ender; nothing after the ender is
// looked at. listing: -b2t, else -b2rb.
inline void walk(const Bytes& file, const std::string& name, bool listing, Walk& result) {
  result.ok = false;
  result.output.clear();
  result.messages.clear();
  auto missing = [&](size_t index) {  // true after the messages of a block not there whole
    const size_t at = index * BLOCK;
    if (at + BLOCK <= file.size()) return false;
    result.messages += "end of file\n";
    if (at >= file.size())
      result.messages += index == 0 ? "no header block: " + name + " is empty\n"
                                    : "no ender block: " + name + " ends after " +
                                          std::to_string(index) + " blocks\n";
    else
      result.messages += "block " + std::to_string(index) + " of " + name + " is incomplete: " +
                         std::to_string(file.size() - at) + " of 16384 bytes\n";
    result.messages += index == 0 ? "read_heaader_binary\n" : "read_one_block\n";
    return true;
  };
  auto block = [&file](size_t index) { return file.data() + index * BLOCK; };
  if (missing(0)) return;
  if (get_word(block(0), 0) != 1) {
    result.messages += "this block is not header\nread_heaader_binary\n";
    return;
  }
  result.output += '\n';
  auto whole = [&](const char* banner, const unsigned char* b) {
    if (listing) return append_fields(banner, b, result.output);
    result.output += banner;
    append_dump(b, result.output);
    result.output += '\n';
  };
  whole("#  start header\n\n", block(0));
  for (size_t index = 1;; ++index) {
    if (missing(index)) return;
    const unsigned flag = get_word(block(index), 0);
    if (flag == 0xFFFF) {
      whole("#  start ender\n\n", block(index));
      result.ok = true;
      return;
    }
    if (flag != 0) {
      result.messages += "this block is not event block\nread_event_block_binary\n";
      return;
    }
    const int number = static_cast<int>(index);
    if (listing) {
      append_event_listing(block(index), number, result.output, result.messages);
    } else {
      result.output += "#  " + std::to_string(number) + " event block\n\n";
      append_dump(block(index), result.output);
      result.output += '\n';
    }
  }
}

// -------------------------------------------------------------- data lines

// Destinations of a whole-format scan: conversion i stores into d[i] or f[i].
struct Destinations {
  int d[MAX_VALUES];
  float f[MAX_VALUES];
};

// sscanf with the whole line format, one row per layout a build may have;
// each call's destinations match its format.
#define TVQ_LAYOUT_ROW(FORMAT, ...) \
  {FORMAT, [](const char* line, Destinations& v) { return std::sscanf(line, FORMAT, __VA_ARGS__); }}
const struct {
  const char* format;
  int (*scan)(const char* line, Destinations& v);
} LAYOUT_ROWS[] = {
    TVQ_LAYOUT_ROW("%d %f %f %f %f %f", &v.d[0], &v.f[1], &v.f[2], &v.f[3], &v.f[4], &v.f[5]),
    TVQ_LAYOUT_ROW("%d %d %f %f %f %f %f %f %f", &v.d[0], &v.d[1], &v.f[2], &v.f[3], &v.f[4],
                   &v.f[5], &v.f[6], &v.f[7], &v.f[8]),
    TVQ_LAYOUT_ROW("%d %d %d %d %d %d %d %d %d %d", &v.d[0], &v.d[1], &v.d[2], &v.d[3], &v.d[4],
                   &v.d[5], &v.d[6], &v.d[7], &v.d[8], &v.d[9]),
};
#undef TVQ_LAYOUT_ROW

// Where sscanf with the line format stops after its first n conversions, or
// -1: the format cut after them, each assignment suppressed, then "%n".
inline int end_of_conversions(const char* line, const Settings& settings, int n) {
  std::string format;
  int seen = 0;
  for (const char* p = settings.line_format; *p != '\0' && seen < n; ++p) {
    format += *p;
    if (*p == '%') {
      format += '*';
      format += *++p;
      ++seen;
    }
  }
  format += "%n";
  int end = -1;
  std::sscanf(line, format.c_str(), &end);
  return end;
}

struct Scan {
  int count;                   // sscanf's result
  uint32_t raw[MAX_VALUES];    // integers' values, floats' bit patterns
  std::string refused_integer; // the first integer converted outside 32 bits, as written, or ""
};

// The C library's scan of a line (a C string) with the whole line format;
// false when no row holds the format.
inline bool scan(const char* line, const Settings& settings, Scan& result) {
  for (const auto& row : LAYOUT_ROWS) {
    if (std::strcmp(row.format, settings.line_format) != 0) continue;
    Destinations v{};
    result.count = row.scan(line, v);
    result.refused_integer.clear();
    for (int i = 0; i < settings.values(); ++i) {
      if (settings.kind(i) == 'f') {
        std::memcpy(&result.raw[i], &v.f[i], sizeof result.raw[i]);
        continue;
      }
      result.raw[i] = static_cast<uint32_t>(v.d[i]);
      if (i >= result.count || !result.refused_integer.empty()) continue;
      const int start = i == 0 ? 0 : end_of_conversions(line, settings, i);
      std::string token(line + start, static_cast<size_t>(end_of_conversions(line, settings, i + 1) - start));
      token.erase(0, token.find_first_not_of(" \t\n\v\f\r"));
      errno = 0;
      const long long value = std::strtoll(token.c_str(), nullptr, 10);
      if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) result.refused_integer = token;
    }
    return true;
  }
  return false;
}

// One line (a C string) as the data line reader takes it: a comment, a bad
// line with the reader's message, or the data words of a record.
struct Line {
  enum { comment, bad, data } kind;
  std::string message;
  Scan scan;
  uint16_t words[2 * MAX_VALUES];  // for data: Settings::words_per_line() of them
};

inline bool is_comment(const char* line) {
  const char first = line[0];
  return first == '#' || first == 'c' || first == '%' || first == '\n' || (first == '/' && line[1] == '/');
}

inline void read_line(const char* line, const Settings& settings, Line& result) {
  result.message.clear();
  result.kind = Line::bad;
  if (!scan(line, settings, result.scan)) {
    std::fprintf(stderr, "no layout row for the line format %s\n", settings.line_format);
    std::abort();
  }
  if (is_comment(line)) {
    result.kind = Line::comment;
  } else if (!result.scan.refused_integer.empty()) {
    result.message = "integer " + result.scan.refused_integer + " does not fit in 32 bits\n";
  } else if (result.scan.count != settings.values()) {
    result.message = "\n scaned number and number_of_data is not consistent!!\n\n";
  } else {
    result.kind = Line::data;
    for (int i = 0; i < settings.values(); ++i) {
      const uint32_t value = result.scan.raw[i];
      if (settings.data_size == 4) {
        result.words[2 * i] = static_cast<uint16_t>(value & 0xFFFFu);
        result.words[2 * i + 1] = static_cast<uint16_t>(value >> 16);
      } else if (static_cast<int32_t>(value) >= INT16_MIN && static_cast<int32_t>(value) <= INT16_MAX) {
        result.words[i] = static_cast<uint16_t>(value);
      } else {
        result.kind = Line::bad;
        result.message = "input data is too large or small for short\n"
                         "error@Cdata_reader::convert_data_to_data_t\n";
        return;
      }
    }
  }
}

// ------------------------------------------------------------------ -t2b

// The file -t2b writes from a text: header, full event blocks, the last
// one, ender (ok); or after a bad data line the header, the full blocks and
// the open block up to its last record (not ok).
inline void t2b(const unsigned char* text, size_t size, const Settings& settings, bool& ok, Bytes& file) {
  ok = false;
  file.clear();
  append_user_block(file, 1, settings);
  const int n = settings.words_per_line();
  size_t block_start = 0;
  size_t records = 0;
  auto put16 = [&file](unsigned value) {
    file.push_back(static_cast<unsigned char>(value & 0xFF));
    file.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
  };
  auto open_block = [&] {
    block_start = file.size();
    file.resize(block_start + 8, 0);
    records = 0;
  };
  auto close_block = [&] {
    put16(0xFFFF);
    put16(0xFFFF);
    file.resize(block_start + BLOCK, 0);
  };
  open_block();
  static std::string line;
  static Line read;
  for (size_t pos = 0; pos < size;) {
    size_t length = 0;
    while (pos + length < size && length < LINE_PIECE)
      if (text[pos + length++] == '\n') break;
    line.assign(reinterpret_cast<const char*>(text + pos), length);
    pos += length;
    read_line(line.c_str(), settings, read);
    if (read.kind == Line::comment) continue;
    if (read.kind == Line::bad) return;
    ++records;
    for (const unsigned word : {static_cast<unsigned>(n + 5) | 0x8000u, 1u, static_cast<unsigned>(records),
                                static_cast<unsigned>(n + 2), 1u})
      put16(word);
    for (int i = 0; i < n; ++i) put16(read.words[i]);
    // A full block is closed at once, before the next line is read: a bad
    // line or the end of the input then meets a new, empty block.
    if (records == settings.records_per_block()) {
      close_block();
      open_block();
    }
  }
  close_block();
  append_user_block(file, 0xFFFF, settings);
  ok = true;
}

}  // namespace reference

#endif
