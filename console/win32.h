// The one place that decides where the Win32 console functions come from.
// On Windows they are the real kernel32/user32 ones; elsewhere win32_api.h
// declares the same names and types, and the build links either the
// terminal stand-in (the program) or the in-memory console (the tests).
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include "win32_api.h"
#endif

#include "speaker_ports.h"
