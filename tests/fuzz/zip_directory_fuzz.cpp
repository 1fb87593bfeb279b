// The zip central-directory reader of the 7z helper on arbitrary files. When it answers at all,
// its answer must be UTF-8 text, as the records 7zz's listing would give.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "ZipDirectory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tessaro::fuzz::Scratch scratch;
  if (scratch.root.empty()) return 0;
  const std::string path = (scratch.root / "input.zip").string();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return 0;
  const bool written = (size == 0 || std::fwrite(data, 1, size, file) == size);
  if (std::fclose(file) != 0 || !written) return 0;
  if (const auto listing = tessaro::sevenzip::listZipDirectly(path))
    if (!tessaro::fuzz::isWellFormedUTF8(*listing)) abort();
  return 0;
}
