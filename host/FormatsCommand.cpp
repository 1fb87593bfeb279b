// tessaro formats: what the registry reads and writes, in the user's language, with the
// compression levels and encryption methods each writable format offers.
#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Commands.h"
#include "HandlerRegistry.h"
#include "HostPaths.h"
#include "icons/Icons.h"

namespace tessaro::host {

const char* const kFormatsUsage =
    "formats\n                 the archive formats, what each can do, and their creation settings\n";

namespace {

std::string joined(const std::vector<std::string>& words, const char* separator) {
  std::string text;
  for (const std::string& word : words) {
    if (word.empty()) continue;
    if (!text.empty()) text += separator;
    text += word;
  }
  return text;
}

std::string menuTitles(const MenuArray& menu) {
  std::vector<std::string> titles;
  for (const MenuItem& item : menu) titles.push_back(std::to_string(item.tag) + " " + item.title);
  return joined(titles, "; ");
}

// The operations a class offers, in the order the commands are listed.
std::string abilities(const HandlerClass& c) {
  std::vector<std::string> words{"list", "extract"};
  const std::pair<bool, const char*> offered[] = {
      {c.canTest(), "test"},     {c.canSave() != 0, "create"}, {c.canAdd(), "add"},
      {c.canDelete(), "delete"}, {c.canMoveItems(), "rename"}, {c.canWriteComments(), "comment"},
      {c.canRepair(), "repair"}, {c.canEncrypt(), "encrypt"},  {c.canSplit(), "split"}};
  for (const auto& [can, word] : offered) {
    if (can) words.emplace_back(word);
  }
  return joined(words, ", ");
}

// The format's own name; for formats that have none, the desktop's kind name of its first
// extension, and the class name only when the desktop has no name either.
std::string displayName(const HandlerClass& c) {
  std::string name = c.formatName();
  const auto extensions = c.allowedExtensions();
  if (c.hasFormatName() || !extensions || extensions->empty()) return name;
  return kindNameForFileName("archive." + extensions->front()).value_or(name);
}

}  // namespace

int formatsCommand(const std::vector<std::string>& args) {
  CommandLine line;
  if (const std::optional<int> ended = parseCommandLine("formats", kFormatsUsage, args, {}, line))
    return *ended;
  if (!line.operands().empty()) return usageError(kFormatsUsage);
  locateHelpers();
  for (const HandlerClass* c : allHandlerClasses()) {
    std::printf("%s\n", displayName(*c).c_str());
    if (const auto extensions = c->allowedExtensions(); extensions && !extensions->empty())
      std::printf("  extensions:  %s\n", joined(*extensions, " ").c_str());
    std::printf("  operations:  %s\n", abilities(*c).c_str());
    if (c->canSave() == 0) continue;
    if (c->hasCompressionFactor())
      std::printf("  compression: %s\n", menuTitles(c->compressionFactors()).c_str());
    if (c->canEncrypt()) std::printf("  encryption:  %s\n", menuTitles(c->encryptionMethods()).c_str());
  }
  return kExitOK;
}

}  // namespace tessaro::host
