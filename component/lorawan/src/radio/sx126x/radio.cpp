/*!
 * \file radio.cpp
 *
 * \brief SX126x radio driver: modem-level operations over the command layer,
 *        reached through the constant record `Radio`.
 */
#include "radio.h"

#include "board.h"
#include "delay.h"
#include "sx126x-board.h"
#include "sx126x.h"
#include "timer.h"
#include "utilities.h"

/*! Wake-up time of the radio's digital part, beside the board's TCXO. */
#define RADIO_WAKEUP_TIME 3  // ms

#define LORA_MAC_PRIVATE_SYNCWORD 0x1424
#define LORA_MAC_PUBLIC_SYNCWORD 0x3444

const struct Radio_s Radio = {
    RadioInit,
    RadioGetStatus,
    RadioSetModem,
    RadioSetChannel,
    RadioIsChannelFree,
    RadioRandom,
    RadioSetRxConfig,
    RadioSetTxConfig,
    RadioCheckRfFrequency,
    RadioTimeOnAir,
    RadioSend,
    RadioSleep,
    RadioStandby,
    RadioRx,
    RadioStartCad,
    RadioSetTxContinuousWave,
    RadioRssi,
    RadioWrite,
    RadioRead,
    RadioWriteBuffer,
    RadioReadBuffer,
    RadioSetMaxPayloadLength,
    RadioSetPublicNetwork,
    RadioGetWakeupTime,
    RadioIrqProcess,
    RadioRxBoosted,
    RadioSetRxDutyCycle,
};

typedef struct {
  uint32_t bandwidth;
  uint8_t RegValue;
} FskBandwidth_t;

/*! FSK receiver filters, ascending; the last row bounds the lookup. */
static const FskBandwidth_t FskBandwidths[] = {
    {4800, 0x1F},   {5800, 0x17},   {7300, 0x0F},   {9700, 0x1E},   {11700, 0x16},  {14600, 0x0E},
    {19500, 0x1D},  {23400, 0x15},  {29300, 0x0D},  {39000, 0x1C},  {46900, 0x14},  {58600, 0x0C},
    {78200, 0x1B},  {93800, 0x13},  {117300, 0x0B}, {156200, 0x1A}, {187200, 0x12}, {234300, 0x0A},
    {312000, 0x19}, {373600, 0x11}, {467000, 0x09}, {500000, 0x00},  // bound only
};
#define FSK_BANDWIDTH_ROWS (sizeof(FskBandwidths) / sizeof(FskBandwidth_t))
/*! The widest real filter (467 kHz). */
#define FSK_WIDEST_FILTER 0x09

/*! LoRa bandwidth index of the callers -> chip code. */
static const RadioLoRaBandwidths_t Bandwidths[] = {
    LORA_BW_125, LORA_BW_250, LORA_BW_500, LORA_BW_007, LORA_BW_010,
    LORA_BW_015, LORA_BW_020, LORA_BW_031, LORA_BW_041, LORA_BW_062};
#define LORA_BANDWIDTH_INDEXES (sizeof(Bandwidths) / sizeof(Bandwidths[0]))

typedef struct {
  bool Previous;  //!< the choice last requested
  bool Current;   //!< the choice the chip holds
} RadioPublicNetwork_t;

/*! The board's pins and the driver's working copies of the parameters. */
SX126x_t SX126x;

static RadioEvents_t* RadioEvents = NULL;
static uint8_t MaxPayloadLength = 0xFF;
static uint32_t TxTimeout = 0;
static uint32_t RxTimeout = 0;
static bool RxContinuous = false;
static uint8_t RadioRxPayload[255];
static PacketStatus_t RadioPktStatus;
static volatile bool IrqFired = false;
static RadioPublicNetwork_t RadioPublicNetwork = {false, false};
static TimerEvent_t TxTimeoutTimer;
static TimerEvent_t RxTimeoutTimer;

static void RadioOnTxTimeoutIrq(void* context);
static void RadioOnRxTimeoutIrq(void* context);

/*!
 * The caller's LoRa bandwidth index (0: 125, 1: 250, 2: 500 kHz, 3 to 9: the
 * narrow ones); an index outside the table is taken as 125 kHz.
 */
static uint32_t LoRaBandwidthIndex(uint32_t bandwidth) {
  return (bandwidth < LORA_BANDWIDTH_INDEXES) ? bandwidth : 0;
}

