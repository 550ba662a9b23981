// The tool's message stream and progress meter (tools/host.cpp), driven in
// one process: stderr is pointed at a pipe or a pseudo-terminal and what
// reaches it is read back byte for byte.
#include <fcntl.h>
#include <pty.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "host.h"

namespace {

// Points fd 2 at fd for the holder's life; the tool's stream writes to fd 2.
struct StderrTo {
  int saved;
  explicit StderrTo(int fd) : saved(dup(2)) { dup2(fd, 2); }
  ~StderrTo() {
    dup2(saved, 2);
    close(saved);
  }
};

std::string drain(int fd) {
  std::string out;
  char buf[4096];
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, (size_t)n);
  }
  return out;
}

class ToolMessages : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vh_messages_init(); }
};

TEST_F(ToolMessages, EveryLineStartsWithTheProgramsNameOnce) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  {
    StderrTo to(p[1]);
    fprintf(stderr, "cipher_get: not found\n");
    fprintf(stderr, "two\nlines\n");
    fprintf(stderr, "keldrune-vault: named already\n");
    // A line written in pieces gets one prefix.
    fprintf(stderr, "a line ");
    fprintf(stderr, "in %d pieces\n", 2);
    fputs("keldrune-vaultish: not the name\n", stderr);
  }
  close(p[1]);
  EXPECT_EQ(drain(p[0]),
            "keldrune-vault: cipher_get: not found\n"
            "keldrune-vault: two\nkeldrune-vault: lines\n"
            "keldrune-vault: named already\n"
            "keldrune-vault: a line in 2 pieces\n"
            "keldrune-vault: keldrune-vaultish: not the name\n");
  close(p[0]);
}

TEST(ToolMeter, TextShowsDoneTotalShareAndRate) {
  VhMeter m;
  m.what = "import";
  m.unit = "accounts";
  m.total = 5000;
  m.done = 1200;
  EXPECT_EQ(vh_meter_text(m, 2.0), "import: 1200 of 5000 accounts (24%), 600/s");
  m.total = -1;  // unknown total: no share
  EXPECT_EQ(vh_meter_text(m, 0.5), "import: 1200 accounts, 2400/s");
  m.total = 0;
  m.done = 0;
  EXPECT_EQ(vh_meter_text(m, 0), "import: 0 of 0 accounts");
  // The library's own counts, with more words.
  VhContext ctx;
  vh_meter_start(m, ctx, "export", "items", -1);
  vh_meter_set(m, 40, -1, " (3 of 10 accounts)");
  EXPECT_EQ(vh_meter_text(m, 2.0), "export: 40 items (3 of 10 accounts), 20/s");
  vh_meter_set(m, 5, 10);
  EXPECT_EQ(vh_meter_text(m, 0), "export: 5 of 10 items (50%)");
}

TEST(ToolMeter, SilentWithoutATerminalOrWithQuiet) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  VhContext ctx;
  {
    StderrTo to(p[1]);
    VhMeter m;
    vh_meter_start(m, ctx, "check", "documents", 10);
    EXPECT_FALSE(m.on);
    usleep(600 * 1000);
    vh_meter_add(m, 3);
    EXPECT_EQ(m.done, 3);  // counted all the same
    vh_meter_end(m);
  }
  close(p[1]);
  EXPECT_EQ(drain(p[0]), "");
  close(p[0]);

  int master, slave;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  {
    StderrTo to(slave);
    ctx.quiet = true;
    VhMeter m;
    vh_meter_start(m, ctx, "check", "documents", 10);
    EXPECT_FALSE(m.on);
  }
  close(slave);
  close(master);
}

TEST_F(ToolMessages, OnATerminalTheMeterShowsAndAMessageWipesIt) {
  int master, slave;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  VhContext ctx;
  std::string seen;
  {
    StderrTo to(slave);
    VhMeter m;
    vh_meter_start(m, ctx, "reindex", "accounts", 4);
    ASSERT_TRUE(m.on);
    vh_meter_add(m, 1);  // within half a second: nothing yet
    seen += drain(master);
    EXPECT_EQ(seen, "");
    usleep(600 * 1000);
    vh_meter_add(m, 1);
    fprintf(stderr, "a message\n");
    vh_meter_add(m, 1);  // the wiped line comes back at once
    vh_meter_add(m, 1);  // too soon after it: nothing
    vh_meter_end(m);
  }
  usleep(50 * 1000);
  seen += drain(master);
  close(slave);
  close(master);
  // The terminal turns "\n" into "\r\n".
  const std::string line = "\r\033[Kkeldrune-vault: reindex: 2 of 4 accounts (50%), ";
  ASSERT_EQ(seen.compare(0, line.size(), line), 0) << seen;
  size_t wipe = seen.find("/s\r\033[Kkeldrune-vault: a message\r\n");
  EXPECT_NE(wipe, std::string::npos) << seen;
  size_t again = seen.find("a message\r\n\r\033[Kkeldrune-vault: reindex: 3 of 4 accounts (75%), ");
  EXPECT_NE(again, std::string::npos) << seen;
  // The end wipes the line; the fourth step was never drawn.
  EXPECT_EQ(seen.substr(seen.size() - 4), "\r\033[K") << seen;
  EXPECT_EQ(seen.find("4 of 4"), std::string::npos) << seen;
}

}  // namespace
