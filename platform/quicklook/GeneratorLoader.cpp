#include "quicklook/GeneratorLoader.h"

#include <dlfcn.h>

#include <new>
#include <optional>
#include <system_error>
#include <utility>

#include "plist/PropertyList.h"

namespace tessaro::quicklook {
namespace {

CFRef<CFUUIDRef> uuidFromText(const std::string& text) {
  const CFRef<CFStringRef> string = makeString(text);
  if (!string) return {};
  return CFRef<CFUUIDRef>(CFUUIDCreateFromString(kCFAllocatorDefault, string.get()));
}

// The value of the dictionary member whose key is a UUID equal to `uuid`; keys are compared as
// UUIDs, so their spelling (upper or lower case) does not matter.
const PropertyList* memberForUUID(const PlistDictionary& dictionary, CFUUIDRef uuid) {
  for (const auto& [key, value] : dictionary) {
    const CFRef<CFUUIDRef> keyUUID = uuidFromText(key);
    if (keyUUID && CFEqual(keyUUID.get(), uuid)) return &value;
  }
  return nullptr;
}

struct FactoryEntry {
  CFRef<CFUUIDRef> id;
  std::string function;
};

// The first factory that CFPlugInTypes lists for the generator type and CFPlugInFactories names.
std::optional<FactoryEntry> generatorFactory(const PropertyList& info) {
  const PropertyList* types = info.find("CFPlugInTypes");
  const PropertyList* factories = info.find("CFPlugInFactories");
  if (!types || !factories || !types->is<PlistDictionary>() || !factories->is<PlistDictionary>())
    return std::nullopt;
  const PropertyList* ids = memberForUUID(*types->get<PlistDictionary>(), kQLGeneratorTypeID);
  if (!ids || !ids->is<PlistArray>()) return std::nullopt;
  for (const PropertyList& id : *ids->get<PlistArray>()) {
    const std::string* text = id.get<std::string>();
    CFRef<CFUUIDRef> factoryID = text ? uuidFromText(*text) : CFRef<CFUUIDRef>();
    if (!factoryID) continue;
    const PropertyList* function = memberForUUID(*factories->get<PlistDictionary>(), factoryID.get());
    const std::string* name = function ? function->get<std::string>() : nullptr;
    if (name && !name->empty()) return FactoryEntry{std::move(factoryID), *name};
  }
  return std::nullopt;
}

}  // namespace

std::unique_ptr<GeneratorBundle> GeneratorBundle::open(const std::filesystem::path& folder,
                                                       std::string& error) {
  try {
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(folder, ec);
    if (ec || !std::filesystem::is_directory(path, ec)) {
      error = "no generator bundle at " + folder.string();
      return nullptr;
    }
    std::unique_ptr<GeneratorBundle> loaded(new GeneratorBundle);
    loaded->path_ = path;
    const CFRef<CFURLRef> url = makeFileURL(path.string(), true);
    loaded->bundle_.reset(url ? CFBundleCreate(kCFAllocatorDefault, url.get()) : nullptr);
    if (!loaded->bundle_) {
      error = "no generator bundle at " + folder.string();
      return nullptr;
    }

    const std::filesystem::path infoPath = path / "Contents" / "Info.plist";
    const std::optional<PropertyList> info = PropertyList::fromFile(infoPath);
    if (!info || !info->is<PlistDictionary>()) {
      error = infoPath.string() + " is missing or not a property list";
      return nullptr;
    }
    const PropertyList* executableEntry = info->find("CFBundleExecutable");
    const std::string* executable = executableEntry ? executableEntry->get<std::string>() : nullptr;
    if (!executable || executable->empty() || executable->find('/') != std::string::npos ||
        *executable == "." || *executable == "..") {
      error = infoPath.string() + " names no executable (CFBundleExecutable)";
      return nullptr;
    }
    std::optional<FactoryEntry> factory = generatorFactory(*info);
    if (!factory) {
      error =
          infoPath.string() + " names no factory for the generator type (CFPlugInTypes, CFPlugInFactories)";
      return nullptr;
    }
    loaded->factoryID_ = std::move(factory->id);
    loaded->factoryName_ = factory->function;

    const std::filesystem::path executablePath = path / "Contents" / "MacOS" / *executable;
    // Every symbol resolved now: a generator that needs a function this host lacks fails here
    // with the symbol's name instead of in the middle of a preview.
    loaded->handle_ = ::dlopen(executablePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!loaded->handle_) {
      const char* reason = ::dlerror();
      error = "cannot load " + executablePath.string() + ": " + (reason ? reason : "unknown error");
      return nullptr;
    }
    ::dlerror();
    void* symbol = ::dlsym(loaded->handle_, loaded->factoryName_.c_str());
    if (!symbol) {
      error = "no factory function " + loaded->factoryName_ + " in " + executablePath.string();
      return nullptr;
    }
    loaded->factory_ = reinterpret_cast<CFPlugInFactoryFunction>(symbol);
    return loaded;
  } catch (const std::exception& e) {
    error = e.what();
    return nullptr;
  }
}

GeneratorBundle::~GeneratorBundle() {
  if (handle_) ::dlclose(handle_);
}

std::unique_ptr<Generator> Generator::create(const GeneratorBundle& bundle, std::string& error) {
  void* made = bundle.factory()(kCFAllocatorDefault, kQLGeneratorTypeID);
  if (!made) {
    error = "the factory " + bundle.factoryName() + " made no generator";
    return nullptr;
  }
  auto* unknown = static_cast<QLGeneratorInterfaceStruct**>(made);
  if (!*unknown || !(*unknown)->QueryInterface || !(*unknown)->Release) {
    // Without a Release slot the instance cannot be given back; it is left as it is.
    error = "the factory " + bundle.factoryName() + " made an instance without an interface table";
    return nullptr;
  }
  LPVOID queried = nullptr;
  const HRESULT result =
      (*unknown)->QueryInterface(unknown, CFUUIDGetUUIDBytes(kQLGeneratorCallbacksInterfaceID), &queried);
  auto* interface = static_cast<QLGeneratorInterfaceStruct**>(queried);
  if (result != S_OK || !interface) {
    (*unknown)->Release(unknown);
    error = "the generator does not provide the call-backs interface";
    return nullptr;
  }
  const QLGeneratorInterfaceStruct* table = *interface;
  const bool complete = table && table->Release && table->GenerateThumbnailForURL &&
                        table->CancelThumbnailGeneration && table->GeneratePreviewForURL &&
                        table->CancelPreviewGeneration;
  Generator* generator = complete ? new (std::nothrow) Generator(unknown, interface) : nullptr;
  if (!generator) {
    if (table && table->Release) table->Release(interface);
    (*unknown)->Release(unknown);
    error = complete ? "out of memory" : "the generator's call-backs interface has empty slots";
    return nullptr;
  }
  return std::unique_ptr<Generator>(generator);
}

OSStatus Generator::generatePreview(QLPreviewRequestRef request, CFURLRef url, CFStringRef contentType,
                                    CFDictionaryRef options) const {
  return (*interface_)->GeneratePreviewForURL(interface_, request, url, contentType, options);
}

OSStatus Generator::generateThumbnail(QLThumbnailRequestRef request, CFURLRef url, CFStringRef contentType,
                                      CFDictionaryRef options, CGSize maxSize) const {
  return (*interface_)->GenerateThumbnailForURL(interface_, request, url, contentType, options, maxSize);
}

ULONG Generator::release() {
  ULONG count = 0;
  // The query's reference first, the factory's last: the reverse of how they were taken.
  if (QLGeneratorInterfaceStruct** interface = std::exchange(interface_, nullptr))
    count = (*interface)->Release(interface);
  if (QLGeneratorInterfaceStruct** unknown = std::exchange(unknown_, nullptr))
    count = (*unknown)->Release(unknown);
  return count;
}

}  // namespace tessaro::quicklook
