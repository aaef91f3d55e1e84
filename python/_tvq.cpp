// tvq._tvq: the core's interface (tvq_core.h) for Python. Nothing is
// printed: a failure comes back from the core as a Problem and is raised as
// the exception its kind names. The GIL is released while a file is read or
// written.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tvq_core.h"
#include "user_settings.h"

namespace py = pybind11;

namespace {

// ------------------------------------------------------------- exceptions

// A problem on its way to Python.
struct Failure {
  Problem problem;
};

PyObject* format_error = nullptr;  // tvq.FormatError, made with the module

// The exception each kind of problem raises. An OSError is made from the
// errno, which picks its class (FileNotFoundError, IsADirectoryError,
// PermissionError, ...).
struct Raised {
  Problem_kind kind;
  PyObject* const* type;
};
const Raised RAISED[] = {{Problem_kind::OPEN, &PyExc_OSError},
                         {Problem_kind::READ, &PyExc_OSError},
                         {Problem_kind::WRITE, &PyExc_OSError},
                         {Problem_kind::EXISTS, &PyExc_FileExistsError},
                         {Problem_kind::DAMAGE, &format_error}};

// Names are bytes: decoded as Python decodes file names, every byte survives.
py::str decoded(const std::string& bytes) {
  PyObject* text =
      PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

// file_name() : a path for the core, which opens it by a C string: a NUL
// would cut the name short, so it is refused as Python's own calls refuse it.
std::string file_name(const py::bytes& path) {
  std::string name = path;
  if (name.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return name;
}

py::object number_or_none(int32_t value, int32_t none) {
  return value == none ? py::object(py::none()) : py::object(py::int_(value));
}

void raise(const Problem& problem) {
  const auto* raised = std::find_if(std::begin(RAISED), std::end(RAISED),
                                    [&](const Raised& r) { return r.kind == problem.kind; });
  const auto type = py::reinterpret_borrow<py::object>(*raised->type);
  py::object error;
  if (problem.kind == Problem_kind::DAMAGE) {
    error = type(decoded(problem.message()));
    error.attr("path") = decoded(problem.path);
    error.attr("block") = number_or_none(problem.event_block, 0);
    error.attr("word") = number_or_none(problem.word, -1);
    error.attr("reason") = decoded(problem.reason);
  } else {
    error = type(problem.error_number != 0 ? problem.error_number : EIO,
                 decoded(problem.reason), decoded(problem.path));
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

// ------------------------------------------------------------------ memory

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

// Value rows, grown without filling them first.
class Rows {
 public:
  explicit Rows(size_t row_size) : m_row_size(row_size) {}
  ~Rows() { free_bytes(m_data, m_capacity * m_row_size); }
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;

  size_t capacity() const { return m_capacity; }
  char* row(size_t index) const { return m_data + index * m_row_size; }
  // grow() : room for capacity rows, the first count kept.
  void grow(size_t count, size_t capacity) {
    char* data = static_cast<char*>(allocate_bytes(capacity * m_row_size));
    if (m_data != nullptr) std::memcpy(data, m_data, count * m_row_size);
    free_bytes(m_data, m_capacity * m_row_size);
    m_data = data;
    m_capacity = capacity;
  }
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
  size_t m_row_size;
  char* m_data = nullptr;
  size_t m_capacity = 0;
};

py::object texts_of(const std::optional<Block_texts>& texts) {
  if (!texts) return py::none();
  py::dict fields;
  for (size_t i = 0; i < TEXT_FIELD_COUNT; ++i) {
    // latin-1: every byte survives
    const std::string& text = (*texts)[i];
    PyObject* value =
        PyUnicode_DecodeLatin1(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    if (value == nullptr) throw py::error_already_set();
    fields[TEXT_FIELDS[i].name] = py::reinterpret_steal<py::str>(value);
  }
  return std::move(fields);
}

void open_reader(Cblock_reader& reader, const std::string& name) {
  if (reader.open_file(name) != OK) throw Failure{reader.problem()};
}

// ------------------------------------------------------------------- scan

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

// Everything a BlockFile holds, gathered as the walk's visitor. A strict scan
// stops at the first problem; with skip, the damage of the file is kept as
// messages.
struct Scan {
  bool skip;
  std::optional<Block_texts> header_texts;
  std::optional<Block_texts> ender_texts;
  Big_vector<Record_row> records;
  Big_vector<uint16_t> words;
  Big_vector<uint32_t> starts;
  std::vector<std::string> problems;
  std::optional<Problem> failure;
  int32_t event_blocks = 0;

  bool header(const int16_t* block) {
    header_texts = block_texts(block);
    return true;
  }
  bool ender(const int16_t* block) {
    ender_texts = block_texts(block);
    return true;
  }
  bool event_block(int32_t, const int16_t*) { return true; }
  bool record(int32_t number, const Event_record& record) {
    records.push_back({static_cast<uint32_t>(number), record.event_id,
                       static_cast<uint16_t>(record.words[0]), record.event_size,
                       record.segment_size, words.size(), record.data_count()});
    starts.push_back(record.start);
    const auto* data = reinterpret_cast<const uint16_t*>(record.data());
    words.insert(words.end(), data, data + record.data_count());
    return true;
  }
  bool problem(const Problem& problem) {
    if (skip && problem.kind == Problem_kind::DAMAGE) {
      problems.push_back(problem.message());
      return true;
    }
    failure = problem;
    return false;
  }
};

void scan_file(const std::string& name, Scan& scan) {
  Cblock_reader reader;
  open_reader(reader, name);
  // as many words as the file; records as many as of 12 data words. Only a
  // guess: a file larger than memory (that is no block file, or breaks off
  // early) is read without it, and fails for lack of memory only if its
  // records do not fit.
  const auto size = static_cast<size_t>(reader.file_size());
  try {
    scan.words.reserve(size / 2);
    scan.records.reserve(size / (2 * (EVENT_SIZE / 2 + 12)));
    scan.starts.reserve(size / (2 * (EVENT_SIZE / 2 + 12)));
  } catch (const std::bad_alloc&) {
    Scan unreserved{};  // takes what was reserved with it
    std::swap(scan.words, unreserved.words);
    std::swap(scan.records, unreserved.records);
    std::swap(scan.starts, unreserved.starts);
  }
  reader.walk(scan);
  scan.event_blocks = reader.event_blocks();
  if (scan.failure) throw Failure{*scan.failure};
}

py::dict scan(const py::bytes& path, bool skip) {
  const std::string name = file_name(path);
  auto result = std::make_unique<Scan>();
  result->skip = skip;
  {
    py::gil_scoped_release release;
    scan_file(name, *result);
  }
  py::dict out;
  out["header"] = texts_of(result->header_texts);
  out["ender"] = texts_of(result->ender_texts);
  out["records"] = to_array(std::move(result->records), py::dtype::of<Record_row>());
  out["words"] = to_array(std::move(result->words), py::dtype::of<uint16_t>());
  out["starts"] = to_array(std::move(result->starts), py::dtype::of<uint32_t>());
  py::list problems;
  for (const auto& problem : result->problems) problems.append(decoded(problem));
  out["problems"] = problems;
  out["event_blocks"] = result->event_blocks;
  return out;
}

// ---------------------------------------------------------------- values

// The most records an event block can hold (five head words each).
constexpr size_t MAX_RECORDS_PER_BLOCK = (WORDS_PER_BLOCK - EVENT_SIZE_NUM) / (EVENT_SIZE / 2);

Value_layout value_layout(const std::string& format, uint32_t data_size) {
  Value_layout layout;
  if (const char* problem = check_value_layout(format, data_size, layout))
    throw py::value_error(problem);
  return layout;
}

// Reads the value rows of one file, a chunk at a time: the walk stops when
// a chunk is full and goes on from there for the next one.
class Value_reader {
 public:
  Value_reader(const py::bytes& path, const std::string& format, uint32_t data_size,
               const py::dtype& type)
      : m_layout(value_layout(format, data_size)), m_type(type) {
    if (static_cast<size_t>(type.itemsize()) != m_layout.row_size)
      throw std::invalid_argument("value rows are " + std::to_string(m_layout.row_size) +
                                  " bytes");
    const std::string name = file_name(path);
    py::gil_scoped_release release;
    open_reader(m_reader, name);
    m_file_blocks = m_reader.file_size() / BLOCK_SIZE;
  }

  // next() : an array of at most step rows; None after the last row. A
  // damage raises FormatError, and the rows of the chunk read before it are
  // lost; with partial, they are given first and the error comes next time.
  py::object next(int64_t step, bool partial) {
    if (step < 1) throw std::invalid_argument("step must be at least 1");
    Rows rows(m_layout.row_size);
    size_t count = 0;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(m_busy);
      if (m_deferred) throw Failure{*std::exchange(m_deferred, std::nullopt)};
      if (!m_ended) {
        // The settings' layout has its rows made with a size known when
        // compiling.
        count = m_layout.data_size == 4 && m_layout.words == WORDS_PER_LINE
                    ? walk<WORDS_PER_LINE>(rows, static_cast<size_t>(step))
                    : walk<0>(rows, static_cast<size_t>(step));
        m_rows_given += count;
      }
      if (m_failure) {
        m_ended = true;
        if (!partial || count == 0) throw Failure{*std::exchange(m_failure, std::nullopt)};
        m_deferred = std::exchange(m_failure, std::nullopt);
      }
    }
    if (count == 0) return py::none();
    return rows.to_array(count, m_type);
  }

  // What the walk has seen so far: the header's and the ender's texts (None
  // before the block is read) and the number of event blocks.
  py::object header() const {
    std::lock_guard<std::mutex> lock(m_busy);
    return texts_of(m_header);
  }
  py::object ender() const {
    std::lock_guard<std::mutex> lock(m_busy);
    return texts_of(m_ender);
  }
  int32_t event_blocks() const {
    std::lock_guard<std::mutex> lock(m_busy);
    return m_reader.event_blocks();
  }

 private:
  // The walk's visitor for one chunk: rows up to step, of FIXED_WORDS data
  // words unless 0 (see put_value_row()). What it changes row by row is its
  // own, so that it can stay in registers.
  template <uint32_t FIXED_WORDS>
  struct Chunk {
    Value_reader& reader;
    Rows& rows;
    const size_t step;
    const Value_layout layout;
    size_t count = 0;
    size_t capacity = 0;
    char* data = nullptr;

    bool header(const int16_t* block) {
      reader.m_header = block_texts(block);
      return true;
    }
    bool ender(const int16_t* block) {
      reader.m_ender = block_texts(block);
      return true;
    }
    bool problem(const Problem& problem) {
      reader.m_failure = problem;
      return false;
    }
    bool event_block(int32_t, const int16_t*) {
      reader.start_block(count);
      return true;
    }
    bool record(int32_t number, const Event_record& record) {
      if (record.data_count() != layout.words) {
        reader.m_failure = misfit_problem(reader.m_reader.path(), number, record.start,
                                          record.data_count(), layout.words);
        return false;
      }
      if (count == capacity) {
        capacity = reader.grow(rows, count, step);
        data = rows.row(0);
      }
      put_value_row<FIXED_WORDS>(layout, number, record, data + count * layout.row_size);
      return ++count < step;
    }
  };

  // walk() : the rows of the next chunk, at most step; how many.
  template <uint32_t FIXED_WORDS>
  size_t walk(Rows& rows, size_t step) {
    Chunk<FIXED_WORDS> chunk{*this, rows, step, m_layout};
    if (m_reader.walk(chunk) == END_OF_FILE) m_ended = true;
    return chunk.count;
  }

  // start_block() : an event block begins after count rows of this chunk.
  void start_block(size_t count) {
    const size_t row = m_rows_given + count;
    if (m_block_row != NO_ROW) m_rows_per_block = std::max(m_rows_per_block, row - m_block_row);
    m_block_row = row;
  }

  // grow() : room for more rows after count; the new capacity. Room for the
  // chunk at once, judged by the rows of the blocks read so far, rather than
  // growing again and again: a block's room until a whole block's rows are
  // known, then once room for all the blocks left. Never more than step
  // rows: the array given holds all of its room, and a small chunk kept
  // with room for a whole block's rows would hold a thousand times its size.
  size_t grow(Rows& rows, size_t count, size_t step) {
    size_t wanted = std::max(2 * rows.capacity(), MAX_RECORDS_PER_BLOCK);
    if (m_rows_per_block > 0 && rows.capacity() <= MAX_RECORDS_PER_BLOCK) {
      const auto blocks_left =
          static_cast<size_t>(std::max<int64_t>(m_file_blocks - 2 - m_reader.event_blocks(), 0));
      wanted = std::max(wanted, count + m_rows_per_block * blocks_left + MAX_RECORDS_PER_BLOCK);
    }
    rows.grow(count, std::min(wanted, step));
    return rows.capacity();
  }

  static constexpr size_t NO_ROW = ~size_t{0};

  Value_layout m_layout;
  py::dtype m_type;
  Cblock_reader m_reader;
  int64_t m_file_blocks = 0;
  std::optional<Block_texts> m_header;
  std::optional<Block_texts> m_ender;
  size_t m_rows_given = 0;        // in the chunks before
  size_t m_block_row = NO_ROW;    // the first row of the last event block
  size_t m_rows_per_block = 0;    // the most rows a whole block gave so far
  bool m_ended = false;
  std::optional<Problem> m_failure;   // what stopped the walk
  std::optional<Problem> m_deferred;  // a damage met after rows that were given first
  mutable std::mutex m_busy;
};

// raise_misfit() : the FormatError of a record whose data words do not fit
// a layout, for rows made from words() in Python.
void raise_misfit(const py::bytes& path, int32_t event_block, uint32_t word, uint32_t count,
                  uint32_t words) {
  throw Failure{misfit_problem(path, event_block, word, count, words)};
}

// ----------------------------------------------------------------- write

// The records of a (rows, words) array, one row a record; a row's words lie
// side by side, rows stride bytes apart.
class Array_records {
 public:
  Array_records(const char* data, size_t rows, ptrdiff_t stride, int32_t words)
      : m_data(data), m_rows(rows), m_stride(stride), m_words(words) {}
  int next_record() {
    if (m_next == m_rows) return END_OF_FILE;
    m_current =
        reinterpret_cast<const int16_t*>(m_data + static_cast<ptrdiff_t>(m_next) * m_stride);
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
Block_texts texts_from(const py::dict& given) {
  Block_texts texts = user_texts();
  for (const auto& item : given) {
    const std::string name = py::str(item.first);
    const std::string text = py::bytes(py::reinterpret_borrow<py::object>(item.second));
    const auto* field = std::find_if(std::begin(TEXT_FIELDS), std::end(TEXT_FIELDS),
                                     [&](const Text_field& f) { return name == f.name; });
    if (field == std::end(TEXT_FIELDS)) throw py::value_error("no header field " + name);
    if (text.size() > static_cast<size_t>(field->length))
      throw py::value_error(name + ": " + std::to_string(text.size()) +
                            " characters, the field holds " + std::to_string(field->length));
    if (text.find('\0') != std::string::npos)
      throw py::value_error(name + ": a NUL character would end the text");
    texts[static_cast<size_t>(field - TEXT_FIELDS)] = text;
  }
  return texts;
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
  const std::string name = file_name(path);
  const Block_texts block_texts = texts_from(texts);
  Array_records source(reinterpret_cast<const char*>(words.data()),
                   static_cast<size_t>(words.shape(0)), words.strides(0),
                   static_cast<int32_t>(words.shape(1)));
  Problem problem;
  int result;
  {
    py::gil_scoped_release release;
    result = write_block_file(name, source, block_texts, problem);
  }
  if (result != OK) throw Failure{problem};
}

// ---------------------------------------------------------------- layout

// (kinds, None) for a usable line format with that data size, else
// (None, what is wrong) in the words of the settings' checks.
py::tuple check_layout(const std::string& format, uint32_t data_size) {
  Value_layout layout;
  if (const char* problem = check_value_layout(format, data_size, layout))
    return py::make_tuple(py::none(), py::str(problem));
  return py::make_tuple(py::str(layout.kinds, layout.values), py::none());
}

}  // namespace

PYBIND11_MODULE(_tvq, m) {
  m.doc() = "The core of tvqconverter: block walk, record rules, line layout and block writer.";
  PYBIND11_NUMPY_DTYPE(Record_row, block, event_id, segment_id, event_size, segment_size, offset,
                       count);

  static py::exception<Failure> format_error_type(m, "FormatError", PyExc_ValueError);
  format_error = format_error_type.ptr();
  format_error_type.attr("__module__") = "tvq";
  format_error_type.attr("__doc__") =
      "A damaged block file. The message names the file, the event block and the word, in the "
      "words tvqconverter prints for it; .path, .block (the event block as the listing counts "
      "it, None outside one), .word (None where there is none) and .reason (the program's "
      "words) hold them apart.";
  for (const char* name : {"path", "block", "word", "reason"})
    format_error_type.attr(name) = py::none();
  py::register_exception_translator([](std::exception_ptr pending) {
    try {
      if (pending) std::rethrow_exception(pending);
    } catch (const Failure& failure) {
      try {
        raise(failure.problem);
      } catch (py::error_already_set& error) {
        error.restore();
      }
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
  m.def("raise_misfit", &raise_misfit, py::arg("path"), py::arg("block"), py::arg("word"),
        py::arg("count"), py::arg("words"),
        "Raises the FormatError of a record whose data words do not fit a layout.");
  py::class_<Value_reader>(m, "Value_reader")
      .def(py::init<const py::bytes&, const std::string&, uint32_t, const py::dtype&>(),
           py::arg("path"), py::arg("format"), py::arg("data_size"), py::arg("dtype"))
      .def("next", &Value_reader::next, py::arg("step"), py::arg("partial") = false)
      .def("header", &Value_reader::header)
      .def("ender", &Value_reader::ender)
      .def("event_blocks", &Value_reader::event_blocks);
}
