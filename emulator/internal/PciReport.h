// The PCI sections of boardsim's report (PciReport.cpp), which FormatReport puts together.
#ifndef EMULATOR_INTERNAL_PCI_REPORT_H_
#define EMULATOR_INTERNAL_PCI_REPORT_H_

#include <ostream>

#include "Boot.h"

namespace emu {

void ReportNicMacs(std::ostream &out, const BootResult &result);
void ReportConfigurationChanges(std::ostream &out, const BootResult &result);

}  // namespace emu

#endif  // EMULATOR_INTERNAL_PCI_REPORT_H_
