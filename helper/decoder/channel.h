#pragma once

#include <cstddef>

// The helper's side of its socket, at descriptor 0: blocking, one request
// at a time.
namespace Channel {

bool readAll(void *data, size_t size);
// The same, with the descriptor that came with the first bytes, or -1.
bool readWith(void *data, size_t size, int *descriptor);
bool writeAll(const void *data, size_t size);
// size bytes with a descriptor going along with the first of them.
bool writeWith(const void *data, size_t size, int descriptor);

}