/*! LoRa bandwidth in Hz of a chip code (for time on air). */
static uint32_t RadioGetLoRaBandwidthInHz(RadioLoRaBandwidths_t bw) {
  switch (bw) {
    case LORA_BW_007:
      return 7812UL;
    case LORA_BW_010:
      return 10417UL;
    case LORA_BW_015:
      return 15625UL;
    case LORA_BW_020:
      return 20833UL;
    case LORA_BW_031:
      return 31250UL;
    case LORA_BW_041:
      return 41667UL;
    case LORA_BW_062:
      return 62500UL;
    case LORA_BW_125:
      return 125000UL;
    case LORA_BW_250:
      return 250000UL;
    case LORA_BW_500:
      return 500000UL;
  }
  return 125000UL;
}

/*!
 * FSK receiver filter for a double-sided bandwidth in Hz: the next wider
 * filter. Below the narrowest filter the narrowest, from the widest filter up
 * the widest (the table's last row is only a bound, not a filter).
 */
static uint8_t RadioGetFskBandwidthRegValue(uint32_t bandwidth) {
  if (bandwidth == 0) {
    return 0x1F;
  }
  if (bandwidth < FskBandwidths[0].bandwidth) {
    return FskBandwidths[0].RegValue;
  }
  for (uint8_t i = 0; i < (FSK_BANDWIDTH_ROWS - 1); i++) {
    if ((bandwidth >= FskBandwidths[i].bandwidth) && (bandwidth < FskBandwidths[i + 1].bandwidth)) {
      uint8_t reg = FskBandwidths[i + 1].RegValue;
      return (i + 1 == FSK_BANDWIDTH_ROWS - 1) ? FSK_WIDEST_FILTER : reg;
    }
  }
  return FSK_WIDEST_FILTER;
}

static uint8_t RadioLowDatarateOptimize(uint32_t bandwidthIndex, uint32_t datarate) {
  if (((bandwidthIndex == 0) && ((datarate == 11) || (datarate == 12))) ||
      ((bandwidthIndex == 1) && (datarate == 12))) {
    return 0x01;
  }
  return 0x00;
}

static uint16_t RadioLoRaPreamble(uint32_t datarate, uint16_t preambleLen) {
  // SF5 and SF6 need at least 12 preamble symbols.
  if (((datarate == LORA_SF5) || (datarate == LORA_SF6)) && (preambleLen < 12)) {
    return 12;
  }
  return preambleLen;
}

/*! Inserts a register into the chip's list of those kept in warm sleep. */
static void RadioAddRegisterToRetentionList(uint16_t registerAddress) {
  uint8_t buffer[9];

  SX126xReadRegisters(REG_RETENTION_LIST_BASE_ADDRESS, buffer, 9);

  const uint8_t nbOfRegisters = buffer[0];
  if (nbOfRegisters >= 4) {
    return;
  }
  for (uint8_t i = 0; i < nbOfRegisters; i++) {
    if (registerAddress == (((uint16_t)buffer[1 + (2 * i)] << 8) | buffer[2 + (2 * i)])) {
      return;  // already listed
    }
  }
  buffer[1 + (2 * nbOfRegisters)] = (uint8_t)((registerAddress >> 8) & 0xFF);
  buffer[2 + (2 * nbOfRegisters)] = (uint8_t)(registerAddress & 0xFF);
  buffer[0] = (uint8_t)(nbOfRegisters + 1);

  SX126xWriteRegisters(REG_RETENTION_LIST_BASE_ADDRESS, buffer, 9);
}

void RadioInit(RadioEvents_t* events) {
  RadioEvents = events;

  SX126xInit(RadioOnDioIrq);
  SX126xSetStandby(STDBY_RC);
  SX126xSetRegulatorMode(USE_DCDC);

  SX126xSetBufferBaseAddress(0x00, 0x00);
  SX126xSetTxParams(0, RADIO_RAMP_200_US);
  SX126xSetDioIrqParams(IRQ_RADIO_ALL, IRQ_RADIO_ALL, IRQ_RADIO_NONE, IRQ_RADIO_NONE);

  // The gain and modulation settings the chip would lose in warm sleep.
  RadioAddRegisterToRetentionList(REG_RX_GAIN);
  RadioAddRegisterToRetentionList(REG_TX_MODULATION);

  // A second Init (another user taking the radio) must not drop a running
  // timeout timer from the middle of the timer list.
  TimerStop(&TxTimeoutTimer);
  TimerStop(&RxTimeoutTimer);
  TimerInit(&TxTimeoutTimer, RadioOnTxTimeoutIrq);
  TimerInit(&RxTimeoutTimer, RadioOnRxTimeoutIrq);

  IrqFired = false;
}

