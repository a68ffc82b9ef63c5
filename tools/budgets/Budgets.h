// The budget reports that scripts/budgets writes: image sizes and sections, and the instructions
// the drivers execute in each pass of the default boot.
#ifndef TOOLS_BUDGETS_BUDGETS_H_
#define TOOLS_BUDGETS_BUDGETS_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace budgets {

constexpr size_t kImageBudget = BOARD_IMAGE_BUDGET;  // the build's own, CMakeLists.txt
constexpr unsigned long long kBootBudget = 20000;
constexpr unsigned long long kPassBudget = 8000;

// An image file as the tool read it (tools::ReadInputFile: a regular file of at most 16 MiB).
struct ImageFile {
  std::string path;
  std::vector<uint8_t> bytes;
};

// Each image's file size against the budget, and its sections (placement, sizes, access).
// False when the tools' PE/COFF reader refuses an image: the image has no rows, and one line
// naming its file and the reader's reason goes to `errors`.
bool ReportImages(const std::vector<ImageFile> &images, std::ostream &out, std::ostream &errors);

// Plays the default boot, as boardsim does, and then asks the board hook protocol's answer
// members once each, as its consumer polls them: every pass of both drivers runs once.
// Returns 0 when the platform found nothing wrong.
int PlayBoot();

// Reads callgrind profiles, one per pass, each collected only while that pass ran, given as
// pairs of the pass's name and its profile, and reports the instructions executed inside the
// drivers' own objects, apart from the emulator's work. False when a profile cannot be read.
bool ReportBootCost(const std::vector<std::string> &namesAndProfiles, std::ostream &out);

}  // namespace budgets

#endif  // TOOLS_BUDGETS_BUDGETS_H_
