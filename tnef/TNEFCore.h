// The decoder's entry for the mail attachment handler.
#pragma once

#include <cstdio>
#include <string>

namespace tessaro::tnef {

class TNEFCore {
 public:
  // Decodes the TNEF file at `fromPath` into `toPath` (created with its parents when missing):
  // every attachment under its own name and the bodies as MailBody.rtf / .html / .txt. False when
  // either path is empty, the source cannot be opened or the decoding fails; files written
  // before a failure stay in `toPath`. Messages go to `err` (and the not-TNEF one to `out`).
  static bool extractWinmailDatFromPathWithURL(const std::string& fromPath, const std::string& toPath,
                                               FILE* out = stdout, FILE* err = stderr);
};

}  // namespace tessaro::tnef