RadioState_t RadioGetStatus(void) {
  switch (SX126xGetOperatingMode()) {
    case MODE_TX:
      return RF_TX_RUNNING;
    case MODE_RX:
      return RF_RX_RUNNING;
    case MODE_CAD:
      return RF_CAD;
    default:
      return RF_IDLE;
  }
}

static void RadioWriteSyncWord(bool enable) {
  if (enable) {
    SX126xWriteRegister(REG_LR_SYNCWORD, (LORA_MAC_PUBLIC_SYNCWORD >> 8) & 0xFF);
    SX126xWriteRegister(REG_LR_SYNCWORD + 1, LORA_MAC_PUBLIC_SYNCWORD & 0xFF);
  } else {
    SX126xWriteRegister(REG_LR_SYNCWORD, (LORA_MAC_PRIVATE_SYNCWORD >> 8) & 0xFF);
    SX126xWriteRegister(REG_LR_SYNCWORD + 1, LORA_MAC_PRIVATE_SYNCWORD & 0xFF);
  }
}

void RadioSetModem(RadioModems_t modem) {
  switch (modem) {
    default:
    case MODEM_FSK:
      SX126xSetPacketType(PACKET_TYPE_GFSK);
      // The chip forgets the LoRa sync word when the packet type changes.
      RadioPublicNetwork.Current = false;
      break;
    case MODEM_LORA:
      SX126xSetPacketType(PACKET_TYPE_LORA);
      if (RadioPublicNetwork.Current != RadioPublicNetwork.Previous) {
        RadioPublicNetwork.Current = RadioPublicNetwork.Previous;
        RadioWriteSyncWord(RadioPublicNetwork.Current);
      }
      break;
  }
}

void RadioSetChannel(uint32_t freq) { SX126xSetRfFrequency(freq); }

bool RadioIsChannelFree(uint32_t freq, uint32_t rxBandwidth, int16_t rssiThresh,
                        uint32_t maxCarrierSenseTime) {
  bool status = true;
  int16_t rssi = 0;
  uint32_t carrierSenseTime = 0;

  RadioSetModem(MODEM_FSK);
  RadioSetChannel(freq);

  // 600 bit/s, 3-byte preamble, continuous reception.
  RadioSetRxConfig(MODEM_FSK, rxBandwidth, 600, 0, rxBandwidth, 3, 0, false, 0, false, false, 0,
                   false, true);
  RadioRx(0);

  DelayMs(1);

  carrierSenseTime = TimerGetCurrentTime();

  // The sense time is measured from the start read here; a start that reads
  // 0 ms must not look like "no start" (which would sense forever).
  for (;;) {
    TimerTime_t elapsed =
        (carrierSenseTime != 0) ? TimerGetElapsedTime(carrierSenseTime) : TimerGetCurrentTime();
    if (elapsed >= maxCarrierSenseTime) {
      break;
    }
    rssi = RadioRssi(MODEM_FSK);
    if (rssi > rssiThresh) {
      status = false;
      break;
    }
  }
  RadioSleep();
  return status;
}

uint32_t RadioRandom(void) {
  RadioSetModem(MODEM_LORA);
  SX126xSetDioIrqParams(IRQ_RADIO_NONE, IRQ_RADIO_NONE, IRQ_RADIO_NONE, IRQ_RADIO_NONE);
  return SX126xGetRandom();
}

