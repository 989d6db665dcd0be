/*!
 * \file sx126x.cpp
 *
 * \brief SX126x command layer: every command is framed by the board; this
 *        layer encodes the parameters (most significant byte first) and keeps
 *        the packet type, the LoRa header type and the image calibration
 *        state.
 */
#include "sx126x.h"

#include "board.h"
#include "sx126x-board.h"
#include "utilities.h"

/*! The packet type last sent to the chip. */
static RadioPacketTypes_t PacketType = PACKET_TYPE_GFSK;
/*! The LoRa header type last sent (implicit headers carry no length). */
static RadioLoRaPacketLengthsMode_t LoRaHeaderType = LORA_PACKET_VARIABLE_LENGTH;
/*! False after init and after a cold sleep; the next frequency calibrates. */
static bool ImageCalibrated = false;
/*! Reported as the LoRa frequency error; nothing measures it. */
static uint32_t FrequencyError = 0;

void SX126xInit(DioIrqHandler dioIrq) {
  SX126xReset();
  SX126xIoIrqInit(dioIrq);
  SX126xWakeup();
  SX126xSetStandby(STDBY_RC);
  SX126xIoTcxoInit();
  SX126xIoRfSwitchInit();
  ImageCalibrated = false;
  SX126xSetOperatingMode(MODE_STDBY_RC);
}

void SX126xCheckDeviceReady(void) {
  RadioOperatingModes_t mode = SX126xGetOperatingMode();
  if (mode == MODE_SLEEP || mode == MODE_RX_DC) {
    SX126xWakeup();
    SX126xAntSwOn();
  }
  SX126xWaitOnBusy();
}

void SX126xSetPayload(uint8_t* payload, uint8_t size) { SX126xWriteBuffer(0x00, payload, size); }

uint8_t SX126xGetPayload(uint8_t* buffer, uint8_t* size, uint8_t maxSize) {
  uint8_t offset = 0;
  SX126xGetRxBufferStatus(size, &offset);
  if (*size > maxSize) {
    return 1;
  }
  SX126xReadBuffer(offset, buffer, *size);
  return 0;
}

void SX126xSendPayload(uint8_t* payload, uint8_t size, uint32_t timeout) {
  SX126xSetPayload(payload, size);
  SX126xSetTx(timeout);
}

uint8_t SX126xSetSyncWord(uint8_t* syncWord) {
  SX126xWriteRegisters(REG_LR_SYNCWORDBASEADDRESS, syncWord, 8);
  return 0;
}

void SX126xSetCrcSeed(uint16_t seed) {
  uint8_t buf[2];
  buf[0] = (uint8_t)((seed >> 8) & 0xFF);
  buf[1] = (uint8_t)(seed & 0xFF);
  if (SX126xGetPacketType() == PACKET_TYPE_GFSK) {
    SX126xWriteRegisters(REG_LR_CRCSEEDBASEADDR, buf, 2);
  }
}

void SX126xSetCrcPolynomial(uint16_t polynomial) {
  uint8_t buf[2];
  buf[0] = (uint8_t)((polynomial >> 8) & 0xFF);
  buf[1] = (uint8_t)(polynomial & 0xFF);
  if (SX126xGetPacketType() == PACKET_TYPE_GFSK) {
    SX126xWriteRegisters(REG_LR_CRCPOLYBASEADDR, buf, 2);
  }
}

void SX126xSetWhiteningSeed(uint16_t seed) {
  if (SX126xGetPacketType() == PACKET_TYPE_GFSK) {
    uint8_t regValue = SX126xReadRegister(REG_LR_WHITSEEDBASEADDR_MSB) & 0xFE;
    regValue = (uint8_t)(((seed >> 8) & 0x01) | regValue);
    SX126xWriteRegister(REG_LR_WHITSEEDBASEADDR_MSB, regValue);
    SX126xWriteRegister(REG_LR_WHITSEEDBASEADDR_LSB, (uint8_t)seed);
  }
}

