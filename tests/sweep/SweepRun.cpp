// The swept boards, and the judging and summing up of a board's replays.
#include "SweepRun.h"

#include <gtest/gtest.h>

#include <sstream>

#include "Tests.h"

namespace sweep {

SweepBoard Default() { return {"default board", emu::DefaultBoard()}; }

SweepBoard KvrnUnusableOnTheSixSlotRiser() {
  emu::BoardDescription board = emu::DefaultBoard();
  board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, 1);
  board.SetBoardByte(BOARD_BYTE_RISER_TYPE, 6);
  return {"KVRN unusable, riser 6", board};
}

SweepBoard Riser0PortCAloneAndNoNicRootPort() {
  emu::BoardDescription board = emu::DefaultBoard();
  board.SetBoardByte(BOARD_BYTE_RISER_TYPE, 0);
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, 0x84);
  emu::SetCpuSignature(board, 0x606A);
  board.pci.erase(PciBdf(0x17, 0, 0));
  board.SetSetupByte(288, 1);
  return {"riser 0, port C, no NIC root port", board};
}

SweepBoard PortBAloneAndTwoKvrnSlotRecords() {
  emu::BoardDescription board = emu::DefaultBoard();
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, 0x02);
  emu::SmbiosSlot spare{9, 0x40, "KVRN spare"};
  spare.id = 0x0B01;
  std::string error;
  EXPECT_TRUE(board.smbios.Put(spare.Bytes(), error)) << error;
  return {"port B, two KVRN slot records", board};
}

std::string Summary(const std::string &where, const Tally &tally) {
  std::ostringstream out;
  out << "fault sweep" << where << ": " << tally.points << " failure points injected, "
      << tally.counts.recorded << " driver calls recorded on " << tally.boards
      << (tally.boards == 1 ? " board" : " boards");
  for (const auto &[why, count] : tally.counts.excluded) {
    out << ", " << count << " not failed (" << why << ")";
  }
  out << "; " << tally.crashes << " crashed, " << tally.hangs << " hung, " << tally.failed
      << " with wrong effects\n  failure points per pass:";
  for (const auto &[pass, count] : tally.counts.perPass) out << " " << pass << " " << count << ";";
  return out.str();
}

void Judge(const std::vector<FailurePoint> &points, const std::vector<IsolatedOutcome> &outcomes,
           Tally &tally) {
  for (size_t i = 0; i < points.size(); ++i) {
    const IsolatedOutcome &outcome = outcomes[i];
    std::string where = points[i].Describe();
    if (outcome.end == IsolatedOutcome::End::kCrashed) {
      ++tally.crashes;
      ADD_FAILURE() << where << ": crashed, " << outcome.how;
    } else if (outcome.end == IsolatedOutcome::End::kHung) {
      ++tally.hangs;
      ADD_FAILURE() << where << ": hung";
    }
    if (!outcome.findings.empty()) ++tally.failed;
    for (const std::string &finding : outcome.findings) ADD_FAILURE() << where << ": " << finding;
  }
}

}  // namespace sweep
