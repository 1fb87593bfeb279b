// Names quoted and escaped for command lines, XML and file names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

std::string sanitizeFilename(std::string_view text);
std::string convertToXMLEntities(std::string_view text);
std::string quoteString(std::string_view text);
// For a command line run through the shell: backslashes doubled, then "$" and '"' escaped.
std::string escapeQuotes(std::string_view text);
std::string endSlashesDoubledFromString(std::string_view text);
std::string quotedFromString(std::string_view text);
// The text between double quotes for a shell command line, with the four characters the shell
// still interprets there (double quote, backslash, "$", backquote) escaped: no name can end the
// quotes or run anything.
std::string quotedForShell(std::string_view text);
// The texts joined with `separator`; each one quotedForShell when `quote` is set.
std::string arrayToString(const std::vector<std::string>& texts, std::string_view separator, bool quote);

}  // namespace tessaro
