// Entry point for the fuzz targets when they are built without libFuzzer
// (gcc, or clang without ROUSEL_FUZZ): runs the target once on each file
// named, and on every file inside each directory named, so that the seed
// corpora and any saved crash inputs are replayed as ordinary tests under
// the sanitizers of that build.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  // Never hand the target a null pointer, even for an empty file.
  static const uint8_t Nothing = 0;
  const auto* data = bytes.empty() ? &Nothing : reinterpret_cast<const uint8_t*>(bytes.data());
  LLVMFuzzerTestOneInput(data, bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& file : files) {
        ok = RunFile(file) && ok;
        ++runs;
      }
    } else {
      ok = RunFile(path) && ok;
      ++runs;
    }
  }
  std::printf("%d inputs run\n", runs);
  return ok && runs > 0 ? 0 : 1;
}
