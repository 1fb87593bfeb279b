// The format registry: which handler class serves a file, decided by its first bytes or, failing
// that, its name; and the class-level lists the host builds its menus from.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ArchiveHandler.h"

namespace tessaro {

// The class that serves `path`, or none (a folder, a blacklisted extension, nothing recognised).
const HandlerClass* handlerClassWithFilename(std::string_view path, bool ignoreBlacklist);
std::optional<std::string> handlerClassNameWithFilename(std::string_view path, bool ignoreBlacklist);
// A new handler opened on `path`, or none when no class serves it or the file does not exist.
std::shared_ptr<ArchiveHandler> handlerWithFilename(std::string_view path, bool ignoreBlacklist = false);
// A new handler without URL of the first class whose formatTag is `tag`.
std::shared_ptr<ArchiveHandler> handlerWithFormat(int32_t tag);

// The distinct classes of the signature table in first-occurrence order.
const std::vector<const HandlerClass*>& allHandlerClasses();
// The metaclass of any handler class by name (every class of the hierarchy), or none.
const HandlerClass* handlerClassNamed(std::string_view className);

bool filesAreOnlyArchives(const std::vector<std::string>& paths);
std::vector<std::string> saveTypeExtensions(bool unused);
std::vector<std::string> saveTypeNames(bool unused);

MenuArray allCompressionFactors();
MenuArray allEncryptionMethods();
// For each tag in order, the first item of `items` with that tag; tags without one are skipped.
MenuArray menuArrayFromArray(const MenuArray& items, const std::vector<int32_t>& filter);

}  // namespace tessaro
