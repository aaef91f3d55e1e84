// The program's messages: standard output, unless the thread that says them
// is quiet.
#include "messages.h"

#include <cstdarg>
#include <cstdio>

namespace {

thread_local bool quiet = false;

void say_list(const char* format, va_list arguments) {
  if (!quiet) std::vprintf(format, arguments);
}

}  // namespace

Quiet_messages::Quiet_messages() : m_outer(quiet) { quiet = true; }

Quiet_messages::~Quiet_messages() { quiet = m_outer; }

void say(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  say_list(format, arguments);
  va_end(arguments);
}

void say_progress(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  say_list(format, arguments);
  va_end(arguments);
}

void say_line(const char* text) {
  if (!quiet) std::puts(text);
}

void say_step(const char* name) { say_line(name); }
