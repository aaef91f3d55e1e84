// Shared pieces of the libFuzzer harnesses: input and output files on tmpfs,
// building block files out of fuzz bytes, reference models of the block
// walk, the readable dump and the text listing written straight from the
// format, against which the converter's output is compared byte for byte, the
// body of the block walk harnesses, and the C library's reading of a data line
// with the line format.
#ifndef TVQ_FUZZ_SUPPORT_H
#define TVQ_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../scan_reference.h"
#include "Cconverter.h"
#include "Cfile.h"
#include "tvq_constants.h"
#include "user_settings.h"

namespace fuzz {

using Bytes = std::vector<unsigned char>;

constexpr size_t BLOCK = static_cast<size_t>(BLOCK_SIZE);
constexpr size_t WORDS = BLOCK / 2;

// A failed property: the harness stops with a message that says which one.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "\n*** property failed: %s\n", what);
  std::fflush(stderr);
  __builtin_trap();
}

inline void check(bool condition, const char* what) {
  if (!condition) fail(what);
}

// The program prints its messages on standard output; the fuzzer keeps its
// own reports on standard error.
inline void silence_stdout() {
  std::fflush(stdout);
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
}

// The input of one run: an anonymous in-memory file reached by name through
// /proc/self/fd, so that Cfile opens it like any file given on the command line.
class Input_file {
 public:
  Input_file() : m_fd(memfd_create("tvq-fuzz-input", MFD_CLOEXEC)) {
    if (m_fd < 0) fail("memfd_create");
    m_name = "/proc/self/fd/" + std::to_string(m_fd);
  }
  void set(const unsigned char* data, size_t size) {
    if (::ftruncate(m_fd, 0) != 0) fail("ftruncate input");
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(m_fd, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) fail("pwrite input");
      done += static_cast<size_t>(n);
    }
  }
  const std::string& name() const { return m_name; }

 private:
  int m_fd;
  std::string m_name;
};

// Output names: fresh for every run, in a private directory on tmpfs
// (fopen_w and fopen_wb refuse a name that exists). Each run removes its
// output; the directory goes when the process exits.
class Output_names {
 public:
  Output_names() {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/tvq-fuzz-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) fail("mkdtemp");
    std::memcpy(directory(), buffer.data(), buffer.size());
    std::atexit([] { ::rmdir(directory()); });
  }
  std::string next() { return std::string(directory()) + "/out." + std::to_string(++m_count); }

 private:
  // Plain storage, still valid while exit handlers run.
  static char* directory() {
    static char name[64];
    return name;
  }
  unsigned long m_count = 0;
};

// Reads the whole file into bytes (whose capacity is kept from run to run).
inline void read_whole(const std::string& name, Bytes& bytes) {
  bytes.clear();
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("output file cannot be read back");
  struct stat st {};
  if (::fstat(fd, &st) != 0) fail("fstat of the output");
  bytes.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) fail("reading the output back");
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

// The reference models are not part of what is fuzzed: no coverage feedback.
#define TVQ_FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))

// ------------------------------------------------------------ byte source

// Reads the fuzz bytes front to back; past the end it yields zeros.
class Source {
 public:
  Source(const unsigned char* data, size_t size) : m_data(data), m_size(size) {}
  bool empty() const { return m_pos >= m_size; }
  size_t left() const { return empty() ? 0 : m_size - m_pos; }
  unsigned byte() { return empty() ? 0 : m_data[m_pos++]; }
  unsigned word() {
    const unsigned low = byte();
    return low | (byte() << 8);
  }
  // Up to count bytes (fewer at the end of the input).
  const unsigned char* take(size_t& count) {
    if (count > left()) count = left();
    const unsigned char* p = m_data + m_pos;
    m_pos += count;
    return p;
  }