void RadioSetRxConfig(RadioModems_t modem, uint32_t bandwidth, uint32_t datarate, uint8_t coderate,
                      uint32_t bandwidthAfc, uint16_t preambleLen, uint16_t symbTimeout,
                      bool fixLen, uint8_t payloadLen, bool crcOn, bool freqHopOn,
                      uint8_t hopPeriod, bool iqInverted, bool rxContinuous) {
  (void)bandwidthAfc;
  (void)freqHopOn;
  (void)hopPeriod;

  RxContinuous = rxContinuous;
  if (rxContinuous == true) {
    symbTimeout = 0;
  }
  MaxPayloadLength = fixLen ? payloadLen : 0xFF;

  switch (modem) {
    case MODEM_FSK: {
      SX126xSetStopRxTimerOnPreambleDetect(false);
      SX126x.ModulationParams.PacketType = PACKET_TYPE_GFSK;

      SX126x.ModulationParams.Gfsk.BitRate = datarate;
      SX126x.ModulationParams.Gfsk.ModulationShaping = MOD_SHAPING_G_BT_1;
      SX126x.ModulationParams.Gfsk.Bandwidth = RadioGetFskBandwidthRegValue(bandwidth << 1);

      SX126x.PacketParams.PacketType = PACKET_TYPE_GFSK;
      SX126x.PacketParams.Gfsk.PreambleLength = (uint16_t)(preambleLen << 3);  // bytes to bits
      SX126x.PacketParams.Gfsk.PreambleMinDetect = RADIO_PREAMBLE_DETECTOR_08_BITS;
      SX126x.PacketParams.Gfsk.SyncWordLength = 3 << 3;  // 3 bytes, in bits
      SX126x.PacketParams.Gfsk.AddrComp = RADIO_ADDRESSCOMP_FILT_OFF;
      SX126x.PacketParams.Gfsk.HeaderType =
          (fixLen == true) ? RADIO_PACKET_FIXED_LENGTH : RADIO_PACKET_VARIABLE_LENGTH;
      SX126x.PacketParams.Gfsk.PayloadLength = MaxPayloadLength;
      SX126x.PacketParams.Gfsk.CrcLength = crcOn ? RADIO_CRC_2_BYTES_CCIT : RADIO_CRC_OFF;
      SX126x.PacketParams.Gfsk.DcFree = RADIO_DC_FREEWHITENING;

      RadioStandby();
      RadioSetModem(MODEM_FSK);
      SX126xSetModulationParams(&SX126x.ModulationParams);
      SX126xSetPacketParams(&SX126x.PacketParams);
      uint8_t syncWord[8] = {0xC1, 0x94, 0xC1, 0x00, 0x00, 0x00, 0x00, 0x00};
      SX126xSetSyncWord(syncWord);
      SX126xSetWhiteningSeed(0x01FF);

      RxTimeout = (datarate != 0) ? (uint32_t)(((uint64_t)symbTimeout * 8000ULL) / datarate) : 0;
      break;
    }

    case MODEM_LORA: {
      uint32_t bwIndex = LoRaBandwidthIndex(bandwidth);
      SX126xSetStopRxTimerOnPreambleDetect(false);
      SX126x.ModulationParams.PacketType = PACKET_TYPE_LORA;
      SX126x.ModulationParams.LoRa.SpreadingFactor = (RadioLoRaSpreadingFactors_t)datarate;
      SX126x.ModulationParams.LoRa.Bandwidth = Bandwidths[bwIndex];
      SX126x.ModulationParams.LoRa.CodingRate = (RadioLoRaCodingRates_t)coderate;
      SX126x.ModulationParams.LoRa.LowDatarateOptimize =
          RadioLowDatarateOptimize(bwIndex, datarate);

      SX126x.PacketParams.PacketType = PACKET_TYPE_LORA;
      SX126x.PacketParams.LoRa.PreambleLength = RadioLoRaPreamble(datarate, preambleLen);
      SX126x.PacketParams.LoRa.HeaderType = (RadioLoRaPacketLengthsMode_t)fixLen;
      SX126x.PacketParams.LoRa.PayloadLength = MaxPayloadLength;
      SX126x.PacketParams.LoRa.CrcMode = (RadioLoRaCrcModes_t)crcOn;
      SX126x.PacketParams.LoRa.InvertIQ = (RadioLoRaIQModes_t)iqInverted;

      RadioStandby();
      RadioSetModem(MODEM_LORA);
      SX126xSetModulationParams(&SX126x.ModulationParams);
      SX126xSetPacketParams(&SX126x.PacketParams);
      // The chip counts at most 248 symbols; a longer timeout is the
      // longest it can count, never its low 8 bits (256 would become
      // "no timeout" and the window would stay open).
      SX126xSetLoRaSymbNumTimeout((uint8_t)((symbTimeout > SX126X_MAX_LORA_SYMB_NUM_TIMEOUT)
                                                ? SX126X_MAX_LORA_SYMB_NUM_TIMEOUT
                                                : symbTimeout));

      // IQ polarity (bit 2 clear while inverted).
      if (SX126x.PacketParams.LoRa.InvertIQ == LORA_IQ_INVERTED) {
        SX126xWriteRegister(REG_IQ_POLARITY, SX126xReadRegister(REG_IQ_POLARITY) & ~(1 << 2));
      } else {
        SX126xWriteRegister(REG_IQ_POLARITY, SX126xReadRegister(REG_IQ_POLARITY) | (1 << 2));
      }
      // The LoRa window is closed by the symbol timeout, not by this one.
      RxTimeout = 0xFFFF;
      break;
    }
    default:
      break;
  }
}