uint32_t SX126xGetRandom(void) {
  uint8_t buf[] = {0, 0, 0, 0};

  // The receiver's noise is the entropy: open the LNA and mixer paths it
  // would otherwise filter, receive, read, and put everything back.
  uint8_t regAnaLna = SX126xReadRegister(REG_ANA_LNA);
  SX126xWriteRegister(REG_ANA_LNA, regAnaLna & ~(1 << 0));
  uint8_t regAnaMixer = SX126xReadRegister(REG_ANA_MIXER);
  SX126xWriteRegister(REG_ANA_MIXER, regAnaMixer & ~(1 << 7));

  SX126xSetRx(0xFFFFFF);
  SX126xReadRegisters(RANDOM_NUMBER_GENERATORBASEADDR, buf, 4);
  SX126xSetStandby(STDBY_RC);

  SX126xWriteRegister(REG_ANA_LNA, regAnaLna);
  SX126xWriteRegister(REG_ANA_MIXER, regAnaMixer);

  return (uint32_t)buf[0] | ((uint32_t)buf[1] << 8) | ((uint32_t)buf[2] << 16) |
         ((uint32_t)buf[3] << 24);
}

void SX126xSetSleep(SleepParams_t sleepConfig) {
  SX126xAntSwOff();
  uint8_t value = sleepConfig.Value;
  SX126xWriteCommand(RADIO_SET_SLEEP, &value, 1);
  if ((value & 0x04) == 0) {
    // A cold start loses the calibration.
    ImageCalibrated = false;
  }
  SX126xSetOperatingMode(MODE_SLEEP);
}

void SX126xSetStandby(RadioStandbyModes_t standbyConfig) {
  uint8_t value = (uint8_t)standbyConfig;
  SX126xWriteCommand(RADIO_SET_STANDBY, &value, 1);
  SX126xSetOperatingMode(standbyConfig == STDBY_RC ? MODE_STDBY_RC : MODE_STDBY_XOSC);
}

static void Put24(uint8_t* buf, uint32_t value) {
  buf[0] = (uint8_t)((value >> 16) & 0xFF);
  buf[1] = (uint8_t)((value >> 8) & 0xFF);
  buf[2] = (uint8_t)(value & 0xFF);
}

void SX126xSetTx(uint32_t timeout) {
  uint8_t buf[3];
  SX126xSetOperatingMode(MODE_TX);
  Put24(buf, timeout);
  SX126xWriteCommand(RADIO_SET_TX, buf, 3);
}

void SX126xSetRx(uint32_t timeout) {
  uint8_t buf[3];
  SX126xSetOperatingMode(MODE_RX);
  SX126xWriteRegister(REG_RX_GAIN, 0x94);  // power-saving gain
  Put24(buf, timeout);
  SX126xWriteCommand(RADIO_SET_RX, buf, 3);
}

void SX126xSetRxBoosted(uint32_t timeout) {
  uint8_t buf[3];
  SX126xSetOperatingMode(MODE_RX);
  SX126xWriteRegister(REG_RX_GAIN, 0x96);  // boosted gain
  Put24(buf, timeout);
  SX126xWriteCommand(RADIO_SET_RX, buf, 3);
}

void SX126xSetRxDutyCycle(uint32_t rxTime, uint32_t sleepTime) {
  uint8_t buf[6];
  Put24(buf, rxTime);
  Put24(buf + 3, sleepTime);
  SX126xWriteCommand(RADIO_SET_RXDUTYCYCLE, buf, 6);
  SX126xSetOperatingMode(MODE_RX_DC);
}

void SX126xSetCad(void) {
  SX126xWriteCommand(RADIO_SET_CAD, 0, 0);
  SX126xSetOperatingMode(MODE_CAD);
}

