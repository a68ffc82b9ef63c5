// The fault sweep, one board per test: every driver call of the board's boot is failed in turn,
// in every way it can fail, and each replay must show the failure's defined effect and nothing
// else (FaultSweep.h). When the boards are swept in one run, the run ends with their total.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "FaultSweep.h"
#include "Tests.h"

namespace {

// What the sweeps of one run found, together.
struct Tally {
  size_t boards = 0;
  size_t points = 0;
  size_t crashes = 0, hangs = 0, failed = 0;
  sweep::PointCounts counts;
};

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

class RunTotal : public testing::Environment {
 public:
  void TearDown() override {
    if (total.boards > 1) std::printf("%s\n", Summary("", total).c_str());
  }
  Tally total;
};
RunTotal *const gRunTotal =
    static_cast<RunTotal *>(testing::AddGlobalTestEnvironment(new RunTotal));

// Records the board's baseline, replays every failure point of it and reports each point whose
// replay crashed, hung or showed a wrong effect.
void Sweep(const sweep::SweepBoard &board) {
  std::unique_ptr<sweep::Baseline> base = sweep::RecordBaseline(board);
  std::vector<std::string> problems = sweep::BaselineProblems(*base);
  for (const sweep::Pass &pass : sweep::Passes()) {
    if (base->passes.count(pass.name) == 0)
      problems.push_back(std::string(pass.name) + " never ran");
  }
  for (const std::string &problem : problems) ADD_FAILURE() << "baseline: " << problem;
  if (!problems.empty()) return;  // a sweep over an unsound baseline would prove nothing

  Tally tally;
  tally.boards = 1;
  std::vector<sweep::FailurePoint> points = sweep::FailurePoints(*base, tally.counts);
  for (const std::string &member : tally.counts.unknownMembers) {
    ADD_FAILURE() << "the sweep knows no failure of " << member;
  }
  tally.points = points.size();

  std::vector<sweep::IsolatedOutcome> outcomes = sweep::ReplayAll(points);
  for (size_t i = 0; i < points.size(); ++i) {
    const sweep::IsolatedOutcome &outcome = outcomes[i];
    std::string where = points[i].Describe();
    if (outcome.end == sweep::IsolatedOutcome::End::kCrashed) {
      ++tally.crashes;
      ADD_FAILURE() << where << ": crashed, " << outcome.how;
    } else if (outcome.end == sweep::IsolatedOutcome::End::kHung) {
      ++tally.hangs;
      ADD_FAILURE() << where << ": hung";
    }
    if (!outcome.findings.empty()) ++tally.failed;
    for (const std::string &finding : outcome.findings) ADD_FAILURE() << where << ": " << finding;
  }
  std::printf("%s\n", Summary(", " + board.name, tally).c_str());

  Tally &total = gRunTotal->total;
  total.boards += tally.boards;
  total.points += tally.points;
  total.crashes += tally.crashes;
  total.hangs += tally.hangs;
  total.failed += tally.failed;
  total.counts.Add(tally.counts);
}

TEST(FaultSweepTest, DefaultBoard) { Sweep({"default board", emu::DefaultBoard()}); }

// The KVRN module unusable: its slot record is looked for and removed, its item hidden.
TEST(FaultSweepTest, KvrnUnusableOnTheSixSlotRiser) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.SetBoardByte(BOARD_BYTE_KVRN_UNAVAILABLE, 1);
  board.SetBoardByte(BOARD_BYTE_RISER_TYPE, 6);
  Sweep({"KVRN unusable, riser 6", board});
}

// NVMe names, port C alone, the other processor generation, and no onboard NIC root port with
// the setup asking for its item to go.
TEST(FaultSweepTest, Riser0PortCAloneAndNoNicRootPort) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.SetBoardByte(BOARD_BYTE_RISER_TYPE, 0);
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, 0x84);
  emu::SetCpuSignature(board, 0x606A);
  board.pci.erase(PciBdf(0x17, 0, 0));
  board.SetSetupByte(288, 1);
  Sweep({"riser 0, port C, no NIC root port", board});
}

// Port B alone, and a second structure with the KVRN slot's Slot ID for the width walk.
TEST(FaultSweepTest, PortBAloneAndTwoKvrnSlotRecords) {
  emu::BoardDescription board = emu::DefaultBoard();
  board.SetBoardByte(BOARD_BYTE_KVRN_CONFIG, 0x02);
  emu::SmbiosSlot spare{9, 0x40, "KVRN spare"};
  spare.id = 0x0B01;
  std::string error;
  ASSERT_TRUE(board.smbios.Put(spare.Bytes(), error)) << error;
  Sweep({"port B, two KVRN slot records", board});
}

}  // namespace