void RadioSetTxConfig(RadioModems_t modem, int8_t power, uint32_t fdev, uint32_t bandwidth,
                      uint32_t datarate, uint8_t coderate, uint16_t preambleLen, bool fixLen,
                      bool crcOn, bool freqHopOn, uint8_t hopPeriod, bool iqInverted,
                      uint32_t timeout) {
  (void)freqHopOn;
  (void)hopPeriod;

  switch (modem) {
    case MODEM_FSK: {
      SX126x.ModulationParams.PacketType = PACKET_TYPE_GFSK;
      SX126x.ModulationParams.Gfsk.BitRate = datarate;
      SX126x.ModulationParams.Gfsk.ModulationShaping = MOD_SHAPING_G_BT_1;
      SX126x.ModulationParams.Gfsk.Bandwidth = RadioGetFskBandwidthRegValue(bandwidth << 1);
      SX126x.ModulationParams.Gfsk.Fdev = fdev;

      SX126x.PacketParams.PacketType = PACKET_TYPE_GFSK;
      SX126x.PacketParams.Gfsk.PreambleLength = (uint16_t)(preambleLen << 3);
      SX126x.PacketParams.Gfsk.PreambleMinDetect = RADIO_PREAMBLE_DETECTOR_08_BITS;
      SX126x.PacketParams.Gfsk.SyncWordLength = 3 << 3;
      SX126x.PacketParams.Gfsk.AddrComp = RADIO_ADDRESSCOMP_FILT_OFF;
      SX126x.PacketParams.Gfsk.HeaderType =
          (fixLen == true) ? RADIO_PACKET_FIXED_LENGTH : RADIO_PACKET_VARIABLE_LENGTH;
      SX126x.PacketParams.Gfsk.CrcLength = crcOn ? RADIO_CRC_2_BYTES_CCIT : RADIO_CRC_OFF;
      SX126x.PacketParams.Gfsk.DcFree = RADIO_DC_FREEWHITENING;

      RadioStandby();
      RadioSetModem(MODEM_FSK);
      SX126xSetModulationParams(&SX126x.ModulationParams);
      SX126xSetPacketParams(&SX126x.PacketParams);
      uint8_t syncWord[8] = {0xC1, 0x94, 0xC1, 0x00, 0x00, 0x00, 0x00, 0x00};
      SX126xSetSyncWord(syncWord);
      SX126xSetWhiteningSeed(0x01FF);
      break;
    }

    case MODEM_LORA: {
      uint32_t bwIndex = LoRaBandwidthIndex(bandwidth);
      SX126x.ModulationParams.PacketType = PACKET_TYPE_LORA;
      SX126x.ModulationParams.LoRa.SpreadingFactor = (RadioLoRaSpreadingFactors_t)datarate;
      SX126x.ModulationParams.LoRa.Bandwidth = Bandwidths[bwIndex];
      SX126x.ModulationParams.LoRa.CodingRate = (RadioLoRaCodingRates_t)coderate;
      SX126x.ModulationParams.LoRa.LowDatarateOptimize =
          RadioLowDatarateOptimize(bwIndex, datarate);

      SX126x.PacketParams.PacketType = PACKET_TYPE_LORA;
      SX126x.PacketParams.LoRa.PreambleLength = RadioLoRaPreamble(datarate, preambleLen);
      SX126x.PacketParams.LoRa.HeaderType = (RadioLoRaPacketLengthsMode_t)fixLen;
      SX126x.PacketParams.LoRa.PayloadLength = MaxPayloadLength;
      SX126x.PacketParams.LoRa.CrcMode = (RadioLoRaCrcModes_t)crcOn;
      SX126x.PacketParams.LoRa.InvertIQ = (RadioLoRaIQModes_t)iqInverted;

      RadioStandby();
      RadioSetModem(MODEM_LORA);
      SX126xSetModulationParams(&SX126x.ModulationParams);
      SX126xSetPacketParams(&SX126x.PacketParams);
      break;
    }
    default:
      break;
  }

  // TX modulation quality: bit 2 is cleared only for LoRa at 500 kHz.
  if ((modem == MODEM_LORA) && (SX126x.ModulationParams.LoRa.Bandwidth == LORA_BW_500)) {
    SX126xWriteRegister(REG_TX_MODULATION, SX126xReadRegister(REG_TX_MODULATION) & ~(1 << 2));
  } else {
    SX126xWriteRegister(REG_TX_MODULATION, SX126xReadRegister(REG_TX_MODULATION) | (1 << 2));
  }

  SX126xSetRfTxPower(power);
  TxTimeout = timeout;
}