 private:
  const unsigned char* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

// ------------------------------------------------------------ block files

inline void put_word(Bytes& file, size_t byte_offset, unsigned value) {
  file[byte_offset] = static_cast<unsigned char>(value & 0xFF);
  file[byte_offset + 1] = static_cast<unsigned char>((value >> 8) & 0xFF);
}

inline unsigned get_word(const unsigned char* block, size_t index) {
  return static_cast<unsigned>(block[2 * index]) | (static_cast<unsigned>(block[2 * index + 1]) << 8);
}

// A header (flag 1) or ender (flag 0xFFFF) block with the -t2b texts.
inline void append_user_block(Bytes& file, unsigned flag) {
  const size_t at = file.size();
  file.resize(at + BLOCK, 0);
  unsigned char* b = file.data() + at;
  put_word(file, at, flag);
  std::memcpy(b + 20, user_run_number, 8);
  b[28] = b[29] = ' ';
  std::memcpy(b + 30, user_start_time, 18);
  std::memcpy(b + 48, user_stop_time, 18);
  b[66] = b[67] = ' ';
  std::memcpy(b + 68, user_print_time, 18);
  std::memcpy(b + 86, user_print_date, 10);
  std::memcpy(b + 100, user_header, std::strlen(user_header));
  std::memcpy(b + 180, user_ender, std::strlen(user_ender));
}

// An event block being filled word by word; words past the block are dropped,
// so records may be cut off at its end.
class Event_block {
 public:
  explicit Event_block(Bytes& file) : m_file(file), m_at(file.size()) {
    file.resize(m_at + BLOCK, 0);
  }
  size_t position() const { return m_pos; }
  bool full() const { return m_pos >= WORDS; }
  void put(unsigned value) {
    if (m_pos < WORDS) put_word(m_file, m_at + 2 * m_pos, value);
    ++m_pos;
  }
  // A record whose event size and segment size agree (event size = n + 5).
  void record(unsigned id, size_t n, Source* data) {
    put(static_cast<unsigned>((n + 5) & 0x7FFF) | 0x8000u);
    put(1);
    put(id);
    put(static_cast<unsigned>((n + 2) & 0xFFFF));
    put(1);
    for (size_t i = 0; i < n && !full(); ++i) put(data != nullptr ? data->word() : 0);
  }

