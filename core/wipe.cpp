#include "core/wipe.h"

void Wipe(void* memory, size_t length) {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(memory);
  for (size_t i = 0; i < length; ++i) bytes[i] = 0;
}
