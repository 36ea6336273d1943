// One whole cycle of the real program under valgrind's memcheck, through the
// paths that parse replies, recover the link and write every result file.
#include <gtest/gtest.h>

#include <string>

#include "e2eHarness.h"

namespace {

TEST(Memcheck, CycleWithFaultsHasNoMemoryErrors) {
#ifdef TARVEX_SANITIZED
  GTEST_SKIP() << "valgrind cannot run a sanitized program";
#endif
  e2e::RunOptions options;
  if (std::string(VALGRIND_PROGRAM).empty() ||
      std::string(VALGRIND_PROGRAM).find("NOTFOUND") != std::string::npos) {
    GTEST_SKIP() << "valgrind is not installed";
  }
  options.wrapper = {VALGRIND_PROGRAM,
                     "--tool=memcheck",
                     "--error-exitcode=99",
                     "--leak-check=full",
                     "--errors-for-leak-kinds=definite,indirect",
                     "--quiet"};
  options.method = "0\t64\tSTC050\n1\t66\tSTC040\n2\t70\tNOBODY\n";
  options.flowSensors = "FS1: 0x48\t 500.0\nFS2: 49\t 100.0\nSAMPLING_STARTTIME: 1\n";
  options.scenario =
      "tc64.rct none at 2\n"        // one failed poll: the port is re-opened
      "tc66.rwt text \"x\" at 2\n"  // an unparseable reply
      "pid long 20 at 2\n"          // residual bytes drained
      "pid none at 3\n"
      "fs1 none at 6\n";
  options.args = e2e::standardArgs(18, 2, 5, 4);
  options.args.push_back("-samplevolume");
  options.args.push_back("5");
  options.timeoutSeconds = 180;

  e2e::RunResult result = e2e::run(options);
  ASSERT_TRUE(result.started) << result.error;
  EXPECT_EQ(result.exitStatus, 0) << result.err << "\n" << result.out;
  EXPECT_EQ(result.err.find("ERROR SUMMARY"), std::string::npos) << result.err;
  std::string out = result.out;
  EXPECT_NE(out.find("Communication failure 1"), std::string::npos);
  EXPECT_NE(out.find("residual bytes"), std::string::npos);
  EXPECT_NE(out.find("Done.\n\n"), std::string::npos);
  EXPECT_EQ(result.rootFiles().size(), 4U) << "TC64, TC66, PID and Flow files";
}

}  // namespace
