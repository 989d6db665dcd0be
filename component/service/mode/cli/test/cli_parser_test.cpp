// Line editor, parser, help, user commands and argument checkers.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "atcmd.h"
#include "atcmd_queue.h"
#include "cli_fakes.h"

using clifake::take;
using clifake::type;
using clifake::world;

namespace {

constexpr SERIAL_PORT kTyping = SERIAL_UART2;
constexpr SERIAL_PORT kOther = SERIAL_UART1;

// What a probe user command saw.
struct Probe {
  int calls = 0;
  std::string cmd;
  std::vector<std::string> args;
  int result = AT_OK;
} probe;

int probe_handler(SERIAL_PORT, char *cmd, stParam *param) {
  ++probe.calls;
  probe.cmd = cmd;
  probe.args.clear();
  for (int i = 0; i < param->argc; ++i) {
    probe.args.emplace_back(param->argv[i]);
  }
  return probe.result;
}

class CliParser : public ::testing::Test {
 protected:
  void SetUp() override {
    clifake::reset();
    probe = Probe{};
  }
};

TEST_F(CliParser, RepliesGoToEveryAtPortAndEchoOnlyToTheTypingPort) {
  world.store.echo = 1;
  type(kTyping, "at\r");
  EXPECT_EQ(take(kTyping), "at\n\rOK\r\n");
  EXPECT_EQ(take(kOther), "OK\r\n");
  EXPECT_EQ(take(SERIAL_UART0), "");
}

struct LineCase {
  std::string line;
  std::string reply;
};

TEST_F(CliParser, LookupAndReplyWords) {
  const std::string name31 = "AT+" + std::string(28, 'X');
  const std::string name32 = name31 + "X";
  const std::vector<LineCase> cases = {
      {"AT", "OK\r\n"},
      {"aT", "OK\r\n"},
      {"AT+NOPE", "AT_COMMAND_NOT_FOUND\r\n"},
      {name31, "AT_COMMAND_NOT_FOUND\r\n"},
      {name31 + "=1", "AT_COMMAND_NOT_FOUND\r\n"},
      {name32, "AT_ERROR\r\n"},
      {name32 + "=1", "AT_ERROR\r\n"},
      {"AT+BAUD=", "AT_PARAM_ERROR\r\n"},    // '=' with nothing after
      {"AT+SLEEP=?", "AT_PARAM_ERROR\r\n"},  // query on a write-only row
      {"ATZ=1", "AT_PARAM_ERROR\r\n"},       // write on a read-only row
      {"AT\xC3\xA9", "AT_COMMAND_NOT_FOUND\r\n"},
      {"ATC+", "AT_COMMAND_NOT_FOUND\r\n"},
      {"?", "AT_COMMAND_NOT_FOUND\r\n"},
      {"AT+VER=?", std::string("AT+VER=") + sw_version + "\r\nOK\r\n"},
      // The handler gets the row's own name, not the text as typed.
      {"at+ver=?", std::string("AT+VER=") + sw_version + "\r\nOK\r\n"},
      {"AT+ALIAS?", "AT+ALIAS,RW: add an alias name to the device\r\nOK\r\n"},
      {"at+lock?=1:2", "AT+LOCK,R: lock the serial port\r\nOK\r\n"},
      {"AT+SLEEP?", "AT+SLEEP,W: enter sleep mode for a period of time (ms)\r\nOK\r\n"},
      {"AT+FSN?", "AT+FSN,RW: \r\nOK\r\n"},
  };
  for (const auto &c : cases) {
    type(kTyping, c.line + "\r");
    EXPECT_EQ(take(kTyping), c.reply) << c.line;
  }
}

TEST_F(CliParser, SpaceIntroducesArgumentsLikeEquals) {
  type(kTyping, "AT+ALIAS my node\r");
  EXPECT_EQ(take(kTyping), "OK\r\n");
  EXPECT_EQ(std::string(world.store.alias), "my node");
}

TEST_F(CliParser, EmptyLinesAndLineEndPairs) {
  world.store.echo = 1;
  type(kTyping, "\r\n\r\r\n");
  EXPECT_EQ(take(kTyping), "");
  type(kTyping, "AT\r\n");
  EXPECT_EQ(take(kTyping), "AT\n\rOK\r\n");
}

TEST_F(CliParser, NulEndsTheLineText) {
  type(kTyping, std::string("AT\0XYZ\r", 7));
  EXPECT_EQ(take(kTyping), "OK\r\n");
  // A line that begins with NUL counts as empty.
  type(kTyping, std::string("\0AT\r", 4));
  EXPECT_EQ(take(kTyping), "");
}

TEST_F(CliParser, HighBytesAndControlBytesAreStoredAndEchoed) {
  world.store.echo = 1;
  ASSERT_TRUE(service_mode_cli_register("P", "t", probe_handler, 0, "u",
                                        ATCMD_PERM_READ | ATCMD_PERM_WRITE));
  const std::string arg = "\x80\xC3\xA9\xFF\x01\t";
  type(kTyping, "ATC+P=" + arg + "\r");
  EXPECT_EQ(take(kTyping), "ATC+P=" + arg + "\n\rOK\r\n");
  EXPECT_EQ(probe.args, std::vector<std::string>{arg});
}

TEST_F(CliParser, BackspaceEditsTheLine) {
  world.store.echo = 1;
  type(kTyping, "AT+VEX\bR=?\r");
  EXPECT_EQ(take(kTyping), std::string("AT+VEX\b \bR=?\n\rAT+VER=") + sw_version + "\r\nOK\r\n");
  // DEL edits the same way; on an empty line nothing is written.
  type(kTyping, "\x7f\bATE\x7f\x7f\r");
  EXPECT_EQ(take(kTyping), "ATE\b \b\b \b\n\rAT_COMMAND_NOT_FOUND\r\n");
}

TEST_F(CliParser, BackspaceWritesEvenWithEchoOff) {
  type(kTyping, "ATX\b\r");
  EXPECT_EQ(take(kTyping), "\b \bOK\r\n");
  EXPECT_EQ(take(kOther), "OK\r\n");
}

TEST_F(CliParser, CursorKeysAreDroppedOtherEscapeBytesStored) {
  world.store.echo = 1;
  // Up and down arrows vanish; ESC [ C keeps its 'C'; a byte after a lone
  // ESC is stored.
  type(kTyping, "A\x1b[AT\x1b[B\r");
  EXPECT_EQ(take(kTyping), "AT\n\rOK\r\n");
  type(kTyping, "AT\x1b[C\r");
  EXPECT_EQ(take(kTyping), "ATC\n\rAT_COMMAND_NOT_FOUND\r\n");
  type(kTyping, "\x1bZ\r");
  EXPECT_EQ(take(kTyping), "Z\n\rAT_COMMAND_NOT_FOUND\r\n");
}

TEST_F(CliParser, OneLineBufferForEveryPort) {
  world.store.echo = 1;
  type(kOther, "A");
  type(kTyping, "T\r");
  EXPECT_EQ(take(kOther), "AOK\r\n");
  EXPECT_EQ(take(kTyping), "T\n\rOK\r\n");
}

TEST_F(CliParser, LongestLineRunsAndAnOverlongLineIsRefusedWhole) {
  ASSERT_TRUE(service_mode_cli_register("P", "t", probe_handler, 0, "u",
                                        ATCMD_PERM_READ | ATCMD_PERM_WRITE));
  const std::string head = "ATC+P=";
  const std::string longest = head + std::string(CLI_BUFFER_SIZE - 1 - head.size(), '7');
  type(kTyping, longest + "\r");
  EXPECT_EQ(take(kTyping), "OK\r\n");
  ASSERT_EQ(probe.calls, 1);
  EXPECT_EQ(probe.args.at(0).size(), longest.size() - head.size());
  take(kOther);

  world.store.echo = 1;
  type(kTyping, longest + "89\r");
  EXPECT_EQ(probe.calls, 1) << "a cut line must not run";
  // Only what fitted was echoed.
  EXPECT_EQ(take(kTyping), longest + "\n\rAT_PARAM_ERROR\r\n");
  EXPECT_EQ(take(kOther), "AT_PARAM_ERROR\r\n");

  // The next line is a fresh one.
  type(kTyping, "AT\r");
  EXPECT_EQ(take(kTyping), "AT\n\rOK\r\n");
}

TEST_F(CliParser, InitPrintsLineEndAndClearsTheLine) {
  type(kTyping, "ATZZZ");
  service_mode_cli_init(kTyping);
  EXPECT_EQ(take(kOther), "\r\n");
  type(kTyping, "AT\r");
  EXPECT_EQ(take(kTyping), "\r\nOK\r\n");
}

struct SplitCase {
  std::string text;
  std::vector<std::string> args;
};

TEST_F(CliParser, ArgumentsSplitAtColons) {
  ASSERT_TRUE(service_mode_cli_register("PROBE", "t", probe_handler, 0, "u",
                                        ATCMD_PERM_READ | ATCMD_PERM_WRITE));
  std::string thirty;
  std::vector<std::string> thirty_args;
  std::string tail;
  for (int i = 1; i <= 30; ++i) {
    thirty += (i > 1 ? ":" : "") + std::to_string(i);
    if (i < 25) {
      thirty_args.push_back(std::to_string(i));
    } else {
      tail += (i > 25 ? ":" : "") + std::to_string(i);
    }
  }
  thirty_args.push_back(tail);

  const std::vector<SplitCase> cases = {
      {"ATC+PROBE", {}},
      {"ATC+PROBE=", {}},  // user rows run with no argument
      {"ATC+PROBE ", {}},
      {"ATC+PROBE=a", {"a"}},
      {"atc+probe=a::b:", {"a", "", "b"}},
      {"ATC+PROBE=:x", {"", "x"}},
      {"ATC+PROBE=:", {""}},
      {"ATC+PROBE 1:2", {"1", "2"}},
      {"ATC+PROBE=" + thirty, thirty_args},
  };
  for (const auto &c : cases) {
    probe.calls = 0;
    type(kTyping, c.text + "\r");
    EXPECT_EQ(take(kTyping), "OK\r\n") << c.text;
    EXPECT_EQ(probe.calls, 1) << c.text;
    EXPECT_EQ(probe.args, c.args) << c.text;
    EXPECT_EQ(probe.cmd, "ATC+PROBE") << c.text;
  }
}

TEST_F(CliParser, SplitStopsAtTheRowLimit) {
  const std::vector<std::pair<uint8_t, std::vector<std::string>>> cases = {
      {1, {"a:b:c:d"}},
      {3, {"a", "b", "c:d"}},
      {0, {"a", "b", "c", "d"}},
      {255, {"a", "b", "c", "d"}},
  };
  for (const auto &[limit, want] : cases) {
    char text[] = "a:b:c:d";
    stParam p;
    memset(&p, 0, sizeof(p));
    EXPECT_EQ(parseBuff2Param(text, &p, limit), 0);
    std::vector<std::string> got(p.argv, p.argv + p.argc);
    EXPECT_EQ(got, want) << int(limit);
  }
  char empty[] = "";
  stParam p;
  memset(&p, 0, sizeof(p));
  EXPECT_EQ(parseBuff2Param(empty, &p, 0), 2);
  EXPECT_EQ(p.argc, 0);
}

TEST_F(CliParser, UserRowPermissions) {
  struct Case {
    uint32_t perm;
    std::string text;  // help permission text
    std::string bare, query, write;
  };
  const std::vector<Case> cases = {
      {ATCMD_PERM_READ | ATCMD_PERM_WRITE, "RW", "OK", "OK", "OK"},
      {ATCMD_PERM_READ, "R", "OK", "OK", "AT_PARAM_ERROR"},
      {ATCMD_PERM_WRITE, "W", "OK", "AT_ERROR", "OK"},
      {ATCMD_PERM_WRITEONCEREAD, "R*", "OK", "OK", "OK"},
      {ATCMD_PERM_WRITEONCEREAD | ATCMD_PERM_WRITE, "R*W", "OK", "OK", "OK"},
      {ATCMD_PERM_DISABLE, "Disable", "AT_ERROR", "AT_ERROR", "AT_ERROR"},
      {ATCMD_PERM_DISABLE | ATCMD_PERM_WRITE, "DisableW", "AT_ERROR", "AT_ERROR", "AT_ERROR"},
  };
  for (const auto &c : cases) {
    clifake::reset();
    probe = Probe{};
    ASSERT_TRUE(service_mode_cli_register("X", "title", probe_handler, 0, "usage", c.perm));
    type(kTyping, "ATC+X?\r");
    EXPECT_EQ(take(kTyping), "ATC+X," + c.text + ": usage\r\nOK\r\n");
    type(kTyping, "ATC+X\r");
    EXPECT_EQ(take(kTyping), c.bare + "\r\n") << c.text;
    type(kTyping, "ATC+X=?\r");
    EXPECT_EQ(take(kTyping), c.query + "\r\n") << c.text;
    type(kTyping, "ATC+X=1\r");
    EXPECT_EQ(take(kTyping), c.write + "\r\n") << c.text;
    int expected_calls = (c.bare == "OK") + (c.query == "OK") + (c.write == "OK");
    EXPECT_EQ(probe.calls, expected_calls) << c.text;
  }
}

TEST_F(CliParser, WriteOnceRowTakesOneSuccessfulWrite) {
  ASSERT_TRUE(
      service_mode_cli_register("ONCE", "t", probe_handler, 0, "u", ATCMD_PERM_WRITEONCEREAD));
  probe.result = AT_PARAM_ERROR;
  type(kTyping, "ATC+ONCE=1\r");
  EXPECT_EQ(take(kTyping), "AT_PARAM_ERROR\r\n");  // a failed write does not count
  probe.result = AT_OK;
  type(kTyping, "ATC+ONCE=1\r");
  EXPECT_EQ(take(kTyping), "OK\r\n");
  type(kTyping, "ATC+ONCE=2\r");
  EXPECT_EQ(take(kTyping), "AT_ERROR\r\n");
  type(kTyping, "ATC+ONCE=?\r");
  EXPECT_EQ(take(kTyping), "OK\r\n");
  EXPECT_EQ(probe.calls, 3);
}

TEST_F(CliParser, HandlerResultsBecomeReplyWords) {
  // The words are what hosts match on: spelled out here, not taken from the
  // table under test.
  const std::vector<std::pair<int, std::string>> words = {
      {AT_OK, "OK"},
      {AT_ERROR, "AT_ERROR"},
      {AT_PARAM_ERROR, "AT_PARAM_ERROR"},
      {AT_BUSY_ERROR, "AT_BUSY_ERROR"},
      {AT_TEST_PARAM_OVERFLOW, "AT_TEST_PARAM_OVERFLOW"},
      {AT_NO_CLASSB_ENABLE, "AT_NO_CLASSB_ENABLE"},
      {AT_NO_NETWORK_JOINED, "AT_NO_NETWORK_JOINED"},
      {AT_RX_ERROR, "AT_RX_ERROR"},
      {AT_MODE_NO_SUPPORT, "AT_MODE_NO_SUPPORT"},
      {AT_COMMAND_NOT_FOUND, "AT_COMMAND_NOT_FOUND"},
      {AT_UNSUPPORTED_BAND, "AT_UNSUPPORTED_BAND"},
      {11, "AT_ERROR"},
      {12, "AT_ERROR"},
      {255, "AT_ERROR"},
      {-1, "AT_ERROR"},
      {-7, "AT_ERROR"},
  };
  for (int code = 0; code < AT_MAX_ERRNO; ++code) {
    EXPECT_EQ(words[static_cast<size_t>(code)].first, code) << "the codes are 0 to 10 in order";
  }
  ASSERT_TRUE(service_mode_cli_register("R", "t", probe_handler, 0, "u",
                                        ATCMD_PERM_READ | ATCMD_PERM_WRITE));
  for (const auto &[code, word] : words) {
    probe.result = code;
    char line[] = "ATC+R";
    EXPECT_EQ(At_Parser(kTyping, line, 5), code);  // the raw value, whatever the word
    EXPECT_EQ(take(kTyping), word) << "code " << code;
    // Through the line editor the word is followed by the line end.
    type(kTyping, "ATC+R\r");
    EXPECT_EQ(take(kTyping), word + "\r\n") << "code " << code;
  }
}

TEST_F(CliParser, RegistrationRefusesIncompleteRowsAndAFullTable) {
  EXPECT_FALSE(service_mode_cli_register(nullptr, "t", probe_handler, 0, "u", 3));
  EXPECT_FALSE(service_mode_cli_register("A", nullptr, probe_handler, 0, "u", 3));
  EXPECT_FALSE(service_mode_cli_register("A", "t", nullptr, 0, "u", 3));
  EXPECT_FALSE(service_mode_cli_register("A", "t", probe_handler, 0, nullptr, 3));
  EXPECT_FALSE(service_mode_cli_register("A", "t", probe_handler, 0, "u", 0));
  EXPECT_FALSE(service_mode_cli_register("A", "t", probe_handler, 0, "u", 0x100));  // 8 bits: 0
  for (int i = 0; i < ATCMD_CUST_TABLE_SIZE; ++i) {
    EXPECT_TRUE(service_mode_cli_register("A", "t", probe_handler, 0, "u", 3)) << i;
  }
  EXPECT_FALSE(service_mode_cli_register("B", "t", probe_handler, 0, "u", 3));
  type(kTyping, "ATC+B\r");
  EXPECT_EQ(take(kTyping), "AT_COMMAND_NOT_FOUND\r\n");
}

TEST_F(CliParser, HelpListsEveryVisibleRowThenUserRows) {
  ASSERT_TRUE(service_mode_cli_register("SENSOR", "This get sensor data.", probe_handler, 255,
                                        "SENSOR", ATCMD_PERM_READ | ATCMD_PERM_WRITE));
  ASSERT_TRUE(service_mode_cli_register("QUIET", "hidden", probe_handler, 0, "", ATCMD_PERM_READ));
  type(kTyping, "AT?\r");
  std::string out = take(kTyping);

  std::string want =
      "\r\nAT+<CMD>?: help on <CMD>\r\nAT+<CMD>: run <CMD>\r\nAT+<CMD>=<value>: set the value\r\n"
      "AT+<CMD>=?: get the value\r\n\r\n";
  int listed = 0;
  for (int i = 0; i < At_CmdGetTotalNum(); ++i) {
    const at_cmd_info &row = atcmd_info_tbl[i];
    if (row.CmdUsage[0] == '\0') {
      continue;
    }
    ++listed;
    const char *perm = row.permission == ATCMD_PERM_READ    ? "R"
                       : row.permission == ATCMD_PERM_WRITE ? "W"
                                                            : "RW";
    want += std::string(row.atCmd) + "," + perm + ": " + row.CmdUsage + "\r\n";
  }
  want += "ATC+SENSOR,RW: This get sensor data., SENSOR\r\nOK\r\n";
  EXPECT_EQ(out, want);
  // AT, AT+FSN, AT+FACTORY and AT+UID have no usage text.
  EXPECT_EQ(listed, At_CmdGetTotalNum() - 4);
  for (const char *hidden : {"\nAT,", "AT+FSN", "AT+FACTORY", "AT+UID"}) {
    EXPECT_EQ(out.find(hidden), std::string::npos) << hidden;
  }
  EXPECT_NE(out.find("\r\nAT+BAUD,RW: get or set the serial port baudrate\r\n"), std::string::npos);
}

TEST_F(CliParser, CommandTableOfTheImage) {
  const int total = At_CmdGetTotalNum();
  EXPECT_EQ(memcmp(atcmd_info_tbl, atcmd_info_tbl_load_image, sizeof(at_cmd_info) * total), 0);
  EXPECT_STREQ(atcmd_info_tbl[0].atCmd, "AT");
  bool has_uid = false;
  for (int i = 0; i < total; ++i) {
    const at_cmd_info &row = atcmd_info_tbl[i];
    EXPECT_EQ(row.maxargu, 0) << row.atCmd;
    EXPECT_TRUE(row.permission == ATCMD_PERM_READ || row.permission == ATCMD_PERM_WRITE ||
                row.permission == (ATCMD_PERM_READ | ATCMD_PERM_WRITE))
        << row.atCmd;
    EXPECT_NE(row.pfHandle, nullptr) << row.atCmd;
    for (int j = 0; j < i; ++j) {
      EXPECT_STRCASENE(row.atCmd, atcmd_info_tbl[j].atCmd);
    }
    has_uid = has_uid || strcmp(row.atCmd, "AT+UID") == 0;
  }
  EXPECT_TRUE(has_uid);
  // No override is placed in this image.
  EXPECT_TRUE(atcmd_queue_is_empty());
  EXPECT_EQ(atcmd_queue_utilization_get(), 0u);
  atcmd_permission_item item;
  EXPECT_EQ(atcmd_queue_pop(&item, 0), ATCMD_QUEUE_ERROR);
}

TEST(CliResultMapping, DriverCodesToReplyCodes) {
  const std::vector<std::pair<int32_t, int>> cases = {
      {0, AT_OK},
      {-3, AT_PARAM_ERROR},
      {-6, AT_BUSY_ERROR},
      {-12, AT_NO_NETWORK_JOINED},
      {-16, AT_PARAM_ERROR},
      {-17, AT_UNSUPPORTED_BAND},
      {-1, AT_ERROR},
      {-7, AT_ERROR},
      {-9, AT_ERROR},
      {3, AT_ERROR},
      {6, AT_ERROR},
  };
  for (const auto &[code, reply] : cases) {
    EXPECT_EQ(at_error_code_form_udrv(code), reply) << code;
  }
}

TEST(CliCheckers, HexText) {
  struct Case {
    const char *text;
    uint32_t len;
    bool ok;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {"", 0, true, {}},
      {"0aF9", 4, true, {0x0A, 0xF9}},
      {"DEADbeef", 8, true, {0xDE, 0xAD, 0xBE, 0xEF}},
      {"0aF", 3, false, {}},   // odd length
      {"0aF9", 2, false, {}},  // not the length asked for
      {"0aF", 4, false, {}},
      {"0g", 2, false, {}},
      {"0x", 2, false, {}},
      {" 1", 2, false, {}},
  };
  for (const auto &c : cases) {
    uint8_t out[8] = {};
    EXPECT_EQ(at_check_hex_param(c.text, c.len, out), c.ok ? 0 : 1) << c.text;
    if (c.ok) {
      EXPECT_EQ(std::vector<uint8_t>(out, out + c.len / 2), c.bytes) << c.text;
    }
    EXPECT_EQ(at_check_hex_param(c.text, c.len, nullptr), c.ok ? 0 : 1) << c.text;
  }
  uint8_t b[2];
  StrToHex(b, "a1F0", 4);
  EXPECT_EQ(b[0], 0xA1);
  EXPECT_EQ(b[1], 0xF0);
}

TEST(CliCheckers, HexNumbers) {
  uint16_t v16 = 0x5555;
  EXPECT_EQ(at_check_hex_uint16("1A2b", &v16), 0);
  EXPECT_EQ(v16, 0x1A2B);
  for (const char *bad : {"", "1A2", "1A2B3", "0x1A", "1G2B", "-1A2"}) {
    v16 = 0x5555;
    EXPECT_EQ(at_check_hex_uint16(bad, &v16), 1) << bad;
    EXPECT_EQ(v16, 0x5555) << bad;
  }
  uint32_t v32 = 7;
  EXPECT_EQ(at_check_hex_uint32("FFFFFFFF", &v32), 0);
  EXPECT_EQ(v32, 0xFFFFFFFFu);
  EXPECT_EQ(at_check_hex_uint32("26011bDA", &v32), 0);
  EXPECT_EQ(v32, 0x26011BDAu);
  for (const char *bad : {"", "1234567", "123456789", "1234567Z"}) {
    v32 = 7;
    EXPECT_EQ(at_check_hex_uint32(bad, &v32), 1) << bad;
    EXPECT_EQ(v32, 7u) << bad;
  }
}

TEST(CliCheckers, DecimalNumbers) {
  const std::vector<std::pair<const char *, uint32_t>> good = {
      {"0", 0}, {"7", 7}, {"007", 7}, {"2147483648", 2147483648u}, {"4294967295", 4294967295u},
  };
  for (const auto &[text, value] : good) {
    uint32_t v = 1;
    EXPECT_EQ(at_check_digital_uint32_t(text, &v), 0) << text;
    EXPECT_EQ(v, value) << text;
    EXPECT_EQ(at_check_digital_uint32_t(text, nullptr), 0) << text;
  }
  for (const char *bad : {"", "00", "0000000000", "4294967296", "9999999999", "12345678901", "-1",
                          "+1", "1a", " 1", "1.5"}) {
    uint32_t v = 5;
    EXPECT_EQ(at_check_digital_uint32_t(bad, &v), 1) << bad;
    EXPECT_EQ(v, 5u) << bad;
  }
}

}  // namespace
