// The base of every format handler, and its metaclass: the class-level description of a format
// (name, tag, extensions, capabilities) that the registry and the host read without a handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "AZipItem.h"
#include "HandlerStatus.h"
#include "ListingProblem.h"
#include "ListingBound.h"
#include "plist/PropertyList.h"

namespace tessaro {

class ArchiveCallbackHandler;
class ArchiveHandler;
class Subprocess;

// One entry of the compression or encryption menus: {"title": localised text, "tag": number}.
struct MenuItem {
  std::string title;
  int32_t tag = 0;
  bool operator==(const MenuItem&) const = default;
};
using MenuArray = std::vector<MenuItem>;

// Archive-creation settings: "compression", "encryption", "additionalParams", "mode", "volumeSize",
// "volumeUnit".
using Preset = PlistDictionary;
// The preset's integer under `key`; 0 when it has none.
int64_t presetInteger(const Preset& preset, std::string_view key);

// A volume of a multi-volume archive: "url" (its path), "name" (last component), "size" (bytes).
struct VolumePart {
  std::string url;
  std::string name;
  int64_t size = 0;
};

// Class-level operations of one handler class. One immutable instance per class; the classes
// derive along the handler hierarchy, so a subclass overrides only what differs.
class HandlerClass {
 public:
  virtual ~HandlerClass() = default;

  virtual std::string_view className() const { return "ArchiveHandler"; }
  // The class this one derives from; none for ArchiveHandler.
  virtual const HandlerClass* superclass() const { return nullptr; }
  // True for this class and every class derived from it.
  bool isSubclassOf(const HandlerClass& other) const;
  // A new handler without URL (plain initialisation).
  virtual std::shared_ptr<ArchiveHandler> alloc() const;
  // A new handler opened on the first volume of `path`, or none when it cannot serve the file.
  std::shared_ptr<ArchiveHandler> initWithURL(std::string_view path) const;

  // Localised; the class name by default.
  virtual std::string formatName() const;
  virtual int32_t formatTag() const { return -1; }
  virtual std::optional<std::string> defaultExtension() const { return std::nullopt; }
  virtual std::optional<std::string> baseType() const { return std::nullopt; }
  virtual std::optional<std::vector<std::string>> allowedExtensions() const { return std::nullopt; }
  // 0 when this format cannot be created.
  virtual int32_t canSave() const { return 0; }
  virtual bool canTest() const { return false; }
  virtual bool canAdd() const { return false; }
  virtual bool canMoveItems() const { return false; }
  virtual bool canWriteComments() const { return false; }
  virtual bool canDelete() const { return false; }
  virtual bool canEncrypt() const { return false; }
  virtual bool canSplit() const { return false; }
  virtual bool canRepair() const { return false; }
  virtual bool hasMacMode() const { return false; }
  virtual bool hasCompressionFactor() const { return false; }
  virtual bool canFilterRsrc() const { return true; }
  // True when the tool that writes this format answers no trustworthy status: a new archive is
  // read to its end before it counts as written.
  virtual bool writtenArchiveNeedsWholeRead() const { return false; }
  // True when kStatusCancelled from a change the user did not cancel is the tool's warning (an
  // item skipped, the archive still written) rather than a failure.
  virtual bool cancelledStatusCanBeWarning() const { return false; }
  // For a compressed tar class: the switch by which GNU tar itself (un)compresses it ("-z"), else
  // the program tar runs as its filter; neither for plain tar and the other formats.
  virtual std::string_view tarCompressionSwitch() const { return {}; }
  virtual std::optional<std::string> tarFilterProgram() const { return std::nullopt; }
  // True when the class states a name of its own for its format (formatName is otherwise the
  // class name, which is no text to show).
  bool hasFormatName() const { return formatName() != className(); }
  // The class's entries of the shared menus, as tags in menu order.
  virtual std::vector<int32_t> compressionFactorTags() const { return {0}; }
  virtual std::vector<int32_t> encryptionMethodTags() const { return {0}; }
  MenuArray compressionFactors() const;
  MenuArray encryptionMethods() const;

 protected:
  HandlerClass() = default;
  friend class ArchiveHandler;
};

// The metaclass of handler class H whose parent's metaclass is Parent: fills in the name, the
// superclass and the allocation, so a handler's metaclass states only its own properties.
template <typename H, typename Parent>
class HandlerClassOf : public Parent {
 public:
  std::string_view className() const override { return H::kClassName; }
  const HandlerClass* superclass() const override { return &H::Super::metaclass(); }
  std::shared_ptr<ArchiveHandler> alloc() const override { return std::make_shared<H>(); }
};

// The one metaclass object of a handler class, made on first use.
template <typename C>
const HandlerClass& theInstance() {
  static const C instance;
  return instance;
}

// What every handler class states about itself, inside its class body: its parent, its name
// and its metaclass (defined beside the class's operations). Members after it are public.
#define TESSARO_HANDLER_CLASS(Name, Parent)             \
 public:                                                \
  using Super = Parent;                                 \
  static constexpr std::string_view kClassName = #Name; \
  class Class;                                          \
  static const HandlerClass& metaclass();               \
  const HandlerClass& isa() const override { return metaclass(); }

class ArchiveHandler : public std::enable_shared_from_this<ArchiveHandler> {
 public:
  using Class = HandlerClass;
  static constexpr std::string_view kClassName = "ArchiveHandler";
  static const HandlerClass& metaclass();

