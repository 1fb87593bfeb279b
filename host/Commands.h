// The subcommands of the tessaro program. Each takes the arguments after its name and returns
// the program's exit status.
#pragma once

#include <string>
#include <vector>

namespace tessaro::host {

// Exit statuses shared by the subcommands.
inline constexpr int kExitOK = 0;
inline constexpr int kExitFailed = 1;  // the operation ran and failed
inline constexpr int kExitUsage = 2;   // bad arguments, missing file, unsupported file

int listCommand(const std::vector<std::string>& args);
extern const char* const kListUsage;
int defaultsCommand(const std::vector<std::string>& args);
extern const char* const kDefaultsUsage;
int extractCommand(const std::vector<std::string>& args);
extern const char* const kExtractUsage;
int testCommand(const std::vector<std::string>& args);
extern const char* const kTestUsage;
int passwordsCommand(const std::vector<std::string>& args);
extern const char* const kPasswordsUsage;
int createCommand(const std::vector<std::string>& args);
extern const char* const kCreateUsage;
int addCommand(const std::vector<std::string>& args);
extern const char* const kAddUsage;
int deleteCommand(const std::vector<std::string>& args);
extern const char* const kDeleteUsage;
int renameCommand(const std::vector<std::string>& args);
extern const char* const kRenameUsage;
int commentCommand(const std::vector<std::string>& args);
extern const char* const kCommentUsage;
int repairCommand(const std::vector<std::string>& args);
extern const char* const kRepairUsage;
int joinCommand(const std::vector<std::string>& args);
extern const char* const kJoinUsage;
int viewCommand(const std::vector<std::string>& args);
extern const char* const kViewUsage;
int formatsCommand(const std::vector<std::string>& args);
extern const char* const kFormatsUsage;
int previewCommand(const std::vector<std::string>& args);
extern const char* const kPreviewUsage;

}  // namespace tessaro::host
