// The fault sweep two faults deep, one board per test: a failure sets calls going that the
// fault-free run never makes (above all the withdrawals of a failed start), so for every failure
// point of the single-fault sweep, each such call of its own run is failed in turn on top of it,
// in every way it can fail. Each replay must end, leave nothing behind and give each driver the
// status it documents (FaultSweep.h). Each test prints its count of second-fault points.
#include <gtest/gtest.h>

#include <cstdio>

#include "SweepRun.h"

namespace {

using sweep::Tally;

// Every failure point's own run, then a second fault on each call that run makes and the
// fault-free run does not, each way it can fail.
void SweepTwoDeep(const sweep::SweepBoard &board) {
  std::unique_ptr<sweep::Baseline> base = sweep::RecordBaseline(board);
  for (const std::string &problem : sweep::BaselineProblems(*base)) {
    ADD_FAILURE() << "baseline: " << problem;
  }
  sweep::PointCounts firstCounts;
  std::vector<sweep::FailurePoint> firsts = sweep::FailurePoints(*base, firstCounts);

  // Which failing runs make calls of their own: a run that crashes or hangs is the
  // single-fault sweep's finding, and is not recorded here. Of runs that made the same calls
  // with the same answers, the first stands for the others.
  std::vector<sweep::FailingRun> runs = sweep::FindFailingRuns(firsts);
  std::vector<std::unique_ptr<sweep::Baseline>> failingRuns;
  std::set<std::string> seen;
  Tally tally;
  tally.boards = 1;
  std::vector<sweep::FailurePoint> seconds;
  size_t withNewCalls = 0, alike = 0;
  for (size_t i = 0; i < firsts.size(); ++i) {
    const sweep::FailingRun &run = runs[i];
    if (run.end != sweep::IsolatedOutcome::End::kFinished) {
      ADD_FAILURE() << firsts[i].Describe() << ": its own run did not finish" << run.how;
      continue;
    }
    if (run.newCalls.empty()) continue;
    ++withNewCalls;
    if (!seen.insert(run.digest).second) {
      ++alike;
      continue;
    }
    failingRuns.push_back(sweep::RecordFailingRun(firsts[i]));
    const sweep::Baseline &failing = *failingRuns.back();
    for (const std::string &violation : failing.result.violations) {
      ADD_FAILURE() << firsts[i].Describe() << ": platform violation: " << violation;
    }
    std::set<size_t> added = sweep::NewCalls(failing);
    EXPECT_EQ(added, run.newCalls) << firsts[i].Describe() << ": the failing run is not repeatable";
    for (sweep::FailurePoint &point : sweep::FailurePoints(failing, tally.counts, &added)) {
      seconds.push_back(point);
    }
  }
  for (const std::string &member : tally.counts.unknownMembers) {
    ADD_FAILURE() << "the sweep knows no failure of " << member;
  }
  tally.points = seconds.size();
  sweep::Judge(seconds, sweep::ReplayAll(seconds), tally);
  std::printf(
      "fault sweep two faults deep, %s: %zu second-fault points on %zu calls that %zu of %zu "
      "failing runs make and the fault-free run does not (%zu more runs alike); %zu crashed, "
      "%zu hung, %zu with wrong effects\n  second-fault points per pass:",
      board.name.c_str(), tally.points, tally.counts.recorded, withNewCalls - alike, firsts.size(),
      alike, tally.crashes, tally.hangs, tally.failed);
  for (const auto &[pass, count] : tally.counts.perPass)
    std::printf(" %s %zu;", pass.c_str(), count);
  std::printf("\n");
}

TEST(TwoFaultsDeepTest, DefaultBoard) { SweepTwoDeep(sweep::Default()); }
TEST(TwoFaultsDeepTest, KvrnUnusableOnTheSixSlotRiser) {
  SweepTwoDeep(sweep::KvrnUnusableOnTheSixSlotRiser());
}
TEST(TwoFaultsDeepTest, Riser0PortCAloneAndNoNicRootPort) {
  SweepTwoDeep(sweep::Riser0PortCAloneAndNoNicRootPort());
}
TEST(TwoFaultsDeepTest, PortBAloneAndTwoKvrnSlotRecords) {
  SweepTwoDeep(sweep::PortBAloneAndTwoKvrnSlotRecords());
}

}  // namespace
