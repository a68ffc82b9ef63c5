// pecompact IMAGE: compacts the headers of a PE32+ image in place (see PeCompact.h).
// pecompact --strip-debug LINKED IMAGE: writes IMAGE, the image LINKED (linked with DWARF) ships
// as: without its debug information, headers compacted; LINKED stays as it is, its symbol file.
// Each says how large the result is.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "PeCompact.h"

namespace {

bool ReadImage(const char *path, std::vector<uint8_t> &image) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  image.assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad();
}

bool WriteImage(const char *path, const std::vector<uint8_t> &image) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(image.data()),
            static_cast<std::streamsize>(image.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char **argv) {
  const bool strip = argc == 4 && std::strcmp(argv[1], "--strip-debug") == 0;
  if (argc != 2 && !strip) {
    std::fprintf(stderr, "usage: pecompact IMAGE\n       pecompact --strip-debug LINKED IMAGE\n");
    return 2;
  }
  const char *from = argv[argc - (strip ? 2 : 1)], *to = argv[argc - 1];
  std::vector<uint8_t> image;
  if (!ReadImage(from, image)) {
    std::fprintf(stderr, "pecompact: cannot read %s\n", from);
    return 1;
  }
  const size_t before = image.size();
  std::string why;
  if (!(strip ? pe::StripDebugInformation(image, why) : pe::CompactHeaders(image, why))) {
    std::fprintf(stderr, "pecompact: %s: %s\n", from, why.c_str());
    return 1;
  }
  if (!WriteImage(to, image)) {
    std::fprintf(stderr, "pecompact: cannot write %s\n", to);
    return 1;
  }
  std::printf("pecompact: %s: %zu -> %zu bytes\n", to, before, image.size());
  return 0;
}
