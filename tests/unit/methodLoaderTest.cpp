// Reading method files into the method table.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "run/gcRun.h"
#include "run/method.h"

namespace {

struct Loaded {
  int result;
  std::unique_ptr<GcRun> run;
};

Loaded load(const std::string& text) {
  char path[] = "/tmp/tarvex-method-XXXXXX";
  int fd = mkstemp(path);
  FILE* file = fdopen(fd, "w");
  fwrite(text.data(), 1, text.size(), file);
  fclose(file);
  Loaded loaded{0, std::make_unique<GcRun>()};
  loaded.result = loadMethod(loaded.run.get(), path);
  unlink(path);
  return loaded;
}

TEST(MethodLoader, SkipsByTheFirstCharacterOnly) {
  Loaded loaded =
      load("# comment\n! note\n 5\t64\tINDENTED\n\n\t7\t66\tTABBED\n-2 64 SPACED\n3\t70\tLAST");
  ASSERT_EQ(loaded.result, kMethodOk);
  ASSERT_EQ(loaded.run->stepCount, 3);
  EXPECT_EQ(loaded.run->steps[0].time, 7);
  EXPECT_EQ(loaded.run->steps[0].address, 66);
  EXPECT_STREQ(loaded.run->steps[0].command, "TABBED");
  EXPECT_EQ(loaded.run->steps[1].time, -2) << "a sign is allowed";
  EXPECT_STREQ(loaded.run->steps[1].command, "SPACED");
  EXPECT_EQ(loaded.run->steps[2].address, 70);
  EXPECT_STREQ(loaded.run->steps[2].command, "LAST") << "no newline at the end of the file";
  EXPECT_EQ(loaded.run->nextStep, 0);
}

TEST(MethodLoader, CarriageReturns) {
  Loaded row = load("1\t64\tSTC120\r\n");
  ASSERT_EQ(row.result, kMethodOk);
  EXPECT_STREQ(row.run->steps[0].command, "STC120");
  EXPECT_EQ(load("1\t64\tSTC120\n\r\n2\t64\tX\n").result, kMethodUndecodable)
      << "an empty line ending in CR LF is not skipped";
}

TEST(MethodLoader, UndecodableLinesStopTheLoad) {
  Loaded hex = load("0\t64\tA\n0\t0x40\tB\n");
  EXPECT_EQ(hex.result, kMethodUndecodable) << "a hexadecimal address is no decimal number";
  EXPECT_EQ(hex.run->stepCount, 1);
  EXPECT_EQ(load("0\t64abc\tB\n").result, kMethodUndecodable);
  EXPECT_EQ(load("abc\n").result, kMethodUndecodable);
  EXPECT_EQ(load("5\t64\n").result, kMethodUndecodable) << "no command";
  EXPECT_EQ(load("\t\n").result, kMethodUndecodable);
}

TEST(MethodLoader, NumbersBeyondIntAreRefusedNotWrapped) {
  EXPECT_EQ(load("4294967306\t64\tA\n").result, kMethodUndecodable) << "would wrap to 10";
  EXPECT_EQ(load("0\t4294967360\tA\n").result, kMethodUndecodable) << "would wrap to 64";
  EXPECT_EQ(load("-2147483649\t64\tA\n").result, kMethodUndecodable);
  Loaded edges = load("2147483647\t-2147483648\tA\n");
  ASSERT_EQ(edges.result, kMethodOk);
  EXPECT_EQ(edges.run->steps[0].time, 2147483647);
  EXPECT_EQ(edges.run->steps[0].address, -2147483647 - 1);
}

TEST(MethodLoader, CommandsAreCutToSeventeenCharacters) {
  Loaded loaded = load("0\t64\tABCDEFGHIJKLMNOPQR\n1\t64\t" + std::string(300, 'Z') + "\n");
  ASSERT_EQ(loaded.run->stepCount, 2);
  EXPECT_STREQ(loaded.run->steps[0].command, "ABCDEFGHIJKLMNOPQ");
  EXPECT_STREQ(loaded.run->steps[1].command, std::string(17, 'Z').c_str());
  // The 300-character line is read in pieces of 255; the rest of it is a line
  // of its own, and a line of Z cannot be decoded.
  EXPECT_EQ(loaded.result, kMethodUndecodable);
}

TEST(MethodLoader, TableCapacity) {
  std::string rows;
  for (int i = 0; i < kMethodCapacity; ++i) rows += std::to_string(i) + "\t64\tC\n";
  Loaded full = load(rows + "# a comment after the last row\n");
  EXPECT_EQ(full.result, kMethodOk);
  EXPECT_EQ(full.run->stepCount, kMethodCapacity);
  Loaded over = load(rows + "1\t64\tONE_TOO_MANY\n");
  EXPECT_EQ(over.result, kMethodUndecodable);
  EXPECT_EQ(over.run->stepCount, kMethodCapacity);
}

TEST(MethodLoader, EmptyAndUnreadableFiles) {
  Loaded empty = load("# nothing to do\n");
  EXPECT_EQ(empty.result, kMethodOk);
  EXPECT_EQ(empty.run->stepCount, 0);
  auto run = std::make_unique<GcRun>();
  EXPECT_EQ(loadMethod(run.get(), "/tmp/tarvex-no-such-method.txt"), kMethodUnreadable);
  // A folder opens, but reading it fails: no method with zero steps.
  EXPECT_EQ(loadMethod(run.get(), "/tmp"), kMethodReadFailed);
  EXPECT_EQ(errno, EISDIR);
}

}  // namespace
