#include "file.h"

#include <algorithm>

#include "mapi_names.h"

namespace tessaro::tnef {

namespace {

std::string textUpToZero(const Bytes& bytes) {
  const auto end = std::find(bytes.begin(), bytes.end(), uint8_t{0});
  return std::string(bytes.begin(), end);
}

}  // namespace

void file_add_mapi_attrs(File& file, std::vector<MapiAttr>& attrs) {
  for (MapiAttr& attr : attrs) {
    if (attr.values.empty()) continue;
    Bytes& first = attr.values.front();
    switch (attr.name) {
      case kPrAttachDataObj: file.data = std::move(first); break;
      case kPrAttachLongFilename: file.name = textUpToZero(first); break;
      case kPrAttachMimeTag: file.mimeType = textUpToZero(first); break;
      case kPrAttachContentId: file.contentId = textUpToZero(first); break;
      default: break;
    }
  }
}

void file_add_attr(File& file, Attr& attr, const Context& ctx) {
  switch (attr.name) {
    case kAttAttachTitle: file.name = textUpToZero(attr.data); break;
    case kAttAttachData: file.data = std::move(attr.data); break;
    case kAttAttachModifyDate:
      // Another type or a short value carries no date we can read; the attachment keeps none.
      if (attr.type == kAtpDate) file.modifyDate = date_read(attr.data);
      break;
    case kAttAttachment: {
      std::vector<MapiAttr> attrs = mapi_attr_read(attr.data, ctx);
      file_add_mapi_attrs(file, attrs);
      break;
    }
    default: break;
  }
}

}  // namespace tessaro::tnef
