// Build-time permission overrides placed in the `atcmd_queue` section, and
// the command table of an image without the unique-ID command.
#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "atcmd.h"
#include "atcmd_queue.h"
#include "cli_fakes.h"

using clifake::take;
using clifake::type;
using clifake::world;

CHANGE_ATCMD_PERM("at+alias", ATCMD_PERM_DISABLE);      // any case
CHANGE_ATCMD_PERM("AT+PWORD", ATCMD_PERM_READ);         // RW AND R
CHANGE_ATCMD_PERM("AT+LOCK", ATCMD_PERM_WRITE);         // R AND W is 0: unchanged
CHANGE_ATCMD_PERM("AT+LPM", ATCMD_PERM_WRITEONCEREAD);  // write once
CHANGE_ATCMD_PERM("AT+SLEEP", ATCMD_PERM_WRITEONCEREAD | ATCMD_PERM_READ);

namespace {

constexpr SERIAL_PORT kTyping = SERIAL_UART2;

class CliOverride : public ::testing::Test {
 protected:
  void SetUp() override {
    clifake::reset();  // restores the table from its load image
    update_permission();
  }

  std::string run(const std::string &line) {
    type(kTyping, line + "\r");
    return take(kTyping);
  }

  uint8_t perm_of(const char *name) {
    for (int i = 0; i < At_CmdGetTotalNum(); ++i) {
      if (strcmp(atcmd_info_tbl[i].atCmd, name) == 0) {
        return atcmd_info_tbl[i].permission;
      }
    }
    ADD_FAILURE() << name;
    return 0;
  }
};

TEST_F(CliOverride, ListHoldsTheItemsInOrder) {
  EXPECT_FALSE(atcmd_queue_is_empty());
  ASSERT_EQ(atcmd_queue_utilization_get(), 5u);
  atcmd_permission_item item;
  ASSERT_EQ(atcmd_queue_pop(&item, 0), ATCMD_QUEUE_SUCCESS);
  EXPECT_STREQ(item.atcmd_id, "at+alias");
  EXPECT_EQ(item.permission, static_cast<size_t>(ATCMD_PERM_DISABLE));
  ASSERT_EQ(atcmd_queue_pop(&item, 4), ATCMD_QUEUE_SUCCESS);
  EXPECT_STREQ(item.atcmd_id, "AT+SLEEP");
  EXPECT_EQ(atcmd_queue_pop(&item, 5), ATCMD_QUEUE_ERROR);
}

TEST_F(CliOverride, RulesApplied) {
  EXPECT_EQ(perm_of("AT+ALIAS"), ATCMD_PERM_DISABLE);
  EXPECT_EQ(perm_of("AT+PWORD"), ATCMD_PERM_READ);
  EXPECT_EQ(perm_of("AT+LOCK"), ATCMD_PERM_READ);
  EXPECT_EQ(perm_of("AT+LPM"), ATCMD_PERM_WRITEONCEREAD);
  EXPECT_EQ(perm_of("AT+SLEEP"), ATCMD_PERM_WRITEONCEREAD | ATCMD_PERM_READ);
  // Applying them again changes nothing more.
  update_permission();
  EXPECT_EQ(perm_of("AT+PWORD"), ATCMD_PERM_READ);
  EXPECT_EQ(perm_of("AT+ALIAS"), ATCMD_PERM_DISABLE);
}

TEST_F(CliOverride, DisabledCommandRefusesEveryForm) {
  for (const char *line : {"AT+ALIAS", "AT+ALIAS=?", "AT+ALIAS=x"}) {
    EXPECT_EQ(run(line), "AT_ERROR\r\n") << line;
  }
  EXPECT_EQ(world.store.alias[0], '\0');
  EXPECT_EQ(run("AT+ALIAS?"), "AT+ALIAS,Disable: add an alias name to the device\r\nOK\r\n");
}

TEST_F(CliOverride, NarrowedCommand) {
  EXPECT_EQ(run("AT+PWORD=abc"), "AT_PARAM_ERROR\r\n");
  EXPECT_EQ(run("AT+PWORD=?"), "AT+PWORD=58203761\r\nOK\r\n");
  EXPECT_EQ(run("AT+PWORD?"),
            "AT+PWORD,R: set the serial port locking password (max 8 char)\r\nOK\r\n");
}

TEST_F(CliOverride, WriteOnceUntilTheTableIsRestored) {
  EXPECT_EQ(run("AT+LPM=1"), "OK\r\n");
  EXPECT_EQ(run("AT+LPM=0"), "AT_ERROR\r\n");
  EXPECT_EQ(run("AT+LPM=?"), "AT+LPM=1\r\nOK\r\n");
  EXPECT_EQ(perm_of("AT+LPM"), ATCMD_PERM_WRITEONCEREAD | ATCMD_PERM_ISWRITE);

  // Start-up restores the table from its load image and applies the
  // overrides again: the command can be written once more.
  memcpy(atcmd_info_tbl, atcmd_info_tbl_load_image, sizeof(at_cmd_info) * At_CmdGetTotalNum());
  update_permission();
  EXPECT_EQ(run("AT+LPM=0"), "OK\r\n");
  EXPECT_EQ(world.store.auto_sleep_time, 0u);
}

TEST_F(CliOverride, ImageWithoutUniqueIdCommand) {
  EXPECT_EQ(run("AT+UID=?"), "AT_COMMAND_NOT_FOUND\r\n");
  for (int i = 0; i < At_CmdGetTotalNum(); ++i) {
    EXPECT_STRNE(atcmd_info_tbl[i].atCmd, "AT+UID");
  }
}

}  // namespace
