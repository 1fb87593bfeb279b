// What both programs do first.
#pragma once

namespace tessaro::host {

// Names the local time zone in TZ when it is unset (":/etc/localtime", the zone glibc would use
// anyway). Without it glibc re-reads /etc/localtime on every local-time conversion, which the
// UnRAR library and GNU tar make once per entry: a third of a big listing's time.
void pinLocalTimeZone();

}  // namespace tessaro::host
