// Allocation for the decoder: failures print their message and stop the decoding of this file
// instead of ending the process. The checked forms also honour the context's size limit.
#pragma once

#include <cstddef>

#include "util.h"

namespace tessaro::tnef {

// `size` zero-filled bytes.
Bytes xmalloc(size_t size, const Context& ctx);
// `count` elements of `size` bytes each, zero-filled; a product that overflows is refused.
Bytes xcalloc(size_t count, size_t size, const Context& ctx);
Bytes checked_xmalloc(size_t size, const Context& ctx);
Bytes checked_xcalloc(size_t count, size_t size, const Context& ctx);
// Grows or shrinks `bytes` to `size` under the same rules as checked_xmalloc.
void checked_resize(Bytes& bytes, size_t size, const Context& ctx);

}  // namespace tessaro::tnef
