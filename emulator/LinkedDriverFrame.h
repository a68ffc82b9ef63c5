// Driver support code linked straight into a host program (the frame's own tests, the fuzz
// targets) instead of loaded as an image. Its module globals then belong to the program and
// outlive every platform, so each run clears them before it starts and after it ends, as a
// freshly loaded image has them. Header only: the emulator library itself links no driver code.
#ifndef EMULATOR_LINKED_DRIVER_FRAME_H_
#define EMULATOR_LINKED_DRIVER_FRAME_H_

#include "DriverFrame.h"
#include "PciAccess.h"

namespace emu {

inline void ClearDriverFrame() {
  gST = nullptr;
  gBS = nullptr;
  gRT = nullptr;
  gScratchPool = nullptr;
  gScratchPoolSize = 0;
  gDxeServices = nullptr;
  gHobList = nullptr;
  gRegisterAccess = nullptr;
  gBoardInfo = nullptr;
  gStartAbandoned = FALSE;
  gStackBusHob = nullptr;
}

}  // namespace emu

#endif  // EMULATOR_LINKED_DRIVER_FRAME_H_