  // Output of a runner-1 tool, handed over chunk by chunk while the tool runs.
  using OutputCallback = std::function<void(std::string_view chunk)>;

  ArchiveHandler();
  virtual ~ArchiveHandler();
  ArchiveHandler(const ArchiveHandler&) = delete;
  ArchiveHandler& operator=(const ArchiveHandler&) = delete;

  virtual const HandlerClass& isa() const { return metaclass(); }
  std::string_view className() const { return isa().className(); }

  // Opens the handler on the first volume of `path` and clears the cancelled, encrypted and solid
  // flags. False when the handler cannot serve the file (the registry then gives no handler).
  virtual bool initWithURL(std::string_view path);
  // Stores `path` when the file exists (else no URL); a different URL collects the volumes anew.
  void setUrl(std::string_view path);
  const std::optional<std::string>& url() const { return url_; }
  // "Filename: <path>\nBasetype = <baseType>".
  std::string description() const;

  // ---- Operations that formats override (base answers in the comments)

  virtual void runDetectorOn(const char* bytes);  // nothing
  virtual bool canUpdate() const;                 // false
  virtual bool isSolid() const { return isSolid_; }
  virtual bool isListingEncrypted() const { return isListingEncrypted_; }
  virtual bool isItemEncrypted(const AZipItem& item) const;  // false
  // 0 none, 1 weak, 2 AES-256, 3 AES-256 with encrypted names.
  virtual int32_t itemEncryptionMethod(const AZipItem& item) const;
  // The operations below trace their name and never throw: each calls its do<Op> step, and an
  // exception escaping the step becomes kStatusOutOfMemory (std::bad_alloc) or kStatusFailed,
  // logged with what it said.
  int32_t addFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                   const std::string& toArchive, AZipItem* inParentItem, const Preset& preset,
                   std::vector<std::string>* filesToClean);
  int32_t extract(const AZipItem::List& items, const std::string& toFolder, int32_t mode);
  // Appends one listing record per entry; 0 listed, 100 listing encrypted, other values failures.
  int32_t getInfo(std::vector<std::string>& records);
  int32_t updateComment(const std::string& comment);
  int32_t moveFiles(const AZipItem::List& items, const std::string& destination);
  // Renames each old name to the new name of the same index (pairs up to the shorter list).
  int32_t moveFiles(const std::vector<std::string>& oldNames, const std::vector<std::string>& newNames);
  int32_t deleteFiles(const AZipItem::List& items);
  int32_t repair();
  // The archive's file name without its extension.
  virtual std::string baseName() const;
  virtual bool isFirstFile(std::string_view path) const;                             // true
  virtual std::optional<std::vector<std::string>> possiblyConflictingParts() const;  // none
  virtual std::optional<std::string> rsrcFolder() const;                             // none
  // Where the symbolic links of the last listing point, by their record paths, for formats
  // whose records carry no targets; looked for only when the listing has such links.
  virtual std::unordered_map<std::string, std::string> linkTargets() const;  // none
  // Collects the volumes of a numbered set (".001", ".002", …) into parts().
  virtual void initParts();

  // ---- Running tools

  // Runs `tool` with `params`, its standard output and error in one pipe, until it exits. Chunks
  // go to `callback` while it runs; without one, `rawOutput` (when given) receives the whole output
  // as UTF-8, or none when it is not. `input` is what the tool reads on its standard input (a
  // password, which must never travel on a command line); nothing when it is empty. -1 when the
  // tool is missing or not executable.
  int32_t executeTask(const std::string& tool, const std::vector<std::string>& params,
                      const std::optional<std::string>& workingDir, const OutputCallback* callback,
                      std::optional<std::string>* rawOutput, std::string_view input = {});
  // Copies between a shell command and a file in 128 KiB chunks: from the command into the file
  // when `readFromPipe` is set, from the file into the command otherwise. 0, or 4 when a side
  // could not be opened or the command did not close cleanly.
  int32_t executeTask(const std::string& command, const std::string& file, bool readFromPipe,
                      const std::optional<std::string>& workingDir);
  // Records the cancellation and stops a running tool; safe from another thread.
  void setOperationCancelled(bool cancelled);
  bool operationCancelled() const { return operationCancelled_; }
  // The flag setOperationCancelled sets, for a tool pipeline to watch while it runs.
  const std::atomic<bool>* cancellationFlag() const { return &operationCancelled_; }

