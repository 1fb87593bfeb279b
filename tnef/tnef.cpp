#include "tnef.h"

#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "attr.h"
#include "file.h"
#include "mapi_attr.h"
#include "mapi_names.h"
#include "rtf.h"
#include "write.h"

namespace tessaro::tnef {

namespace {

constexpr uint32_t kSignature = 0x223E9F78;

// Fewer bytes than this after the last record are taken for padding some mail programs leave
// (reported, not fatal); 8 to 10 bytes are too short for a record (11) and read as one cut short.
constexpr uint64_t kMinRecordBytes = 8;

struct Bodies {
  std::vector<Bytes> rtf;
  std::vector<Bytes> html;
  std::vector<Bytes> text;
};

struct BodyKind {
  char letter;
  const char* extension;
  const char* mimeType;
  std::vector<Bytes> Bodies::*list;
};

constexpr BodyKind kBodyKinds[] = {
    {'r', ".rtf", "text/rtf", &Bodies::rtf},
    {'h', ".html", "text/html", &Bodies::html},
    {'t', ".txt", "text/plain", &Bodies::text},
};

void readMessageProps(const Attr& attr, Bodies& bodies, const Context& ctx) {
  std::vector<MapiAttr> props = mapi_attr_read(attr.data, ctx);
  for (MapiAttr& prop : props) {
    if (prop.values.empty()) continue;
    if (prop.name == kPrRtfCompressed)
      bodies.rtf = get_rtf_data(prop.values, ctx);
    else if (prop.name == kPrBodyHtml)
      bodies.html = std::move(prop.values);
  }
}

// Every value of a kind gets the same name, so only the first is stored; the others meet the
// existing file and are skipped with its message.
void writeBodies(Bodies& bodies, const std::string& folder, const std::string& bodyName,
                 const std::string& preference, const Context& ctx) {
  const bool all = preference == "all";
  const std::string order = all ? "rht" : preference;
  for (const char letter : order) {
    for (const BodyKind& kind : kBodyKinds) {
      if (kind.letter != letter || (bodies.*kind.list).empty()) continue;
      for (Bytes& body : bodies.*kind.list) {
        File file;
        file.name = bodyName + kind.extension;
        file.mimeType = kind.mimeType;
        file.data = std::move(body);
        file_write(file, folder, ctx);
      }
      if (!all) return;
    }
  }
}

int decode(FILE* stream, const std::string& folder, const std::string& bodyName,
           const std::string& preference, int flags, const Context& ctx) {
  Input input(stream);
  uint8_t head[4];
  if (std::fread(head, 1, 4, stream) != 4 || get32(head) != kSignature) {
    std::fprintf(ctx.out, "Seems not to be a TNEF file\n");
    return kNotTnef;
  }
  input.read16OrStop(ctx);  // the key

  std::unique_ptr<File> file;
  Bodies bodies;
  Attr attr;
  while (data_left(input, ctx)) {
    const std::optional<uint8_t> level = input.readByte();
    if (!level) break;
    attr_read(input, *level, attr, ctx);
    if (*level == static_cast<uint8_t>(Level::Attachment)) {
      if (attr.name == kAttAttachRendData) {
        if (file) file_write(*file, folder, ctx);
        file = std::make_unique<File>();
      }
      if (file) file_add_attr(*file, attr, ctx);
    } else if (*level == static_cast<uint8_t>(Level::Message)) {
      if (attr.name == kAttMsgProps)
        readMessageProps(attr, bodies, ctx);
      else if (attr.name == kAttBody)
        bodies.text = {std::move(attr.data)};
    } else {
      std::fprintf(ctx.err, "Invalid lvl type on attribute: %d\n", *level);
      return kNotTnef;
    }
  }
  if (file) file_write(*file, folder, ctx);
  if (flags & kSaveBody) writeBodies(bodies, folder, bodyName, preference, ctx);
  return kDecoded;
}

}  // namespace

bool data_left(Input& input, const Context& ctx) {
  const std::optional<uint64_t> left = input.remaining();
  if (!left) return true;  // a stream of unknown size ends when a read finds nothing
  if (*left == 0) return false;
  if (*left < kMinRecordBytes) {
    report(ctx, "ERROR: garbage at end of file.\n");
    return false;
  }
  return true;
}

int parse_file(FILE* input, const std::string& folder, const std::string& bodyName,
               const std::string& bodyPreference, int flags, const Context& ctx) {
  if (!input) return kStopped;
  try {
    return decode(input, folder, bodyName, bodyPreference, flags, ctx);
  } catch (const DecodeStopped&) {
    // The message is printed; attachments written before the stop remain in `folder` for the
    // caller to keep or remove.
    return kStopped;
  } catch (...) {
    std::fprintf(ctx.err, "xmalloc: Memory allocation failure\n");
    return kStopped;
  }
}

}  // namespace tessaro::tnef