void SX126xSetTxContinuousWave(void) {
  SX126xWriteCommand(RADIO_SET_TXCONTINUOUSWAVE, 0, 0);
  SX126xSetOperatingMode(MODE_TX);
}

void SX126xSetStopRxTimerOnPreambleDetect(bool enable) {
  uint8_t value = enable ? 1 : 0;
  SX126xWriteCommand(RADIO_SET_STOPRXTIMERONPREAMBLE, &value, 1);
}

void SX126xSetLoRaSymbNumTimeout(uint8_t symbNum) {
  uint8_t mant =
      (uint8_t)(((symbNum > SX126X_MAX_LORA_SYMB_NUM_TIMEOUT) ? SX126X_MAX_LORA_SYMB_NUM_TIMEOUT
                                                              : symbNum) +
                1) >>
      1;
  uint8_t exp = 0;
  uint8_t reg = 0;

  while (mant > 31) {
    mant = (uint8_t)((mant + 3) >> 2);
    exp++;
  }

  reg = (uint8_t)(mant << ((2 * exp) + 1));
  SX126xWriteCommand(RADIO_SET_LORASYMBTIMEOUT, &reg, 1);

  if (symbNum != 0) {
    reg = (uint8_t)(exp + (mant << 3));
    SX126xWriteRegister(REG_LR_SYNCH_TIMEOUT, reg);
  }
}

void SX126xSetRegulatorMode(RadioRegulatorMode_t mode) {
  uint8_t value = (uint8_t)mode;
  SX126xWriteCommand(RADIO_SET_REGULATORMODE, &value, 1);
}

void SX126xCalibrateImage(uint32_t freq) {
  uint8_t calFreq[2];

  if (freq > 900000000) {
    calFreq[0] = 0xE1;
    calFreq[1] = 0xE9;
  } else if (freq > 850000000) {
    calFreq[0] = 0xD7;
    calFreq[1] = 0xDB;
  } else if (freq > 770000000) {
    calFreq[0] = 0xC1;
    calFreq[1] = 0xC5;
  } else if (freq > 460000000) {
    calFreq[0] = 0x75;
    calFreq[1] = 0x81;
  } else if (freq > 425000000) {
    calFreq[0] = 0x6B;
    calFreq[1] = 0x6F;
  } else {
    // Below the listed bands: an 8 MHz range around the frequency, in
    // the command's 4 MHz units.
    uint32_t mhz = freq / 1000000;
    uint32_t low = (mhz > 4) ? (mhz - 4) / 4 : 0;
    uint32_t high = (mhz + 4 + 3) / 4;
    calFreq[0] = (uint8_t)((low > 0xFF) ? 0xFF : low);
    calFreq[1] = (uint8_t)((high > 0xFF) ? 0xFF : high);
  }
  SX126xWriteCommand(RADIO_CALIBRATEIMAGE, calFreq, 2);
}

void SX126xSetPaConfig(uint8_t paDutyCycle, uint8_t hpMax, uint8_t deviceSel, uint8_t paLut) {
  uint8_t buf[4] = {paDutyCycle, hpMax, deviceSel, paLut};
  SX126xWriteCommand(RADIO_SET_PACONFIG, buf, 4);
}

void SX126xSetDioIrqParams(uint16_t irqMask, uint16_t dio1Mask, uint16_t dio2Mask,
                           uint16_t dio3Mask) {
  uint8_t buf[8];
  buf[0] = (uint8_t)((irqMask >> 8) & 0x00FF);
  buf[1] = (uint8_t)(irqMask & 0x00FF);
  buf[2] = (uint8_t)((dio1Mask >> 8) & 0x00FF);
  buf[3] = (uint8_t)(dio1Mask & 0x00FF);
  buf[4] = (uint8_t)((dio2Mask >> 8) & 0x00FF);
  buf[5] = (uint8_t)(dio2Mask & 0x00FF);
  buf[6] = (uint8_t)((dio3Mask >> 8) & 0x00FF);
  buf[7] = (uint8_t)(dio3Mask & 0x00FF);
  SX126xWriteCommand(RADIO_CFG_DIOIRQ, buf, 8);
}

