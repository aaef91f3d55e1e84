// Field access on a block held in memory as read from a file.
#ifndef GLOBAL_H
#define GLOBAL_H

#include <cstdint>

// decode_binary_to_string() : copies byte_count bytes from byte offset
// 2 * word_index and adds a terminator; dest needs byte_count + 1 bytes.
// Returns OK.
int decode_binary_to_string(const int16_t* block, char* dest, int32_t word_index,
                            int32_t byte_count);

// decode_binary_to_integer() : the byte_count (at most 4) bytes at byte offset
// 2 * word_index as an unsigned little-endian value; with 2 bytes, 0 to 65535.
// Returns OK.
int decode_binary_to_integer(const int16_t* block, int32_t* dest, int32_t word_index,
                             int32_t byte_count);

#endif
