// Kind names, icons and bitmaps for file types: the desktop's content types (shared-mime-info
// through GIO), the freedesktop icon themes, and gdk-pixbuf for loading, scaling and PNG.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

struct ImageBitmap;  // the pixels, shared between copies and never changed once made

// An RGBA bitmap shown at a size in points (one point is one pixel when drawn or encoded).
// Images are values: every operation makes a new image and leaves the receiver as it was.
class Image {
 public:
  Image();
  ~Image();
  Image(const Image&);
  Image& operator=(const Image&);
  Image(Image&&) noexcept;
  Image& operator=(Image&&) noexcept;

  // Side of the largest image these operations make; larger requests give an empty image.
  static constexpr int kMaxSide = 4096;

  // An image of `width` × `height` points from straight (not premultiplied) RGBA rows of
  // 4 × width bytes; empty when the sizes are out of range or the bytes too few.
  static Image fromRGBA(int width, int height, std::string_view rgba);

  bool empty() const { return !bitmap_; }
  int width() const { return width_; }
  int height() const { return height_; }

  // The same picture at a new size in points, scaled with area-averaging interpolation.
  Image copyWithSize(int width, int height) const;
  // A new transparent `side` × `side` image with this one drawn from its top-left corner at its
  // own size, replacing the pixels it covers (copy compositing, full opacity).
  Image drawnIntoSquare(int side) const;
  // PNG bytes of the image at its size in points; none for an empty image.
  std::optional<std::string> pngData() const;

 private:
  Image(std::shared_ptr<const ImageBitmap> bitmap, int width, int height);
  friend struct ImageAccess;

  std::shared_ptr<const ImageBitmap> bitmap_;
  int width_ = 0;
  int height_ = 0;
};

// What a kind name or icon is asked for.
enum class FileTypeClass : uint8_t {
  folder,       // a plain folder
  application,  // an application bundle
  document,     // the generic document, for anything without a better type
  extension,    // a file-name extension, given separately
};

// The desktop's descriptive name for the type, first letter capitalised ("Plain text
// document", "Folder"); none for an extension the MIME database does not know, including the
// empty extension.
std::optional<std::string> kindNameForType(FileTypeClass type, std::string_view extension = {});

// The desktop's descriptive name for a file of this name (a whole name such as "winmail.dat" may
// have a type of its own); none when the MIME database knows no type for the name.
std::optional<std::string> kindNameForFileName(std::string_view name);

// The type's icon at `size` × `size` points, from the icon themes or, failing that, a glyph drawn
// here, so there is always one; null only when memory runs out or `size` is out of range.
std::shared_ptr<Image> iconForType(FileTypeClass type, std::string_view extension, int size);

// The icon of the file at `path` by its content type (its name and its first bytes).
std::shared_ptr<Image> iconForFile(std::string_view path, int size);

// True when a folder with this extension is a Mac bundle (an application, plug-in, framework,
// installer package or packaged document), which the listing shows as one item; ASCII case is
// ignored.
bool isPackageExtension(std::string_view extension);

}  // namespace tessaro