uint16_t SX126xGetIrqStatus(void) {
  uint8_t irqStatus[2] = {0, 0};
  SX126xReadCommand(RADIO_GET_IRQSTATUS, irqStatus, 2);
  return (uint16_t)((irqStatus[0] << 8) | irqStatus[1]);
}

void SX126xSetDio2AsRfSwitchCtrl(uint8_t enable) {
  SX126xWriteCommand(RADIO_SET_RFSWITCHMODE, &enable, 1);
}

void SX126xSetDio3AsTcxoCtrl(RadioTcxoCtrlVoltage_t tcxoVoltage, uint32_t timeout) {
  uint8_t buf[4];
  buf[0] = (uint8_t)(tcxoVoltage & 0x07);
  Put24(buf + 1, timeout);
  SX126xWriteCommand(RADIO_SET_TCXOMODE, buf, 4);
}

uint32_t SX126xConvertFreqInHzToPllStep(uint32_t freqInHz) {
  // Integer and fractional parts of freq / step, each scaled by 2^14, so
  // that nothing overflows 32 bits and the result is rounded once.
  uint32_t stepsInt = freqInHz / SX126X_PLL_STEP_SCALED;
  uint32_t stepsFrac = freqInHz - (stepsInt * SX126X_PLL_STEP_SCALED);
  return (stepsInt << SX126X_PLL_STEP_SHIFT_AMOUNT) +
         (((stepsFrac << SX126X_PLL_STEP_SHIFT_AMOUNT) + (SX126X_PLL_STEP_SCALED >> 1)) /
          SX126X_PLL_STEP_SCALED);
}

void SX126xSetRfFrequency(uint32_t frequency) {
  uint8_t buf[4];

  if (ImageCalibrated == false) {
    SX126xCalibrateImage(frequency);
    ImageCalibrated = true;
  }
  uint32_t freqInPllSteps = SX126xConvertFreqInHzToPllStep(frequency);
  buf[0] = (uint8_t)((freqInPllSteps >> 24) & 0xFF);
  buf[1] = (uint8_t)((freqInPllSteps >> 16) & 0xFF);
  buf[2] = (uint8_t)((freqInPllSteps >> 8) & 0xFF);
  buf[3] = (uint8_t)(freqInPllSteps & 0xFF);
  SX126xWriteCommand(RADIO_SET_RFFREQUENCY, buf, 4);
}

void SX126xSetPacketType(RadioPacketTypes_t packetType) {
  PacketType = packetType;
  uint8_t value = (uint8_t)packetType;
  SX126xWriteCommand(RADIO_SET_PACKETTYPE, &value, 1);
}

RadioPacketTypes_t SX126xGetPacketType(void) { return PacketType; }

void SX126xSetTxParams(int8_t power, RadioRampTimes_t rampTime) {
  uint8_t buf[2];

  if (SX126xGetDeviceId() == SX1261) {
    if (power == 15) {
      SX126xSetPaConfig(0x06, 0x00, 0x01, 0x01);
    } else {
      SX126xSetPaConfig(0x04, 0x00, 0x01, 0x01);
    }
    if (power >= 14) {
      power = 14;
    } else if (power < -17) {
      power = -17;
    }
  } else {
    // The high-power PA's over-current clamp is raised for full power.
    SX126xWriteRegister(REG_TX_CLAMP_CFG, SX126xReadRegister(REG_TX_CLAMP_CFG) | (0x0F << 1));
    SX126xSetPaConfig(0x04, 0x07, 0x00, 0x01);
    if (power > 22) {
      power = 22;
    } else if (power < -9) {
      power = -9;
    }
  }
  buf[0] = (uint8_t)power;
  buf[1] = (uint8_t)rampTime;
  SX126xWriteCommand(RADIO_SET_TXPARAMS, buf, 2);
}

