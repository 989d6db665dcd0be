// Band, channel-mask, single-channel and multicast commands (see
// atcmd_channels.h). Every command is refused outside the LoRaWAN work mode.
//
// Sub-band masks: bit n opens sub-band n + 1 (eight channels). A mask that
// opens no channel at all is refused: the device could not send again, and
// the mask would survive restarts.
#include "atcmd_channels.h"

#ifdef QIV_LORA_SERVICES_LINKED

#include <string.h>

#include "atcmd.h"
#include "service_lora.h"
#include "udrv_errno.h"
#include "udrv_serial.h"

namespace {

bool lorawan_mode(void) { return service_lora_get_nwm() == SERVICE_LORAWAN; }

// The band identifiers behind the indices of AT+BAND.
constexpr SERVICE_LORA_BAND kBandOfIndex[] = {
    SERVICE_LORA_EU433, SERVICE_LORA_CN470,   SERVICE_LORA_RU864,   SERVICE_LORA_IN865,
    SERVICE_LORA_EU868, SERVICE_LORA_US915,   SERVICE_LORA_AU915,   SERVICE_LORA_KR920,
    SERVICE_LORA_AS923, SERVICE_LORA_AS923_2, SERVICE_LORA_AS923_3, SERVICE_LORA_AS923_4,
    SERVICE_LORA_LA915,
};
constexpr uint32_t kBandIndices = sizeof kBandOfIndex / sizeof kBandOfIndex[0];

bool wide_fixed_plan(SERVICE_LORA_BAND band) {
  return band == SERVICE_LORA_US915 || band == SERVICE_LORA_AU915;
}

// The sub-band masks a band accepts from the user: US915 and AU915 have
// eight sub-bands of 125 kHz channels (0x0100 alone would open none of
// them), CN470 twelve; an empty mask opens nothing.
bool mask_allowed(SERVICE_LORA_BAND band, uint16_t mask) {
  if (wide_fixed_plan(band)) {
    return mask != 0 && mask < 0x0100;
  }
  if (band == SERVICE_LORA_CN470) {
    return mask != 0 && mask <= 0x0FFF;
  }
  return true;
}

void print_single_channel_note(void) {
  const int32_t chs = service_lora_get_chs();
  if (chs > 0) {
    udrv_serial_log_printf("(single channel mode: %d)", static_cast<int>(chs));
  }
}

int band_reply(int32_t ret, int param_reply) {
  switch (ret) {
    case 0:
      return AT_OK;
    case -UDRV_UNSUPPORTED_BAND:
      return AT_UNSUPPORTED_BAND;
    case -UDRV_BUSY:
      return AT_BUSY_ERROR;
    case -UDRV_WRONG_ARG:
      return param_reply;
    default:
      return AT_ERROR;
  }
}

bool digits(const char *text, uint32_t *value) {
  return at_check_digital_uint32_t(text, value) == 0;
}

}  // namespace

int At_Band(SERIAL_PORT, char *cmd, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  if (atcmd_is_query(param)) {
    udrv_serial_log_printf("%s=", cmd);
    const SERVICE_LORA_BAND band = service_lora_get_band();
    for (uint32_t i = 0; i < kBandIndices; ++i) {
      if (kBandOfIndex[i] == band) {
        udrv_serial_log_printf("%u\r\n", static_cast<unsigned>(i));
        return AT_OK;
      }
    }
    return AT_ERROR;
  }
  const char *text = param->argv[0];
  if (at_check_digits_only(text) && text[0] != '\0') {
    const uint32_t index = at_digits_to_uint32(text);
    if (index >= kBandIndices) {
      return AT_PARAM_ERROR;
    }
    return band_reply(service_lora_set_band(kBandOfIndex[index]), AT_PARAM_ERROR);
  }
  // The AS923 frequency plans by name.
  static const char *const kAs923[] = {"8-1", "8-2", "8-3", "8-4"};
  for (uint32_t i = 0; i < 4; ++i) {
    if (strcmp(text, kAs923[i]) == 0) {
      return band_reply(service_lora_set_band(kBandOfIndex[8 + i]), AT_ERROR);
    }
  }
  return AT_PARAM_ERROR;
}

int At_Mask(SERIAL_PORT, char *cmd, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  uint16_t mask = 0;
  if (atcmd_is_query(param)) {
    if (service_lora_get_mask(&mask) != 0) {
      return AT_ERROR;
    }
    udrv_serial_log_printf("%s=%04X", cmd, mask);
    print_single_channel_note();
    udrv_serial_log_printf("\r\n");
    return AT_OK;
  }
  if (at_check_hex_uint16(param->argv[0], &mask) != 0 ||
      !mask_allowed(service_lora_get_band(), mask)) {
    return AT_PARAM_ERROR;
  }
  return at_error_code_form_udrv(service_lora_set_mask(&mask, true));
}

