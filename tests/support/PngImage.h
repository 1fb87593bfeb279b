// PNG bytes decoded back with gdk-pixbuf, so tests check what a browser would get.
#pragma once

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tessaro::test {

struct PngImage {
  int width = 0;
  int height = 0;
  std::vector<std::array<uint8_t, 4>> pixels;  // RGBA, rows top to bottom

  const std::array<uint8_t, 4>& at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
  bool anyOpaque() const {
    for (const auto& p : pixels)
      if (p[3] != 0) return true;
    return false;
  }
};

// None when the bytes are not one complete PNG image.
inline std::optional<PngImage> decodePng(std::string_view bytes) {
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
  if (!loader) return std::nullopt;
  const bool wrote =
      gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(bytes.data()), bytes.size(), nullptr);
  const bool ok = gdk_pixbuf_loader_close(loader, nullptr) && wrote;  // closed once, whatever happened
  GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
  std::optional<PngImage> image;
  if (pixbuf) {
    image.emplace();
    image->width = gdk_pixbuf_get_width(pixbuf);
    image->height = gdk_pixbuf_get_height(pixbuf);
    const int channels = gdk_pixbuf_get_n_channels(pixbuf);
    const int stride = gdk_pixbuf_get_rowstride(pixbuf);
    const guchar* data = gdk_pixbuf_read_pixels(pixbuf);
    for (int y = 0; y < image->height; ++y)
      for (int x = 0; x < image->width; ++x) {
        const guchar* p = data + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * channels;
        image->pixels.push_back({p[0], p[1], p[2], channels == 4 ? p[3] : uint8_t{255}});
      }
  }
  g_object_unref(loader);
  return image;
}

}  // namespace tessaro::test