void SX126xSetModulationParams(ModulationParams_t* modulationParams) {
  uint8_t n;
  uint32_t tempVal = 0;
  uint8_t buf[8] = {0, 0, 0, 0, 0, 0, 0, 0};

  if (modulationParams->PacketType != PACKET_TYPE_GFSK &&
      modulationParams->PacketType != PACKET_TYPE_LORA) {
    return;
  }
  // The parameters are read by the chip in the frame of its packet type.
  if (PacketType != modulationParams->PacketType) {
    SX126xSetPacketType(modulationParams->PacketType);
  }

  if (modulationParams->PacketType == PACKET_TYPE_GFSK) {
    n = 8;
    tempVal = (modulationParams->Gfsk.BitRate != 0)
                  ? (uint32_t)(1024000000UL / modulationParams->Gfsk.BitRate)
                  : 0;
    buf[0] = (uint8_t)((tempVal >> 16) & 0xFF);
    buf[1] = (uint8_t)((tempVal >> 8) & 0xFF);
    buf[2] = (uint8_t)(tempVal & 0xFF);
    buf[3] = (uint8_t)modulationParams->Gfsk.ModulationShaping;
    buf[4] = modulationParams->Gfsk.Bandwidth;
    tempVal = SX126xConvertFreqInHzToPllStep(modulationParams->Gfsk.Fdev);
    buf[5] = (uint8_t)((tempVal >> 16) & 0xFF);
    buf[6] = (uint8_t)((tempVal >> 8) & 0xFF);
    buf[7] = (uint8_t)(tempVal & 0xFF);
  } else {
    n = 4;
    buf[0] = (uint8_t)modulationParams->LoRa.SpreadingFactor;
    buf[1] = (uint8_t)modulationParams->LoRa.Bandwidth;
    buf[2] = (uint8_t)modulationParams->LoRa.CodingRate;
    buf[3] = modulationParams->LoRa.LowDatarateOptimize;
  }
  SX126xWriteCommand(RADIO_SET_MODULATIONPARAMS, buf, n);
}

void SX126xSetPacketParams(PacketParams_t* packetParams) {
  uint8_t n;
  uint8_t crcVal = 0;
  uint8_t buf[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};

  if (packetParams->PacketType != PACKET_TYPE_GFSK &&
      packetParams->PacketType != PACKET_TYPE_LORA) {
    return;
  }
  if (PacketType != packetParams->PacketType) {
    SX126xSetPacketType(packetParams->PacketType);
  }

  if (packetParams->PacketType == PACKET_TYPE_GFSK) {
    if (packetParams->Gfsk.CrcLength == RADIO_CRC_2_BYTES_IBM) {
      SX126xSetCrcSeed(0xFFFF);
      SX126xSetCrcPolynomial(0x8005);
      crcVal = RADIO_CRC_2_BYTES;
    } else if (packetParams->Gfsk.CrcLength == RADIO_CRC_2_BYTES_CCIT) {
      SX126xSetCrcSeed(0x1D0F);
      SX126xSetCrcPolynomial(0x1021);
      crcVal = RADIO_CRC_2_BYTES_INV;
    } else {
      crcVal = (uint8_t)packetParams->Gfsk.CrcLength;
    }
    n = 9;
    buf[0] = (uint8_t)((packetParams->Gfsk.PreambleLength >> 8) & 0xFF);
    buf[1] = (uint8_t)(packetParams->Gfsk.PreambleLength);
    buf[2] = (uint8_t)packetParams->Gfsk.PreambleMinDetect;
    buf[3] = packetParams->Gfsk.SyncWordLength;
    buf[4] = (uint8_t)packetParams->Gfsk.AddrComp;
    buf[5] = (uint8_t)packetParams->Gfsk.HeaderType;
    buf[6] = packetParams->Gfsk.PayloadLength;
    buf[7] = crcVal;
    buf[8] = (uint8_t)packetParams->Gfsk.DcFree;
  } else {
    n = 6;
    buf[0] = (uint8_t)((packetParams->LoRa.PreambleLength >> 8) & 0xFF);
    buf[1] = (uint8_t)(packetParams->LoRa.PreambleLength);
    buf[2] = (uint8_t)(LoRaHeaderType = packetParams->LoRa.HeaderType);
    buf[3] = packetParams->LoRa.PayloadLength;
    buf[4] = (uint8_t)packetParams->LoRa.CrcMode;
    buf[5] = (uint8_t)packetParams->LoRa.InvertIQ;
  }
  SX126xWriteCommand(RADIO_SET_PACKETPARAMS, buf, n);
}

