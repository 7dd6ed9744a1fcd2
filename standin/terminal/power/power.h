// Keeping the computer awake while an alarm is set: a systemd-logind
// inhibitor lock, asked for and let go off the program's thread, so that a
// slow, silent or missing bus costs the screen and the keys nothing.
#pragma once

#include <string_view>

namespace power {

// From now on the computer should not sleep, for `why` ("Alarm at 07:30").
// Asked again with another reason, the lock is renewed with it.  Returns at
// once; the lock is taken by a worker thread when the bus answers, and
// silently not at all where there is no bus, no logind, no libdbus, or the
// request is refused.
void Hold(std::string_view why);
// The computer may sleep again: the lock is let go, at once if it is held,
// or as soon as a request still on its way comes back.
void Release();

}  // namespace power
