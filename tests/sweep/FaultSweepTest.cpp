// The fault sweep, one board per test: every driver call of the board's boot is failed in turn,
// in every way it can fail, and each replay must show the failure's defined effect and nothing
// else (FaultSweep.h). When the boards are swept in one run, the run ends with their total.
#include <gtest/gtest.h>

#include <cstdio>

#include "SweepRun.h"

namespace {

using sweep::Tally;

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

  Judge(points, sweep::ReplayAll(points), tally);
  std::printf("%s\n", Summary(", " + board.name, tally).c_str());

  Tally &total = gRunTotal->total;
  total.boards += tally.boards;
  total.points += tally.points;
  total.crashes += tally.crashes;
  total.hangs += tally.hangs;
  total.failed += tally.failed;
  total.counts.Add(tally.counts);
}

TEST(FaultSweepTest, DefaultBoard) { Sweep(sweep::Default()); }
TEST(FaultSweepTest, KvrnUnusableOnTheSixSlotRiser) {
  Sweep(sweep::KvrnUnusableOnTheSixSlotRiser());
}
TEST(FaultSweepTest, Riser0PortCAloneAndNoNicRootPort) {
  Sweep(sweep::Riser0PortCAloneAndNoNicRootPort());
}
TEST(FaultSweepTest, PortBAloneAndTwoKvrnSlotRecords) {
  Sweep(sweep::PortBAloneAndTwoKvrnSlotRecords());
}

}  // namespace
