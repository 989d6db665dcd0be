#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "core_test_support.h"
#include "service_nvm.h"

namespace {

TEST(VersionText, IsZeroTerminatedOnlyWhenItFitsInThirtyOneCharacters) {
  ASSERT_EQ(strlen(sw_version), size_t{QIV_TEST_SW_VERSION_LEN});
  core_test::boot();
  char stored[33] = {};
  ASSERT_EQ(service_nvm_get_firmware_ver_from_nvm(stored, 32), 0);
  EXPECT_EQ(std::string(stored, 31), std::string(sw_version, 31));
  // The 32nd byte holds the 32nd character, or the terminator of a shorter text.
  EXPECT_EQ(stored[31], QIV_TEST_SW_VERSION_LEN == 32 ? sw_version[31] : '\0');
}

}  // namespace
