// The two field-access functions the listing reads a block's fields with.
#include "global.h"

#include <cstring>

#include "tvq_constants.h"

int decode_binary_to_string(const int16_t* block, char* dest, int32_t word_index,
                            int32_t byte_count) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(block);
  std::memcpy(dest, bytes + 2 * word_index, static_cast<size_t>(byte_count));
  dest[byte_count] = '\0';
  return OK;
}

int decode_binary_to_integer(const int16_t* block, int32_t* dest, int32_t word_index,
                             int32_t byte_count) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(block) + 2 * word_index;
  uint32_t value = 0;
  for (int32_t i = 0; i < byte_count; ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  *dest = static_cast<int32_t>(value);
  return OK;
}
