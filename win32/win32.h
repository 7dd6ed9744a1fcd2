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
#ifdef _MSC_VER
// The SDK marks GetVersionExA deprecated; the platform family it reports is
// all that is asked of it, and that has not changed.
#pragma warning(disable : 4996)
#endif
#else
#include "win32_api.h"
#endif

#include "speaker_ports.h"
