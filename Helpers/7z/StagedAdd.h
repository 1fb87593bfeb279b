// Adding files under a folder inside the archive ("-ap"), which 7zz cannot do: a private staging
// folder holds that folder's path as real folders and, at its end, one symbolic link per file to
// add. 7zz, run inside the staging folder, follows the links (as it follows every link unless
// told -snl) and stores each file under the folder path. The staging folder goes with the object.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessaro::sevenzip {

class StagedAdd {
 public:
  StagedAdd() = default;
  ~StagedAdd();
  StagedAdd(const StagedAdd&) = delete;
  StagedAdd& operator=(const StagedAdd&) = delete;

  // Stages `files` (7zz's file arguments: names, "@listfile" and "." for everything in
  // `sourceFolder`, read relative to `sourceFolder`) under `folder`. False with a message in
  // `error` for a folder that climbs out with "..", an unreadable list file or a staging failure.
  bool prepare(std::string_view folder, const std::vector<std::string>& files,
               const std::string& sourceFolder, std::string& error);

  // The folder 7zz must run in.
  const std::string& root() const { return root_; }
  // The file arguments that take the place of `files`, 7zz's command line ending with them after
  // "--": a list file of the staged names, then any name a list file cannot carry.
  std::vector<std::string> fileArguments() const;
  // An exclusion switch rewritten for the staged names: "-x!name" and "-x@list" only ever matched
  // at the top, which is now the folder; recursive ones match anywhere and only have their list
  // file made absolute. Any other switch comes back unchanged.
  std::string exclusion(std::string_view argument, const std::string& sourceFolder, std::string& error);

 private:
  bool stage(const std::string& source, std::vector<std::string> components, std::string& error);
  bool stageFolderContents(const std::string& folder, std::string& error);
  std::string writeList(const std::string& name, const std::vector<std::string>& lines, std::string& error);

  std::string root_;
  std::string prefix_;               // the folder inside the archive, "a/b"
  std::vector<std::string> staged_;  // names relative to root_, each one once
  std::string listFile_;
  int lists_ = 0;
};

}  // namespace tessaro::sevenzip
