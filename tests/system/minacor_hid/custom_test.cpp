// The custom service mode from the phone's side: reads answered with each
// characteristic's send_data, notifications following the CCCD and the
// value updates with their results, writes driving P0.16, the connection
// handling, the "no service" UUID 0x1400 and bad input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench.h"
#include "bsp_sim.h"
#include "nrf_gpio.h"
#include "nrf52840_ble_sim.h"

namespace hidtest {
namespace {

constexpr uint16_t kService = 0xA000;

const std::vector<CustomChar> kChars = {
    {0xA001, {'r', 'e', 'a', 'd', '-', '1'}, {'n', 'o', 't', 'e', '-', '1'}},
    {0xA002, {0x10, 0x20, 0x30, 0x40}, {0x41, 0x42, 0x43, 0x44}},
    {0xA003, {0x7F}, {0x01}},
};

struct HookCall {
  uint16_t uuid;
  Bytes data;  // the hook's bytes (fixedlen of them), empty for a null pointer
};
std::vector<HookCall> notify_calls, send_calls;

void record(std::vector<HookCall>& calls, uint16_t uuid, const uint8_t* data) {
  Bytes b;
  for (const auto& c : cus_char_att) {
    if (c.char_uuid == uuid && data != nullptr) b.assign(data, data + c.fixedlen);
  }
  calls.push_back({uuid, b});
}
void on_notify(uint16_t uuid, const uint8_t* data) { record(notify_calls, uuid, data); }
void on_send(uint16_t uuid, uint8_t* data) { record(send_calls, uuid, data); }

class Custom : public Bench {
 protected:
  void SetUp() override {
    Bench::SetUp();
    notify_calls.clear();
    send_calls.clear();
  }
  void connect_phone(uint16_t service = kService) {
    ASSERT_NO_FATAL_FAILURE(start_custom(service, kChars));
    ASSERT_TRUE(connect());
    for (const auto& c : kChars) {
      const auto* found = find(c.uuid);
      ASSERT_NE(found, nullptr) << std::hex << c.uuid;
      chars_.push_back(*found);
    }
  }
  uint32_t pin() { return nrf_gpio_pin_out_read(CUS_OUTPUT_PIN); }