int At_Che(SERIAL_PORT, char *cmd, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  uint16_t mask = 0;
  if (atcmd_is_query(param)) {
    if (service_lora_get_mask(&mask) != 0) {
      return AT_MODE_NO_SUPPORT;
    }
    udrv_serial_log_printf("%s=", cmd);
    bool first = true;
    for (unsigned bit = 0; bit < 16; ++bit) {
      if ((mask & (1u << bit)) != 0) {
        udrv_serial_log_printf(first ? "%u" : ":%u", bit + 1);
        first = false;
      }
    }
    print_single_channel_note();
    udrv_serial_log_printf("\r\n");
    return AT_OK;
  }
  if (param->argc < 1 || param->argc > 12) {
    return AT_PARAM_ERROR;
  }
  const SERVICE_LORA_BAND band = service_lora_get_band();
  const uint32_t highest = wide_fixed_plan(band) ? 8 : 12;
  for (int32_t i = 0; i < static_cast<int32_t>(param->argc); ++i) {
    const char *text = param->argv[i];
    if (text[0] == '\0' || !at_check_digits_only(text)) {
      return AT_PARAM_ERROR;
    }
    const uint32_t n = at_digits_to_uint32(text);
    if (n > highest) {
      return AT_PARAM_ERROR;
    }
    if (n != 0) {
      mask = static_cast<uint16_t>(mask | (1u << (n - 1)));
    }
  }
  if (!mask_allowed(band, mask)) {
    return AT_PARAM_ERROR;
  }
  // The service's own answer: a wrong band is not a reason to retry.
  return at_error_code_form_udrv(service_lora_set_mask(&mask, true));
}

int At_Chs(SERIAL_PORT, char *cmd, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 1) {
    return AT_PARAM_ERROR;
  }
  if (atcmd_is_query(param)) {
    const int32_t chs = service_lora_get_chs();
    if (chs < 0) {
      return AT_MODE_NO_SUPPORT;
    }
    udrv_serial_log_printf("%s=%d\r\n", cmd, static_cast<int>(chs));
    return AT_OK;
  }
  uint32_t frequency;
  if (!digits(param->argv[0], &frequency)) {
    return AT_PARAM_ERROR;
  }
  return at_error_code_form_udrv(service_lora_set_chs(frequency));
}

int At_Addmulc(SERIAL_PORT, char *, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (param->argc != 4 && param->argc != 6 && param->argc != 7) {
    return AT_PARAM_ERROR;
  }
  McSession_t s;
  memset(&s, 0, sizeof s);
  const char *cls = param->argv[0];
  if ((cls[0] == 'B' || cls[0] == 'b') && cls[1] == '\0') {
    s.Devclass = SERVICE_LORA_CLASS_B;
  } else if ((cls[0] == 'C' || cls[0] == 'c') && cls[1] == '\0') {
    s.Devclass = SERVICE_LORA_CLASS_C;
  } else {
    return AT_PARAM_ERROR;
  }
  if (at_check_hex_uint32(param->argv[1], &s.Address) != 0 ||
      at_check_hex_param(param->argv[2], 32, s.McNwkSKey) != 0 ||
      at_check_hex_param(param->argv[3], 32, s.McAppSKey) != 0) {
    return AT_PARAM_ERROR;
  }
  if (param->argc >= 6) {
    if (!digits(param->argv[4], &s.Frequency)) {
      return AT_PARAM_ERROR;
    }
    // The data rate may be typed with a leading zero ("05").
    const char *dr_text = param->argv[5];
    if (dr_text[0] == '0' && dr_text[1] != '\0') {
      ++dr_text;
    }
    uint32_t dr;
    // Data rates are 0 to 15; a larger value would wrap in the 8-bit
    // field into another, valid-looking one.
    if (!digits(dr_text, &dr) || dr > 15) {
      return AT_PARAM_ERROR;
    }
    s.Datarate = static_cast<int8_t>(dr);
  }
  if (param->argc == 7) {
    uint32_t periodicity;
    if (!digits(param->argv[6], &periodicity) || periodicity > 7 ||
        (s.Devclass == SERVICE_LORA_CLASS_C && periodicity != 0)) {
      return AT_PARAM_ERROR;
    }
    s.Periodicity = static_cast<uint16_t>(periodicity);
  }
  return at_error_code_form_udrv(service_lora_addmulc(s));
}

int At_Rmvmulc(SERIAL_PORT, char *, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  uint32_t address;
  if (param->argc != 1 || at_check_hex_uint32(param->argv[0], &address) != 0) {
    return AT_PARAM_ERROR;
  }
  return service_lora_rmvmulc(address) == 0 ? AT_OK : AT_PARAM_ERROR;
}

int At_Lstmulc(SERIAL_PORT, char *, stParam *param) {
  if (!lorawan_mode()) {
    return AT_MODE_NO_SUPPORT;
  }
  if (!atcmd_is_query(param)) {
    return AT_PARAM_ERROR;
  }
  // Only the groups in use are listed; free slots are skipped.
  McSession_t it;
  memset(&it, 0, sizeof it);
  bool first = true;
  while (service_lora_lstmulc(&it) == -UDRV_CONTINUE) {
    if (it.Address == 0) {
      continue;
    }
    udrv_serial_log_printf("%s%s:%08X:", first ? "" : ",",
                           it.Devclass == SERVICE_LORA_CLASS_C ? "C" : "B",
                           static_cast<unsigned>(it.Address));
    for (uint8_t b : it.McNwkSKey) {
      udrv_serial_log_printf("%02X", b);
    }
    udrv_serial_log_printf(":");
    for (uint8_t b : it.McAppSKey) {
      udrv_serial_log_printf("%02X", b);
    }
    udrv_serial_log_printf(":%09d:%02d:%d", static_cast<int>(it.Frequency), it.Datarate,
                           static_cast<int>(it.Periodicity));
    first = false;
  }
  udrv_serial_log_printf("\r\n");
  return AT_OK;
}

#endif