bool RadioCheckRfFrequency(uint32_t frequency) {
  // Frequency limits are the regions' and the services' business.
  (void)frequency;
  return true;
}

uint32_t RadioTimeOnAir(RadioModems_t modem, uint32_t bandwidth, uint32_t datarate,
                        uint8_t coderate, uint16_t preambleLen, bool fixLen, uint8_t payloadLen,
                        bool crcOn) {
  // 64-bit arithmetic: long P2P preambles overflow 32 bits at SF12.
  uint64_t numerator = 0;
  uint64_t denominator = 1;

  switch (modem) {
    case MODEM_FSK: {
      if (datarate == 0) {
        return 0;
      }
      uint64_t bits =
          (8ULL * preambleLen) + (fixLen ? 0 : 8) + 24 + (8ULL * (payloadLen + (crcOn ? 2 : 0)));
      numerator = 1000ULL * bits;
      denominator = datarate;
      break;
    }
    case MODEM_LORA: {
      if (datarate < 5 || datarate > 12) {
        return 0;
      }
      uint32_t bwIndex = LoRaBandwidthIndex(bandwidth);
      int32_t sf = (int32_t)datarate;
      uint32_t preamble = RadioLoRaPreamble(datarate, preambleLen);
      int32_t ceilDenominator;
      int32_t ceilNumerator =
          (8 * (int32_t)payloadLen) + (crcOn ? 16 : 0) - (4 * sf) + (fixLen ? 0 : 20);

      if (sf <= 6) {
        ceilDenominator = 4 * sf;
      } else {
        ceilNumerator += 8;
        if (RadioLowDatarateOptimize(bwIndex, datarate)) {
          ceilDenominator = 4 * (sf - 2);
        } else {
          ceilDenominator = 4 * sf;
        }
      }
      if (ceilNumerator < 0) {
        ceilNumerator = 0;
      }
      uint64_t intermediate =
          (uint64_t)(((ceilNumerator + ceilDenominator - 1) / ceilDenominator) * (coderate + 4)) +
          preamble + ((sf <= 6) ? 14 : 12);
      numerator = 1000ULL * (((4ULL * intermediate) + 1) << (sf - 2));
      denominator = RadioGetLoRaBandwidthInHz(Bandwidths[bwIndex]);
      break;
    }
    default:
      return 0;
  }
  uint64_t ms = (numerator + denominator - 1) / denominator;
  return (ms > 0xFFFFFFFFULL) ? 0xFFFFFFFFUL : (uint32_t)ms;
}

void RadioSend(uint8_t* buffer, uint8_t size) {
  SX126xSetDioIrqParams(IRQ_TX_DONE | IRQ_RX_TX_TIMEOUT, IRQ_TX_DONE | IRQ_RX_TX_TIMEOUT,
                        IRQ_RADIO_NONE, IRQ_RADIO_NONE);

  if (SX126xGetPacketType() == PACKET_TYPE_LORA) {
    SX126x.PacketParams.LoRa.PayloadLength = size;
  } else {
    SX126x.PacketParams.Gfsk.PayloadLength = size;
  }
  SX126xSetPacketParams(&SX126x.PacketParams);

  SX126xSendPayload(buffer, size, 0);
  TimerSetValue(&TxTimeoutTimer, TxTimeout);
  TimerStart(&TxTimeoutTimer);
}

void RadioSleep(void) {
  SleepParams_t params = {{0, 0, 0, 0}};
  params.Fields.WarmStart = 1;  // keeps the configuration and the calibration
  SX126xSetSleep(params);
  DelayMs(2);
}

void RadioStandby(void) { SX126xSetStandby(STDBY_RC); }

static uint32_t RadioRxTimeoutUnits(void) {
  if (RxContinuous) {
    return 0xFFFFFF;
  }
  // ms to 15.625 us steps; the command carries 24 bits (0xFFFFFF would mean
  // continuous).
  uint64_t units = (uint64_t)RxTimeout << 6;
  return (units >= 0xFFFFFFULL) ? 0xFFFFFEUL : (uint32_t)units;
}

