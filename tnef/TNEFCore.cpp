#include "TNEFCore.h"

#include <filesystem>
#include <system_error>

#include "tnef.h"

namespace tessaro::tnef {

namespace {

constexpr const char* kBodyName = "MailBody";
constexpr const char* kAllBodies = "all";

}  // namespace

bool TNEFCore::extractWinmailDatFromPathWithURL(const std::string& fromPath, const std::string& toPath,
                                                FILE* out, FILE* err) {
  try {
    if (!toPath.empty()) {
      std::error_code ignored;
      std::filesystem::create_directories(toPath, ignored);
    }
    // Checked and reported, but never fatal: the decoder runs inside the preview host.
    if (fromPath.empty()) {
      std::fprintf(err, "fromUrl must be a valid file URL!\n");
      return false;
    }
    if (toPath.empty()) {
      std::fprintf(err, "toUrl must be a valid file URL!\n");
      return false;
    }
    FILE* input = std::fopen(fromPath.c_str(), "rb");
    if (!input) return false;
    Context ctx;
    ctx.out = out;
    ctx.err = err;
    const int result = parse_file(input, toPath, kBodyName, kAllBodies, kSaveBody, ctx);
    std::fclose(input);
    return result == kDecoded;
  } catch (...) {
    return false;
  }
}

}  // namespace tessaro::tnef
