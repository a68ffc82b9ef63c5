// budgets images IMAGE...                the image report
// budgets boot                           plays the default boot (scripts/budgets runs it under
//                                        callgrind, once per pass)
// budgets boot-cost NAME PROFILE ...     the boot cost report from one profile per pass
// Reports go to standard output; scripts/budgets writes them under build/reports/.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "Budgets.h"

int main(int argc, char **argv) {
  if (argc >= 2 && std::strcmp(argv[1], "boot") == 0 && argc == 2) return budgets::PlayBoot();
  std::vector<std::string> arguments(argv + (argc >= 2 ? 2 : argc), argv + argc);
  if (argc >= 3 && std::strcmp(argv[1], "images") == 0) {
    return budgets::ReportImages(arguments, std::cout) ? 0 : 1;
  }
  if (argc >= 4 && argc % 2 == 0 && std::strcmp(argv[1], "boot-cost") == 0) {
    return budgets::ReportBootCost(arguments, std::cout) ? 0 : 1;
  }
  std::fprintf(stderr,
               "usage: budgets images IMAGE...\n"
               "       budgets boot\n"
               "       budgets boot-cost NAME PROFILE [NAME PROFILE]...\n");
  return 2;
}
