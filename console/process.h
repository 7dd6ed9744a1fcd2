// The process-wide services the console layer, the keyboard and the
// application share: the platform family, the orderly end of the process
// with its exit handlers, and the standard output bound to the console.
#pragma once

#include <cstdint>

// The dwPlatformId of GetVersionExA: 1 the Windows 95 family, 2 the NT family.
uint32_t GetPlatform();

using ExitHandler = void (*)();
// Run once each by EndProcess, the one registered last first.
void AddExitHandler(ExitHandler handler);
[[noreturn]] void EndProcess(uint32_t code);

// The standard output's own exit step: registered first, before InitConsole,
// so that it runs last and writes out what is still buffered.
void InitStandardOutput();
// Binds the standard output stream to ConsoleWrite (InitConsole).
void BindStandardOutput();

// Forgets the handlers and gives the standard output its own buffer back
// (test fixtures).
void ResetProcess();
