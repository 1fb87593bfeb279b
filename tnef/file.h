// The attachment being collected from attachment-level attributes.
#pragma once

#include <optional>
#include <string>

#include "attr.h"
#include "date.h"
#include "mapi_attr.h"
#include "util.h"

namespace tessaro::tnef {

struct File {
  std::optional<std::string> name;
  std::string path;  // the output path, once written
  Bytes data;
  std::optional<Date> modifyDate;
  std::optional<std::string> mimeType;
  std::optional<std::string> contentId;
};

// Applies one attachment-level attribute to `file`.
void file_add_attr(File& file, Attr& attr, const Context& ctx);
// Takes the contents, long file name, MIME type and content id from an attachment's properties.
void file_add_mapi_attrs(File& file, std::vector<MapiAttr>& attrs);

}  // namespace tessaro::tnef
