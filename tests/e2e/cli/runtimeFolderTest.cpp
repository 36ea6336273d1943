// The runtime dump folder at start-up: required only with -runtimedump.
#include <gtest/gtest.h>

#include <string>

#include "cliExpect.h"
#include "e2eHarness.h"

namespace {

using cli::argsWith;
using cli::banner;
using cli::echoOf;
using cli::openFailure;

TEST(RuntimeFolder, AbsentFolderRefusedOnlyWithRuntimeDump) {
  e2e::RuntimeDumpFolder folder(e2e::RuntimeDumpFolder::Want::Absent);
  if (folder.notPermitted()) GTEST_SKIP() << folder.error();
  ASSERT_TRUE(folder.ok()) << folder.error();

  auto run = e2e::runWithoutSimulator(argsWith({"-runtimedump"}));
  EXPECT_EQ(run.out, "folder /run/Tarvex_rt does not exist\n");
  EXPECT_EQ(run.exitStatus, 255);

  // Checked before the root folder.
  run = e2e::runWithoutSimulator(argsWith({"-runtimedump", "-root", "{work}/absent"}));
  EXPECT_EQ(run.out, "folder /run/Tarvex_rt does not exist\n");
  EXPECT_EQ(run.exitStatus, 255);

  run = e2e::runWithoutSimulator(argsWith({}));
  EXPECT_EQ(run.out, banner(echoOf(run)) + openFailure(run.port));
  EXPECT_EQ(run.exitStatus, 255);
}

TEST(RuntimeFolder, PresentFolderAccepted) {
  e2e::RuntimeDumpFolder folder(e2e::RuntimeDumpFolder::Want::Present);
  if (folder.notPermitted()) GTEST_SKIP() << folder.error();
  ASSERT_TRUE(folder.ok()) << folder.error();
  const auto run = e2e::runWithoutSimulator(argsWith({"-runtimedump"}));
  EXPECT_EQ(run.out, banner(echoOf(run)) + openFailure(run.port));
  EXPECT_EQ(run.exitStatus, 255);
}

}  // namespace