 private:
  Bytes& m_file;
  size_t m_at;
  size_t m_pos = 4;  // flag and three blank words
};

// Fuzz input of the -b2rb and -b2t harnesses. Byte 0 chooses how the rest
// becomes the input file:
//   0 raw:     the rest is the file as it stands (any length).
//   1 blocks:  a list of blocks; per block a control byte c:
//                c & 3: word 0 = 1 (header), 0 (event), 0xFFFF (ender), or
//                       the next two bytes (little-endian);
//                c & 4: the block is cut short to (next two bytes) % 16384 bytes;
//                c >> 3: that many times 8 following bytes fill the block
//                        from byte 2 on; the rest of the block is zero.
//              At most 8 blocks.
//   2 records: header, event blocks built from record operations, ending.
//              Byte 1 chooses the ending: 0 ender, 1 ender and 100 bytes
//              after it, 2 none, 3 half an ender. Then operations, byte o:
//                o & 7 = 0, 1: consistent record, n = next byte data words
//                              taken from the input;
//                        2: (o >> 3) + 1 raw words from the input;
//                        3: record with segment size (o >> 3) & 1 (0 or 1) and
//                           a matching event size;
//                        4: consistent record of zeros that brings the next
//                           record to word 8191 - ((o >> 3) & 31), if it can;
//                        5: consistent record, n = (next two bytes) % 8192,
//                           cut off at the end of the block;
//                        6: close the block: (o >> 3) & 3 = 0 two 0xFFFF
//                           markers, 1 nothing, 2 0xFFFF and a word that is
//                           not 1, 3 a word without bit 15; start a new event
//                           block (at most 4);
//                        7: record with an event size and a segment size
//                           taken from the input (any relation).
//   3 words:   header, then event blocks whose words 4 to 8191 are the rest
//              of the input (at most 4 blocks, the last padded with zeros),
//              then an ender.
inline void build_block_file(const unsigned char* data, size_t size, Bytes& file) {
  file.clear();
  if (size == 0) return;
  Source in(data + 1, size - 1);
  switch (data[0] & 3) {
    case 0:
      file.assign(data + 1, data + size);
      break;
    case 1:
      for (int blocks = 0; blocks < 8 && !in.empty(); ++blocks) {
        const unsigned c = in.byte();
        static const unsigned FLAGS[3] = {1, 0, 0xFFFF};
        const unsigned flag = (c & 3) == 3 ? in.word() : FLAGS[c & 3];
        size_t length = BLOCK;
        if (c & 4) length = in.word() % BLOCK;
        size_t fill = static_cast<size_t>(c >> 3) * 8;
        const unsigned char* content = in.take(fill);
        const size_t at = file.size();
        file.resize(at + BLOCK, 0);
        put_word(file, at, flag);
        std::memcpy(file.data() + at + 2, content, fill);
        file.resize(at + length);
      }
      break;
    case 2: {
      const unsigned ending = in.byte() & 3;
      append_user_block(file, 1);
      int blocks = 1;
      auto* block = new Event_block(file);
      unsigned id = 0;
      while (!in.empty()) {
        const unsigned o = in.byte();
        switch (o & 7) {
          case 0:
          case 1:
            block->record(++id, in.byte(), &in);
            break;
          case 2:
            for (unsigned i = 0; i <= (o >> 3); ++i) block->put(in.word());
            break;
          case 3: {
            const unsigned segment = (o >> 3) & 1;
            block->put((segment + 3) | 0x8000u);
            block->put(1);
            block->put(++id);
            block->put(segment);
            block->put(1);
            break;
          }
          case 4: {
            const size_t target = WORDS - 1 - ((o >> 3) & 31);
            if (block->position() + 5 <= target) block->record(++id, target - block->position() - 5, nullptr);
            break;
          }
          case 5:
            block->record(++id, in.word() % WORDS, nullptr);
            break;
          case 6: {
            const unsigned end = (o >> 3) & 3;
            if (end == 0) {
              block->put(0xFFFF);
              block->put(0xFFFF);
            } else if (end == 2) {
              block->put(0xFFFF);
              block->put(2 + in.byte());
            } else if (end == 3) {
              block->put(in.word() & 0x7FFF);
            }
            delete block;
            block = nullptr;
            if (blocks == 4) break;
            ++blocks;
            block = new Event_block(file);
            id = 0;
            break;
          }
          default:
            block->put(in.word() | 0x8000u);
            block->put(1);
            block->put(++id);
            block->put(in.word());
            block->put(1);
            break;
        }
        if (block == nullptr) break;
      }
      delete block;
      if (ending != 2) append_user_block(file, 0xFFFF);
      if (ending == 1) file.insert(file.end(), 100, 0x5A);
      if (ending == 3) file.resize(file.size() - BLOCK / 2);
      break;
    }
    default: {
      append_user_block(file, 1);
      for (int blocks = 0; blocks < 4 && (blocks == 0 || !in.empty()); ++blocks) {
        const size_t at = file.size();
        file.resize(at + BLOCK, 0);
        size_t count = BLOCK - 8;
        const unsigned char* content = in.take(count);
        std::memcpy(file.data() + at + 8, content, count);
      }
      append_user_block(file, 0xFFFF);
      break;
    }
  }
}

// ------------------------------------------------------- reference models

// The output of the -b2rb and -b2t walk over a file, as the format lays it
// down: block 0 must be a whole header block; then whole event blocks until
// a whole block whose word 0 is 0xFFFF. Anything else fails the conversion,
// and the output keeps what was written for the blocks before.
struct Walk_result {
  bool ok = false;
  std::string output;
};

template <typename Header, typename Event, typename Ender>
TVQ_FUZZ_NO_COVERAGE void reference_walk(const Bytes& file, Header header, Event event, Ender ender,
                                         Walk_result& result) {
  result.ok = false;
  result.output.clear();
  const size_t whole = file.size() / BLOCK;
  auto block = [&file](size_t i) { return file.data() + i * BLOCK; };
  if (whole == 0 || get_word(block(0), 0) != 1) return;
  result.output += '\n';
  header(block(0), result.output);
  for (size_t i = 1; i < whole; ++i) {
    const unsigned flag = get_word(block(i), 0);
    if (flag == 0xFFFF) {
      ender(block(i), result.output);
      result.ok = true;
      return;
    }
    if (flag != 0) return;
    event(block(i), static_cast<int>(i), result.output);
  }
  // no ender block, or a partial block where one was expected
}

// Each word as "%04x " would print it, eight to a line.
TVQ_FUZZ_NO_COVERAGE inline void reference_dump(const unsigned char* block, std::string& out) {
  static const char HEX[] = "0123456789abcdef";
  const size_t at = out.size();
  out.resize(at + (WORDS / 8) * 41);
  char* p = &out[at];
  for (size_t line = 0; line < WORDS / 8; ++line) {
    for (size_t w = 0; w < 8; ++w) {
      const unsigned word = get_word(block, line * 8 + w);
      for (int shift = 12; shift >= 0; shift -= 4) *p++ = HEX[(word >> shift) & 15];
      *p++ = ' ';
    }
    *p++ = '\n';
  }
}

inline void reference_b2rb(const Bytes& file, Walk_result& result) {
  reference_walk(
      file,
      [](const unsigned char* b, std::string& out) {
        out += "#  start header\n\n";
        reference_dump(b, out);
        out += '\n';
      },
      [](const unsigned char* b, int number, std::string& out) {
        out += "#  " + std::to_string(number) + " event block\n\n";
        reference_dump(b, out);
        out += '\n';
      },
      [](const unsigned char* b, std::string& out) {
        out += "#  start ender\n\n";
        reference_dump(b, out);
        out += '\n';
      },
      result);
}

TVQ_FUZZ_NO_COVERAGE inline void reference_fields(const char* banner, const unsigned char* block, std::string& out) {
  static const size_t FIELDS[7][2] = {{10, 8}, {15, 18}, {24, 18}, {34, 18},
                                      {43, 10}, {50, 80}, {90, 80}};
  out += banner;
  for (const auto& field : FIELDS) {
    const unsigned char* text = block + 2 * field[0];
    size_t length = 0;
    while (length < field[1] && text[length] != 0) ++length;
    out += "#  ";
    out.append(reinterpret_cast<const char*>(text), length);
    out += "\n";
  }
  out += '\n';
}

// One line per record; a record that is inconsistent or too short ends the
// block's listing without its closing newline, and so does the first word of a
// record that lies past word 8191, after the words before it are listed.
TVQ_FUZZ_NO_COVERAGE inline void reference_event_listing(const unsigned char* block, int number, std::string& out) {
  out += "#  " + std::to_string(number) + " event block\n\n";
  // Each value as "%4d " would print it: right-aligned in four columns,
  // wider when it has five digits, then a space.
  auto put = [&out](unsigned value) {
    char digits[8];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    for (int pad = n; pad < 4; ++pad) out += ' ';
    while (n > 0) out += digits[--n];
    out += ' ';
  };
  size_t p = 4;
  while (p < WORDS - 1) {
    const size_t start = p;
    const unsigned event_size = get_word(block, p);
    if ((event_size & 0x8000u) == 0) break;
    if (get_word(block, p + 1) != 1) break;
    if (start + 2 >= WORDS) return;
    put(get_word(block, start + 2));
    if (start + 3 >= WORDS) return;
    const unsigned segment_size = get_word(block, start + 3);
    if (static_cast<long>(event_size & 0x7FFFu) - static_cast<long>(segment_size) != 3) return;
    if (segment_size < 2) return;
    const size_t record_words = segment_size + 3;  // head of five words and the data
    for (size_t w = start + 4; w < start + record_words; ++w) {
      if (w >= WORDS) return;
      put(get_word(block, w));
    }
    out += '\n';
    p = start + record_words;
  }
  out += '\n';
}

inline void reference_b2t(const Bytes& file, Walk_result& result) {
  reference_walk(
      file,
      [](const unsigned char* b, std::string& out) { reference_fields("#  start header\n\n", b, out); },
      reference_event_listing,
      [](const unsigned char* b, std::string& out) { reference_fields("#  start ender\n\n", b, out); },
      result);
}

inline void check_output(const Walk_result& expected, int status, const std::string& output_name) {
  check(status == (expected.ok ? OK : ERROR), "conversion status differs from the format's");
  static Bytes got;
  read_whole(output_name, got);
  check(got.size() == expected.output.size(), "output length differs from the format's");
  check(got.empty() || std::memcmp(got.data(), expected.output.data(), got.size()) == 0,
        "output bytes differ from the format's");
}

// The body of the block walk harnesses: one conversion of a block file built
// from the fuzz bytes, compared with its reference model.
inline void run_walk(const unsigned char* data, size_t size, int (Cconverter::*convert)(),
                     void (*reference)(const Bytes&, Walk_result&)) {
  static Input_file* input = new Input_file;
  static Output_names* outputs = new Output_names;
  static Bytes file;
  build_block_file(data, size, file);
  input->set(file.data(), file.size());
  const std::string output_name = outputs->next();
  int status;
  {
    Cfile in;
    Cfile out;
    if (in.fopen_rb(input->name()) != OK) fail("fopen_rb of the input");
    if (out.fopen_w(output_name) != OK) fail("fopen_w of a fresh name");
    Cconverter converter;
    converter.set_file(&in, "in");
    converter.set_file(&out, "out");
    status = (converter.*convert)();
    if (out.close() != OK) fail("closing the output");
  }
  static Walk_result expected;
  reference(file, expected);
  check_output(expected, status, output_name);
  ::unlink(output_name.c_str());
}

// ------------------------------------------------------------ data lines

inline bool is_comment(const char* line) {
  const char first = line[0];
  if (first == '#' || first == 'c' || first == '%' || first == '\n') return true;
  return first == '/' && line[1] == '/';
}

// The C library's reading of one line (a C string): its scan, and what the
// reader makes of it.
struct Line_reference {
  enum { comment, bad, data } kind;
  scan_reference::Scan scan;
  uint16_t words[2 * MAX_CONVERSIONS];  // for data: the record's WORDS_PER_LINE words
};

TVQ_FUZZ_NO_COVERAGE inline void read_line_reference(const char* line, Line_reference& ref) {
  ref.kind = is_comment(line) ? Line_reference::comment : Line_reference::bad;
  if (!scan_reference::scan_whole_format(line, ref.scan)) fail("no layout row for the line format");
  if (ref.kind == Line_reference::comment || !ref.scan.refused_integer.empty() ||
      ref.scan.count != NUMBER_OF_DATA || !scan_reference::data_words(ref.scan, ref.words))
    return;
  ref.kind = Line_reference::data;
}

// An input that begins with BUILT_LINE gives a data line built from its bytes
// (the first byte after the mark and so on, zeros past the end): an integer
// from four bytes for each %d, and for each %f five bytes: the bits of a
// float and a spelling of it, or of the point halfway to the next float up,
// with 15 to 19 significant digits as round-trip printers write them, or in
// full (up to 61 digits), or in full and a unit of its last digit above or
// below. Random bytes seldom spell these.
constexpr uint8_t BUILT_LINE = 0xFE;

inline std::string built_line(const uint8_t* data, size_t size) {
  size_t at = 0;
  const auto next = [&](int count) {
    uint32_t bits = 0;
    for (int i = 0; i < count; ++i, ++at) bits = bits << 8 | (at < size ? data[at] : 0u);
    return bits;
  };
  std::string line;
  char text[128];
  for (int i = 0; i < NUMBER_OF_DATA; ++i) {
    const uint32_t value = next(4);
    const uint32_t bits[2] = {value, value + 1};
    if (LINE_LAYOUT.kinds[i] == 'd') {
      std::snprintf(text, sizeof text, &" %d"[i == 0], static_cast<int32_t>(bits[0]));
    } else {
      const uint32_t spelling = next(1);
      float pair[2];
      std::memcpy(pair, bits, sizeof pair);
      const double chosen = spelling & 1 ? (double{pair[0]} + pair[1]) / 2 : pair[0];
      const bool full = !(spelling & 16) && std::isfinite(chosen);
      const int precision = full ? 60 : 14 + static_cast<int>(spelling >> 1 & 7) % 5;
      std::snprintf(text, sizeof text, &" %.*e"[i == 0], precision, chosen);
      char* exponent = std::strchr(text, 'e');
      char* last = exponent;
      while (full && last[-1] == '0') --last;
      if (full && last[-1] == '.') --last;
      if (full) std::memmove(last, exponent, std::strlen(exponent) + 1);
      if (full && (spelling & 96) == 32 && last[-1] < '9') ++last[-1];
      if (full && (spelling & 96) == 64 && last[-1] > '0') --last[-1];
    }
    line += text;
  }
  return line + '\n';
}

}  // namespace fuzz

#endif
