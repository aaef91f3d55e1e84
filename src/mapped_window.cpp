// Mapped_window: a file mapped for reading, under a guard against the file
// being cut short while it is read.
#include "mapped_window.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

// The windows being read, where the guard looks for the page that faulted;
// lock-free, since the guard runs as a signal handler.
struct Guard {
  std::atomic<bool> taken{false};
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
  std::atomic<bool> cut{false};
};
constexpr size_t GUARDS = 64;
Guard guards[GUARDS];
uintptr_t page_mask = 0;
struct sigaction previous_action;
bool installed = false;

// on_bus() : a fault in a guarded window is given zero pages from its page
// to the window's end, and the window is marked cut; any other fault goes
// to what handled it before, as if this handler were not there.
void on_bus(int signal, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (auto& guard : guards) {
    const uintptr_t end = guard.end.load();
    if (address >= end || address < guard.begin.load()) continue;
    const uintptr_t page = address & page_mask;
    if (::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED)
      break;
    guard.cut.store(true);
    return;
  }
  if ((previous_action.sa_flags & SA_SIGINFO) != 0) {
    previous_action.sa_sigaction(signal, info, context);
  } else if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
    previous_action.sa_handler(signal);
  } else {
    ::signal(signal, SIG_DFL);  // a fault comes again, and ends the process
    if (info->si_code <= 0) ::raise(signal);  // sent, not a fault
  }
}

bool install_guard() {
  static std::once_flag once;
  std::call_once(once, [] {
    page_mask = ~(static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE)) - 1);
    struct sigaction action {};
    action.sa_sigaction = on_bus;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    installed = ::sigaction(SIGBUS, &action, &previous_action) == 0;
  });
  return installed;
}

}  // namespace

bool Mapped_window::map(int fd, int64_t offset, size_t length) {
  unmap();
  if (length == 0 || !install_guard()) return false;
  int guard = 0;
  for (; guard < static_cast<int>(GUARDS); ++guard) {
    bool free = false;
    if (guards[guard].taken.compare_exchange_strong(free, true)) break;
  }
  if (guard == static_cast<int>(GUARDS)) return false;
  void* data = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, offset);
  if (data == MAP_FAILED) {
    guards[guard].taken.store(false);
    return false;
  }
  m_data = static_cast<char*>(data);
  m_length = length;
  m_guard = guard;
  Guard& watched = guards[guard];
  watched.cut.store(false);
  watched.begin.store(reinterpret_cast<uintptr_t>(m_data));
  watched.end.store(reinterpret_cast<uintptr_t>(m_data) + length);
  return true;
}

void Mapped_window::unmap() {
  if (m_data == nullptr) return;
  Guard& watched = guards[m_guard];
  watched.end.store(0);
  watched.begin.store(0);
  ::munmap(m_data, m_length);
  watched.taken.store(false);
  m_data = nullptr;
  m_length = 0;
  m_guard = -1;
}

bool Mapped_window::cut() const { return m_data != nullptr && guards[m_guard].cut.load(); }
