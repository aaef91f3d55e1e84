// The scan of a text data line with the line format of the user settings:
// exactly what the C library's sscanf gives with that format in the "C"
// locale. Plain decimal lines are scanned here without the C library; any
// other spelling goes to it, one conversion at a time. The scan itself is
// USER_SSCANF, declared with the line format in the user settings.
#ifndef LINE_SCAN_H
#define LINE_SCAN_H

#include <cstddef>
#include <cstdint>

// Readable bytes a line to be scanned must have after its terminator: a
// line is looked at 64 bytes at a time, a number 16 bytes at a time.
constexpr size_t LINE_PADDING = 64;

// scan_plain_line() : the scan of USER_SSCANF() for the lines that need no
// C library: true, with every value in raw, when the line, which ends after
// length bytes or at a NUL, has the format's values all plain and each up to
// white space or the line's end. false says nothing: USER_SSCANF() decides.
// The line needs LINE_PADDING readable bytes after its end.
bool scan_plain_line(const char* line, size_t length, uint32_t* raw);

bool scan_line_in_place(const char* text, size_t limit, uint32_t* raw, size_t& length);

// check_integer_fits() : the integer token at the start of text, taken as
// "%d" takes it (white space, an optional sign, decimal digits). OK, or ERROR
// after a message naming the integer when it lies outside 32 bits.
int check_integer_fits(const char* text);

#endif