void SX126xSetBufferBaseAddress(uint8_t txBaseAddress, uint8_t rxBaseAddress) {
  uint8_t buf[2] = {txBaseAddress, rxBaseAddress};
  SX126xWriteCommand(RADIO_SET_BUFFERBASEADDRESS, buf, 2);
}

int8_t SX126xGetRssiInst(void) {
  uint8_t buf[1] = {0};
  SX126xReadCommand(RADIO_GET_RSSIINST, buf, 1);
  return (int8_t)(-(int)buf[0] >> 1);
}

void SX126xGetRxBufferStatus(uint8_t* payloadLength, uint8_t* rxStartBufferPointer) {
  uint8_t status[2] = {0, 0};

  SX126xReadCommand(RADIO_GET_RXBUFFERSTATUS, status, 2);

  // An implicit-header LoRa packet has no length on the air: the chip keeps
  // the configured one in a register.
  if ((SX126xGetPacketType() == PACKET_TYPE_LORA) && (LoRaHeaderType == LORA_PACKET_FIXED_LENGTH)) {
    *payloadLength = SX126xReadRegister(REG_LR_PAYLOADLENGTH);
  } else {
    *payloadLength = status[0];
  }
  *rxStartBufferPointer = status[1];
}

void SX126xGetPacketStatus(PacketStatus_t* pktStatus) {
  uint8_t status[3] = {0, 0, 0};

  SX126xReadCommand(RADIO_GET_PACKETSTATUS, status, 3);

  pktStatus->packetType = SX126xGetPacketType();
  switch (pktStatus->packetType) {
    case PACKET_TYPE_GFSK:
      pktStatus->Gfsk.RxStatus = status[0];
      pktStatus->Gfsk.RssiSync = (int8_t)(-(int)status[1] >> 1);
      pktStatus->Gfsk.RssiAvg = (int8_t)(-(int)status[2] >> 1);
      pktStatus->Gfsk.FreqError = 0;
      break;

    case PACKET_TYPE_LORA:
      pktStatus->LoRa.RssiPkt = (int8_t)(-(int)status[0] >> 1);
      // SNR in quarter dB, rounded to the nearest dB.
      pktStatus->LoRa.SnrPkt = (int8_t)(((int8_t)status[1] + 2) >> 2);
      pktStatus->LoRa.SignalRssiPkt = (int8_t)(-(int)status[2] >> 1);
      pktStatus->LoRa.FreqError = FrequencyError;
      break;

    default:
    case PACKET_TYPE_NONE:
      // Nothing valid to report for an unknown packet type.
      memset1((uint8_t*)pktStatus, 0, sizeof(PacketStatus_t));
      pktStatus->packetType = PACKET_TYPE_NONE;
      break;
  }
}

void SX126xClearIrqStatus(uint16_t irq) {
  uint8_t buf[2];
  buf[0] = (uint8_t)(((uint16_t)irq >> 8) & 0x00FF);
  buf[1] = (uint8_t)((uint16_t)irq & 0x00FF);
  SX126xWriteCommand(RADIO_CLR_IRQSTATUS, buf, 2);
}
