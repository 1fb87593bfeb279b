// Wraps arbitrary bytes into a XAR archive and reads it the way the handler does: the first two
// bytes give the length of the table of contents' XML that follows, the rest is the heap. The
// archive is listed, then extracted into a fresh scratch folder; any crash, leak or sanitizer
// report, or anything written beside the scratch folder, is a finding.
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "xar/Xar.h"

namespace {

namespace fs = std::filesystem;

void put(std::string& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

struct Scratch {
  fs::path parent;
  fs::path root;
  Scratch() {
    std::string templ = (fs::temp_directory_path() / "xar-fuzz.XXXXXX").string();
    if (mkdtemp(templ.data())) parent = templ;
    root = parent / "out";
    std::error_code ignored;
    fs::create_directory(root, ignored);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(parent, ignored);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t tocSize = std::min<size_t>(size - 2, static_cast<size_t>(data[0]) << 8 | data[1]);
  const char* xml = reinterpret_cast<const char*>(data + 2);
  tessaro::xarParseTocForTesting(xml, tocSize);

  uLongf packedSize = compressBound(static_cast<uLong>(tocSize));
  std::string packed(packedSize, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize, reinterpret_cast<const Bytef*>(xml),
                static_cast<uLong>(tocSize), 1) != Z_OK) {
    return 0;
  }
  packed.resize(packedSize);
  std::string archive = "xar!";
  put(archive, 28, 2);
  put(archive, 1, 2);
  put(archive, packed.size(), 8);
  put(archive, tocSize, 8);
  put(archive, 0, 4);  // no table-of-contents checksum, so the fuzzer reaches the entries
  archive += packed;
  archive.append(xml + tocSize, size - 2 - tocSize);

  const int fd = memfd_create("xar-fuzz", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (write(fd, archive.data(), archive.size()) != static_cast<ssize_t>(archive.size())) {
    close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  tessaro::xar_t x = tessaro::xar_open(path.c_str(), tessaro::READ);
  if (x) {
    Scratch scratch;
    const fs::path before = fs::current_path();
    if (!scratch.parent.empty() && chdir(scratch.root.c_str()) == 0) {
      tessaro::xar_iter_t i = tessaro::xar_iter_new();
      for (tessaro::xar_file_t f = tessaro::xar_file_first(x, i); f; f = tessaro::xar_file_next(i)) {
        free(tessaro::xar_get_path(f));
        for (const char* key : {"type", "mode", "mtime", "data/size", "data/length", "data/encoding"}) {
          const char* value = nullptr;
          tessaro::xar_prop_get(f, key, &value);
        }
        tessaro::xar_extract(x, f);
      }
      tessaro::xar_iter_free(i);
      if (chdir(before.c_str()) != 0) abort();
      // The scratch parent holds the output folder and nothing else.
      size_t entries = 0;
      for ([[maybe_unused]] const auto& e : fs::directory_iterator(scratch.parent)) ++entries;
      if (entries != 1) abort();
    }
    tessaro::xar_close(x);
  }
  close(fd);
  return 0;
}
