// tvq._tvq: the core's interface (tvq_core.h) for Python. Nothing is
// printed: a failure comes back from the core as a Problem and is raised as
// the exception its kind names. The GIL is released while a file is read or
// written.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
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
#include <string_view>
#include <utility>
#include <vector>

#include "tvq_core.h"
#include "user_settings.h"

namespace py = pybind11;

namespace {

// ------------------------------------------------------------- exceptions

// A Python exception met while the core ran with the GIL released (in a file
// object's read, or a signal handler's KeyboardInterrupt): kept, and raised
// as it is once the core has returned.
class Pending {
 public:
  Pending() = default;
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;
  ~Pending() {
    if (m_type == nullptr) return;
    py::gil_scoped_acquire gil;
    Py_XDECREF(m_type);
    Py_XDECREF(m_value);
    Py_XDECREF(m_traceback);
  }
  bool held() const { return m_type != nullptr; }
  // keep() : the error set in this thread, with the GIL held.
  void keep() { PyErr_Fetch(&m_type, &m_value, &m_traceback); }
  // restore() : set again, with the GIL held; true if there was one.
  bool restore() {
    if (m_type == nullptr) return false;
    PyErr_Restore(m_type, m_value, m_traceback);
    m_type = m_value = m_traceback = nullptr;
    return true;
  }

 private:
  PyObject* m_type = nullptr;
  PyObject* m_value = nullptr;
  PyObject* m_traceback = nullptr;
};

// A problem on its way to Python, with the Python exception that caused it.
struct Failure {
  Problem problem;
  std::shared_ptr<Pending> pending;
};

PyObject* format_error = nullptr;    // tvq.FormatError, made with the module
PyObject* damage_warning = nullptr;  // tvq.DamageWarning

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
                         {Problem_kind::DAMAGE, &format_error},
                         {Problem_kind::INTERRUPTED, &PyExc_KeyboardInterrupt}};

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

// damage_object() : a FormatError or DamageWarning of a damage, its message
// and its parts.
py::object damage_object(PyObject* type, const Problem& problem) {
  py::object error = py::reinterpret_borrow<py::object>(type)(decoded(problem.message()));
  error.attr("path") = decoded(problem.path);
  error.attr("block") = number_or_none(problem.event_block, 0);
  error.attr("word") = number_or_none(problem.word, -1);
  error.attr("reason") = decoded(problem.reason);
  return error;
}

