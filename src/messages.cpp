// The program's messages: standard output, unless the thread that says them
// is quiet.
#include "messages.h"

#include <cstdarg>
#include <cstdio>

namespace {

thread_local bool quiet = false;

}  // namespace

Quiet_messages::Quiet_messages() : m_outer(quiet) { quiet = true; }

Quiet_messages::~Quiet_messages() { quiet = m_outer; }

void say(const char* format, ...) {
  if (quiet) return;
  va_list arguments;
  va_start(arguments, format);
  std::vprintf(format, arguments);
  va_end(arguments);
}

void say_line(const char* text) {
  if (!quiet) std::puts(text);
}

void say_step(const char* name) { say_line(name); }