  std::vector<ble::Central::Characteristic> chars_;
};

TEST_F(Custom, ReadsAreAnsweredWithEachCharacteristicsSendData) {
  ASSERT_NO_FATAL_FAILURE(connect_phone());
  CUS_SEND_HANDLER = on_send;
  for (size_t i = 0; i < kChars.size(); ++i) {
    SCOPED_TRACE(i);
    const uint32_t id = phone_->read(chars_[i].value_handle);
    ASSERT_TRUE(finish(id));
    EXPECT_EQ(phone_->result(id).error, 0);
    EXPECT_EQ(phone_->result(id).value, kChars[i].send_data);
    ASSERT_EQ(send_calls.size(), i + 1);
    EXPECT_EQ(send_calls[i].uuid, kChars[i].uuid);
    EXPECT_EQ(send_calls[i].data, kChars[i].send_data);
  }
  // A send_data changed in place is what the next read gets.
  cus_char_att[1].send_data[0] = 0x99;
  const uint32_t id = phone_->read(chars_[1].value_handle);
  ASSERT_TRUE(finish(id));
  EXPECT_EQ(phone_->result(id).value, (Bytes{0x99, 0x20, 0x30, 0x40}));
}

TEST_F(Custom, NotificationsFollowTheCccdAndTheUpdatesReportWhy) {
  nrfsim::ble::set_hvn_queue_size(4);
  ASSERT_NO_FATAL_FAILURE(connect_phone());
  EXPECT_EQ(custom_events(), std::vector<ble_cus_evt_type_t>{BLE_CUS_EVT_CONNECTED});
  uint8_t value[] = {'v', 'a', 'l', 'u', 'e', '!'};
  uint8_t four[] = {1, 2, 3, 4};

  // Not enabled yet: the stack refuses the notification.
  EXPECT_EQ(ble_cus_custom_value_update(&m_cus, value, kChars[0].uuid), NRF_ERROR_INVALID_STATE);

  // Enabled: the notify_data goes out at once, then every update.
  ASSERT_TRUE(finish(phone_->subscribe(chars_[0].value_handle)));
  ASSERT_TRUE(wait([&] { return notified(chars_[0].value_handle).size() == 1; }));
  EXPECT_EQ(notified(chars_[0].value_handle)[0], kChars[0].notify_data);
  EXPECT_EQ(cus_char_att[0].is_notify_enable, 1);
  EXPECT_EQ(custom_events().back(), BLE_CUS_EVT_NOTIFICATION_ENABLED);

  CUS_NOTIFY_HANDLER = on_notify;
  EXPECT_EQ(ble_cus_custom_value_update(&m_cus, value, kChars[0].uuid), NRF_SUCCESS);
  ASSERT_TRUE(wait([&] { return notified(chars_[0].value_handle).size() == 2; }));
  EXPECT_EQ(notified(chars_[0].value_handle)[1], Bytes(value, value + sizeof(value)));
  ASSERT_EQ(notify_calls.size(), 1u);
  EXPECT_EQ(notify_calls[0].uuid, kChars[0].uuid);
  EXPECT_EQ(notify_calls[0].data, Bytes(value, value + sizeof(value)));

  // The other characteristics are not enabled; a UUID of none of them and a
  // missing service are refused.
  EXPECT_EQ(ble_cus_custom_value_update(&m_cus, four, kChars[1].uuid), NRF_ERROR_INVALID_STATE);
  EXPECT_EQ(ble_cus_custom_value_update(&m_cus, four, 0xA004), NRF_ERROR_NOT_FOUND);
  EXPECT_EQ(ble_cus_custom_value_update(nullptr, four, kChars[1].uuid), NRF_ERROR_NULL);
  // The hook hears of every notification tried, sent or not.
  ASSERT_EQ(notify_calls.size(), 2u);
  EXPECT_EQ(notify_calls[1].uuid, kChars[1].uuid);
  EXPECT_EQ(notify_calls[1].data, Bytes(four, four + sizeof(four)));

  // Disabled: the hook hears of it, updates are refused again.
  ASSERT_TRUE(finish(phone_->subscribe(chars_[0].value_handle, 0)));
  ASSERT_TRUE(wait([&] { return cus_char_att[0].is_notify_enable == 0; }));
  EXPECT_EQ(custom_events().back(), BLE_CUS_EVT_NOTIFICATION_DISABLED);
  ASSERT_EQ(notify_calls.size(), 3u);
  EXPECT_EQ(notify_calls[2].uuid, kChars[0].uuid);
  EXPECT_TRUE(notify_calls[2].data.empty());
  EXPECT_EQ(ble_cus_custom_value_update(&m_cus, value, kChars[0].uuid), NRF_ERROR_INVALID_STATE);

  // Without a connection: 8, nothing sent.
  ASSERT_TRUE(disconnect());
  ASSERT_TRUE(wait([] { return m_cus.conn_handle == BLE_CONN_HANDLE_INVALID; }));
  const size_t sent = phone_->notifications().size();
  EXPECT_EQ(ble_cus_custom_value_update(&m_cus, value, kChars[0].uuid), NRF_ERROR_INVALID_STATE);
  run_for(kSecond);
  EXPECT_EQ(phone_->notifications().size(), sent);
}

// A written first byte of 1 drives P0.16 low, of 0 high; anything else
// leaves it, whichever of the characteristics takes the write.
TEST_F(Custom, WritesDriveP016) {
  ASSERT_NO_FATAL_FAILURE(connect_phone());
  ASSERT_EQ(pin(), 1u);
  struct Case {
    size_t ch;
    Bytes value;
    uint32_t level;
  };
  const Case cases[] = {
      {0, {0x01}, 0},       {0, {0x02}, 0}, {1, {0x00}, 1},
      {2, {0xFF}, 1},       {2, {0x01}, 0}, {1, {0x00, 0x01, 0x02, 0x03}, 1},
      {0, {0x01, 0x00}, 0}, {0, {'0'}, 0},  {1, {0x00}, 1},
      {1, {0x10, 0x00}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.value) + " to " + std::to_string(c.ch));
    const uint32_t id = phone_->write(chars_[c.ch].value_handle, c.value);
    ASSERT_TRUE(finish(id));
    EXPECT_EQ(phone_->result(id).error, 0);
    EXPECT_EQ(pin(), c.level);
  }
}

// Prepared writes to a characteristic whose writes are authorised: each
// prepared part and the execution are answered with success; an executed
// 1 or 0 drives P0.16, a cancelled one does nothing.
TEST_F(Custom, QueuedWritesAreAuthorisedAndExecuted) {
  std::vector<CustomChar> chars = kChars;
  chars[2].queued_writes = true;
  ASSERT_NO_FATAL_FAILURE(start_custom(kService, chars));
  ASSERT_TRUE(connect());
  const auto* ch = find(chars[2].uuid);
  ASSERT_NE(ch, nullptr);
  struct Case {
    uint8_t value;
    bool execute;
    uint32_t level;
  };
  for (const Case c : {Case{0x01, true, 0}, Case{0x00, false, 0}, Case{0x00, true, 1},
                       Case{0x05, true, 1}, Case{0x01, false, 1}}) {
    SCOPED_TRACE(std::to_string(c.value) + (c.execute ? " executed" : " cancelled"));
    const uint32_t prep = phone_->prepare_write(ch->value_handle, 0, {c.value});
    ASSERT_TRUE(finish(prep));
    EXPECT_EQ(phone_->result(prep).error, 0);
    const uint32_t exec = phone_->execute_write(c.execute);
    ASSERT_TRUE(finish(exec));
    EXPECT_EQ(phone_->result(exec).error, 0);
    run_for(kSecond / 10);
    EXPECT_EQ(pin(), c.level);
  }
}

TEST_F(Custom, ConnectionShowsOnTheBoardAndTheNotificationTimerStopsAtTheEnd) {
  ASSERT_NO_FATAL_FAILURE(connect_phone());
  ASSERT_TRUE(wait([] { return m_cus_conn_handle != BLE_CONN_HANDLE_INVALID; }));
  EXPECT_EQ(m_cus.conn_handle, m_cus_conn_handle);
  EXPECT_EQ(m_qwr.conn_handle, m_cus_conn_handle);
  EXPECT_EQ(nrfsim::bsp_indications(), std::vector<bsp_indication_t>{BSP_INDICATE_CONNECTED});
  ASSERT_EQ(app_timer_start(m_notification_timer_id, 32768, nullptr), NRF_SUCCESS);
  ASSERT_TRUE(m_notification_timer_id->running);
  ASSERT_TRUE(disconnect());
  ASSERT_TRUE(wait([] { return m_cus.conn_handle == BLE_CONN_HANDLE_INVALID; }));
  EXPECT_FALSE(m_notification_timer_id->running);
}

// While custom_service_uuid holds 0x1400 there is no custom service: the
// handlers take no connection, no write, no CCCD change.
TEST_F(Custom, TheNoServiceUuidIgnoresEveryEvent) {
  ASSERT_NO_FATAL_FAILURE(start_custom(kService, kChars));
  custom_service_uuid = CUS_SERVICE_UUID_NONE;
  ASSERT_TRUE(connect());
  const auto* ch = find(kChars[0].uuid);
  ASSERT_NE(ch, nullptr);
  ASSERT_TRUE(finish(phone_->write(ch->value_handle, {0x01})));
  ASSERT_TRUE(finish(phone_->subscribe(ch->value_handle)));
  run_for(kSecond);
  EXPECT_EQ(nrf_gpio_pin_out_read(CUS_OUTPUT_PIN), 1u);
  EXPECT_EQ(m_cus.conn_handle, BLE_CONN_HANDLE_INVALID);
  EXPECT_EQ(m_cus_conn_handle, BLE_CONN_HANDLE_INVALID);
  EXPECT_TRUE(custom_events().empty());
  EXPECT_EQ(cus_char_att[0].is_notify_enable, 0);
  EXPECT_TRUE(phone_->notifications().empty());
  EXPECT_TRUE(nrfsim::bsp_indications().empty());
}

// Writes longer than a value holds, empty writes and odd CCCD values are
// refused by the stack or ignored; P0.16 and the service stay as they were.
TEST_F(Custom, BadWritesChangeNothing) {
  ASSERT_NO_FATAL_FAILURE(connect_phone());
  ASSERT_TRUE(finish(phone_->exchange_mtu(247)));
  struct Case {
    size_t ch;
    Bytes value;
  };
  const Case cases[] = {
      {2, Bytes(2, 0x01)},   {2, Bytes(200, 0x01)}, {0, Bytes(7, 0x00)},
      {1, Bytes(244, 0x00)}, {0, Bytes{}},          {1, Bytes{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.value.size()) + " bytes to " + std::to_string(c.ch));
    const uint32_t id = phone_->write(chars_[c.ch].value_handle, c.value);
    ASSERT_TRUE(finish(id));
    EXPECT_EQ(pin(), 1u);
  }
  // A CCCD write of one byte is no CCCD value; of two with no bit set it
  // disables.
  const uint32_t id = phone_->write(chars_[0].ccc, {0x01});
  ASSERT_TRUE(finish(id));
  EXPECT_EQ(cus_char_att[0].is_notify_enable, 0);
  ASSERT_TRUE(finish(phone_->write(chars_[0].ccc, {0x00, 0x00})));
  EXPECT_EQ(cus_char_att[0].is_notify_enable, 0);
  run_for(kSecond);
  EXPECT_TRUE(phone_->notifications().empty());
  // The service still works.
  const uint32_t read = phone_->read(chars_[2].value_handle);
  ASSERT_TRUE(finish(read));
  EXPECT_EQ(phone_->result(read).value, kChars[2].send_data);
}

}  // namespace
}  // namespace hidtest
