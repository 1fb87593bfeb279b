#include "Startup.h"

#include <cstdlib>
#include <ctime>

namespace tessaro::host {

void pinLocalTimeZone() {
  // Called before any thread starts, so changing the environment is safe here.
  if (std::getenv("TZ") == nullptr) setenv("TZ", ":/etc/localtime", 0);
  tzset();
}

}  // namespace tessaro::host
