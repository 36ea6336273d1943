// Reading flowsensors.txt: what scanf-style reading accepts, and what it must
// refuse instead of passing on a wrapped number or an empty definition.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "devices/flow.h"

namespace {

struct Read {
  int result;
  FlowSensorDefinition definition;
};

Read read(const std::string& text) {
  char path[] = "/tmp/tarvex-flowsensors-XXXXXX";
  int fd = mkstemp(path);
  FILE* file = fdopen(fd, "w");
  fwrite(text.data(), 1, text.size(), file);
  fclose(file);
  Read done{0, {}};
  done.result = readFlowSensorFile(path, &done.definition);
  unlink(path);
  return done;
}

TEST(FlowSensorFile, ReadsAsTheThreeFormattedReadsDo) {
  Read plain = read("FS1: 0x48\t 500.0\nFS2: 49\t 100.5\nSAMPLING_STARTTIME: 3\n");
  ASSERT_EQ(plain.result, kFlowFileOk);
  EXPECT_EQ(plain.definition.fs1Address, 0x48);
  EXPECT_EQ(plain.definition.fs2Address, 0x49) << "hexadecimal without 0x";
  EXPECT_FLOAT_EQ(plain.definition.fs1FullScale, 500.0F);
  EXPECT_FLOAT_EQ(plain.definition.fs2FullScale, 100.5F);
  EXPECT_EQ(plain.definition.samplingStart, 3);

  // Any white space or none between values, indented and separated lines,
  // anything after the third value.
  Read loose = read("FS1:40 2e2\n\n   FS2:\t0X7f 1\n\tSAMPLING_STARTTIME:-4 notes follow\n");
  ASSERT_EQ(loose.result, kFlowFileOk);
  EXPECT_EQ(loose.definition.fs1Address, 64);
  EXPECT_FLOAT_EQ(loose.definition.fs1FullScale, 200.0F);
  EXPECT_EQ(loose.definition.fs2Address, 127);
  EXPECT_EQ(loose.definition.samplingStart, -4);
  EXPECT_EQ(read("FS1: 7fffffff 1\nFS2: 1 1\nSAMPLING_STARTTIME: 2147483647\n").result,
            kFlowFileOk);
}

TEST(FlowSensorFile, MalformedOrOutOfRangeIsRefused) {
  const char* const refused[] = {
      " FS1: 0x48 500\nFS2: 0x49 100\nSAMPLING_STARTTIME: 3\n",  // white space before FS1:
      "fs1: 0x48 500\nFS2: 0x49 100\nSAMPLING_STARTTIME: 3\n",   // case counts
      "FS1: 0x48\nFS2: 0x49 100\nSAMPLING_STARTTIME: 3\n",       // one value only
      "FS1: 0x48 500\nFS2: 0x49 100\n",                          // no third line
      "FS1: 0x48 500\nFS2: 0x49 100\nSAMPLING_STARTTIME: x\n",
      // Numbers beyond int: would be wrapped into another address or start.
      "FS1: 0x100000048 500\nFS2: 0x49 100\nSAMPLING_STARTTIME: 3\n",
      "FS1: 0x48 500\nFS2: 80000000 100\nSAMPLING_STARTTIME: 3\n",
      "FS1: 0x48 500\nFS2: 0x49 100\nSAMPLING_STARTTIME: 4294967299\n",
  };
  for (const char* text : refused) EXPECT_EQ(read(text).result, kFlowFileMalformed) << text;
}

TEST(FlowSensorFile, FolderOrMissingFileIsUnreadable) {
  FlowSensorDefinition definition = {};
  EXPECT_EQ(readFlowSensorFile("/tmp", &definition), kFlowFileUnreadable);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(readFlowSensorFile("/tmp/tarvex-no-such-flowsensors.txt", &definition),
            kFlowFileUnreadable);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
