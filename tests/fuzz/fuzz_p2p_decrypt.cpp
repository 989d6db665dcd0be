// Any received frame with P2P encryption on: the length checks, the AES-CBC
// decryption with the IV the frame carries, the padding check, and the
// event line and record handed on. The stand-ins are those of the service's
// unit tests (the runtime core on the stand-in port, a stand-in radio record).
//
// Input: byte 0 holds options (bit 0 FSK instead of LoRa, bit 1 a non-zero
// debug level, bit 2 continuous reception); the rest is the frame, given to
// the radio's RX-done callback with its own length.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "core_test_support.h"
#include "fake_radio.h"
#include "service_lora.h"
#include "service_nvm.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t kKey[16] = {0x2B, 0x7E, 0x15, 0x16, 0x28, 0xAE, 0xD2, 0xA6,
                          0xAB, 0xF7, 0x15, 0x88, 0x09, 0xCF, 0x4F, 0x3C};

void require(bool ok) {
  if (!ok) {
    abort();
  }
}

std::vector<qiv_lora_p2p_recv_t> received;
Bytes received_bytes;

void on_recv(qiv_lora_p2p_recv_t r) {
  received.push_back(r);
  received_bytes.assign(r.Buffer, r.Buffer + r.BufferSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 0xFFFF) {
    return 0;
  }
  const uint8_t options = data[0];
  // The frame in a buffer of exactly its length: a read past it is caught.
  const size_t n = size - 1;
  Bytes frame(data + 1, data + size);
  uint8_t *payload = n == 0 ? nullptr : new uint8_t[n];
  if (n != 0) {
    memcpy(payload, frame.data(), n);
  }

  core_test::boot();
  fakeradio::reset();
  received.clear();
  received_bytes.clear();
  require(service_lora_set_nwm((options & 1) ? SERVICE_LORA_FSK : SERVICE_LORA_P2P) == 0);
  service_lora_p2p_init();
  require(service_lora_p2p_set_crypto_key(kKey, sizeof kKey) == 0);
  require(service_lora_p2p_set_crypto_enable(true) == 0);
  require(service_nvm_set_debug_level_to_nvm((options & 2) ? 2 : 0) == 0);
  service_lora_p2p_recv_callback = on_recv;
  require(service_lora_p2p_recv((options & 4) ? 65534 : 1000) == 0);

  fakeradio::radio.events->RxDone(payload, static_cast<uint16_t>(n), -90, 5);
  delete[] payload;

  // One record, a frame or an error, for every frame.
  require(received.size() == 1);
  const size_t len = n > SERVICE_LORA_P2P_MAX_FRAME ? SERVICE_LORA_P2P_MAX_FRAME : n;
  const bool whole_blocks = len >= 32 && len % 16 == 0;
  if (!whole_blocks) {
    require(received[0].Status == LORA_P2P_RXERROR);
  } else {
    // The AES unit never fails here: the plaintext is the frame less its
    // IV, less the padding when the padding is right.
    require(received[0].Status == LORA_P2P_RXDONE);
    const size_t c = len - 16;
    require(received_bytes.size() <= c && received_bytes.size() + 16 >= c);
    if (received_bytes.size() < c && received_bytes.size() + 16 > c) {
      // Padding of 1 to 15 bytes, all checked: encrypting the plaintext
      // again with the frame's IV gives the frame back. (A last byte of
      // 16 is taken as a whole padding block without looking further.)
      require(service_lora_p2p_set_crypto_IV(frame.data() + c, 16) == 0);
      bool iv_zero = true;
      for (size_t i = c; i < len; ++i) {
        iv_zero = iv_zero && frame[i] == 0;
      }
      if (!iv_zero) {  // an all-zero IV is never stored: a random one would be drawn
        uint8_t again[SERVICE_LORA_P2P_MAX_FRAME + 16];
        const int32_t m = service_lora_p2p_encrpty(
            received_bytes.data(), static_cast<uint16_t>(received_bytes.size()), again);
        require(m == static_cast<int32_t>(len) && memcmp(again, frame.data(), len) == 0);
      }
    }
  }
  require(service_lora_p2p_recv(0) == 0);
  service_lora_p2p_recv_callback = nullptr;
  return 0;
}
