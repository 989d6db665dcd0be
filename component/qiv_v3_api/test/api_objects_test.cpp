// The api object family of an STM32WLE5 image.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <type_traits>
#include <vector>

#include "api_fakes.h"
#include "api_objects.h"
#include "qiv_runtime.h"

using apifake::world;

namespace {

class ApiObjects : public ::testing::Test {
 protected:
  void SetUp() override { apifake::reset(); }
};

std::string text(const String &s) { return std::string(s.c_str(), s.length()); }

TEST_F(ApiObjects, DestroyEndsTheLoopForGood) {
  EXPECT_FALSE(no_busy_loop);
  EXPECT_TRUE(api.system.scheduler.task.destroy());
  EXPECT_TRUE(no_busy_loop);
  EXPECT_TRUE(api.system.scheduler.task.destroy());
  EXPECT_TRUE(no_busy_loop);
}

TEST_F(ApiObjects, ConstantTextsAreThereFromTheStart) {
  EXPECT_EQ(text(api.system.apiVersion.ver), "3.2.11");
  EXPECT_EQ(text(api.system.apiVersion.get()), "3.2.11");
  EXPECT_EQ(text(api.system.chipId.id), "stm32wle5xx");
  EXPECT_EQ(text(api.system.chipId.get()), "stm32wle5xx");
}

// The stored texts are the record's, read when asked for: the record a
// start-up loaded, not what the image was built with.
TEST_F(ApiObjects, StoredTextsComeFromTheRecord) {
  strcpy(world.firmware_ver, "QIV_4.1.0_Brisola-T");
  strcpy(world.cli_ver, "1.5.14");
  strcpy(world.hwmodel, "Brisola-T");
  EXPECT_EQ(text(api.system.firmwareVersion.get()), "QIV_4.1.0_Brisola-T");
  EXPECT_EQ(text(api.system.firmwareVer.get()), "QIV_4.1.0_Brisola-T");
  EXPECT_EQ(text(api.system.cliVersion.get()), "1.5.14");
  EXPECT_EQ(text(api.system.cliVer.get()), "1.5.14");
  EXPECT_EQ(text(api.system.modelId.get()), "Brisola-T");
  EXPECT_EQ(text(api.system.hwModel.get()), "Brisola-T");
  EXPECT_EQ(text(api.system.hwModel.id), "Brisola-T") << "get() keeps the text in the member";

  // A text of all 32 bytes has no terminator in the record.
  memcpy(world.firmware_ver, "0123456789abcdef0123456789ABCDEF", 32);
  EXPECT_EQ(text(api.system.firmwareVersion.get()), "0123456789abcdef0123456789ABCDEF");

  world.getter_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(text(api.system.cliVersion.get()), "");
}

TEST_F(ApiObjects, AutomaticSleepSettings) {
  struct Case {
    bool level;  // lpmlvl, else lpm
    uint8_t value;
    bool taken;
  };
  for (const Case c :
       {Case{false, 0, true}, Case{false, 1, true}, Case{false, 2, false}, Case{true, 0, false},
        Case{true, 1, true}, Case{true, 2, true}, Case{true, 3, false}}) {
    apifake::reset();
    world.auto_sleep_time = 7;
    world.auto_sleep_level = 7;
    bool ok = c.level ? api.system.lpmlvl.set(c.value) : api.system.lpm.set(c.value);
    EXPECT_EQ(ok, c.taken) << c.level << int(c.value);
    uint8_t now = c.level ? api.system.lpmlvl.get() : api.system.lpm.get();
    EXPECT_EQ(now, c.taken ? c.value : 7) << c.level << int(c.value);
  }
  world.setter_result = -UDRV_INTERNAL_ERR;
  EXPECT_FALSE(api.system.lpm.set(1));
  EXPECT_FALSE(api.system.lpmlvl.set(1));
}

TEST_F(ApiObjects, Alias) {
  EXPECT_TRUE(api.system.alias.set(String("node 7")));
  EXPECT_EQ(text(api.system.alias.get()), "node 7");
  EXPECT_TRUE(api.system.alias.set(String("sixteen chars!!!")));
  EXPECT_EQ(text(api.system.alias.get()), "sixteen chars!!!");
  for (const char *refused : {"", "seventeen chars!!", "tab\there"}) {
    world.log.clear();
    EXPECT_FALSE(api.system.alias.set(String(refused))) << refused;
    EXPECT_TRUE(world.log.empty()) << refused;
  }
  world.setter_result = -UDRV_INTERNAL_ERR;
  EXPECT_FALSE(api.system.alias.set(String("x")));
}

TEST_F(ApiObjects, PasswordAndLock) {
  EXPECT_TRUE(api.system.pword.set(String("a1b2")));
  EXPECT_EQ(world.passwd, "a1b2");
  EXPECT_FALSE(api.system.pword.set(String("")));
  EXPECT_FALSE(api.system.pword.set(String("123456789")));
  EXPECT_EQ(world.passwd, "a1b2");
  world.setter_result = -UDRV_WRONG_ARG;
  EXPECT_FALSE(api.system.pword.set(String("ok")));
  EXPECT_TRUE(api.system.pword.lock());
  EXPECT_TRUE(api.system.pword.unlock());
  EXPECT_EQ(world.locks, 1);
  EXPECT_EQ(world.unlocks, 1);
}

TEST_F(ApiObjects, BatteryVoltage) {
  world.adc_raw[19] = 512;  // 512 / 1024 x 3.3 x 5 / 3
  EXPECT_NEAR(api.system.bat.get(), 2.75, 1e-6);
  world.adc_result = -UDRV_INTERNAL_ERR;
  EXPECT_EQ(api.system.bat.get(), 0.0f);
}

TEST_F(ApiObjects, SleepAndReboot) {
  EXPECT_TRUE(api.system.sleep.all(1000));
  EXPECT_TRUE(api.system.sleep.all());
  world.sleep_result = -UDRV_BUSY;
  EXPECT_FALSE(api.system.sleep.all(5));
  EXPECT_EQ(world.sleeps, (std::vector<uint32_t>{1000, 0, 5}));
  api.system.reboot();
  EXPECT_EQ(world.reboots, 1);
}

// The members of an STM32WLE5 image: system and apiMode.
TEST_F(ApiObjects, MembersOfTheImage) {
  static_assert(std::is_same_v<decltype(api.system), ZEMSystem>);
  static_assert(std::is_same_v<decltype(api.apiMode), ZEMProtocol>);
  static_assert(
      std::is_same_v<decltype(api.system.firmwareVer), decltype(api.system.firmwareVersion)>);
  static_assert(std::is_same_v<decltype(api.system.hwModel), decltype(api.system.modelId)>);
  SUCCEED();
}

}  // namespace
