#include "ItemTypeSource.h"

namespace tessaro {

std::shared_ptr<ItemTypeSource>& theItemTypeSource() {
  static std::shared_ptr<ItemTypeSource> source;
  return source;
}

}  // namespace tessaro
