// Loading a preview generator as the preview service does: the bundle's Info.plist names the
// executable and, for the generator type, the factory function; the factory's instance is asked
// for the generator call-backs interface.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "quicklook/QuickLook.h"
#include "quicklook/QuickLookHost.h"

namespace tessaro::quicklook {

// A generator bundle (a .qlgenerator folder) with its executable loaded; unloaded when it goes,
// so every instance of it must be gone first.
class GeneratorBundle {
 public:
  // The loaded bundle, or null with the reason in `error`: no such folder, no readable
  // Contents/Info.plist, no executable or factory named in it, the executable does not load (a
  // symbol it needs is missing from this host, for one) or does not hold the factory.
  static std::unique_ptr<GeneratorBundle> open(const std::filesystem::path& folder, std::string& error);
  ~GeneratorBundle();
  GeneratorBundle(const GeneratorBundle&) = delete;
  GeneratorBundle& operator=(const GeneratorBundle&) = delete;

  const std::filesystem::path& path() const { return path_; }
  CFBundleRef bundle() const { return bundle_.get(); }
  // The factory's identifier and function as Info.plist gives them for the generator type.
  CFUUIDRef factoryID() const { return factoryID_.get(); }
  const std::string& factoryName() const { return factoryName_; }
  CFPlugInFactoryFunction factory() const { return factory_; }

 private:
  GeneratorBundle() = default;

  std::filesystem::path path_;
  CFRef<CFBundleRef> bundle_;
  CFRef<CFUUIDRef> factoryID_;
  std::string factoryName_;
  void* handle_ = nullptr;
  CFPlugInFactoryFunction factory_ = nullptr;
};

// One generator instance through its call-backs interface. It holds two references, the
// factory's and the query's, and gives back both when it goes (or on release()).
class Generator {
 public:
  // Null with the reason in `error` when the factory makes no instance of the generator type or
  // the instance does not provide the call-backs interface.
  static std::unique_ptr<Generator> create(const GeneratorBundle& bundle, std::string& error);
  ~Generator() { release(); }
  Generator(const Generator&) = delete;
  Generator& operator=(const Generator&) = delete;

  // The instance as the factory returned it; null after release().
  void* instance() const { return unknown_; }
  const QLGeneratorInterfaceStruct& callbacks() const { return **interface_; }

  OSStatus generatePreview(QLPreviewRequestRef request, CFURLRef url, CFStringRef contentType,
                           CFDictionaryRef options) const;
  OSStatus generateThumbnail(QLThumbnailRequestRef request, CFURLRef url, CFStringRef contentType,
                             CFDictionaryRef options, CGSize maxSize) const;

  // Gives back the references still held and returns what the last Release answered: 0 when
  // the instance is gone.
  ULONG release();

 private:
  Generator(QLGeneratorInterfaceStruct** unknown, QLGeneratorInterfaceStruct** interface)
      : unknown_(unknown), interface_(interface) {}

  // What the factory returned and what the query returned: the same instance for a generator
  // written in C, but each holds its own reference.
  QLGeneratorInterfaceStruct** unknown_;
  QLGeneratorInterfaceStruct** interface_;
};

}  // namespace tessaro::quicklook
