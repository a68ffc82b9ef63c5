// What the sweep tests share: the boards they sweep, and how the outcomes of a board's replays
// are judged and summed up.
#ifndef TESTS_SWEEP_SWEEP_RUN_H_
#define TESTS_SWEEP_SWEEP_RUN_H_

#include <string>
#include <vector>

#include "FaultSweep.h"

namespace sweep {

// The boards: the default one and three that reach the drivers' other paths.
SweepBoard Default();
// The KVRN module unusable: its slot record is looked for and removed, its item hidden.
SweepBoard KvrnUnusableOnTheSixSlotRiser();
// NVMe names, port C alone, the other processor generation, and no onboard NIC root port with
// the setup asking for its item to go.
SweepBoard Riser0PortCAloneAndNoNicRootPort();
// Port B alone, and a second structure with the KVRN slot's Slot ID for the width walk.
SweepBoard PortBAloneAndTwoKvrnSlotRecords();

// What the sweeps of one run found, together.
struct Tally {
  size_t boards = 0;
  size_t points = 0;
  size_t crashes = 0, hangs = 0, failed = 0;
  PointCounts counts;
};
std::string Summary(const std::string &where, const Tally &tally);

// Reports each replay that crashed, hung or showed a wrong effect as a test failure, and
// counts them in `tally`.
void Judge(const std::vector<FailurePoint> &points, const std::vector<IsolatedOutcome> &outcomes,
           Tally &tally);

}  // namespace sweep

#endif  // TESTS_SWEEP_SWEEP_RUN_H_
