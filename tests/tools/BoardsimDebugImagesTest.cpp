// boardsim --debug-images: the lines DEBUG images report, in the report's section of their own,
// in the trace with the calls that carried them, and in the JSON report's debugLog, read by
// Debian's python3 json module.
#include <gtest/gtest.h>

#include <fstream>

#include "Tests.h"

namespace {

using test::CommandRun;
using test::HasRow;

constexpr char kDebugLog[] = R"py(
import json, sys
r = json.load(open(sys.argv[1]))
calls = {c["number"]: c for c in r["calls"]}
d = r["debugLog"]
print("images", d["images"], len([l for l in d["lines"] if l["driver"] == "BoardSlotService"]))
for l in d["lines"]:
    c = calls[l["call"]]
    print("line", c["member"], c["function"], l["driver"], l["levelName"], l["unpacked"], l["text"])
)py";

// The reporting driver's images stand in for the DEBUG build (BOARDSIM_IMAGE_DIR).
TEST(BoardsimDebugImagesTest, TheLinesShowInTheReportTheTraceAndTheJson) {
  test::TempFolder dir;
  CommandRun run =
      test::Run(std::string("BOARDSIM_IMAGE_DIR=") + REPORTING_DRIVER_DIR + " " + BOARDSIM_PATH +
                " --debug-images --trace --json " + test::Quote(dir / "report.json"));
  ASSERT_EQ(run.status, 0) << run.out;
  for (const char *row : {
           "Debug log (DEBUG images; each line as the platform's status-code handler prints it)",
           "call driver level line",
           "#6 BoardSlotService INFO BoardSlotService: KVRN port B placed in slot 172, code "
           "0x22B000",
           "#13 BoardSlotService WARN BoardSlotService: |left | right|pre|<null string>| 00000064 "
           "100%",
           "5 BoardSlotService BoardSlotServiceEntryPoint BS.LocateProtocol status code protocol - "
           "EFI_SUCCESS",
           "11 BoardSlotService BoardSlotServiceEntryPoint StatusCode.ReportStatusCode "
           "\"BoardSlotService: lookup of FD480A76-B134-4EF7-ADFE-B0E054639807 failed: Not Found, "
           "interface 0\" EFI_DEBUG_CODE, 0x03050000, instance 0, ERROR EFI_SUCCESS",
       }) {
    EXPECT_TRUE(HasRow(run.out, row)) << row << "\n" << run.out;
  }

  std::ofstream(dir / "debuglog.py") << kDebugLog;
  CommandRun json = test::Run("python3 " + dir / "debuglog.py" + " " + dir / "report.json");
  ASSERT_EQ(json.status, 0) << json.out;
  EXPECT_TRUE(HasRow(json.out, "images DEBUG 9")) << json.out;
  EXPECT_TRUE(HasRow(json.out,
                     "line StatusCode.ReportStatusCode BoardSlotServiceEntryPoint BoardSlotService "
                     "WARN True BoardSlotService: Setup variable of 4000 bytes, 180 more than the "
                     "buffer: Buffer Too Small"))
      << json.out;
  EXPECT_TRUE(HasRow(json.out,
                     "line StatusCode.ReportStatusCode ReadyToBootNotify BoardSlotService INFO "
                     "True BoardSlotService: ReadyToBoot at TPL 8"))
      << json.out;

  // The drivers' own DEBUG build: their lines in the same section; the RELEASE build has none.
  CommandRun drivers = test::Boardsim("--debug-images");
  ASSERT_EQ(drivers.status, 0) << drivers.out;
  EXPECT_TRUE(HasRow(drivers.out,
                     "BoardSlotService INFO BoardSlotService: KVRN port B in slot 172 "
                     "(code 0x22B000)"))
      << drivers.out;
  CommandRun release = test::Boardsim("");
  ASSERT_EQ(release.status, 0) << release.out;
  EXPECT_EQ(release.out.find("Debug log"), std::string::npos) << release.out;
}

}  // namespace