void RadioRx(uint32_t timeout) {
  SX126xSetDioIrqParams(IRQ_RADIO_ALL, IRQ_RADIO_ALL, IRQ_RADIO_NONE, IRQ_RADIO_NONE);

  if (timeout != 0) {
    TimerSetValue(&RxTimeoutTimer, timeout);
    TimerStart(&RxTimeoutTimer);
  }
  SX126xSetRx(RadioRxTimeoutUnits());
}

void RadioRxBoosted(uint32_t timeout) {
  SX126xSetDioIrqParams(IRQ_RADIO_ALL, IRQ_RADIO_ALL, IRQ_RADIO_NONE, IRQ_RADIO_NONE);

  if (timeout != 0) {
    TimerSetValue(&RxTimeoutTimer, timeout);
    TimerStart(&RxTimeoutTimer);
  }
  SX126xSetRxBoosted(RadioRxTimeoutUnits());
}

void RadioSetRxDutyCycle(uint32_t rxTime, uint32_t sleepTime) {
  SX126xSetRxDutyCycle(rxTime, sleepTime);
}

void RadioStartCad(void) {
  SX126xSetDioIrqParams(IRQ_CAD_DONE | IRQ_CAD_ACTIVITY_DETECTED,
                        IRQ_CAD_DONE | IRQ_CAD_ACTIVITY_DETECTED, IRQ_RADIO_NONE, IRQ_RADIO_NONE);
  SX126xSetCad();
}

void RadioSetTxContinuousWave(uint32_t freq, int8_t power, uint16_t time) {
  uint32_t timeout = (uint32_t)time * 1000;

  SX126xSetRfFrequency(freq);
  SX126xSetRfTxPower(power);
  SX126xSetTxContinuousWave();

  TimerSetValue(&TxTimeoutTimer, timeout);
  TimerStart(&TxTimeoutTimer);
}

int16_t RadioRssi(RadioModems_t modem) {
  (void)modem;
  return SX126xGetRssiInst();
}

void RadioWrite(uint32_t addr, uint8_t data) { SX126xWriteRegister((uint16_t)addr, data); }

uint8_t RadioRead(uint32_t addr) { return SX126xReadRegister((uint16_t)addr); }

void RadioWriteBuffer(uint32_t addr, uint8_t* buffer, uint8_t size) {
  SX126xWriteRegisters((uint16_t)addr, buffer, size);
}

void RadioReadBuffer(uint32_t addr, uint8_t* buffer, uint8_t size) {
  SX126xReadRegisters((uint16_t)addr, buffer, size);
}

void RadioSetMaxPayloadLength(RadioModems_t modem, uint8_t max) {
  if (modem == MODEM_LORA) {
    SX126x.PacketParams.LoRa.PayloadLength = MaxPayloadLength = max;
    SX126xSetPacketParams(&SX126x.PacketParams);
  } else {
    if (SX126x.PacketParams.Gfsk.HeaderType == RADIO_PACKET_VARIABLE_LENGTH) {
      SX126x.PacketParams.Gfsk.PayloadLength = MaxPayloadLength = max;
      SX126xSetPacketParams(&SX126x.PacketParams);
    }
  }
}

void RadioSetPublicNetwork(bool enable) {
  RadioPublicNetwork.Current = RadioPublicNetwork.Previous = enable;

  RadioSetModem(MODEM_LORA);
  RadioWriteSyncWord(enable);
}

uint32_t RadioGetWakeupTime(void) { return SX126xGetBoardTcxoWakeupTime() + RADIO_WAKEUP_TIME; }

static void RadioOnTxTimeoutIrq(void* context) {
  (void)context;
  if ((RadioEvents != NULL) && (RadioEvents->TxTimeout != NULL)) {
    RadioEvents->TxTimeout();
  }
}

static void RadioOnRxTimeoutIrq(void* context) {
  (void)context;
  if ((RadioEvents != NULL) && (RadioEvents->RxTimeout != NULL)) {
    RadioEvents->RxTimeout();
  }
}

void RadioOnDioIrq(void* context) {
  (void)context;
  IrqFired = true;
}

