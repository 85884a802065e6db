// Zero-filling memory that held an enrollment code or payload.
#pragma once

#include <stddef.h>

// Writes zeros through a volatile pointer, so the compiler cannot drop the
// stores even when the memory is freed or goes out of scope right after.
void Wipe(void* memory, size_t length);
