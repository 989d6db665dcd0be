// The debug level and the lines it gates, over stand-ins of the
// configuration store and the print routine of the serial layer.
#include <gtest/gtest.h>
#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "service_debug.h"
#include "service_nvm.h"
#include "udrv_serial.h"

namespace {
uint8_t stored_level = 0;
uint32_t store_result = 0;
int store_writes = 0;
std::vector<std::string> printed;  // one entry per print call, as rendered
}  // namespace

uint8_t service_nvm_get_debug_level_from_nvm(void) { return stored_level; }

uint32_t service_nvm_set_debug_level_to_nvm(uint8_t level) {
  ++store_writes;
  stored_level = level;
  return store_result;
}

int32_t udrv_serial_log_printf(const char *fmt, ...) {
  char buf[UDRV_SERIAL_PRINT_BUFFER_SIZE];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  printed.emplace_back(buf);
  return static_cast<int32_t>(printed.back().size());
}

namespace {

class ServiceDebug : public ::testing::Test {
 protected:
  void SetUp() override {
    stored_level = 0;
    store_result = 0;
    store_writes = 0;
    printed.clear();
  }
};

TEST_F(ServiceDebug, LevelIsStoredAndTheStoreResultReturned) {
  EXPECT_EQ(service_set_debug_level(1), 0u);
  EXPECT_EQ(stored_level, 1);
  EXPECT_EQ(service_get_debug_level(), 1);
  EXPECT_EQ(store_writes, 1);

  store_result = static_cast<uint32_t>(-UDRV_INTERNAL_ERR);
  EXPECT_EQ(service_set_debug_level(0), static_cast<uint32_t>(-UDRV_INTERNAL_ERR));
}

TEST_F(ServiceDebug, OnlyLevelOnePrints) {
  struct Case {
    uint8_t level;
    bool prints;
  };
  for (const Case c : {Case{0, false}, Case{1, true}, Case{2, false}, Case{255, false}}) {
    printed.clear();
    stored_level = c.level;
    service_debug("Version:%s %s\r\n", "QIV_4.2.4_Brisola-T", "20250101");
    if (c.prints) {
      EXPECT_EQ(printed, std::vector<std::string>{"Version:QIV_4.2.4_Brisola-T 20250101\r\n"});
    } else {
      EXPECT_TRUE(printed.empty()) << int(c.level);
    }
  }
}

TEST_F(ServiceDebug, RenderedTextIsPrintedLiterally) {
  stored_level = 1;
  // The rendered text "50% done %s %d" must not be formatted again.
  service_debug("%d%% done %s\r\n", 50, "%s %d");
  EXPECT_EQ(printed, std::vector<std::string>{"50% done %s %d\r\n"});
}

TEST_F(ServiceDebug, LongTextIsCutToTheBuffer) {
  stored_level = 1;
  const std::string long_text(700, 'x');
  service_debug("%s", long_text.c_str());
  ASSERT_EQ(printed.size(), 1u);
  EXPECT_EQ(printed[0], std::string(511, 'x'));
}

}  // namespace
