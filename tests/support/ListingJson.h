// Reading back what `tessaro list --json` prints.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>

namespace tessaro::test {

// Every file of the listing by its name, with its size; folders and links left out.
inline std::map<std::string, int64_t> filesInJson(const std::string& text) {
  std::map<std::string, int64_t> files;
  const nlohmann::json entries = nlohmann::json::parse(text, nullptr, false);
  if (!entries.is_array()) return files;
  for (const auto& entry : entries)
    if (entry.value("kind", "") == "file") files[entry.value("name", "")] = entry.value("size", int64_t{-1});
  return files;
}

}  // namespace tessaro::test
