// systemd-logind's inhibitor locks over the system bus, through libdbus,
// which is loaded when the first lock is asked for: a machine without it
// runs the program unchanged, and a program that never sets an alarm never
// loads it.
#pragma once

namespace power {

// org.freedesktop.login1.Manager.Inhibit("sleep:idle", who, why, "block") on
// the system bus (DBUS_SYSTEM_BUS_ADDRESS where set, else the standard
// socket).  The lock's descriptor, close-on-exec, which holds the lock until
// closed; -1 where there is no libdbus, no bus, no logind, the request is
// refused, or the bus has not greeted and answered within timeoutMs.  Blocks
// meanwhile: never call it from the program's thread.  `who` and `why` must
// be ASCII.
int InhibitSleep(const char* who, const char* why, int timeoutMs);

}  // namespace power
