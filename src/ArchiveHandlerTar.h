// Tar archives, plain and compressed with gzip, bzip2 or xz: listed by GNU tar's verbose listing
// rewritten into records by one perl substitution.
#pragma once

#include "ArchiveHandler.h"

namespace tessaro {

class AHandlerTar : public ArchiveHandler {
  TESSARO_HANDLER_CLASS(AHandlerTar, ArchiveHandler)
  int32_t getInfo(std::vector<std::string>& records) override;
  bool canUpdate() const override;
  std::string baseName() const override;
  std::optional<std::string> rsrcFolder() const override;

 protected:
  // GNU tar's arguments before the archive path, chosen by the exact class.
  virtual std::vector<std::string> listArguments() const;
};

class AHandlerTGz : public AHandlerTar {
  TESSARO_HANDLER_CLASS(AHandlerTGz, AHandlerTar)
  bool canUpdate() const override;

 protected:
  std::vector<std::string> listArguments() const override;
};

class AHandlerTBz : public AHandlerTar {
  TESSARO_HANDLER_CLASS(AHandlerTBz, AHandlerTar)
  bool canUpdate() const override;

 protected:
  std::vector<std::string> listArguments() const override;
};

class AHandlerTXz : public AHandlerTar {
  TESSARO_HANDLER_CLASS(AHandlerTXz, AHandlerTar)
  bool canUpdate() const override;

 protected:
  std::vector<std::string> listArguments() const override;
};

}  // namespace tessaro
