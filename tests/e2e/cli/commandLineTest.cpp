// The command line and the start-up checks, by running the built Tarvex: the
// usage text, every check's message in its order, the banner, number and
// option parsing, and the start-up as far as the port and the method file.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "cliExpect.h"
#include "e2eHarness.h"

namespace {

using cli::argsWith;
using cli::argsWithout;
using cli::banner;
using cli::echoOf;
using cli::openFailure;
using cli::usageText;

const char* const kFlowSensors = "FS1: 0x48\t 500.0\nFS2: 0x49\t 100.0\nSAMPLING_STARTTIME: 3\n";

// A run without the simulator, with flowsensors.txt in the working directory.
e2e::RunResult runWithFlowSensors(const std::vector<std::string>& args,
                                  const std::string& flowSensors) {
  e2e::RunOptions options;
  options.args = args;
  options.flowSensors = flowSensors;
  options.withSimulator = false;
  options.timeoutSeconds = 30;
  return e2e::run(options);
}

std::size_t framesReceived(const e2e::RunResult& run) {
  std::size_t count = 0;
  for (const auto& event : run.trace) count += event.dir != "tx" ? 1 : 0;
  return count;
}

TEST(CommandLine, NoArgumentsPrintsTheUsageTextAlone) {
  const auto run = e2e::runWithoutSimulator({});
  ASSERT_TRUE(run.started) << run.error;
  EXPECT_EQ(run.exitStatus, 255);
  EXPECT_EQ(run.out, usageText());
  EXPECT_EQ(run.err, "");
}

TEST(CommandLine, EachRequiredOptionMissingGivesTheUsageText) {
  for (const char* option : {"-GCport", "-root", "-cycle", "-PIDdelay", "-PIDcycle", "-PIDgain"}) {
    const auto run = e2e::runWithoutSimulator(argsWithout(option));
    EXPECT_EQ(run.exitStatus, 255) << option;
    EXPECT_EQ(run.out, usageText()) << option;
  }
}

TEST(CommandLine, GainMustBeOneTwoFourOrEight) {
  for (const char* gain : {"0", "3", "5", "16", "-1"}) {
    const auto run = e2e::runWithoutSimulator(argsWith({"-PIDgain", gain}));
    EXPECT_EQ(run.exitStatus, 255) << gain;
    EXPECT_EQ(run.out, usageText()) << gain;
  }
  for (int gain : {1, 2, 4, 8}) {
    const auto run = e2e::runWithoutSimulator(argsWith({"-PIDgain", std::to_string(gain)}));
    auto echo = echoOf(run, 30, 5, 12, gain);
    EXPECT_EQ(run.exitStatus, 255) << gain;
    EXPECT_EQ(run.out, banner(echo) + openFailure(run.port)) << gain;
  }
}

TEST(CommandLine, ChecksComeInTheirOrder) {
  // Required options first, whatever else is wrong.
  auto run = e2e::runWithoutSimulator({"-cycle", "3600", "-PIDdelay", "5", "-PIDcycle", "12",
                                       "-PIDgain", "1", "-samplevolume", "5"});
  EXPECT_EQ(run.out, usageText());
  EXPECT_EQ(run.exitStatus, 255);

  // A missing root folder before a sample volume without flowsensors.txt and
  // a cycle that is too long.
  run = e2e::runWithoutSimulator(
      argsWith({"-root", "{work}/absent", "-samplevolume", "5", "-cycle", "3600"}));
  EXPECT_EQ(run.out, "cannot access " + run.workDir + "/absent\n");
  EXPECT_EQ(run.exitStatus, 255);

  // A regular file as root: its directory bit is clear.
  run = e2e::runWithoutSimulator(argsWith({"-root", "{method}", "-samplevolume", "5"}));
  EXPECT_EQ(run.out, run.workDir + "/method.txt is no directory\n");
  EXPECT_EQ(run.exitStatus, 255);

  run = e2e::runWithoutSimulator(argsWith({"-samplevolume", "5", "-cycle", "3600"}));
  EXPECT_EQ(run.out, "Sample volume defined but no flowsensors.txt definition found\n");
  EXPECT_EQ(run.exitStatus, 255);

  // Too long a cycle is refused before the banner and the detector window check.
  run = e2e::runWithoutSimulator(argsWith({"-cycle", "3600", "-PIDcycle", "4000"}));
  EXPECT_EQ(run.out, "Cycle time too long, max 3599s. Abort!\n");
  EXPECT_EQ(run.exitStatus, 255);
}

TEST(CommandLine, CycleLengthAndDetectorWindowLimits) {
  auto run = e2e::runWithoutSimulator(argsWith({"-cycle", "3599"}));
  auto echo = echoOf(run, 3599);
  EXPECT_EQ(run.out, banner(echo) + openFailure(run.port));

  // Exactly 10 s beyond delay plus duration is room enough.
  run = e2e::runWithoutSimulator(argsWith({"-cycle", "100", "-PIDdelay", "60", "-PIDcycle", "30"}));
  echo = echoOf(run, 100, 60, 30);
  EXPECT_EQ(run.out, banner(echo) + openFailure(run.port));

  run = e2e::runWithoutSimulator(argsWith({"-cycle", "100", "-PIDdelay", "60", "-PIDcycle", "31"}));
  echo = echoOf(run, 100, 60, 31);
  EXPECT_EQ(run.out, banner(echo) +
                         "\nError: cycletime must be at lease 10s longer than PID "
                         "delay+runtime\nAbort.\n");
  EXPECT_EQ(run.exitStatus, 255);
}

TEST(CommandLine, BannerEchoesOptionsAlsoWhenSilent) {
  auto run = e2e::runWithoutSimulator(argsWith({}));
  const std::string plain = banner(echoOf(run)) + openFailure(run.port);
  EXPECT_EQ(run.out, plain);
  EXPECT_EQ(run.exitStatus, 255);

  run = e2e::runWithoutSimulator(argsWith({"-silent"}));
  EXPECT_EQ(run.out, banner(echoOf(run)) + openFailure(run.port));

  run = runWithFlowSensors(argsWith({"-samplevolume", "40", "-dailysub"}), kFlowSensors);
  auto echo = echoOf(run);
  echo.dailySub = true;
  echo.volume = 40;
  EXPECT_EQ(run.out, banner(echo) + openFailure(run.port));
}

TEST(CommandLine, FlowSensorFileParsedOnlyWithASampleVolume) {
  auto run = runWithFlowSensors(argsWith({"-samplevolume", "40"}),
                                "FS1: 0x48\t 500.0\nFS2: 0x49\t 100.0\n");
  auto echo = echoOf(run);
  echo.volume = 40;
  EXPECT_EQ(run.out, banner(echo) + "Error parsing flowsensors.txt, abort.\n");
  EXPECT_EQ(run.exitStatus, 255);

  run = runWithFlowSensors(argsWith({"-samplevolume", "40"}),
                           "FS9: 0x48\t 500.0\nFS2: 0x49\t 100.0\nSAMPLING_STARTTIME: 3\n");
  echo = echoOf(run);
  echo.volume = 40;
  EXPECT_EQ(run.out, banner(echo) + "Error parsing flowsensors.txt, abort.\n");
  EXPECT_EQ(run.exitStatus, 255);

  // A folder of that name is found, but cannot be read.
  e2e::RunOptions folder;
  folder.args = argsWith({"-samplevolume", "40"});
  folder.withSimulator = false;
  folder.wrapper = {"/bin/sh", "-c", "mkdir flowsensors.txt && exec \"$@\"", "sh"};
  run = e2e::run(folder);
  echo = echoOf(run);
  echo.volume = 40;
  EXPECT_EQ(run.out, banner(echo) + "Cannot read flowsensors.txt: Is a directory. Abort.\n");
  EXPECT_EQ(run.exitStatus, 255);

  // No sample volume: a broken file is not read, a missing one not required.
  for (const char* volume : {"0", "-5"}) {
    run = runWithFlowSensors(argsWith({"-samplevolume", volume}), "garbage\n");
    EXPECT_EQ(run.out, banner(echoOf(run)) + openFailure(run.port)) << volume;
    run = e2e::runWithoutSimulator(argsWith({"-samplevolume", volume}));
    EXPECT_EQ(run.out, banner(echoOf(run)) + openFailure(run.port)) << volume;
  }
}

TEST(CommandLine, NumbersAreReadLikePercentI) {
  const std::pair<const char*, int> cases[] = {{"0x258", 600}, {"0600", 384}, {"45s", 45}};
  for (const auto& [text, seconds] : cases) {
    const auto run = e2e::runWithoutSimulator(argsWith({"-cycle", text}));
    auto echo = echoOf(run, seconds);
    EXPECT_EQ(run.out, banner(echo) + openFailure(run.port)) << text;
  }
  // Not a number leaves what was there: 0 counts as missing, an earlier value stays.
  auto without = argsWithout("-cycle");
  without.insert(without.end(), {"-cycle", "abc"});
  auto run = e2e::runWithoutSimulator(without);
  EXPECT_EQ(run.out, usageText());
  EXPECT_EQ(run.exitStatus, 255);
  run = e2e::runWithoutSimulator(argsWith({"-cycle", "abc"}));
  EXPECT_EQ(run.out, banner(echoOf(run)) + openFailure(run.port));

  // A repeated option overwrites: the last port and cycle count.
  run = e2e::runWithoutSimulator(argsWith(
      {"-GCport", "{work}/first", "-cycle", "40", "-GCport", "{work}/second", "-cycle", "50"}));
  auto echo = echoOf(run);
  echo.port = run.workDir + "/second";
  echo.cycle = 50;
  EXPECT_EQ(run.out, banner(echo) + openFailure(echo.port));
}

TEST(CommandLine, LettersPrefixesAndDoubleDashes) {
  // -c is the root folder's letter, not a prefix of -cycle.
  auto run = e2e::runWithoutSimulator({"-a", "{port}", "-b", "{method}", "-c", "{root}", "-d", "33",
                                       "-e", "6", "-f", "14", "-g", "2"});
  auto echo = echoOf(run, 33, 6, 14, 2);
  EXPECT_EQ(run.out, banner(echo) + openFailure(run.port));
  EXPECT_EQ(run.err, "");

  run = e2e::runWithoutSimulator({"-GCp", "{port}", "-meth", "{method}", "--root", "{root}", "-cyc",
                                  "33", "-PIDd", "6", "--PIDc", "14", "-PIDg", "2", "-sil",
                                  "-daily"});
  echo = echoOf(run, 33, 6, 14, 2);
  echo.dailySub = true;
  EXPECT_EQ(run.out, banner(echo) + openFailure(run.port));
  EXPECT_EQ(run.err, "");
}

TEST(CommandLine, UnknownAndAmbiguousOptionsAreReportedAndParsingGoesOn) {
  std::vector<std::string> args = {"-zap", "-s"};
  const auto standard = argsWith({"--bar", "-dailysub"});
  args.insert(args.end(), standard.begin(), standard.end());
  const auto run = e2e::runWithoutSimulator(args);
  auto echo = echoOf(run);
  echo.dailySub = true;
  EXPECT_EQ(run.out, banner(echo) + openFailure(run.port));
  EXPECT_EQ(run.exitStatus, 255);
  // getopt's own words, on standard error only.
  EXPECT_NE(run.err.find("unrecognized option '-zap'"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("unrecognized option '--bar'"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("option '-s' is ambiguous"), std::string::npos) << run.err;
}

// The one line that refuses an over-long or negative value: the option's name
// in it, nothing opened (the port of these runs does not exist, so an attempt
// would print the open failure).
void expectRefusal(const std::string& out, const std::string& before, const std::string& name) {
  ASSERT_EQ(out.compare(0, before.size(), before), 0) << out;
  const std::string line = out.substr(before.size());
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
  EXPECT_NE(line.find(name), std::string::npos) << line;
  EXPECT_EQ(line.find("unable to open"), std::string::npos) << line;
}

TEST(CommandLine, OverlongPathsAreRefusedNamingTheOption) {
  const std::string port63 = "/nonexistent/" + std::string(50, 'p');
  auto run = e2e::runWithoutSimulator(argsWith({"-GCport", port63}));
  auto echo = echoOf(run);
  echo.port = port63;
  EXPECT_EQ(run.out, banner(echo) + openFailure(port63));
  run = e2e::runWithoutSimulator(argsWith({"-GCport", port63 + "p"}));
  expectRefusal(run.out, "", "-GCport");
  EXPECT_NE(run.out.find("63"), std::string::npos) << run.out;
  EXPECT_EQ(run.exitStatus, 255);

  const std::string long511 = "/nonexistent/" + std::string(498, 'm');
  run = e2e::runWithoutSimulator(argsWith({"-method", long511}));
  echo = echoOf(run);
  echo.method = long511;
  EXPECT_EQ(run.out, banner(echo) + openFailure(run.port));
  run = e2e::runWithoutSimulator(argsWith({"-method", long511 + "m"}));
  expectRefusal(run.out, "", "-method");
  EXPECT_NE(run.out.find("511"), std::string::npos) << run.out;
  EXPECT_EQ(run.exitStatus, 255);

  run = e2e::runWithoutSimulator(argsWith({"-root", long511}));
  EXPECT_EQ(run.out, "cannot access " + long511 + "\n");
  run = e2e::runWithoutSimulator(argsWith({"-root", long511 + "m"}));
  expectRefusal(run.out, "", "-root");
  EXPECT_NE(run.out.find("511"), std::string::npos) << run.out;
  EXPECT_EQ(run.exitStatus, 255);
}

TEST(CommandLine, NegativeTimesAndMissingMethodAreRefused) {
  // Negative values are not "missing" and can pass the detector window check.
  auto run = e2e::runWithoutSimulator(argsWith({"-PIDdelay", "-5"}));
  auto echo = echoOf(run, 30, -5);
  expectRefusal(run.out, banner(echo), "-PIDdelay");
  EXPECT_EQ(run.exitStatus, 255);

  run = e2e::runWithoutSimulator(argsWith({"-PIDcycle", "-3"}));
  echo = echoOf(run, 30, 5, -3);
  expectRefusal(run.out, banner(echo), "-PIDcycle");
  EXPECT_EQ(run.exitStatus, 255);

  run =
      e2e::runWithoutSimulator(argsWith({"-cycle", "-5", "-PIDdelay", "-20", "-PIDcycle", "-20"}));
  echo = echoOf(run, -5, -20, -20);
  expectRefusal(run.out, banner(echo), "-cycle");
  EXPECT_EQ(run.exitStatus, 255);

  run = e2e::runWithoutSimulator(argsWithout("-method"));
  echo = echoOf(run);
  echo.method = "";
  expectRefusal(run.out, banner(echo), "-method");
  EXPECT_EQ(run.exitStatus, 255);
}

// A root folder that takes no new folder or file is refused at once, before
// the port: a read-only mount, or root's folder with Tarvex run as nobody.
TEST(CommandLine, RootThatCannotBeWrittenIsRefused) {
  if (e2e::privateRun().notPermitted || geteuid() != 0) GTEST_SKIP() << "needs root";
  ASSERT_TRUE(e2e::privateRun().ok) << e2e::privateRun().error;
  const std::pair<unsigned long, const char*> cases[] = {{MS_RDONLY, "Read-only file system"},
                                                         {0, "Permission denied"}};
  for (const auto& [flags, reason] : cases) {
    e2e::TempDir root("tarvex-e2e-root");
    ASSERT_EQ(mount("tmpfs", root.path().c_str(), "tmpfs", flags, "size=4k,mode=0755"), 0);
    e2e::RunOptions options;
    options.args = argsWith({"-root", root.path()});
    options.withSimulator = false;
    if (flags == 0)
      options.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    const auto run = e2e::run(options);
    umount2(root.path().c_str(), MNT_DETACH);
    EXPECT_EQ(run.out, "cannot create folders and files in " + root.path() + ": " + reason + "\n");
    EXPECT_EQ(run.exitStatus, 255) << reason;
  }
}

// ---------------------------------------------------------------- with the simulator

// A second Tarvex started on the port of a running one is refused before it
// sends anything; the first one's cycle goes on undisturbed.
TEST(StartUp, SecondTarvexOnTheSamePortIsRefused) {
  e2e::RunOptions options;
  options.args = e2e::standardArgs(13, 1, 2, 1);
  options.wrapper = {"/bin/sh", "-c",
                     "\"$@\" & first=$!; sleep 1; \"$@\" > second.out 2>&1; "
                     "echo $? > second.status; wait $first",
                     "sh"};
  const auto run = e2e::run(options);
  ASSERT_TRUE(run.started) << run.error;
  EXPECT_EQ(run.exitStatus, 0) << run.out;
  EXPECT_EQ(run.readWorkFile("second.out"),
            banner(echoOf(run, 13, 1, 2)) + "> ERROR: " + run.port +
                " is in use by another Tarvex (or another program).\n");
  EXPECT_EQ(run.readWorkFile("second.status"), "255\n");
  // One bring-up only (one GPIO pulse), and the cycle's files.
  int pulses = 0;
  for (const auto& event : run.trace)
    pulses += event.raw == std::vector<unsigned char>{'W', 4, 6, 'P'};
  EXPECT_EQ(pulses, 1);
  EXPECT_EQ(run.rootFiles().size(), 3u);
}

TEST(StartUp, PortThatDoesNotExistOrLacksModemLines) {
  auto run = e2e::runWithoutSimulator(argsWith({"-GCport", "{work}/noSuchPort"}));
  auto echo = echoOf(run);
  echo.port = run.workDir + "/noSuchPort";
  EXPECT_EQ(run.out, banner(echo) + "> ERROR: unable to open " + echo.port +
                         ": No such file or directory.\n");
  EXPECT_EQ(run.exitStatus, 255);

  // A bare pty has no modem-control lines to read.
  e2e::RunOptions options;
  options.args = argsWith({});
  options.preload = false;
  run = e2e::run(options);
  ASSERT_TRUE(run.started) << run.error;
  EXPECT_EQ(run.out, banner(echoOf(run)) + "error getting TIOCM\n");
  EXPECT_EQ(run.exitStatus, 255);
  EXPECT_EQ(framesReceived(run), 0u);
}

TEST(StartUp, MethodFileUnreadableOrUndecodable) {
  e2e::RunOptions options;
  options.args = argsWith({"-method", "{work}/absent.txt"});
  auto run = e2e::run(options);
  ASSERT_TRUE(run.started) << run.error;
  auto echo = echoOf(run);
  echo.method = run.workDir + "/absent.txt";
  expectRefusal(run.out, banner(echo), echo.method);
  EXPECT_NE(run.out.find("No such file or directory"), std::string::npos) << run.out;
  EXPECT_EQ(run.exitStatus, 255);
  EXPECT_EQ(framesReceived(run), 0u);

  // A folder opens, but cannot be read: refused, not run as an empty method.
  options.args = argsWith({"-method", "{work}"});
  run = e2e::run(options);
  echo = echoOf(run);
  echo.method = run.workDir;
  EXPECT_EQ(run.out,
            banner(echo) + "Cannot read method file " + run.workDir + ": Is a directory. Abort.\n");
  EXPECT_EQ(run.exitStatus, 255);
  EXPECT_EQ(framesReceived(run), 0u);

  options.args = argsWith({});
  options.method = "0\t64\tSTC060\nabc\n";
  run = e2e::run(options);
  ASSERT_TRUE(run.started) << run.error;
  // Refused before the port is drained or the bridge is touched.
  EXPECT_EQ(run.out, banner(echoOf(run)) + "Error decoding file, abort\n");
  EXPECT_EQ(run.exitStatus, 255);
  EXPECT_EQ(framesReceived(run), 0u);
}

TEST(StartUp, SilentRunDrainsAnEmptyPortBeforeTheBridge) {
  e2e::RunOptions options;
  options.args = e2e::standardArgs(12, 1, 1, 8);
  options.args.push_back("-silent");
  options.timeoutSeconds = 60;
  const auto run = e2e::run(options);
  ASSERT_TRUE(run.started) << run.error;
  EXPECT_EQ(run.exitStatus, 0) << run.out;
  auto echo = echoOf(run, 12, 1, 1, 8);
  const std::string start = banner(echo) + "SERIAL EAGAIN ERROR\nPolling NXP I2C status: ";
  EXPECT_EQ(run.out.compare(0, start.size(), start), 0) << run.out;
  EXPECT_EQ(run.out.find("bytes of trash"), std::string::npos) << run.out;
  // Silent: no status-line header.
  EXPECT_EQ(run.out.find(" Time    PCC"), std::string::npos) << run.out;
  EXPECT_FALSE(e2e::select(run.trace, "i2c-write", 64).empty());
}

}  // namespace
