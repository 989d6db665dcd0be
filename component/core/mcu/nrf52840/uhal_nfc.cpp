// The NFC text port: replies collected into an NDEF text message while a
// collection runs. Nothing in these images starts one or fills the receive
// queue, so the port stays idle; the rules of a write are kept for a build
// that adds the tag.
#include <string.h>

#include "nrf52840_port.h"
#include "nrf_queue.h"

namespace {

constexpr uint32_t kTextOffset = 12;
constexpr uint32_t kTextLimit = 500;

uint8_t m_ndef_msg_buf[512];
uint32_t print_counter;
bool isUpdate = false;
NRF_QUEUE_DEF(uint8_t, nfc_rxq, 512, NRF_QUEUE_MODE_NO_OVERFLOW);

const char *const kReplyWords[] = {"OK",
                                   "AT_ERROR",
                                   "AT_PARAM_ERROR",
                                   "AT_BUSY_ERROR",
                                   "AT_TEST_PARAM_OVERFLOW",
                                   "AT_NO_CLASSB_ENABLE",
                                   "AT_NO_NETWORK_JOINED",
                                   "AT_RX_ERROR",
                                   "AT_MODE_NO_SUPPORT"};

void uhal_nfc_serial_init(SERIAL_PORT, uint32_t, SERIAL_WORD_LEN_E, SERIAL_STOP_BIT_E,
                          SERIAL_PARITY_E, SERIAL_WIRE_MODE_E) {}
void uhal_nfc_serial_deinit(SERIAL_PORT) {}

int32_t uhal_nfc_serial_write(SERIAL_PORT, uint8_t const *data, uint32_t length, uint32_t) {
  if (print_counter + length > kTextLimit || !isUpdate) {
    return 0;
  }
  memcpy(&m_ndef_msg_buf[kTextOffset + print_counter], data, length);
  print_counter += length;
  m_ndef_msg_buf[1] = static_cast<uint8_t>(m_ndef_msg_buf[1] + length);
  m_ndef_msg_buf[7] = static_cast<uint8_t>(m_ndef_msg_buf[7] + length);
  // A reply word (after the CR LF that leads it) completes the reply; the
  // compare stays within the bytes of this write.
  if (length > 2) {
    for (const char *word : kReplyWords) {
      size_t n = strlen(word);
      if (length - 2 >= n && memcmp(data + 2, word, n) == 0) {
        isUpdate = false;
        if (print_counter > 255) {
          m_ndef_msg_buf[0] = 1;
          m_ndef_msg_buf[6] = 1;
        }
        break;
      }
    }
  }
  return 0;
}

int32_t uhal_nfc_serial_read(SERIAL_PORT, uint8_t *buffer, uint32_t length, uint32_t) {
  return static_cast<int32_t>(nrf_queue_out(&nfc_rxq, buffer, length));
}
int32_t uhal_nfc_serial_peek(SERIAL_PORT) { return -UDRV_INTERNAL_ERR; }
void uhal_nfc_serial_flush(SERIAL_PORT, uint32_t) {}
int32_t uhal_nfc_serial_read_available(SERIAL_PORT) {
  return static_cast<int32_t>(nrf_queue_utilization_get(&nfc_rxq));
}

}  // namespace

udrv_serial_api serial_nfc_driver = {uhal_nfc_serial_init,           uhal_nfc_serial_deinit,
                                     uhal_nfc_serial_write,          uhal_nfc_serial_read,
                                     uhal_nfc_serial_peek,           uhal_nfc_serial_flush,
                                     uhal_nfc_serial_read_available, nullptr};
