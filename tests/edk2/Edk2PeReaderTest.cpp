// EDK II's GenFw judges every file the tools' PE/COFF reader takes: it converts each to a
// DXE_DRIVER image, and rebases each with EDK II's own PE/COFF loader library (image info, load,
// relocation), the code a DXE core loads drivers with.
#include "Edk2Tools.h"
#include "PeCoff.h"
#include "PeCorpus.h"

namespace edk2 {
namespace {

class Edk2PeReaderTest : public Edk2Test {};

TEST_F(Edk2PeReaderTest, GenFwLoadsEveryImageTheReaderTakes) {
  TempFolder dir;
  size_t judged = 0;
  for (const pecorpus::NamedImage &image : pecorpus::Candidates()) {
    if (!pecoff::ReadImage(image.bytes).ok()) continue;
    SCOPED_TRACE(image.name);
    const std::string path = dir / image.name;
    ASSERT_TRUE(WriteFile(path, image.bytes));
    for (const std::string &command :
         {Bin("GenFw") + " -e DXE_DRIVER -o " + Quote(path + ".driver") + " " + Quote(path),
          Bin("GenFw") + " --rebase 0x180000000 -o " + Quote(path + ".rebased") + " " +
              Quote(path)}) {
      const test::CommandRun run = test::Run(command + " 2>&1");
      EXPECT_EQ(run.status, 0) << command << "\n" << run.out;
      EXPECT_EQ(run.out.find("ERROR"), std::string::npos) << command << "\n" << run.out;
    }
    ++judged;
  }
  EXPECT_GE(judged, pecorpus::ValidImagePaths().size());
  std::printf("GenFw took all %zu images the reader takes\n", judged);
}

}  // namespace
}  // namespace edk2
