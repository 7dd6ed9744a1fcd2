#include "console/process.h"

#include <cstdio>
#include <iostream>
#include <streambuf>
#include <vector>

#include "console/console_output.h"
#include "win32/win32.h"

namespace {

std::vector<ExitHandler> ExitHandlers;

// std::cout bound to the console writer, with the 128-byte buffer the
// writer is allowed to collect before handing text over.
class ConsoleStreamBuffer : public std::streambuf {
 public:
  ConsoleStreamBuffer() { setp(buffer_, buffer_ + sizeof buffer_); }

 protected:
  int overflow(int ch) override {
    Hand();
    if (ch != traits_type::eof()) {
      *pptr() = static_cast<char>(ch);
      pbump(1);
    }
    return ch == traits_type::eof() ? 0 : ch;
  }
  int sync() override {
    Hand();
    return 0;
  }

 private:
  void Hand() {
    const auto n = static_cast<size_t>(pptr() - pbase());
    if (n > 0) ConsoleWrite(reinterpret_cast<const uint8_t*>(pbase()), n);
    setp(buffer_, buffer_ + sizeof buffer_);
  }
  char buffer_[128] = {};
};

ConsoleStreamBuffer ConsoleStream;
std::streambuf* OriginalCoutBuffer = nullptr;

void StandardOutputExitStep() {
  // Write out what is still buffered, then give the streams their own
  // buffers back.  The file descriptors stay open: the terminal stand-in
  // still restores the user's terminal through them when the process ends.
  std::cout.flush();
  if (OriginalCoutBuffer != nullptr) {
    std::cout.rdbuf(OriginalCoutBuffer);
    OriginalCoutBuffer = nullptr;
  }
  std::cout.flush();
  std::fflush(stdout);
}

}  // namespace

uint32_t GetPlatform() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  GetVersionExA(&info);
  return info.dwPlatformId;
}

void AddExitHandler(ExitHandler handler) {
  ExitHandlers.push_back(handler);
}

void EndProcess(uint32_t code) {
  while (!ExitHandlers.empty()) {
    const ExitHandler handler = ExitHandlers.back();
    ExitHandlers.pop_back();
    handler();
  }
  ExitProcess(code);
}

void InitStandardOutput() {
  AddExitHandler(StandardOutputExitStep);
}

void BindStandardOutput() {
  if (OriginalCoutBuffer == nullptr) OriginalCoutBuffer = std::cout.rdbuf(&ConsoleStream);
}

void ResetProcess() {
  ExitHandlers.clear();
  if (OriginalCoutBuffer != nullptr) {
    std::cout.rdbuf(OriginalCoutBuffer);
    OriginalCoutBuffer = nullptr;
  }
}
