// Detection of the handler class from a file's first bytes and its name: the first input byte
// picks a name (numbered volumes among them, whose first volume is written beside), the rest is
// the file. The registry's answer must not depend on anything but the two, so a second look must
// agree with the first.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include "FuzzSupport.h"
#include "HandlerRegistry.h"

namespace {

const char* const kNames[] = {"a.zip",       "a.tar",    "a.tar.gz",
                              "a.tgz",       "a.gz",     "a.cpgz",
                              "a.cpio.gz",   "a.tbz2",   "a.tar.bz",
                              "a.bz2",       "a.txz",    "a.tar.xz",
                              "a.xz",        "a.7z",     "a.rar",
                              "a.part2.rar", "a.r00",    "a.001",
                              "a.002",       "a.7z.003", "a.iso",
                              "a.dmg",       "a.dd",     "a.bin",
                              "a.sit",       "a.tnef",   "winmail.dat",
                              "WIN.DAT",     "a",        ".zip",
                              "a.",          "a.ZIP",    "a.12345678901234567890",
                              "a.9",         "a.0",      "a.-2",
                              "a.2x",        "a.cab",    "a.deb"};

bool writeFile(const std::filesystem::path& path, const uint8_t* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool ok = (size == 0 || std::fwrite(data, 1, size, file) == size) && std::fclose(file) == 0;
  if (!ok) std::remove(path.c_str());
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tessaro::fuzz::Scratch scratch;
  if (scratch.root.empty() || size == 0) return 0;
  std::error_code ec;
  const std::filesystem::path folder = scratch.root / "in";
  std::filesystem::remove_all(folder, ec);
  std::filesystem::create_directory(folder, ec);

  const std::string name = kNames[data[0] % std::size(kNames)];
  const std::filesystem::path path = folder / name;
  if (!writeFile(path, data + 1, size - 1)) return 0;
  // A later volume is detected through its first one: give it one, holding the same bytes.
  if (data[0] & 0x80) {
    std::filesystem::path first = path;
    writeFile(first.replace_extension(".001"), data + 1, size - 1);
  }

  // Detection only: making the handler would start the XAD handlers' lister, a process per run.
  const auto once = tessaro::handlerClassNameWithFilename(path.string(), false);
  const auto again = tessaro::handlerClassNameWithFilename(path.string(), true);
  const tessaro::HandlerClass* cls = tessaro::handlerClassWithFilename(path.string(), false);
  if (once != again || once.has_value() != (cls != nullptr)) abort();
  return 0;
}