void RadioIrqProcess(void) {
  uint32_t mask;

  BoardCriticalSectionBegin(&mask);
  bool fired = IrqFired;
  IrqFired = false;
  BoardCriticalSectionEnd(&mask);
  if (!fired) {
    return;
  }

  uint16_t irqRegs = SX126xGetIrqStatus();
  SX126xClearIrqStatus(irqRegs);

  // Another interrupt may have arrived since the status was read: while
  // DIO1 is still high, another pass must follow.
  BoardCriticalSectionBegin(&mask);
  if (SX126xGetDio1PinState() == 1) {
    IrqFired = true;
  }
  BoardCriticalSectionEnd(&mask);

  if ((irqRegs & IRQ_TX_DONE) == IRQ_TX_DONE) {
    TimerStop(&TxTimeoutTimer);
    SX126xSetOperatingMode(MODE_STDBY_RC);
    if ((RadioEvents != NULL) && (RadioEvents->TxDone != NULL)) {
      RadioEvents->TxDone();
    }
  }

  if ((irqRegs & IRQ_RX_DONE) == IRQ_RX_DONE) {
    TimerStop(&RxTimeoutTimer);
    if ((irqRegs & IRQ_CRC_ERROR) == IRQ_CRC_ERROR) {
      if (RxContinuous == false) {
        SX126xSetOperatingMode(MODE_STDBY_RC);
      }
      if ((RadioEvents != NULL) && (RadioEvents->RxError != NULL)) {
        RadioEvents->RxError();
      }
    } else {
      uint8_t size = 0;
      if (RxContinuous == false) {
        SX126xSetOperatingMode(MODE_STDBY_RC);
        // Stops the chip's RX timer after an implicit-header packet
        // (it would otherwise raise a late timeout).
        SX126xWriteRegister(REG_RTC_CTRL, 0x00);
        SX126xWriteRegister(REG_EVT_CLR, SX126xReadRegister(REG_EVT_CLR) | (1 << 1));
      }
      // A packet longer than the receiver accepts is an error, never
      // copied past what the caller expects.
      if (SX126xGetPayload(RadioRxPayload, &size, MaxPayloadLength) != 0) {
        if ((RadioEvents != NULL) && (RadioEvents->RxError != NULL)) {
          RadioEvents->RxError();
        }
      } else {
        SX126xGetPacketStatus(&RadioPktStatus);
        if ((RadioEvents != NULL) && (RadioEvents->RxDone != NULL)) {
          if (RadioPktStatus.packetType == PACKET_TYPE_LORA) {
            RadioEvents->RxDone(RadioRxPayload, size, RadioPktStatus.LoRa.RssiPkt,
                                RadioPktStatus.LoRa.SnrPkt);
          } else {
            RadioEvents->RxDone(RadioRxPayload, size, RadioPktStatus.Gfsk.RssiAvg, 0);
          }
        }
      }
    }
  }

  if ((irqRegs & IRQ_CAD_DONE) == IRQ_CAD_DONE) {
    SX126xSetOperatingMode(MODE_STDBY_RC);
    if ((RadioEvents != NULL) && (RadioEvents->CadDone != NULL)) {
      RadioEvents->CadDone(((irqRegs & IRQ_CAD_ACTIVITY_DETECTED) == IRQ_CAD_ACTIVITY_DETECTED));
    }
  }

  if ((irqRegs & IRQ_RX_TX_TIMEOUT) == IRQ_RX_TX_TIMEOUT) {
    if (SX126xGetOperatingMode() == MODE_TX) {
      TimerStop(&TxTimeoutTimer);
      SX126xSetOperatingMode(MODE_STDBY_RC);
      if ((RadioEvents != NULL) && (RadioEvents->TxTimeout != NULL)) {
        RadioEvents->TxTimeout();
      }
    } else if (SX126xGetOperatingMode() == MODE_RX) {
      TimerStop(&RxTimeoutTimer);
      SX126xSetOperatingMode(MODE_STDBY_RC);
      if ((RadioEvents != NULL) && (RadioEvents->RxTimeout != NULL)) {
        RadioEvents->RxTimeout();
      }
    }
  }

  if ((irqRegs & IRQ_HEADER_ERROR) == IRQ_HEADER_ERROR) {
    TimerStop(&RxTimeoutTimer);
    if (RxContinuous == false) {
      SX126xSetOperatingMode(MODE_STDBY_RC);
    }
    if ((RadioEvents != NULL) && (RadioEvents->RxTimeout != NULL)) {
      RadioEvents->RxTimeout();
    }
  }
}
