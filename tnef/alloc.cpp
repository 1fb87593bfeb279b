#include "alloc.h"

#include <cstring>
#include <limits>
#include <new>

namespace tessaro::tnef {

namespace {

[[noreturn]] void allocationFailed(const Context& ctx, const char* who) {
  stop(ctx, "%s: Memory allocation failure: %s\n", who, std::strerror(ENOMEM));
}

void checkLimit(const Context& ctx, const char* who, size_t size) {
  if (ctx.maxAllocation != 0 && size > ctx.maxAllocation)
    stop(ctx, "%s: Maximum allocation size exceeded (maxsize = %lu; size = %lu).\n", who,
         static_cast<unsigned long>(ctx.maxAllocation), static_cast<unsigned long>(size));
}

Bytes allocate(size_t size, const Context& ctx, const char* who) {
  try {
    return Bytes(size);
  } catch (...) {
    allocationFailed(ctx, who);
  }
}

}  // namespace

Bytes xmalloc(size_t size, const Context& ctx) { return allocate(size, ctx, "xmalloc"); }

Bytes xcalloc(size_t count, size_t size, const Context& ctx) {
  if (size != 0 && count > std::numeric_limits<size_t>::max() / size) allocationFailed(ctx, "xcalloc");
  return allocate(count * size, ctx, "xcalloc");
}

Bytes checked_xmalloc(size_t size, const Context& ctx) {
  checkLimit(ctx, "checked_xmalloc", size);
  return xmalloc(size, ctx);
}

Bytes checked_xcalloc(size_t count, size_t size, const Context& ctx) {
  if (size != 0 && count > std::numeric_limits<size_t>::max() / size)
    allocationFailed(ctx, "checked_xcalloc");
  checkLimit(ctx, "checked_xcalloc", count * size);
  return xcalloc(count, size, ctx);
}

void checked_resize(Bytes& bytes, size_t size, const Context& ctx) {
  checkLimit(ctx, "checked_xmalloc", size);
  try {
    bytes.resize(size);
  } catch (...) {
    allocationFailed(ctx, "xmalloc");
  }
}

}  // namespace tessaro::tnef
