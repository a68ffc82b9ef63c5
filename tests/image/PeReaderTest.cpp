// The tools' PE/COFF reader against images crafted from a shipped driver to break one rule each,
// and against what the linker and our tools make; every file it takes, LLVM's COFF reader
// (llvm-readobj, written apart from ours) takes too.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "PeCoff.h"
#include "PeCorpus.h"
#include "Tests.h"

namespace {

// Whether `text` holds the pieces of `rule` in order ('*' stands for any text between them).
bool Matches(const std::string &text, const std::string &rule) {
  size_t at = 0, from = 0;
  while (true) {
    const size_t star = rule.find('*', from);
    const std::string piece = rule.substr(from, star == std::string::npos ? star : star - from);
    at = text.find(piece, at);
    if (at == std::string::npos) return false;
    if (star == std::string::npos) return true;
    at += piece.size();
    from = star + 1;
  }
}

TEST(PeReaderTest, RefusesEachBrokenRuleInOneLineThatNamesIt) {
  const std::vector<pecorpus::CraftedImage> images =
      pecorpus::CraftedImages(pecorpus::ReadFile(pecorpus::BaseImagePath()));
  ASSERT_FALSE(images.empty()) << pecorpus::BaseImagePath()
                               << " is not the image the cases are written for";
  size_t refused = 0;
  for (const pecorpus::CraftedImage &image : images) {
    SCOPED_TRACE(image.what);
    const pecoff::Reading reading = pecoff::ReadImage(image.bytes);
    if (image.rule.empty()) {
      EXPECT_EQ(reading.problem, "");
      continue;
    }
    ++refused;
    EXPECT_TRUE(Matches(reading.problem, image.rule))
        << "refused with: " << reading.problem << "\nexpected: " << image.rule;
    EXPECT_EQ(reading.problem.find('\n'), std::string::npos);
  }
  std::printf("%zu crafted images refused, %zu near misses taken\n", refused,
              images.size() - refused);
}

// What lld-link lays out itself, with 4 KiB file alignment, the symbol files and the shipped
// images: the reader takes them all, and llvm-readobj reads every file the reader takes (the
// near misses among the crafted images too) with no warning.
TEST(PeReaderTest, LlvmReadsEveryImageItTakes) {
  ASSERT_EQ(test::Run("command -v llvm-readobj").status, 0)
      << "llvm-readobj is not installed (Debian package llvm; scripts/setup.sh installs it)";
  for (const std::string &path : pecorpus::ValidImagePaths()) {
    EXPECT_EQ(pecoff::ReadImage(pecorpus::ReadFile(path)).problem, "") << path;
  }
  test::TempFolder dir;
  size_t judged = 0;
  for (const pecorpus::NamedImage &image : pecorpus::Candidates()) {
    if (!pecoff::ReadImage(image.bytes).ok()) continue;
    SCOPED_TRACE(image.name);
    const std::string path = dir / image.name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(image.bytes.data()),
               static_cast<std::streamsize>(image.bytes.size()));
    const test::CommandRun run =
        test::Run("llvm-readobj --file-headers --sections " + test::Quote(path) + " 2>&1");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.find("warning"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("error"), std::string::npos) << run.out;
    ++judged;
  }
  EXPECT_GE(judged, pecorpus::ValidImagePaths().size());
  std::printf("llvm-readobj took all %zu images the reader takes\n", judged);
}

}  // namespace
