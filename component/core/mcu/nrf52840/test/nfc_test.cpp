// The NFC text port's write rules. Nothing in the images starts a reply
// collection, so the test reaches into the port's file to start one.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "uhal_nfc.cpp"

namespace {

void collect_from_scratch() {
  std::memset(m_ndef_msg_buf, 0, sizeof(m_ndef_msg_buf));
  print_counter = 0;
  isUpdate = true;
}

int32_t nfc_write(const std::string& bytes) {
  return serial_nfc_driver.SERIAL_WRITE(SERIAL_NFC, reinterpret_cast<const uint8_t*>(bytes.data()),
                                        static_cast<uint32_t>(bytes.size()), 0);
}

// 480 bytes fit the 500-byte text room; 30 more would not, and are not
// stored at all. The message and payload length bytes grow by what was
// stored, wrapping at 8 bits.
TEST(Nrf52840Nfc, AWriteBeyondTheTextRoomIsNotStored) {
  collect_from_scratch();
  EXPECT_EQ(nfc_write(std::string(480, 'a')), 0);
  EXPECT_EQ(nfc_write(std::string(30, 'b')), 0);
  EXPECT_EQ(print_counter, 480u);
  EXPECT_EQ(m_ndef_msg_buf[1], 480 % 256);
  EXPECT_EQ(m_ndef_msg_buf[7], 480 % 256);
  EXPECT_EQ(m_ndef_msg_buf[12], 'a');
  EXPECT_EQ(m_ndef_msg_buf[12 + 479], 'a');
  EXPECT_EQ(m_ndef_msg_buf[12 + 480], 0);
  EXPECT_TRUE(isUpdate);
}

TEST(Nrf52840Nfc, NothingIsStoredOutsideACollection) {
  collect_from_scratch();
  isUpdate = false;
  EXPECT_EQ(nfc_write("\r\nOK"), 0);
  EXPECT_EQ(print_counter, 0u);
  EXPECT_EQ(m_ndef_msg_buf[1], 0);
  EXPECT_EQ(m_ndef_msg_buf[12], 0);
}

// A reply word after its leading CR LF completes the collection; a reply
// longer than 255 bytes marks the high length bytes. Shorter writes, or a
// word elsewhere, do not.
TEST(Nrf52840Nfc, AReplyWordEndsTheCollection) {
  struct Case {
    std::vector<std::string> writes;
    bool ended;
    uint8_t high;
  };
  const Case cases[] = {
      {{"AT+VER=1.0\r\n", "\r\nOK"}, true, 0},
      {{std::string(300, 'v'), "\r\nAT_PARAM_ERROR\r\n"}, true, 1},
      {{"\r\nAT_MODE_NO_SUPPORT"}, true, 0},
      {{"\r\n", "O", "K"}, false, 0},
      {{"OK\r\n"}, false, 0},
      {{"\r\nAT_ERRO"}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.writes.back());
    collect_from_scratch();
    for (const std::string& w : c.writes) nfc_write(w);
    EXPECT_EQ(isUpdate, !c.ended);
    EXPECT_EQ(m_ndef_msg_buf[0], c.high);
    EXPECT_EQ(m_ndef_msg_buf[6], c.high);
  }
}

}  // namespace
