// Feeds arbitrary bytes to parse_file as a regular file, decoding into a fresh scratch folder
// each run; any crash, leak, sanitizer report or file outside the folder is a finding.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "tnef.h"

namespace {

namespace fs = std::filesystem;

struct Scratch {
  fs::path root;
  Scratch() {
    std::string templ = (fs::temp_directory_path() / "tnef-fuzz.XXXXXX").string();
    if (mkdtemp(templ.data())) root = templ;
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch scratch;
  if (scratch.root.empty()) return 0;
  const fs::path input = scratch.root / "input.dat";
  const fs::path out = scratch.root / "out";
  std::error_code ec;
  fs::remove_all(out, ec);
  fs::create_directory(out, ec);

  FILE* file = std::fopen(input.c_str(), "wb+");
  if (!file) return 0;
  if (size) std::fwrite(data, 1, size, file);
  std::fflush(file);
  std::rewind(file);

  FILE* sink = std::fopen("/dev/null", "w");
  tessaro::tnef::Context ctx;
  ctx.out = sink;
  ctx.err = sink;
  tessaro::tnef::parse_file(file, out.string(), "MailBody", "all", tessaro::tnef::kSaveBody, ctx);
  std::fclose(sink);
  std::fclose(file);

  // Everything the decoder wrote must be a plain file directly inside the output folder.
  for (const fs::directory_entry& entry : fs::directory_iterator(scratch.root, ec)) {
    if (entry.path() != input && entry.path() != out) abort();
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(out, ec)) {
    if (!entry.is_regular_file() || entry.path().parent_path() != out) abort();
  }
  return 0;
}
