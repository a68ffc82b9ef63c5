// pecompact IMAGE: compacts the headers of a PE32+ image in place (see PeCompact.h) and says
// how much smaller it became.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "PeCompact.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: pecompact IMAGE\n");
    return 2;
  }
  std::vector<uint8_t> image;
  {
    std::ifstream in(argv[1], std::ios::binary);
    image.assign(std::istreambuf_iterator<char>(in), {});
    if (!in && !in.eof()) {
      std::fprintf(stderr, "pecompact: cannot read %s\n", argv[1]);
      return 1;
    }
  }
  const size_t before = image.size();
  std::string why;
  if (!pe::CompactHeaders(image, why)) {
    std::fprintf(stderr, "pecompact: %s: %s\n", argv[1], why.c_str());
    return 1;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(image.data()),
            static_cast<std::streamsize>(image.size()));
  if (!out) {
    std::fprintf(stderr, "pecompact: cannot write %s\n", argv[1]);
    return 1;
  }
  std::printf("pecompact: %s: %zu -> %zu bytes\n", argv[1], before, image.size());
  return 0;
}