void raise(const Failure& failure) {
  if (failure.pending && failure.pending->restore()) return;
  const Problem& problem = failure.problem;
  const auto* raised = std::find_if(std::begin(RAISED), std::end(RAISED),
                                    [&](const Raised& r) { return r.kind == problem.kind; });
  py::object error;
  if (problem.kind == Problem_kind::DAMAGE) {
    error = damage_object(*raised->type, problem);
  } else if (problem.kind == Problem_kind::INTERRUPTED) {
    error = py::reinterpret_borrow<py::object>(*raised->type)();
  } else {
    error = py::reinterpret_borrow<py::object>(*raised->type)(
        problem.error_number != 0 ? problem.error_number : EIO, decoded(problem.reason),
        decoded(problem.path));
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

// --------------------------------------------------------------- signals

unsigned long main_thread = 0;  // where Python runs its signal handlers

// The core's interruption check for a call from Python: Ctrl-C, seen by
// Python's own handler, stops the call as KeyboardInterrupt. Only the main
// thread runs signal handlers: elsewhere the GIL is not taken for it.
class Interruption {
 public:
  Interruption()
      : m_pending(std::make_shared<Pending>()),
        m_main_thread(PyThread_get_thread_ident() == main_thread) {}
  Interrupt_check check() { return {this, &Interruption::interrupted}; }
  const std::shared_ptr<Pending>& pending() const { return m_pending; }
  Failure failure(const Problem& problem) const { return {problem, m_pending}; }

 private:
  static bool interrupted(void* context) {
    auto& self = *static_cast<Interruption*>(context);
    if (self.m_pending->held()) return true;
    if (!self.m_main_thread) return false;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    self.m_pending->keep();
    return true;
  }

  std::shared_ptr<Pending> m_pending;
  bool m_main_thread;
};

// ------------------------------------------------------------------ input

// What a reading call is given: a path (bytes), or a binary file object read
// through its readinto() or read() and, if it can move, seek(), called with
// the GIL held; and the name to give it in messages.
class Input {
 public:
  Input(const py::object& source, std::string name) : m_name(std::move(name)) {
    if (py::isinstance<py::bytes>(source)) {
      m_path = file_name(source.cast<py::bytes>());
      return;
    }
    m_file = source;
    if (py::hasattr(source, "readinto")) m_readinto = source.attr("readinto");
    else m_read = source.attr("read");
    const py::object seekable = py::getattr(source, "seekable", py::none());
    if (!seekable.is_none() && seekable().cast<bool>()) m_seek = source.attr("seek");
  }
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input() {
    py::gil_scoped_acquire gil;  // the objects are let go of with it
    m_file = m_readinto = m_read = m_seek = py::object();
  }

  // open() : the reader on this input, with the GIL released.
  void open(Cblock_reader& reader) {
    reader.set_interrupt_check(m_interruption.check());
    const int opened =
        m_file ? reader.open_source({this, &Input::read, m_seek ? &Input::seek : nullptr}, m_name)
               : reader.open_file(m_path);
    if (opened != OK) throw failure(reader.problem());
  }
  Failure failure(const Problem& problem) const { return m_interruption.failure(problem); }

 private:
  // called() : what call gives, run with the GIL held. A Python exception
  // is kept; the core sees an interrupted call, asks the check, which says
  // stop.
  template <typename Call>
  long long called(Call call) {
    py::gil_scoped_acquire gil;
    try {
      return call();
    } catch (py::error_already_set& error) {
      error.restore();
    } catch (const std::exception& error) {
      PyErr_SetString(PyExc_ValueError, error.what());
    }
    m_interruption.pending()->keep();
    errno = EINTR;
    return -1;
  }
  static long long read(void* context, char* buffer, size_t size) {
    auto& self = *static_cast<Input*>(context);
    return self.called([&]() -> long long {
      if (self.m_readinto) {
        const py::object got =
            self.m_readinto(py::memoryview::from_memory(buffer, static_cast<ssize_t>(size)));
        if (got.is_none()) throw py::value_error("a file object without data to read yet");
        // A count past the buffer would take the core past it: refused, as
        // Python's own buffered readers refuse it.
        const long long count = got.cast<long long>();
        if (count < 0 || static_cast<unsigned long long>(count) > size)
          throw py::value_error("readinto() gave " + std::to_string(count) + " bytes, not 0 to " +
                                std::to_string(size));
        return count;
      }
      const py::bytes got = self.m_read(size);
      const std::string_view bytes = got;
      if (bytes.size() > size) throw py::value_error("read() gave more bytes than asked for");
      std::memcpy(buffer, bytes.data(), bytes.size());
      return static_cast<long long>(bytes.size());
    });
  }
  static long long seek(void* context, long long offset, int whence) {
    auto& self = *static_cast<Input*>(context);
    return self.called([&] { return self.m_seek(offset, whence).cast<long long>(); });
  }

  std::string m_name;
  std::string m_path;
  py::object m_file, m_readinto, m_read, m_seek;
  Interruption m_interruption;
};

// ------------------------------------------------------------------ memory

// Memory of large arrays is mapped on its own, with huge pages where the
// system gives them, as NumPy does for its own arrays. It grows by moving its
// pages (mremap), never by copying them.
constexpr size_t MAPPED_FROM = size_t{4} << 20;
constexpr size_t HUGE_PAGE = size_t{2} << 20;
// How large a kept mapping may stay while no reader is open.
constexpr size_t KEPT_MOST = size_t{512} << 20;

size_t mapped_size(size_t bytes) { return (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE; }

// The mappings of the last two large results freed, kept for the next
// results: the kernel zeroes new pages when they are first touched, which
// costs about as much as reading the file, so chunks of an iteration take
// each other's pages instead (a chunk is freed while the next one is made;
// two let the next iteration start on them too). While no reader is open,
// a kept mapping is at most KEPT_MOST and left to the kernel to take back
// whenever it needs the memory (MADV_FREE): its pages are used again as
// they are unless the kernel took them, then new ones come.
class Spare {
 public:
  // take() : the larger kept mapping and its bytes, now the caller's;
  // nullptr for none.
  void* take(size_t& bytes) {
    std::lock_guard<std::mutex> lock(m_lock);
    Mapping& larger = m_kept[0].bytes >= m_kept[1].bytes ? m_kept[0] : m_kept[1];
    bytes = std::exchange(larger.bytes, 0);
    return std::exchange(larger.data, nullptr);
  }
  // keep() : a mapping of bytes (a multiple of HUGE_PAGE) no longer used:
  // kept in place of a smaller one, or unmapped.
  void keep(void* data, size_t bytes) {
    Mapping given{data, bytes};
    {
      std::lock_guard<std::mutex> lock(m_lock);
      Mapping& smaller = m_kept[0].bytes <= m_kept[1].bytes ? m_kept[0] : m_kept[1];
      if (bytes >= MAPPED_FROM && bytes > smaller.bytes && (m_readers > 0 || bytes <= KEPT_MOST)) {
        if (m_readers == 0) ::madvise(data, bytes, MADV_FREE);
        std::swap(given, smaller);
      }
    }
    given.unmap();
  }
  void open_reader() {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_readers;
  }
  void close_reader() {
    Mapping dropped[2];
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (--m_readers > 0) return;
      for (size_t i = 0; i < 2; ++i) {
        if (m_kept[i].bytes > KEPT_MOST) std::swap(dropped[i], m_kept[i]);
        else if (m_kept[i].data != nullptr) ::madvise(m_kept[i].data, m_kept[i].bytes, MADV_FREE);
      }
    }
    for (auto& mapping : dropped) mapping.unmap();
  }

 private:
  struct Mapping {
    void* data = nullptr;
    size_t bytes = 0;
    void unmap() {
      if (data != nullptr) ::munmap(data, bytes);
    }
  };
  std::mutex m_lock;
  Mapping m_kept[2];
  int m_readers = 0;
};

Spare spare;

// A reader open, for the spare's sake, for the life of this object.
struct Open_reader {
  Open_reader() { spare.open_reader(); }
  ~Open_reader() { spare.close_reader(); }
  Open_reader(const Open_reader&) = delete;
  Open_reader& operator=(const Open_reader&) = delete;
};

// allocated() : the bytes an allocation of bytes takes: a multiple of
// HUGE_PAGE when it is mapped.
size_t allocated(size_t bytes) { return bytes < MAPPED_FROM ? bytes : mapped_size(bytes); }

// free_bytes() : data of allocated() bytes.
void free_bytes(void* data, size_t bytes) {
  if (data == nullptr) return;
  if (bytes < MAPPED_FROM)
    std::free(data);
  else
    spare.keep(data, bytes);
}

// Rows of a size, grown as they come, handed to NumPy without a copy. Every
// byte of the rows is written; memory past them may hold older rows.
class Rows {
 public:
  explicit Rows(size_t row_size) : m_row_size(row_size) {}
  ~Rows() { free_bytes(m_data, m_bytes); }
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;

  size_t count() const { return m_count; }
  size_t capacity() const { return m_capacity; }
  char* data() const { return m_data; }
  // reserve() : room for capacity rows, or more: a mapping is used whole.
  void reserve(size_t capacity) {
    if (capacity > m_capacity) resize(capacity * m_row_size, false);
  }
  // add() : room for one more row, at the end.
  char* add() {
    if (m_count == m_capacity) reserve(std::max<size_t>(2 * m_capacity, 1024));
    return m_data + m_row_size * m_count++;
  }
  void set_count(size_t count) { m_count = count; }
  // to_array() : the rows as an array that owns them, which holds no more
  // room than they take.
  py::array to_array(const py::dtype& type) {
    struct Owner {
      char* data;
      size_t bytes;
    };
    if (allocated(m_count * m_row_size) != m_bytes) resize(m_count * m_row_size, true);
    auto* owner = new Owner{m_data, m_bytes};
    const size_t count = m_count;
    m_data = nullptr;
    m_bytes = m_capacity = m_count = 0;
    py::capsule base(owner, [](void* pointer) {
      auto* rows = static_cast<Owner*>(pointer);
      free_bytes(rows->data, rows->bytes);
      delete rows;
    });
    return py::array(type, {count}, {m_row_size}, owner->data, base);
  }

 private:
  // resize() : room for bytes at least, exactly allocated(bytes) if exact;
  // the rows are kept. A new mapping is the kept one where there is one.
  void resize(size_t bytes, bool exact) {
    const size_t rows = m_count * m_row_size;
    if (bytes < MAPPED_FROM) {
      void* resized =
          std::realloc(m_bytes < MAPPED_FROM ? m_data : nullptr, std::max<size_t>(bytes, 1));
      if (resized == nullptr) throw std::bad_alloc();
      if (m_bytes >= MAPPED_FROM) {
        std::memcpy(resized, m_data, std::min(rows, bytes));
        free_bytes(m_data, m_bytes);
      }
      set(resized, bytes);
      return;
    }
    if (m_bytes < MAPPED_FROM) {
      size_t kept = 0;
      void* mapped = spare.take(kept);
      if (mapped == nullptr) {
        kept = mapped_size(bytes);
        mapped = ::mmap(nullptr, kept, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        ::madvise(mapped, kept, MADV_HUGEPAGE);
      }
      if (rows > 0) std::memcpy(mapped, m_data, rows);
      std::free(m_data);
      set(mapped, kept);
    }
    const size_t wanted = mapped_size(bytes);
    if (m_bytes == wanted || (!exact && m_bytes > wanted)) return;
    if (m_bytes > wanted) {  // the pages past the rows are kept on their own
      spare.keep(m_data + wanted, m_bytes - wanted);
      set(m_data, wanted);
      return;
    }
    void* moved = ::mremap(m_data, m_bytes, wanted, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    ::madvise(moved, wanted, MADV_HUGEPAGE);
    set(moved, wanted);
  }
  void set(void* data, size_t bytes) {
    m_data = static_cast<char*>(data);
    m_bytes = bytes;
    m_capacity = bytes / m_row_size;
  }

  size_t m_row_size;
  char* m_data = nullptr;
  size_t m_bytes = 0;  // allocated()
  size_t m_capacity = 0;
  size_t m_count = 0;
};

template <typename T>
void add_row(Rows& rows, const T& row) {
  std::memcpy(rows.add(), &row, sizeof row);
}

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

py::list warnings_of(const std::vector<Problem>& problems) {
  py::list out;
  for (const auto& problem : problems) out.append(damage_object(damage_warning, problem));
  return out;
}

// The walk's visitor parts that every pass shares: the texts, and the
// problems, kept (skip) or ending the walk.
struct Pass {
  bool skip = false;
  std::optional<Block_texts> header_texts;
  std::optional<Block_texts> ender_texts;
  std::vector<Problem> problems;
  std::optional<Problem> failure;

  bool header(const int16_t* block) {
    header_texts = block_texts(block);
    return true;
  }
  bool ender(const int16_t* block) {
    ender_texts = block_texts(block);
    return true;
  }
  bool problem(const Problem& problem) {
    if (skip && problem.kind == Problem_kind::DAMAGE) {
      problems.push_back(problem);
      return true;
    }
    failure = problem;
    return false;
  }
};

// walk_source() : the whole walk of a source with a new Visitor, the GIL
// released, a regular file read where it lies in memory if mapped; what
// every pass gives (header, ender, problems), and the visitor.
template <typename Visitor>
std::pair<py::dict, std::unique_ptr<Visitor>> walk_source(const py::object& source,
                                                         const py::bytes& name, bool skip,
                                                         bool mapped = false) {
  Input input(source, name);
  auto visitor = std::make_unique<Visitor>();
  visitor->skip = skip;
  {
    py::gil_scoped_release release;
    Cblock_reader reader;
    input.open(reader);
    if (mapped) reader.map_input();
    reader.walk(*visitor);
    if (visitor->failure) throw input.failure(*visitor->failure);
  }
  py::dict out;
  out["header"] = texts_of(visitor->header_texts);
  out["ender"] = texts_of(visitor->ender_texts);
  out["problems"] = warnings_of(visitor->problems);
  return {out, std::move(visitor)};
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

// Everything BlockFile.records() and words() give, gathered as the walk's
// visitor.
struct Scan : Pass {
  Rows records{sizeof(Record_row)};
  Rows words{sizeof(uint16_t)};
  Rows starts{sizeof(uint32_t)};
  int32_t event_blocks = 0;

  bool event_block(int32_t number, const int16_t*) {
    event_blocks = number;
    return true;
  }
  bool record(int32_t number, const Event_record& record) {
    Record_row row;
    std::memset(&row, 0, sizeof row);  // and its padding
    row.block = static_cast<uint32_t>(number);
    row.event_id = record.event_id;
    row.segment_id = static_cast<uint16_t>(record.words[0]);
    row.event_size = record.event_size;
    row.segment_size = record.segment_size;
    row.offset = words.count();
    row.count = record.data_count();
    add_row(records, row);
    add_row(starts, record.start);
    const size_t count = words.count();
    if (count + row.count > words.capacity())
      words.reserve(std::max(count + row.count, 2 * words.capacity()));
    std::memcpy(words.data() + 2 * count, record.data(), 2 * size_t{row.count});
    words.set_count(count + row.count);
    return true;
  }
};

py::dict scan(const py::object& source, const py::bytes& name, bool skip) {
  auto [out, result] = walk_source<Scan>(source, name, skip);
  out["records"] = result->records.to_array(py::dtype::of<Record_row>());
  out["words"] = result->words.to_array(py::dtype::of<uint16_t>());
  out["starts"] = result->starts.to_array(py::dtype::of<uint32_t>());
  out["event_blocks"] = result->event_blocks;
  return out;
}

// ------------------------------------------------------------------ count

// The records of each event block, from their heads alone.
struct Count : Pass {
  Rows counts{sizeof(uint32_t)};
  uint32_t* last = nullptr;

  bool event_block(int32_t, const int16_t*) {
    last = reinterpret_cast<uint32_t*>(counts.add());
    *last = 0;
    return true;
  }
  bool record(int32_t, const Event_record&) {
    ++*last;
    return true;
  }
  uint32_t alike_wanted() const { return ~uint32_t{0}; }
  uint32_t take_alike(int32_t, uint32_t count, uint32_t) {
    *last += count;
    return count;
  }
};

// count() : {"counts": records of each event block, "problems", "header",
// "ender"}.
py::dict count(const py::object& source, const py::bytes& name, bool skip) {
  // Heads alone are read: a copy of the file would cost more than the walk.
  auto [out, result] = walk_source<Count>(source, name, skip, true);
  out["counts"] = result->counts.to_array(py::dtype::of<uint32_t>());
  return out;
}

// ------------------------------------------------------------------ heads

// The header's walk alone, stopped after it.
struct Header_only : Pass {
  bool header(const int16_t* block) {
    Pass::header(block);
    return false;
  }
  bool event_block(int32_t, const int16_t*) { return false; }
  bool record(int32_t, const Event_record&) { return false; }
};

// heads() : (header texts, ender texts or None): the first block and the
// last, and nothing else.
py::tuple heads(const py::object& source, const py::bytes& name) {
  Input input(source, name);
  Header_only walk;
  bool found = false;
  Block_texts ender;
  {
    py::gil_scoped_release release;
    Cblock_reader reader;
    input.open(reader);
    reader.read_blocks_singly();
    reader.walk(walk);
    if (walk.failure) throw input.failure(*walk.failure);
    if (reader.read_last_ender(found, ender) != OK) throw input.failure(reader.problem());
  }
  return py::make_tuple(texts_of(walk.header_texts),
                        found ? texts_of(ender) : py::object(py::none()));
}

// ---------------------------------------------------------------- values

Value_layout value_layout(const std::string& format, uint32_t data_size) {
  Value_layout layout;
  if (const char* problem = check_value_layout(format, data_size, layout))
    throw py::value_error(problem);
  return layout;
}

// A piece of a whole values row that a row of some columns holds.
struct Piece {
  size_t from;
  size_t size;
};

// Reads the value rows of one input, a chunk at a time: the walk stops when
// a chunk is full and goes on from there for the next one. The rows may be
// of some columns only, and of a range: from an event block read by its
// index, rows of it passed over, at most so many rows, up to a block.
class Value_reader {
 public:
  Value_reader(const py::object& source, const py::bytes& name, const std::string& format,
               uint32_t data_size, const py::dtype& type, const std::vector<Piece>& pieces,
               bool skip)
      : m_layout(value_layout(format, data_size)),
        m_type(type),
        m_pieces(pieces),
        m_input(source, name) {
    size_t row_size = m_layout.row_size;
    if (!m_pieces.empty()) {
      row_size = 0;
      for (const auto& piece : m_pieces) {
        if (piece.from + piece.size > m_layout.row_size)
          throw std::invalid_argument("a column lies outside the row");
        row_size += piece.size;
      }
    }
    if (static_cast<size_t>(type.itemsize()) != row_size)
      throw std::invalid_argument("value rows are " + std::to_string(row_size) + " bytes");
    m_row_size = row_size;
    m_pass.skip = skip;
    py::gil_scoped_release release;
    m_input.open(m_reader);
  }

  // seek() : the walk goes on from event block number, read by its index.
  void seek(int32_t number) {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(m_busy);
    if (m_reader.seek_event_block(number) != OK) throw m_input.failure(m_reader.problem());
  }
  // range() : pass over the next skip rows, give at most rows after them
  // (-1: all), and stop before event block stop (0: never).
  void range(int64_t skip, int64_t rows, int32_t stop) {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(m_busy);
    m_skip_rows = static_cast<size_t>(std::max<int64_t>(skip, 0));
    m_rows_left = rows < 0 ? NO_LIMIT : static_cast<size_t>(rows);
    m_stop_block = stop;
    // Rows passed over are read from their heads alone: a copy of their
    // blocks would cost more than the walk over them.
    if (m_skip_rows > 0) m_reader.map_input();
  }

  // next() : an array of at most step rows; None after the last row. A
  // damage raises FormatError, and the rows of the chunk read before it are
  // lost; with partial, they are given first and the error comes next time.
  py::object next(int64_t step, bool partial) {
    if (step < 1) throw std::invalid_argument("step must be at least 1");
    Rows rows(m_row_size);
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(m_busy);
      if (m_deferred) throw m_input.failure(*std::exchange(m_deferred, std::nullopt));
      const size_t wanted = std::min(static_cast<size_t>(step), m_rows_left);
      if (!m_ended && wanted > 0) {
        // The settings' layout has its rows made with a size known when
        // compiling.
        if (!m_pieces.empty())
          walk<0, true>(rows, wanted);
        else if (m_layout.data_size == 4 && m_layout.words == WORDS_PER_LINE)
          walk<WORDS_PER_LINE, false>(rows, wanted);
        else
          walk<0, false>(rows, wanted);
        if (m_rows_left != NO_LIMIT) m_rows_left -= rows.count();
        if (m_rows_left == 0) m_ended = true;
      }
      if (m_pass.failure) {
        m_ended = true;
        if (!partial || rows.count() == 0)
          throw m_input.failure(*std::exchange(m_pass.failure, std::nullopt));
        m_deferred = std::exchange(m_pass.failure, std::nullopt);
      }
    }
    if (rows.count() == 0) return py::none();
    return rows.to_array(m_type);
  }

  // problems() : the DamageWarnings of the problems met since the last call.
  py::list problems() {
    return warnings_of(locked([this] { return std::exchange(m_pass.problems, {}); }));
  }
  // What the walk has seen so far: the header's and the ender's texts (None
  // before the block is read) and the number of event blocks.
  py::object header() const {
    return texts_of(locked([this] { return m_pass.header_texts; }));
  }
  py::object ender() const {
    return texts_of(locked([this] { return m_pass.ender_texts; }));
  }
  int32_t event_blocks() const {
    return locked([this] { return m_reader.event_blocks(); });
  }
  // reached_stop() : the walk came to the block it was to stop before, not
  // to its end.
  bool reached_stop() const {
    return locked([this] { return m_reached_stop; });
  }

 private:
  // The walk's visitor for one chunk: rows up to wanted, of FIXED_WORDS data
  // words unless 0 (see put_value_row()), whole or in PIECES. What it changes
  // row by row is its own, so that it can stay in registers.
  template <uint32_t FIXED_WORDS, bool PIECES>
  struct Chunk {
    Value_reader& reader;
    Rows& rows;
    const size_t wanted;
    const Value_layout layout;
    size_t count = 0;
    size_t capacity = 0;
    char* data = nullptr;

    bool header(const int16_t* block) { return reader.m_pass.header(block); }
    bool ender(const int16_t* block) { return reader.m_pass.ender(block); }
    bool problem(const Problem& problem) { return reader.m_pass.problem(problem); }
    bool event_block(int32_t number, const int16_t*) {
      if (reader.m_stop_block == 0 || number < reader.m_stop_block) return true;
      reader.m_reached_stop = true;
      return false;
    }
    // Rows to pass over are passed over a run of records alike at a time.
    uint32_t alike_wanted() const {
      return static_cast<uint32_t>(std::min<size_t>(reader.m_skip_rows, WORDS_PER_BLOCK));
    }
    uint32_t take_alike(int32_t, uint32_t count, uint32_t data_count) {
      if (data_count != layout.words) return 0;
      reader.m_skip_rows -= count;
      return count;
    }
    bool record(int32_t number, const Event_record& record) {
      if (record.data_count() != layout.words) {
        reader.m_pass.failure = misfit_problem(reader.m_reader.path(), number, record.start,
                                               record.data_count(), layout.words);
        return false;
      }
      if (reader.m_skip_rows > 0) {
        --reader.m_skip_rows;
        return true;
      }
      if (count == capacity) {
        rows.set_count(count);
        rows.reserve(std::min(std::max<size_t>(2 * capacity, 1024), wanted));
        capacity = rows.capacity();
        data = rows.data();
      }
      if (PIECES) {
        char whole[VALUES_AT + 4 * MAX_CONVERSIONS];
        put_value_row<FIXED_WORDS>(layout, number, record, whole);
        char* row = data + count * reader.m_row_size;
        for (const auto& piece : reader.m_pieces) {
          std::memcpy(row, whole + piece.from, piece.size);
          row += piece.size;
        }
      } else {
        put_value_row<FIXED_WORDS>(layout, number, record, data + count * layout.row_size);
      }
      return ++count < wanted;
    }
  };

  // locked() : what read() gives, while no walk runs. The GIL is let go of
  // first: a walk may wait for it.
  template <typename Read>
  auto locked(Read read) const -> decltype(read()) {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(m_busy);
    return read();
  }

  template <uint32_t FIXED_WORDS, bool PIECES>
  void walk(Rows& rows, size_t wanted) {
    Chunk<FIXED_WORDS, PIECES> chunk{*this, rows, wanted, m_layout};
    if (m_reader.walk(chunk) == END_OF_FILE || m_reached_stop) m_ended = true;
    rows.set_count(chunk.count);
  }

  static constexpr size_t NO_LIMIT = ~size_t{0};

  Value_layout m_layout;
  py::dtype m_type;
  size_t m_row_size = 0;  // the dtype's itemsize
  std::vector<Piece> m_pieces;  // none: whole rows
  Input m_input;
  Cblock_reader m_reader;
  Pass m_pass;
  size_t m_skip_rows = 0;
  size_t m_rows_left = NO_LIMIT;
  int32_t m_stop_block = 0;
  bool m_reached_stop = false;
  bool m_ended = false;
  std::optional<Problem> m_deferred;  // a damage met after rows that were given first
  mutable std::mutex m_busy;
  Open_reader m_open;
};

// raise_misfit() : the FormatError of a record whose data words do not fit
// a layout, for rows made from words() in Python.
void raise_misfit(const py::bytes& path, int32_t event_block, uint32_t word, uint32_t count,
                  uint32_t words) {
  throw Failure{misfit_problem(path, event_block, word, count, words), nullptr};
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
  Interruption interruption;
  int result;
  {
    py::gil_scoped_release release;
    result = write_block_file(name, source, block_texts, problem, interruption.check());
  }
  if (result != OK) throw interruption.failure(problem);
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

  main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  static py::exception<Failure> format_error_type(m, "FormatError", PyExc_ValueError);
  format_error = format_error_type.ptr();
  format_error_type.attr("__module__") = "tvq";
  format_error_type.attr("__doc__") =
      "A damaged block file. The message names the file, the event block and the word, in the "
      "words tvqconverter prints for it; .path, .block (the event block as the listing counts "
      "it, None outside one), .word (None where there is none) and .reason (the program's "
      "words) hold them apart.";
  struct Damage_warning {};
  static py::exception<Damage_warning> damage_warning_type(m, "DamageWarning", PyExc_UserWarning);
  damage_warning = damage_warning_type.ptr();
  damage_warning_type.attr("__module__") = "tvq";
  damage_warning_type.attr("__doc__") =
      "A damage passed over with errors=\"skip\": the records the listing shows whole are kept. "
      "Its message, .path, .block, .word and .reason are those of the FormatError it stands for.";
  for (const char* name : {"path", "block", "word", "reason"}) {
    format_error_type.attr(name) = py::none();
    damage_warning_type.attr(name) = py::none();
  }
  py::register_exception_translator([](std::exception_ptr pending) {
    try {
      if (pending) std::rethrow_exception(pending);
    } catch (const Failure& failure) {
      try {
        raise(failure);
      } catch (py::error_already_set& error) {
        error.restore();
      }
    }
  });

  m.attr("LINE_FORMAT") = USER_LINE_FORMAT;
  m.attr("DATA_SIZE") = DATA_SIZE;
  m.attr("BLOCK_SIZE") = BLOCK_SIZE;
  m.attr("ROW_VALUES_AT") = VALUES_AT;
  py::list fields;
  for (const auto& field : TEXT_FIELDS) fields.append(py::make_tuple(field.name, field.length));
  m.attr("FIELDS") = fields;

  m.def("check_layout", &check_layout, py::arg("format"), py::arg("data_size"));
  m.def("scan", &scan, py::arg("source"), py::arg("name"), py::arg("skip"),
        "Header, ender, records, data words and problems of a block file.");
  m.def("count", &count, py::arg("source"), py::arg("name"), py::arg("skip"),
        "The records of each event block, from their heads alone, and the problems.");
  m.def("heads", &heads, py::arg("source"), py::arg("name"),
        "The texts of the header block and of the last block if it is an ender block.");
  m.def("write_words", &write_words, py::arg("path"), py::arg("words"), py::arg("texts"),
        "Writes a block file with one record per row of words.");
  m.def("raise_misfit", &raise_misfit, py::arg("path"), py::arg("block"), py::arg("word"),
        py::arg("count"), py::arg("words"),
        "Raises the FormatError of a record whose data words do not fit a layout.");
  py::class_<Value_reader>(m, "Value_reader")
      .def(py::init([](const py::object& source, const py::bytes& name, const std::string& format,
                       uint32_t data_size, const py::dtype& type,
                       const std::vector<std::pair<size_t, size_t>>& pieces, bool skip) {
             std::vector<Piece> cut;
             for (const auto& piece : pieces) cut.push_back({piece.first, piece.second});
             return std::make_unique<Value_reader>(source, name, format, data_size, type, cut,
                                                   skip);
           }),
           py::arg("source"), py::arg("name"), py::arg("format"), py::arg("data_size"),
           py::arg("dtype"), py::arg("pieces") = std::vector<std::pair<size_t, size_t>>(),
           py::arg("skip") = false)
      .def("seek", &Value_reader::seek, py::arg("event_block"))
      .def("range", &Value_reader::range, py::arg("skip"), py::arg("rows"), py::arg("stop"))
      .def("next", &Value_reader::next, py::arg("step"), py::arg("partial") = false)
      .def("problems", &Value_reader::problems)
      .def("reached_stop", &Value_reader::reached_stop)
      .def("header", &Value_reader::header)
      .def("ender", &Value_reader::ender)
      .def("event_blocks", &Value_reader::event_blocks);
}
