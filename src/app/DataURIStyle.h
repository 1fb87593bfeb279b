// Icons inlined into the preview page as CSS rules carrying PNG data.
#pragma once

#include <string>
#include <string_view>

namespace tessaro {

class Image;

// "img#ID {content:url('data:image/png;base64,…');}\n": the image sized `size` × `size` points,
// encoded as PNG, for the <img> element whose id is `id`. Characters that CSS does not allow
// bare in an id selector are escaped, so that any id selects its element and no id can end the
// rule or the page's style element. "" when the image cannot be encoded.
std::string makeDataURIStyleForImage(const Image& image, std::string_view id, int size);

// `text` written as a CSS identifier (the serialisation of the CSS object model).
std::string cssEscapedIdentifier(std::string_view text);

}  // namespace tessaro