  // ---- Listing bound

  // The most one listing collects: a hostile archive can name millions of entries in a few
  // hundred kilobytes. No bound until one is set.
  void setListingBound(std::optional<ListingBound> bound);
  // Counts the records appended since the last call; once they reach the bound, cancels the
  // operation (stopping a running tool), marks the listing cut short and answers true.
  bool listingBoundReached(const std::vector<std::string>& records);
  // The same for one record at a time, for a handler that counts lines as its tool writes them:
  // true when `record` fits (it is then counted), false once the bound is reached.
  bool listingBoundAdmits(std::string_view record);
  // Marks the listing cut short and stops a running tool, for a lister that found the bound
  // reached by its own counting.
  void cutListingShort();
  bool listingCutShort() const { return listingCutShort_; }
  const std::optional<ListingBound>& listingBound() const { return listingBound_; }

  // ---- State

  void setIsSolid(bool v) { isSolid_ = v; }
  void setIsListingEncrypted(bool v) { isListingEncrypted_ = v; }
  // What the last listing's tool said went wrong; none when it said nothing.
  ListingProblem listingProblem() const { return listingProblem_; }
  void setListingProblem(ListingProblem v) { listingProblem_ = v; }
  uint64_t encoding() const { return encoding_; }
  void setEncoding(uint64_t v) { encoding_ = v; }
  float detector_confidence() const { return detectorConfidence_; }
  bool containsAbsolutePaths() const { return containsAbsolutePaths_; }
  void setContainsAbsolutePaths(bool v) { containsAbsolutePaths_ = v; }
  const std::string& comment() const { return comment_; }
  void setComment(std::string v) { comment_ = std::move(v); }
  const std::string& password() const { return password_; }
  void setPassword(std::string v) { password_ = std::move(v); }
  const std::optional<std::string>& documentsTempFolder() const { return documentsTempFolder_; }
  void setDocumentsTempFolder(std::optional<std::string> v) { documentsTempFolder_ = std::move(v); }
  std::shared_ptr<ArchiveCallbackHandler> callbackHandler() const { return callbackHandler_.lock(); }
  void setCallbackHandler(std::weak_ptr<ArchiveCallbackHandler> v) { callbackHandler_ = std::move(v); }
  const std::vector<VolumePart>& parts() const { return parts_; }
  void setParts(std::vector<VolumePart> v) { parts_ = std::move(v); }

 protected:
  // The tool's full path in the helper folder.
  static std::string helperTool(std::string_view name);
  // The "<class name> <operation>" trace line that starts every handler operation.
  void traceOperation(const char* operation) const;

  // ---- The formats' steps behind the operations (base answers in the comments)

  virtual int32_t doAddFiles(const std::vector<std::string>& files, const std::string& fromFolder,
                             const std::string& toArchive, AZipItem* inParentItem, const Preset& preset,
                             std::vector<std::string>* filesToClean);                                 // -1
  virtual int32_t doExtract(const AZipItem::List& items, const std::string& toFolder, int32_t mode);  // -1
  virtual int32_t doGetInfo(std::vector<std::string>& records);                              // 0, no records
  virtual int32_t doUpdateComment(const std::string& comment);                               // -1
  virtual int32_t doMoveFiles(const AZipItem::List& items, const std::string& destination);  // -1
  virtual int32_t doMoveFiles(const std::vector<std::string>& oldNames,
                              const std::vector<std::string>& newNames);  // -1
  virtual int32_t doDeleteFiles(const AZipItem::List& items);             // -1
  virtual int32_t doRepair();                                             // -1

  std::vector<VolumePart> parts_;

 private:
  bool isListingEncrypted_ = false;
  ListingProblem listingProblem_ = ListingProblem::none;
  bool isSolid_ = false;
  uint64_t encoding_ = 0;
  float detectorConfidence_ = 0;
  std::atomic<bool> operationCancelled_{false};
  bool containsAbsolutePaths_ = false;
  std::string comment_;
  std::optional<std::string> url_;
  std::string password_;
  std::optional<std::string> documentsTempFolder_;
  std::weak_ptr<ArchiveCallbackHandler> callbackHandler_;

  std::optional<ListingBound> listingBound_;
  size_t boundCheckedRecords_ = 0;
  size_t boundNameBytes_ = 0;
  bool listingCutShort_ = false;

  // Traces `operation` and runs `step`, turning an exception into a logged status.
  template <typename Step>
  int32_t runOperation(const char* operation, Step&& step);

  std::mutex workerMutex_;
  Subprocess* workerTask_ = nullptr;  // the runner-1 tool while it runs
};

// Runs `tool` without a handler (no cancellation, no callback); see ArchiveHandler::executeTask.
int32_t executeTask(const std::string& tool, const std::vector<std::string>& params,
                    const std::optional<std::string>& workingDir, std::optional<std::string>* rawOutput);

}  // namespace tessaro
