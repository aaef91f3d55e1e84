// tvq._tvq: the program's own block walk, record rules, line layout and block
// writer, for Python. Nothing is printed: every call into the core runs under
// a Message_catcher, and what the core says becomes an exception or a problem
// text. The GIL is released while a file is read or written.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Cconverter.h"
#include "Cfile.h"
#include "block_walk.h"
#include "event_records.h"
#include "line_format.h"
#include "messages.h"
#include "tvq_constants.h"
#include "user_settings.h"

namespace py = pybind11;

namespace {

// A damaged file: becomes tvq.FormatError (a ValueError).
struct Format_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A failed open, read or write: becomes OSError (FileNotFoundError,
// FileExistsError, ... by its errno) with the program's message.
struct Os_error {
  int number;
  std::string text;
  std::string name;
};

// One row of BlockFile.records().
struct Record_row {
  uint32_t block;
  uint16_t event_id;
  uint16_t segment_id;
  uint16_t event_size;
  uint16_t segment_size;
  uint64_t offset;
  uint32_t count;
};

// A value row: block and event id, then one 4-byte value per conversion.
constexpr size_t VALUES_AT = 8;
// The most records an event block can hold (five head words each).
constexpr size_t MAX_RECORDS_PER_BLOCK = (WORDS_PER_BLOCK - EVENT_SIZE_NUM) / (EVENT_SIZE / 2);

// The reason in what the core said (a catcher keeps no step names): its
// message lines, without "end of file" when a message says more.
std::string reason_of(const std::string& said) {
  std::vector<std::string> lines;
  size_t from = 0;
  while (from < said.size()) {
    size_t end = said.find('\n', from);
    if (end == std::string::npos) end = said.size();
    std::string line = said.substr(from, end - from);
    from = end + 1;
    if (!line.empty()) lines.push_back(line);
  }
  if (lines.size() > 1 && lines.front() == "end of file") lines.erase(lines.begin());
  std::string reason;
  for (const auto& line : lines) reason += (reason.empty() ? "" : "; ") + line;
  return reason.empty() ? std::string("failed") : reason;
}

// The message of a record that breaks the rules: the file, the event block
// and the record's word, then the core's own words.
std::string record_problem(const std::string& name, int32_t number, uint32_t stop,
                           const std::string& said) {
  const std::string reason = reason_of(said);
  if (reason.find(" of event block ") != std::string::npos) return name + ": " + reason;
  return name + ": event block " + std::to_string(number) + ", record at word " +
         std::to_string(stop) + ": " + reason;
}

// The message of a walk that failed: a block of the wrong type is located. A
// failed read is no damage of the file: it is thrown as the OSError it is.
std::string walk_problem(const std::string& name, const Cblock_walk& walk, const std::string& said,
                         int number) {
  const std::string reason = reason_of(said);
  if (reason.rfind("cannot read", 0) == 0) throw Os_error{number != 0 ? number : EIO, reason, name};
  if (reason == "this block is not event block")
    return name + ": event block " + std::to_string(walk.event_block_number() + 1) +
           ", word 0: " + reason;
  if (reason == "this block is not header") return name + ": block 0, word 0: " + reason;
  return name + ": " + reason;
}

void open_input(Cfile& in, const std::string& name) {
  Message_catcher catcher;
  if (in.fopen_rb(name) == OK) return;
  const int number = errno;
  const std::string& said = catcher.text();
  const int reported = said.find(" is a directory") != std::string::npos ? EISDIR
                       : number != 0                                     ? number
                                                                         : EIO;
  throw Os_error{reported, reason_of(said), name};
}

// A field's bytes up to the first NUL, as latin-1 text: every byte survives.
py::dict fields_of(const std::vector<int16_t>& block) {
  py::dict fields;
  const auto* bytes = reinterpret_cast<const char*>(block.data());
  for (const auto& field : TEXT_FIELDS) {
    const char* text = bytes + 2 * field.number;
    const auto* end = static_cast<const char*>(std::memchr(text, '\0', field.length));
    const auto length = end != nullptr ? end - text : field.length;
    PyObject* value = PyUnicode_DecodeLatin1(text, length, nullptr);
    if (value == nullptr) throw py::error_already_set();
    fields[field.name] = py::reinterpret_steal<py::str>(value);
  }
  return fields;
}

// Memory of large arrays is mapped on its own, with huge pages where the
// system gives them, as NumPy does for its own arrays: a page fault for every
// 4 KiB of a large result costs more than reading the file.
constexpr size_t MAPPED_FROM = size_t{4} << 20;
constexpr size_t HUGE_PAGE = size_t{2} << 20;

size_t mapped_size(size_t bytes) { return (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE; }

void* allocate_bytes(size_t bytes) {
  if (bytes < MAPPED_FROM) {
    void* data = std::malloc(std::max<size_t>(bytes, 1));
    if (data == nullptr) throw std::bad_alloc();
    return data;
  }
  void* data = ::mmap(nullptr, mapped_size(bytes), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) throw std::bad_alloc();
  ::madvise(data, mapped_size(bytes), MADV_HUGEPAGE);
  return data;
}

void free_bytes(void* data, size_t bytes) {
  if (data == nullptr) return;
  if (bytes < MAPPED_FROM)
    std::free(data);
  else
    ::munmap(data, mapped_size(bytes));
}

template <typename T>
struct Big_allocator {
  using value_type = T;
  Big_allocator() = default;
  template <typename U>
  explicit Big_allocator(const Big_allocator<U>&) {}
  T* allocate(size_t count) { return static_cast<T*>(allocate_bytes(count * sizeof(T))); }
  void deallocate(T* data, size_t count) { free_bytes(data, count * sizeof(T)); }
  bool operator==(const Big_allocator&) const { return true; }
  bool operator!=(const Big_allocator&) const { return false; }
};
template <typename T>
using Big_vector = std::vector<T, Big_allocator<T>>;

// A vector handed to NumPy without a copy: the array owns it.
template <typename T>
py::array to_array(Big_vector<T>&& items, const py::dtype& type) {
  auto* owner = new Big_vector<T>(std::move(items));
  py::capsule base(owner, [](void* data) { delete static_cast<Big_vector<T>*>(data); });
  return py::array(type, {owner->size()}, {sizeof(T)}, owner->data(), base);
}

off_t file_size(const std::string& name) {
  struct stat status {};
  if (::stat(name.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
  return status.st_size;
}

// ------------------------------------------------------------------ scan

// Everything a BlockFile holds. A strict scan stops at the first problem.
struct Scan {
  std::vector<int16_t> header;
  std::vector<int16_t> ender;
  Big_vector<Record_row> records;
  Big_vector<uint16_t> words;
  Big_vector<uint32_t> starts;
  std::vector<std::string> problems;
  int32_t event_blocks = 0;
};

void scan_file(const std::string& name, bool skip, Scan& scan) {
  Cfile in;
  open_input(in, name);
  // as many words as the file; records as many as of 12 data words. Only a
  // guess: a file larger than memory (that is no block file, or breaks off
  // early) is read without it, and fails for lack of memory only if its
  // records do not fit.
  const auto size = static_cast<size_t>(file_size(name));
  try {
    scan.words.reserve(size / 2);
    scan.records.reserve(size / (2 * (EVENT_SIZE / 2 + 12)));
    scan.starts.reserve(size / (2 * (EVENT_SIZE / 2 + 12)));
  } catch (const std::bad_alloc&) {
    Scan unreserved;  // takes what was reserved with it
    std::swap(scan.words, unreserved.words);
    std::swap(scan.records, unreserved.records);
    std::swap(scan.starts, unreserved.starts);
  }
  Cblock_walk walk(&in);
  const int16_t* block = nullptr;  // in the input's buffer, until the next block
  Message_catcher catcher;
  for (;;) {
    catcher.clear();
    errno = 0;
    const int kind = walk.next_block(block);
    if (kind == ERROR) {
      scan.problems.push_back(walk_problem(name, walk, catcher.text(), errno));
      if (!skip) throw Format_error(scan.problems.back());
      return;
    }
    if (kind == Cblock_walk::WALK_END) return;
    if (kind == Cblock_walk::HEADER_BLOCK) {
      scan.header.assign(block, block + WORDS_PER_BLOCK);
      continue;
    }
    if (kind == Cblock_walk::ENDER_BLOCK) {
      scan.ender.assign(block, block + WORDS_PER_BLOCK);
      continue;
    }
    const int32_t number = walk.event_block_number();
    scan.event_blocks = number;
    uint32_t stop = 0;
    const int result = walk_event_records(
        block, number,
        [&](const Event_record& record) {
          if (!record.whole) return;
          const uint32_t count = record.listed - 1;
          scan.records.push_back({static_cast<uint32_t>(number), record.event_id,
                                  static_cast<uint16_t>(record.words[0]), record.event_size,
                                  record.segment_size, scan.words.size(), count});
          scan.starts.push_back(record.start);
          const auto* data = reinterpret_cast<const uint16_t*>(record.words + 1);
          scan.words.insert(scan.words.end(), data, data + count);
        },
        stop);
    if (result == ERROR) {
      scan.problems.push_back(record_problem(name, number, stop, catcher.text()));
      if (!skip) throw Format_error(scan.problems.back());
    }
  }
}

py::dict scan(const py::bytes& path, bool skip) {
  const std::string name = path;
  auto result = std::make_unique<Scan>();
  {
    py::gil_scoped_release release;
    scan_file(name, skip, *result);
  }
  py::dict out;
  out["header"] = result->header.empty() ? py::object(py::none()) : fields_of(result->header);
  out["ender"] = result->ender.empty() ? py::object(py::none()) : fields_of(result->ender);
  out["records"] = to_array(std::move(result->records), py::dtype::of<Record_row>());
  out["words"] = to_array(std::move(result->words), py::dtype::of<uint16_t>());
  out["starts"] = to_array(std::move(result->starts), py::dtype::of<uint32_t>());
  py::list problems;
  for (const auto& problem : result->problems) problems.append(py::str(problem));
  out["problems"] = problems;
  out["event_blocks"] = result->event_blocks;
  return out;
}

// ---------------------------------------------------------------- values

// Value rows, grown without filling them first.
class Rows {
 public:
  explicit Rows(size_t row_size) : m_row_size(row_size) {}
  ~Rows() { free_bytes(m_data, m_capacity * m_row_size); }
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;

  // room() : room for more rows after the first count.
  char* room(size_t count, size_t more) {
    if (count + more > m_capacity) grow(count, std::max(count + more, 2 * m_capacity));
    return m_data + count * m_row_size;
  }
  char* data() const { return m_data; }
  // to_array() : the first count rows as an array that owns them.
  py::array to_array(size_t count, const py::dtype& type) {
    struct Owner {
      char* data;
      size_t bytes;
    };
    auto* owner = new Owner{m_data, m_capacity * m_row_size};
    m_data = nullptr;
    m_capacity = 0;
    py::capsule base(owner, [](void* pointer) {
      auto* rows = static_cast<Owner*>(pointer);
      free_bytes(rows->data, rows->bytes);
      delete rows;
    });
    return py::array(type, {count}, {m_row_size}, owner->data, base);
  }

 private:
  void grow(size_t count, size_t capacity) {
    char* data = static_cast<char*>(allocate_bytes(capacity * m_row_size));
    if (m_data != nullptr) std::memcpy(data, m_data, count * m_row_size);
    free_bytes(m_data, m_capacity * m_row_size);
    m_data = data;
    m_capacity = capacity;
  }

  size_t m_row_size;
  char* m_data = nullptr;
  size_t m_capacity = 0;
};

// Reads the value rows of one file, a chunk at a time: whole blocks are
// walked, and the rows of a block that do not fit a chunk wait for the next.
class Value_reader {
 public:
  Value_reader(const py::bytes& path, const std::string& kinds, uint32_t data_size,
               const py::dtype& type)
      : m_name(path),
        m_data_size(data_size),
        m_words(kinds.size() * data_size / 2),
        m_row_size(VALUES_AT + 4 * kinds.size()),
        m_type(type),
        m_walk(&m_in),
        m_pending(m_row_size) {
    if (static_cast<size_t>(type.itemsize()) != m_row_size)
      throw std::invalid_argument("value rows are " + std::to_string(m_row_size) + " bytes");
    py::gil_scoped_release release;
    open_input(m_in, m_name);
    m_file_blocks = file_size(m_name) / BLOCK_SIZE;
  }

  // next() : an array of at most step rows; None after the last row. A
  // damage raises FormatError, and the rows of the chunk read before it are
  // lost; with partial, they are given first and the error comes next time.
  py::object next(int64_t step, bool partial) {
    if (step < 1) throw std::invalid_argument("step must be at least 1");
    Rows rows(m_row_size);
    size_t count = 0;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(m_busy);
      if (!m_deferred.empty()) throw Format_error(std::exchange(m_deferred, std::string()));
      try {
        fill(rows, static_cast<size_t>(step), count);
      } catch (const Format_error& error) {
        if (!partial || count == 0) throw;
        m_deferred = error.what();
      }
    }
    if (count == 0) return py::none();
    return rows.to_array(count, m_type);
  }

  // What the walk has seen so far: the header's and the ender's texts (None
  // before the block is read) and the number of event blocks.
  py::object header() const { return texts(m_header); }
  py::object ender() const { return texts(m_ender); }
  int32_t event_blocks() const {
    std::lock_guard<std::mutex> lock(m_busy);
    return m_walk.event_block_number();
  }

 private:
  // fill() : rows up to step; count is how many, also when it throws.
  void fill(Rows& rows, size_t step, size_t& count) {
    bool reserved = false;
    // Room for the chunk at once, judged by the rows of the blocks read so
    // far, rather than growing again and again. Never more than step rows:
    // the array given holds all of its room, and a small chunk kept with
    // room for a whole block's rows would hold a thousand times its size.
    const auto reserve = [&] {
      if (reserved || m_rows_per_block == 0) return;
      reserved = true;
      const auto blocks_left =
          static_cast<size_t>(std::max<off_t>(m_file_blocks - 2 - m_walk.event_block_number(), 0));
      const size_t left = m_pending_rows - m_pending_at + m_rows_per_block * blocks_left;
      rows.room(count, std::min(step - count, left + MAX_RECORDS_PER_BLOCK));
    };
    Message_catcher catcher;
    while (count < step) {
      reserve();
      if (m_pending_at < m_pending_rows) {
        const size_t take = std::min(step - count, m_pending_rows - m_pending_at);
        std::memcpy(rows.room(count, take), m_pending.data() + m_pending_at * m_row_size,
                    take * m_row_size);
        m_pending_at += take;
        count += take;
        continue;
      }
      if (m_ended) break;
      catcher.clear();
      errno = 0;
      const int kind = m_walk.next_block(m_block);
      if (kind == ERROR) {
        m_ended = true;
        throw Format_error(walk_problem(m_name, m_walk, catcher.text(), errno));
      }
      if (kind == Cblock_walk::WALK_END || kind == Cblock_walk::ENDER_BLOCK) m_ended = true;
      if (kind == Cblock_walk::HEADER_BLOCK) m_header.assign(m_block, m_block + WORDS_PER_BLOCK);
      if (kind == Cblock_walk::ENDER_BLOCK) m_ender.assign(m_block, m_block + WORDS_PER_BLOCK);
      if (kind != Cblock_walk::EVENT_BLOCK) continue;
      // The rows of a block that fit whole go straight into the chunk.
      size_t added;
      if (step - count >= MAX_RECORDS_PER_BLOCK) {
        added = add_rows(rows.room(count, MAX_RECORDS_PER_BLOCK));
        count += added;
      } else {
        added = m_pending_rows = add_rows(m_pending.room(0, MAX_RECORDS_PER_BLOCK));
        m_pending_at = 0;
      }
      m_rows_per_block = std::max(m_rows_per_block, added);
    }
  }

  // add_rows() : the rows of the block's records, from row on; how many. A
  // record that breaks the rules, or whose data words do not fit the layout,
  // ends the file.
  size_t add_rows(char* const first) {
    // The compiled-in layout's rows are copied with a size known when
    // compiling: a few moves instead of a loop.
    if (m_data_size == 4 && m_words == static_cast<size_t>(WORDS_PER_LINE))
      return add_rows_of<WORDS_PER_LINE>(first);
    return add_rows_of<0>(first);
  }

  py::object texts(const std::vector<int16_t>& block) const {
    std::lock_guard<std::mutex> lock(m_busy);
    return block.empty() ? py::object(py::none()) : py::object(fields_of(block));
  }

  template <int32_t FIXED_WORDS>
  size_t add_rows_of(char* const first) {
    Message_catcher catcher;
    const int32_t number = m_walk.event_block_number();
    const size_t words = FIXED_WORDS != 0 ? static_cast<size_t>(FIXED_WORDS) : m_words;
    const size_t row_size = m_row_size;
    const bool pairs = m_data_size == 4;
    const auto block_number = static_cast<uint32_t>(number);
    char* row = first;
    bool misfit = false;
    Event_record bad{};
    uint32_t stop = 0;
    const int result = walk_event_records(
        m_block, number,
        [&](const Event_record& record) {
          if (!record.whole || misfit) return;
          if (record.listed - 1 != words) {
            misfit = true;
            bad = record;
            return;
          }
          const uint64_t head = block_number | uint64_t{record.event_id} << 32;
          std::memcpy(row, &head, 8);
          const int16_t* data = record.words + 1;
          char* value = row + VALUES_AT;
          if (FIXED_WORDS != 0) {
            std::memcpy(value, data, 2 * static_cast<size_t>(FIXED_WORDS));
          } else if (pairs) {
            // two words a value, low half first: the value's own bytes
            for (size_t i = 0; i < words; i += 2, value += 4) std::memcpy(value, data + i, 4);
          } else {
            for (size_t i = 0; i < words; ++i, value += 4) {
              const int32_t word = data[i];
              std::memcpy(value, &word, 4);
            }
          }
          row += row_size;
        },
        stop);
    if (misfit) {
      m_ended = true;
      throw Format_error(m_name + ": event block " + std::to_string(number) + ", record at word " +
                         std::to_string(bad.start) + ": " + std::to_string(bad.listed - 1) +
                         " data words, the layout takes " + std::to_string(words));
    }
    if (result == ERROR) {
      m_ended = true;
      throw Format_error(record_problem(m_name, number, stop, catcher.text()));
    }
    return static_cast<size_t>(row - first) / row_size;
  }

  std::string m_name;
  uint32_t m_data_size;
  size_t m_words;
  size_t m_row_size;
  py::dtype m_type;
  Cfile m_in;
  Cblock_walk m_walk;
  const int16_t* m_block = nullptr;  // the walk's block, in the input's buffer
  std::vector<int16_t> m_header;
  std::vector<int16_t> m_ender;
  Rows m_pending;
  size_t m_pending_rows = 0;
  size_t m_pending_at = 0;
  bool m_ended = false;
  off_t m_file_blocks = 0;
  size_t m_rows_per_block = 0;  // the most rows a block gave so far
  std::string m_deferred;  // a damage met after rows that were given first
  mutable std::mutex m_busy;
};

// ----------------------------------------------------------------- write

// The records of a (rows, words) array, one row a record; a row's words lie
// side by side, rows stride bytes apart.
class Array_records {
 public:
  Array_records(const char* data, size_t rows, ptrdiff_t stride, int32_t words)
      : m_data(data), m_rows(rows), m_stride(stride), m_words(words) {}
  int next_record() {
    if (m_next == m_rows) return END_OF_FILE;
    m_current = reinterpret_cast<const int16_t*>(m_data + static_cast<ptrdiff_t>(m_next) * m_stride);
    ++m_next;
    return OK;
  }
  int32_t get_number_of_word() const { return m_words; }
  const int16_t* words() const { return m_current; }

 private:
  const char* m_data;
  size_t m_rows;
  ptrdiff_t m_stride;
  int32_t m_words;
  size_t m_next = 0;
  const int16_t* m_current = nullptr;
};

// The header and ender texts: the compiled-in ones, with the given fields
// replaced; a text longer than its field is refused.
void set_texts(Cconverter& converter, Cconverter::Cuser& user, const py::dict& texts) {
  converter.read_header_txt(&user);
  for (const auto& item : texts) {
    const std::string name = py::str(item.first);
    const std::string text = py::bytes(py::reinterpret_borrow<py::object>(item.second));
    const Text_field* field = nullptr;
    for (const auto& candidate : TEXT_FIELDS)
      if (name == candidate.name) field = &candidate;
    if (field == nullptr) throw py::value_error("no header field " + name);
    if (text.size() > static_cast<size_t>(field->length))
      throw py::value_error(name + ": " + std::to_string(text.size()) +
                            " characters, the field holds " + std::to_string(field->length));
    if (text.find('\0') != std::string::npos)
      throw py::value_error(name + ": a NUL character would end the text");
    char* destination = name == "run_number"   ? user.run_number
                        : name == "start_time" ? user.start_time
                        : name == "stop_time"  ? user.stop_time
                        : name == "print_time" ? user.print_time
                        : name == "print_date" ? user.print_date
                        : name == "header"     ? user.header
                                               : user.ender;
    std::memset(destination, 0, static_cast<size_t>(field->length) + 1);
    std::memcpy(destination, text.data(), text.size());
    if (name == "header") user.header_length = static_cast<int32_t>(text.size());
    if (name == "ender") user.ender_length = static_cast<int32_t>(text.size());
  }
}

void write_words(const py::bytes& path,
                 const py::array_t<uint16_t, py::array::forcecast>& given,
                 const py::dict& texts) {
  if (given.ndim() != 2 || given.shape(1) < 1 || given.shape(1) > 2 * MAX_CONVERSIONS)
    throw py::value_error("records must be a 2-D array of 1 to 32 words a row");
  // Rows are taken where they are when each row's words lie side by side.
  const auto words = given.strides(1) == 2 || given.shape(1) == 1
                         ? given
                         : py::array_t<uint16_t, py::array::forcecast>(
                               py::module_::import("numpy").attr("ascontiguousarray")(given));
  const std::string name = path;
  auto converter = std::make_unique<Cconverter>();
  auto user = std::make_unique<Cconverter::Cuser>();
  std::memset(user.get(), 0, sizeof(Cconverter::Cuser));
  set_texts(*converter, *user, texts);
  Array_records source(reinterpret_cast<const char*>(words.data()),
                       static_cast<size_t>(words.shape(0)), words.strides(0),
                       static_cast<int32_t>(words.shape(1)));

  py::gil_scoped_release release;
  Message_catcher catcher;
  Cfile out;
  errno = 0;
  const int opened = out.fopen_wb(name);
  int number = errno;
  if (opened != OK) {
    if (catcher.text().rfind("all ready exist", 0) == 0) number = EEXIST;
    throw Os_error{number != 0 ? number : EIO, reason_of(catcher.text()), name};
  }
  converter->set_file(&out, "out");
  const int result = converter->write_binary_file(source, user.get(), user.get());
  const int closed = out.close();
  if (result != OK || closed != OK) {
    // The file was created here: a failed write leaves none behind.
    number = out.write_error();
    ::unlink(name.c_str());
    throw Os_error{number != 0 ? number : EIO, reason_of(catcher.text()), name};
  }
}

// ---------------------------------------------------------------- layout

// (kinds, None) for a usable line format with that data size, else
// (None, what is wrong) in the words of the settings' checks.
py::tuple check_layout(const std::string& format, uint32_t data_size) {
  const Line_layout layout = parse_line_format(format.c_str());
  if (const char* problem = layout_problem(layout, data_size))
    return py::make_tuple(py::none(), py::str(problem));
  return py::make_tuple(py::str(std::string(layout.kinds, static_cast<size_t>(layout.conversions))),
                        py::none());
}

}  // namespace

PYBIND11_MODULE(_tvq, m) {
  m.doc() = "The core of tvqconverter: block walk, record rules, line layout and block writer.";
  PYBIND11_NUMPY_DTYPE(Record_row, block, event_id, segment_id, event_size, segment_size, offset,
                       count);

  static py::exception<Format_error> format_error(m, "FormatError", PyExc_ValueError);
  py::register_exception_translator([](std::exception_ptr pending) {
    try {
      if (pending) std::rethrow_exception(pending);
    } catch (const Format_error& error) {
      // Messages hold file names, which need not be UTF-8: decoded as
      // Python decodes file names.
      PyObject* text = PyUnicode_DecodeFSDefault(error.what());
      if (text != nullptr) {
        PyErr_SetObject(format_error.ptr(), text);
        Py_DECREF(text);
      }
    } catch (const Os_error& error) {
      const auto decode = [](const std::string& text) {
        return py::reinterpret_steal<py::object>(
            PyUnicode_DecodeFSDefaultAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
      };
      const py::object name = decode(error.name);
      const py::object text = decode(error.text);
      if (!name || !text) return;
      const auto exception = py::reinterpret_steal<py::object>(
          PyObject_CallFunction(PyExc_OSError, "iOO", error.number, text.ptr(), name.ptr()));
      if (exception)
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    }
  });

  m.attr("LINE_FORMAT") = USER_LINE_FORMAT;
  m.attr("DATA_SIZE") = DATA_SIZE;
  m.attr("ROW_VALUES_AT") = VALUES_AT;
  py::list fields;
  for (const auto& field : TEXT_FIELDS) fields.append(py::make_tuple(field.name, field.length));
  m.attr("FIELDS") = fields;

  m.def("check_layout", &check_layout, py::arg("format"), py::arg("data_size"));
  m.def("scan", &scan, py::arg("path"), py::arg("skip"),
        "Header, ender, records, data words and problems of a block file.");
  m.def("write_words", &write_words, py::arg("path"), py::arg("words"), py::arg("texts"),
        "Writes a block file with one record per row of words.");
  py::class_<Value_reader>(m, "Value_reader")
      .def(py::init<const py::bytes&, const std::string&, uint32_t, const py::dtype&>(),
           py::arg("path"), py::arg("kinds"), py::arg("data_size"), py::arg("dtype"))
      .def("next", &Value_reader::next, py::arg("step"), py::arg("partial") = false)
      .def("header", &Value_reader::header)
      .def("ender", &Value_reader::ender)
      .def("event_blocks", &Value_reader::event_blocks);
}
