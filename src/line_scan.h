// The scan of a text data line with the line format of the user settings:
// exactly what the C library's sscanf gives with that format in the "C"
// locale. Plain decimal lines are scanned here without the C library; any
// other spelling goes to it, one conversion at a time. The scan itself is
// USER_SSCANF, declared with the line format in the user settings.
#ifndef LINE_SCAN_H
#define LINE_SCAN_H

#include <cstddef>
#include <cstdint>

// Readable bytes a line to be scanned must have after its terminator, or
// after the bytes read: a line is looked at 64 bytes at a time.
constexpr size_t LINE_PADDING = 64;

// The plain lines are scanned by a fast path built for any processor and,
// on x86-64 with GCC or Clang, built again for processors with AVX2, BMI2
// and FMA, which is taken where the processor has them.
#if defined(__x86_64__) && defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
#define TVQ_SCAN_HAS_AVX2 1
#else
#define TVQ_SCAN_HAS_AVX2 0
#endif
enum class Scan_build { BASELINE, AVX2 };

// scan_build_runs() : whether this processor runs the build: BASELINE
// always, AVX2 where it was built and the processor has what it needs.
bool scan_build_runs(Scan_build build);

// scan_plain_line() : the scan of USER_SSCANF() for the lines that need no
// C library: true, with every value in raw, when the format's values are all
// plain, each a whole token, before the line's end: its first newline or
// NUL, or limit bytes. false says nothing: USER_SSCANF() decides.
bool scan_plain_line(const char* line, size_t limit, uint32_t* raw);

// scan_line_in_place() : scan_plain_line() for the line at the start of
// text, of which limit bytes are read: true also needs the line's newline
// among them, and gives the line's length with it. What follows the last
// value up to the newline is not read.
bool scan_line_in_place(const char* text, size_t limit, uint32_t* raw, size_t& length);

// The same with the build named, for tests; the build must run.
bool scan_plain_line(Scan_build build, const char* line, size_t limit, uint32_t* raw);
bool scan_line_in_place(Scan_build build, const char* text, size_t limit, uint32_t* raw,
                        size_t& length);

// check_integer_fits() : the integer token at the start of text, taken as
// "%d" takes it (white space, an optional sign, decimal digits). OK, or ERROR
// after a message naming the integer when it lies outside 32 bits.
int check_integer_fits(const char* text);

#endif
