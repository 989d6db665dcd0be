// SX1261/SX1262 chip model: see sim/sx126x.h.
#include "sim/sx126x.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "sim/link.h"

namespace sim {
namespace {

// Register addresses the model gives a meaning to.
constexpr uint16_t kRegRetentionList = 0x029F;
constexpr uint16_t kRegWhiteningMsb = 0x06B8;
constexpr uint16_t kRegWhiteningLsb = 0x06B9;
constexpr uint16_t kRegCrcSeed = 0x06BC;
constexpr uint16_t kRegCrcPoly = 0x06BE;
constexpr uint16_t kRegFskSync = 0x06C0;
constexpr uint16_t kRegLoraPayloadLength = 0x0702;
constexpr uint16_t kRegLoraSymbTimeout = 0x0706;
constexpr uint16_t kRegIqPolarity = 0x0736;
constexpr uint16_t kRegLoraSync = 0x0740;
constexpr uint16_t kRegRandom = 0x0819;
constexpr uint16_t kRegTxModulation = 0x0889;
constexpr uint16_t kRegRxGain = 0x08AC;
constexpr uint16_t kRegTxClamp = 0x08D8;
constexpr uint16_t kRegAnaLna = 0x08E2;
constexpr uint16_t kRegAnaMixer = 0x08E5;
constexpr size_t kRegSpace = 0x1000;

// Registers a warm-start sleep loses unless they are in the retention list.
constexpr uint16_t kVolatileRegs[] = {kRegRxGain, kRegTxModulation};

constexpr uint16_t kIrqTxDone = 0x0001;
constexpr uint16_t kIrqRxDone = 0x0002;
constexpr uint16_t kIrqPreamble = 0x0004;
constexpr uint16_t kIrqSyncWord = 0x0008;
constexpr uint16_t kIrqHeaderValid = 0x0010;
constexpr uint16_t kIrqHeaderError = 0x0020;
constexpr uint16_t kIrqCrcError = 0x0040;
constexpr uint16_t kIrqCadDone = 0x0080;
constexpr uint16_t kIrqCadActivity = 0x0100;
constexpr uint16_t kIrqTimeout = 0x0200;

constexpr int kCadSymbols = 2;
// FSK frames need this much SNR in the receiver's bandwidth.
constexpr double kFskDemodFloorDb = 8.0;

// Stale events name an operation by a number no other operation (of any
// chip in the process) ever had.
uint32_t g_serial = 1;
uint32_t next_serial() { return ++g_serial; }

// 15.625 us units to microseconds, rounded up.
time_us units_to_us(uint32_t units) { return (uint64_t{units} * 125 + 7) / 8; }

int64_t iabs(int64_t v) { return v < 0 ? -v : v; }

// Chips alive in this process: an event of a chip that is gone (a test
// replaced it) finds nobody.
std::vector<const Sx126x*>& live_chips() {
  static auto* v = new std::vector<const Sx126x*>;
  return *v;
}

Sx126x* alive(void* ctx) {
  auto& v = live_chips();
  return std::find(v.begin(), v.end(), ctx) != v.end() ? static_cast<Sx126x*>(ctx) : nullptr;
}

uint8_t clamp_byte(long v) { return static_cast<uint8_t>(std::clamp<long>(v, 0, 255)); }

}  // namespace

Sx126x::Sx126x(const Config& config)
    : config_(config),
      medium_(config.medium ? config.medium : &air::Medium::instance()),
      regs_(kRegSpace, 0) {
  rng_ = config.rng_seed ^ (uint64_t{config.device_id} * 0x9E3779B97F4A7C15ull) ^
         0xD1B54A32D192ED03ull;
  epoch_ = next_serial();
  instance_ = next_serial() & 0x7FFFFFFFu;
  live_chips().push_back(this);
  power_on_defaults();
  medium_->attach(this, config_.device_id);
}

Sx126x::~Sx126x() {
  medium_->detach(this);
  auto& v = live_chips();
  v.erase(std::remove(v.begin(), v.end(), this), v.end());
}

void Sx126x::power_on_defaults() {
  abort_operation();
  std::fill(regs_.begin(), regs_.end(), 0);
  regs_[kRegLoraSync] = 0x14;
  regs_[kRegLoraSync + 1] = 0x24;
  const uint8_t fsk_sync[8] = {0x97, 0x23, 0x52, 0x25, 0x56, 0x53, 0x65, 0x64};
  std::copy(fsk_sync, fsk_sync + 8, regs_.begin() + kRegFskSync);
  regs_[kRegCrcSeed] = 0x1D;
  regs_[kRegCrcSeed + 1] = 0x0F;
  regs_[kRegCrcPoly] = 0x10;
  regs_[kRegCrcPoly + 1] = 0x21;
  regs_[kRegWhiteningMsb] = 0x01;
  regs_[kRegWhiteningLsb] = 0x00;
  regs_[kRegIqPolarity] = 0x0D;
  regs_[kRegRxGain] = 0x94;
  regs_[kRegTxModulation] = 0x04;
  regs_[kRegTxClamp] = 0xC8;
  regs_[kRegAnaLna] = 0x01;
  regs_[kRegAnaMixer] = 0x80;
  buffer_.fill(0);
  packet_type_ = 0;
  lora_mod_ = {7, 4, 1, 0};
  gfsk_mod_ = {};
  lora_pkt_ = {0, 12, 0, 0xFF, 1, 0};
  gfsk_pkt_ = {};
  frequency_hz_ = 915000000;
  tx_power_ = 0;
  ramp_ = 0;
  // The data sheet gives no reset value: until it is set, the PA is taken as
  // configured for the variant's full power.
  pa_config_ = config_.variant == 1 ? std::array<uint8_t, 4>{0x06, 0x00, 0x01, 0x01}
                                    : std::array<uint8_t, 4>{0x04, 0x07, 0x00, 0x01};
  irq_mask_ = dio1_mask_ = dio2_mask_ = dio3_mask_ = 0;
  irq_status_ = 0;
  tcxo_ = false;
  tcxo_timeout_ = 0;
  dio2_rf_switch_ = false;
  stop_on_preamble_ = false;
  symb_timeout_ = 0;
  tx_base_ = rx_base_ = 0;
  rx_len_ = rx_start_ = 0;
  pkt_status_ = {};
  cmd_status_ = 0;
  mode_ = Mode::kStdbyRc;
  update_dio1();
}

void Sx126x::abort_operation() {
  // A transmission stopped before its end leaves the air now.
  if (tx_frame_id_ != 0) medium_->cut(this, tx_frame_id_);
  tx_frame_id_ = 0;
  // The reception's timers stop with it: a radio in standby or asleep has
  // none running, so nothing of it is left to wake the device.
  cancel(rx_timeout_event_);
  cancel(symbol_timeout_event_);
  rx_timeout_event_ = 0;
  symbol_timeout_event_ = 0;
  epoch_ = next_serial();
  rx_active_ = false;
  rx_continuous_ = false;
  rx_timer_stopped_ = false;
  symbol_deadline_ = kNever;
  cad_end_ = kNever;
  lock_ = Lock{};
  carrier_ = false;
}

void Sx126x::set_mode(Mode m) { mode_ = m; }

// ------------------------------------------------------------------ pins --

void Sx126x::set_dio1_hook(PinFn fn, void* ctx) {
  dio1_fn_ = fn;
  dio1_ctx_ = ctx;
}

int Sx126x::busy() const {
  if (mode_ == Mode::kReset || mode_ == Mode::kSleep) return 1;
  return now() < busy_until_ ? 1 : 0;
}

time_us Sx126x::busy_falls_at() const {
  if (mode_ == Mode::kReset && nreset_ == 0) return kNever;
  if (mode_ == Mode::kSleep && busy_until_ <= now()) return kNever;
  return busy_until_;
}

void Sx126x::set_nreset(int level) {
  level = level ? 1 : 0;
  if (level == nreset_) return;
  nreset_ = level;
  if (level == 0) {
    power_on_defaults();
    mode_ = Mode::kReset;
    in_transaction_ = false;
    return;
  }
  busy_until_ = now() + kBootUs;
  schedule(busy_until_, &Sx126x::ev_wake_done, this, epoch_);
}

void Sx126x::set_nss(int level) {
  level = level ? 1 : 0;
  if (level == nss_) return;
  nss_ = level;
  if (level == 0) {
    bytes_.clear();
    in_transaction_ = true;
    transaction_ignored_ = false;
    if (mode_ == Mode::kSleep) {
      // The falling edge alone wakes the chip; what is clocked meanwhile is
      // not a command.
      transaction_ignored_ = true;
      if (busy_until_ <= now()) {
        busy_until_ = now() + kWakeUs;
        schedule(busy_until_, &Sx126x::ev_wake_done, this, epoch_);
      }
    } else if (mode_ == Mode::kReset || busy()) {
      transaction_ignored_ = true;
      ++counters_.bad_commands;
    }
    return;
  }
  if (in_transaction_) transaction_end();
  in_transaction_ = false;
}

uint8_t Sx126x::spi_transfer(uint8_t mosi) {
  if (nss_ != 0 || !in_transaction_) return 0xFF;
  const size_t index = bytes_.size();
  bytes_.push_back(mosi);
  if (transaction_ignored_) return 0xFF;
  return read_response(index);
}

void Sx126x::transaction_end() {
  if (recording_) spi_log_.push_back(bytes_);
  if (transaction_ignored_ || bytes_.empty()) return;
  // Frames of other devices that started before now must be taken first.
  if (hears_air() && changes_reception(bytes_[0])) link::sync();
  execute(bytes_);
  if (mode_ == Mode::kSleep) {
    busy_until_ = now();
    return;
  }
  busy_until_ = std::max(busy_until_, now() + busy_time(bytes_[0]));
}

time_us Sx126x::busy_time(uint8_t op) const {
  switch (op) {
    case 0x1D:
    case 0x0D:
    case 0x1E:
    case 0x0E:  // registers and buffer
    case 0xC0:
    case 0x12:
    case 0x13:
    case 0x14:
    case 0x15:
    case 0x11:
    case 0x17:  // status reads
      return kBusyAccessUs;
    case 0x80:  // SetStandby: XOSC needs the crystal
      return bytes_.size() > 1 && bytes_[1] != 0 ? kBusyXoscUs : kBusyConfigUs;
    case 0xC1:  // SetFs
      return kBusyFsUs;
    case 0x82:
    case 0x94:
    case 0xC5:  // SetRx, SetRxDutyCycle, SetCad
      return kBusyRxUs;
    case 0x83:
    case 0xD1:
    case 0xD2:  // SetTx, SetTxContinuousWave, SetTxInfinitePreamble
      return kBusyTxUs;
    case 0x89:  // Calibrate: all blocks, or (the model's figure) half that for some
      return bytes_.size() > 1 && (bytes_[1] & 0x7F) == 0x7F ? kBusyCalibrateUs
                                                             : kBusyCalibrateUs / 2;
    case 0x98:  // CalibrateImage
      return kBusyCalibrateImageUs;
    default:
      return kBusyConfigUs;
  }
}

int Sx126x::pa_max_dbm() const {
  const uint8_t duty = pa_config_[0], hp_max = pa_config_[1];
  const bool low_power_pa = config_.variant == 1 || pa_config_[2] == 1;
  if (low_power_pa) {
    // Data sheet rows of the low-power PA: duty 6 -> +15, 4 -> +14, 1 -> +10.
    return duty >= 6 ? 15 : duty >= 4 ? 14 : 10;
  }
  // Rows of the high-power PA (duty, hpMax -> dBm): 4,7 -> +22; 3,5 -> +20;
  // 2,3 -> +17; 2,2 -> +14. Between rows (and below the last) both settings
  // bound the power, each as its rows say.
  static constexpr int kByHpMax[8] = {8, 11, 14, 17, 18, 20, 21, 22};
  static constexpr int kByDuty[5] = {11, 14, 17, 20, 22};
  return std::min(kByHpMax[std::min<uint8_t>(hp_max, 7)], kByDuty[std::min<uint8_t>(duty, 4)]);
}

int8_t Sx126x::power_on_air() const {
  int requested = tx_power_;
  // The low-power PA's +15 dBm row asks for +14 with duty cycle 6.
  const bool low_power_pa = config_.variant == 1 || pa_config_[2] == 1;
  if (low_power_pa && pa_config_[0] >= 6 && requested == 14) requested = 15;
  return static_cast<int8_t>(std::min(requested, pa_max_dbm()));
}

void Sx126x::record_spi(bool on) { recording_ = on; }

uint8_t Sx126x::reg(uint16_t address) const { return address < regs_.size() ? regs_[address] : 0; }

uint8_t Sx126x::status_byte() const {
  uint8_t chip_mode = 0;
  switch (mode_) {
    case Mode::kStdbyRc:
      chip_mode = 0x2;
      break;
    case Mode::kStdbyXosc:
      chip_mode = 0x3;
      break;
    case Mode::kFs:
      chip_mode = 0x4;
      break;
    case Mode::kRx:
    case Mode::kCad:
      chip_mode = 0x5;
      break;
    case Mode::kTx:
      chip_mode = 0x6;
      break;
    default:
      break;
  }
  return static_cast<uint8_t>(chip_mode << 4 | (cmd_status_ & 7) << 1);
}

uint32_t Sx126x::next_random() {
  uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<uint32_t>((z ^ (z >> 31)) >> 16);
}

uint8_t Sx126x::rssi_inst_byte() const {
  const uint32_t bw =
      is_lora() ? air::lora_bandwidth_hz(lora_bw_code()) : air::fsk_bandwidth_hz(fsk_bw_code());
  const double p = medium_->channel_power_dbm(this, frequency_hz_, bw ? bw : 500000, now());
  return clamp_byte(std::lround(-2.0 * p));
}

uint8_t Sx126x::read_response(size_t i) {
  const uint8_t op = bytes_[0];
  const uint8_t status = status_byte();
  if (i == 0) return status;
  switch (op) {
    case 0x12:  // GetIrqStatus
      return i == 1   ? status
             : i == 2 ? static_cast<uint8_t>(irq_status_ >> 8)
                      : static_cast<uint8_t>(irq_status_);
    case 0x13:  // GetRxBufferStatus
      return i == 1 ? status : i == 2 ? rx_len_ : rx_start_;
    case 0x14:  // GetPacketStatus
      return i == 1 ? status : i <= 4 ? pkt_status_[i - 2] : 0;
    case 0x15:  // GetRssiInst
      if (i == 1) return status;
      link::sync();  // the signal of every frame on the air now
      return rssi_inst_byte();
    case 0x11:  // GetPacketType
      return i == 1 ? status : packet_type_;
    case 0x17:  // GetDeviceErrors
      return i == 1 ? status : 0;
    case 0x1D: {  // ReadRegister: addr hi, addr lo, NOP, data...
      if (i < 4) return status;
      const uint32_t a = (uint32_t{bytes_[1]} << 8 | bytes_[2]) + static_cast<uint32_t>(i - 4);
      if (a >= regs_.size()) return 0;
      if (a >= kRegRandom && a < kRegRandom + 4u && mode_ == Mode::kRx) {
        regs_[a] = static_cast<uint8_t>(next_random());
      }
      return regs_[a];
    }
    case 0x1E: {  // ReadBuffer: offset, NOP, data...
      if (i < 3) return status;
      return buffer_[(bytes_[1] + (i - 3)) & 0xFF];
    }
    default:
      return status;
  }
}

void Sx126x::command_error() {
  ++counters_.bad_commands;
  cmd_status_ = 0x4;
}

void Sx126x::raise(uint16_t irq) {
  irq_status_ |= static_cast<uint16_t>(irq & irq_mask_);
  update_dio1();
}

void Sx126x::update_dio1() {
  const int level = (irq_status_ & dio1_mask_) ? 1 : 0;
  if (level == dio1_level_) return;
  dio1_level_ = level;
  if (dio1_fn_)
    schedule(now(), &Sx126x::ev_dio1, this, instance_ << 1 | static_cast<uint32_t>(level));
}

void Sx126x::ev_dio1(void* ctx, uint32_t arg) {
  auto* c = alive(ctx);
  if (c == nullptr || (arg >> 1) != c->instance_) return;
  if (c->dio1_fn_) c->dio1_fn_(c->dio1_ctx_, static_cast<int>(arg & 1));
}

time_us Sx126x::startup_delay() const {
  // TX, RX and CAD need the crystal: from STDBY_RC the TCXO on DIO3 first
  // gets its start-up time.
  if (mode_ == Mode::kStdbyRc && tcxo_) return units_to_us(tcxo_timeout_);
  return 0;
}

uint32_t Sx126x::fsk_bitrate_reg() const {
  return uint32_t{gfsk_mod_[0]} << 16 | uint32_t{gfsk_mod_[1]} << 8 | gfsk_mod_[2];
}

uint32_t Sx126x::fsk_fdev_hz() const {
  const uint64_t steps = uint64_t{gfsk_mod_[5]} << 16 | uint64_t{gfsk_mod_[6]} << 8 | gfsk_mod_[7];
  return static_cast<uint32_t>((steps * 32000000ull + (1u << 24)) >> 25);
}

// -------------------------------------------------------------- commands --

void Sx126x::execute(const std::vector<uint8_t>& cmd) {
  const uint8_t op = cmd[0];
  const size_t n = cmd.size() - 1;
  auto need = [&](size_t k) {
    if (n >= k) return true;
    command_error();
    return false;
  };
  auto u24 = [&](size_t at) {
    return uint32_t{cmd[at]} << 16 | uint32_t{cmd[at + 1]} << 8 | cmd[at + 2];
  };
  auto u16 = [&](size_t at) { return static_cast<uint16_t>(cmd[at] << 8 | cmd[at + 1]); };
  cmd_status_ = 0;

  switch (op) {
    case 0x80:  // SetStandby
      if (!need(1)) return;
      abort_operation();
      set_mode(cmd[1] ? Mode::kStdbyXosc : Mode::kStdbyRc);
      return;
    case 0x84:  // SetSleep
      if (!need(1)) return;
      abort_operation();
      warm_sleep_ = (cmd[1] & 0x04) != 0;
      set_mode(Mode::kSleep);
      return;
    case 0xC1:  // SetFs
      abort_operation();
      set_mode(Mode::kFs);
      return;
    case 0x83: {  // SetTx
      if (!need(3)) return;
      const time_us start = now() + startup_delay();
      abort_operation();
      set_mode(Mode::kTx);
      tx_timeout_units_ = u24(1);
      op_start_ = start;
      schedule(start, &Sx126x::ev_tx_start, this, epoch_);
      return;
    }
    case 0x82:    // SetRx
    case 0x94: {  // SetRxDutyCycle: modelled as continuous reception
      if (!need(op == 0x82 ? 3 : 6)) return;
      const time_us start = now() + startup_delay();
      abort_operation();
      set_mode(Mode::kRx);
      rx_timeout_units_ = op == 0x82 ? u24(1) : 0xFFFFFF;
      rx_continuous_ = rx_timeout_units_ == 0xFFFFFF;
      op_start_ = start;
      schedule(start, &Sx126x::ev_rx_active, this, epoch_);
      return;
    }
    case 0xC5: {  // SetCad
      if (!is_lora()) {
        command_error();
        return;
      }
      const time_us start = now() + startup_delay();
      abort_operation();
      set_mode(Mode::kCad);
      op_start_ = start;
      const uint64_t sym_ns = air::lora_symbol_ns(lora_sf(), lora_bw_code());
      cad_end_ = start + (kCadSymbols * sym_ns + 999) / 1000;
      schedule(cad_end_, &Sx126x::ev_cad_done, this, epoch_);
      return;
    }
    case 0xD1:    // SetTxContinuousWave
    case 0xD2: {  // SetTxInfinitePreamble: on the air like a carrier
      const time_us start = now() + startup_delay();
      abort_operation();
      set_mode(Mode::kTx);
      carrier_ = true;
      schedule(start, &Sx126x::ev_carrier, this, epoch_);
      return;
    }
    case 0x9F:  // StopTimerOnPreamble
      if (!need(1)) return;
      stop_on_preamble_ = cmd[1] != 0;
      return;
    case 0xA0:  // SetLoRaSymbNumTimeout
      if (!need(1)) return;
      symb_timeout_ = cmd[1];
      return;
    case 0x96:  // SetRegulatorMode
    case 0x93:  // SetRxTxFallbackMode (always STDBY_RC here)
    case 0x9D:  // SetDio2AsRfSwitchCtrl
      if (!need(1)) return;
      if (op == 0x9D) dio2_rf_switch_ = cmd[1] != 0;
      return;
    case 0x89:  // Calibrate
      if (!need(1)) return;
      return;
    case 0x98:  // CalibrateImage
      if (!need(2)) return;
      return;
    case 0x07:  // ClearDeviceErrors
      return;
    case 0x95:  // SetPaConfig
      if (!need(4)) return;
      std::copy(cmd.begin() + 1, cmd.begin() + 5, pa_config_.begin());
      return;
    case 0x08:  // SetDioIrqParams
      if (!need(8)) return;
      irq_mask_ = u16(1);
      dio1_mask_ = u16(3);
      dio2_mask_ = u16(5);
      dio3_mask_ = u16(7);
      update_dio1();
      return;
    case 0x02:  // ClearIrqStatus
      if (!need(2)) return;
      irq_status_ = static_cast<uint16_t>(irq_status_ & ~u16(1));
      update_dio1();
      return;
    case 0x97:  // SetDio3AsTcxoCtrl
      if (!need(4)) return;
      tcxo_ = true;
      tcxo_timeout_ = u24(2);
      return;
    case 0x86: {  // SetRfFrequency
      if (!need(4)) return;
      const uint64_t steps =
          uint64_t{cmd[1]} << 24 | uint64_t{cmd[2]} << 16 | uint64_t{cmd[3]} << 8 | cmd[4];
      frequency_hz_ = static_cast<uint32_t>((steps * 32000000ull + (1u << 24)) >> 25);
      return;
    }
    case 0x8A:  // SetPacketType
      if (!need(1)) return;
      if (cmd[1] > 1) {
        command_error();
        return;
      }
      if (cmd[1] != packet_type_) {
        packet_type_ = cmd[1];
        // A change of packet type brings the LoRa sync word back to its
        // default.
        if (packet_type_ == 1) {
          regs_[kRegLoraSync] = 0x14;
          regs_[kRegLoraSync + 1] = 0x24;
        }
      }
      return;
    case 0x8E:  // SetTxParams
      if (!need(2)) return;
      tx_power_ = std::clamp<int8_t>(static_cast<int8_t>(cmd[1]), config_.variant == 1 ? -17 : -9,
                                     config_.variant == 1 ? 15 : 22);
      ramp_ = cmd[2];
      return;
    case 0x8B:  // SetModulationParams
      if (is_lora()) {
        if (!need(4)) return;
        std::copy(cmd.begin() + 1, cmd.begin() + 5, lora_mod_.begin());
      } else {
        if (!need(8)) return;
        std::copy(cmd.begin() + 1, cmd.begin() + 9, gfsk_mod_.begin());
      }
      return;
    case 0x8C:  // SetPacketParams
      if (is_lora()) {
        if (!need(6)) return;
        std::copy(cmd.begin() + 1, cmd.begin() + 7, lora_pkt_.begin());
      } else {
        if (!need(9)) return;
        std::copy(cmd.begin() + 1, cmd.begin() + 10, gfsk_pkt_.begin());
      }
      return;
    case 0x88:  // SetCadParams: accepted, the model keeps its own CAD length
      if (!need(7)) return;
      return;
    case 0x8F:  // SetBufferBaseAddress
      if (!need(2)) return;
      tx_base_ = cmd[1];
      rx_base_ = cmd[2];
      return;
    case 0x0D: {  // WriteRegister
      if (!need(3)) return;
      const uint32_t a = u16(1);
      for (size_t k = 3; k < cmd.size(); ++k) {
        const uint32_t addr = a + static_cast<uint32_t>(k - 3);
        if (addr < regs_.size()) regs_[addr] = cmd[k];
        if (addr == kRegLoraSymbTimeout) {
          // exp + 8 x mant stands for 2 x mant x 4^exp symbols.
          const uint32_t mant = cmd[k] >> 3, exp = cmd[k] & 7;
          symb_timeout_ = static_cast<uint8_t>(
              std::min<uint32_t>(255, (2 * mant) << (2 * std::min<uint32_t>(exp, 4))));
        }
      }
      return;
    }
    case 0x0E:  // WriteBuffer
      if (!need(2)) return;
      for (size_t k = 2; k < cmd.size(); ++k) buffer_[(cmd[1] + (k - 2)) & 0xFF] = cmd[k];
      return;
    case 0x12:
    case 0x13:
    case 0x14:
    case 0x15:
    case 0x11:
    case 0x17:
    case 0x1D:
    case 0x1E:
    case 0xC0:
      return;  // reads: answered while clocked
    default:
      command_error();
      return;
  }
}

// -------------------------------------------------------------- sleep/boot --

void Sx126x::ev_wake_done(void* ctx, uint32_t epoch) {
  auto* c = alive(ctx);
  if (c == nullptr || epoch != c->epoch_) return;
  if (c->mode_ == Mode::kReset) {
    c->mode_ = Mode::kStdbyRc;
    return;
  }
  if (c->mode_ != Mode::kSleep) return;
  if (!c->warm_sleep_) {
    c->power_on_defaults();
    return;
  }
  const uint8_t count = std::min<uint8_t>(c->regs_[kRegRetentionList], 4);
  for (uint16_t r : kVolatileRegs) {
    bool kept = false;
    for (uint8_t k = 0; k < count; ++k) {
      const uint16_t a = static_cast<uint16_t>(c->regs_[kRegRetentionList + 1 + 2 * k] << 8 |
                                               c->regs_[kRegRetentionList + 2 + 2 * k]);
      if (a == r) kept = true;
    }
    if (!kept) c->regs_[r] = r == kRegRxGain ? 0x94 : 0x04;
  }
  c->mode_ = Mode::kStdbyRc;
}

// -------------------------------------------------------------------- TX --

AirFrame Sx126x::build_frame(time_us start) const {
  AirFrame f{};
  f.start_us = start;
  f.frequency_hz = frequency_hz_;
  f.tx_power_dbm = power_on_air();
  f.sender = config_.device_id;
  if (is_lora()) {
    f.modem = Modem::kLora;
    f.sf = lora_sf();
    f.bandwidth_hz = air::lora_bandwidth_hz(lora_bw_code());
    f.coding_rate = lora_cr();
    f.ldro = lora_ldro();
    f.preamble_len = lora_preamble();
    f.lora_sync_word = static_cast<uint16_t>(regs_[kRegLoraSync] << 8 | regs_[kRegLoraSync + 1]);
    f.iq_inverted = lora_iq_inverted();
    f.crc_on = lora_crc();
    f.implicit_header = lora_implicit();
    f.len = lora_payload_len();
  } else {
    f.modem = Modem::kFsk;
    const uint32_t reg = fsk_bitrate_reg();
    f.bitrate = reg ? (1024000000u + reg / 2) / reg : 0;
    f.fdev_hz = fsk_fdev_hz();
    f.bandwidth_hz = air::fsk_bandwidth_hz(fsk_bw_code());
    f.preamble_len = static_cast<uint16_t>(fsk_preamble_bits() / 8);
    f.fsk_sync_len = static_cast<uint8_t>(std::min(fsk_sync_bits() / 8, 8));
    for (int k = 0; k < 8; ++k) f.fsk_sync[k] = regs_[kRegFskSync + k];
    f.crc_on = fsk_crc_on();
    f.fsk_crc_len = fsk_crc_bytes();
    f.fsk_crc_inverted = (fsk_crc_type() & 0x04) != 0;
    f.fsk_crc_seed = static_cast<uint16_t>(regs_[kRegCrcSeed] << 8 | regs_[kRegCrcSeed + 1]);
    f.fsk_crc_poly = static_cast<uint16_t>(regs_[kRegCrcPoly] << 8 | regs_[kRegCrcPoly + 1]);
    f.fsk_whitening = fsk_whitening();
    f.fsk_whitening_seed =
        static_cast<uint16_t>((regs_[kRegWhiteningMsb] & 0x01) << 8 | regs_[kRegWhiteningLsb]);
    f.implicit_header = !fsk_variable();
    f.len = fsk_payload_len();
  }
  for (uint16_t k = 0; k < f.len; ++k) f.payload[k] = buffer_[(tx_base_ + k) & 0xFF];
  f.end_us = start + frame_time_on_air(f, is_lora() && lora_ldro());
  return f;
}

time_us Sx126x::frame_time_on_air(const AirFrame& f, bool ldro) const {
  if (f.modem == Modem::kLora) {
    return air::lora_time_on_air_us(f.sf, air::lora_bandwidth_code(f.bandwidth_hz), f.coding_rate,
                                    f.preamble_len, f.implicit_header, f.crc_on, ldro,
                                    static_cast<uint8_t>(std::min<uint16_t>(f.len, 255)));
  }
  if (!air::is_carrier(f)) {
    // Exact chip timing from the bit-rate register.
    const uint32_t bits = fsk_preamble_bits() + fsk_sync_bits() + (fsk_variable() ? 8u : 0u) +
                          (fsk_addr_filter() ? 8u : 0u) + 8u * f.len + 8u * fsk_crc_bytes();
    return air::fsk_time_on_air_us(fsk_bitrate_reg(), bits);
  }
  return 0;
}

void Sx126x::ev_tx_start(void* ctx, uint32_t epoch) {
  auto* c = alive(ctx);
  if (c == nullptr || epoch != c->epoch_ || c->mode_ != Mode::kTx) return;
  AirFrame f = c->build_frame(now());
  bool cut = false;
  if (c->tx_timeout_units_ != 0) {
    const time_us limit = f.start_us + units_to_us(c->tx_timeout_units_);
    if (limit < f.end_us) {
      f.end_us = limit;
      cut = true;
    }
  }
  c->last_sent_ = f;
  c->tx_frame_id_ = c->medium_->transmit(c, f);
  schedule(f.end_us, cut ? &Sx126x::ev_tx_timeout : &Sx126x::ev_tx_end, c, c->epoch_);
}

void Sx126x::ev_tx_end(void* ctx, uint32_t epoch) {
  auto* c = alive(ctx);
  if (c == nullptr || epoch != c->epoch_) return;
  c->abort_operation();
  c->set_mode(Mode::kStdbyRc);
  ++c->counters_.tx_done;
  c->raise(kIrqTxDone);
}

void Sx126x::ev_tx_timeout(void* ctx, uint32_t epoch) {
  auto* c = alive(ctx);
  if (c == nullptr || epoch != c->epoch_) return;
  c->abort_operation();
  c->set_mode(Mode::kStdbyRc);
  ++c->counters_.timeouts;
  c->raise(kIrqTimeout);
}

void Sx126x::ev_carrier(void* ctx, uint32_t epoch) {
  auto* c = alive(ctx);
  if (c == nullptr || epoch != c->epoch_ || !c->carrier_) return;
  AirFrame f{};
  f.start_us = now();
  f.end_us = f.start_us + kCarrierChunkUs;
  f.frequency_hz = c->frequency_hz_;
  f.modem = Modem::kFsk;
  f.bitrate = 0;
  f.tx_power_dbm = c->power_on_air();
  f.sender = c->config_.device_id;
  c->last_sent_ = f;
  c->tx_frame_id_ = c->medium_->transmit(c, f);
  schedule(f.end_us, &Sx126x::ev_carrier, c, epoch);
}

// -------------------------------------------------------------------- RX --

bool Sx126x::matches(const AirFrame& f) const {
  if (air::is_carrier(f)) return false;
  if (f.modem != (is_lora() ? Modem::kLora : Modem::kFsk)) return false;
  const uint32_t bw =
      is_lora() ? air::lora_bandwidth_hz(lora_bw_code()) : air::fsk_bandwidth_hz(fsk_bw_code());
  const int64_t tolerance = std::max<int64_t>(bw / 4, 1000);
  if (iabs(static_cast<int64_t>(f.frequency_hz) - static_cast<int64_t>(frequency_hz_)) > tolerance)
    return false;
  if (is_lora()) {
    const uint16_t sync = static_cast<uint16_t>(regs_[kRegLoraSync] << 8 | regs_[kRegLoraSync + 1]);
    return f.sf == lora_sf() && air::lora_bandwidth_code(f.bandwidth_hz) == lora_bw_code() &&
           f.iq_inverted == lora_iq_inverted() && f.lora_sync_word == sync &&
           f.implicit_header == lora_implicit();
  }
  const uint32_t reg = fsk_bitrate_reg();
  if (reg == 0 || f.bitrate == 0) return false;
  const uint64_t br = (1024000000ull + reg / 2) / reg;
  if (iabs(static_cast<int64_t>(f.bitrate) - static_cast<int64_t>(br)) * 100 >
      static_cast<int64_t>(br))
    return false;
  // Deviation and bit rate of the sender within this receiver's filter.
  if (!air::fsk_fits_filter(f, frequency_hz_, bw)) return false;
  const int sync_len = std::min(fsk_sync_bits() / 8, 8);
  if (f.fsk_sync_len != sync_len) return false;
  for (int k = 0; k < sync_len; ++k) {
    if (f.fsk_sync[k] != regs_[kRegFskSync + k]) return false;
  }
  return true;
}

bool Sx126x::detectable(const AirFrame& f) const {
  if (f.modem == Modem::kLora) return f.rx_snr_db >= air::lora_demod_floor_db(f.sf);
  return f.rx_snr_db >= kFskDemodFloorDb;
}

time_us Sx126x::header_end(const AirFrame& f) const {
  if (f.modem == Modem::kLora) {
    const uint64_t sym = air::lora_symbol_ns(f.sf, air::lora_bandwidth_code(f.bandwidth_hz));
    const uint64_t quarters =
        4 * uint64_t{f.preamble_len} + (f.sf <= 6 ? 25 : 17) + (f.implicit_header ? 0 : 32);
    return std::min(f.end_us, f.start_us + quarters * sym / 4000);
  }
  if (f.bitrate == 0) return f.start_us;
  return std::min(
      f.end_us, f.start_us + (uint64_t{f.preamble_len} + f.fsk_sync_len) * 8 * 1000000 / f.bitrate);
}

bool Sx126x::try_lock(const air::Heard& h) {
  if (mode_ != Mode::kRx || !rx_active_ || lock_.id != 0) return false;
  const AirFrame& f = h.frame;
  if (!matches(f) || !detectable(f)) return false;
  // The receiver must listen to enough of the preamble to detect it: from
  // the frame's start, or from when it began to listen if that was later (a
  // frame handed over late is taken as if it had come at its start).
  const time_us detect_at = air::preamble_detected_at(f, std::max(f.start_us, op_start_),
                                                      air::fsk_detector_bits(fsk_detector()));
  if (detect_at == kNever) return false;
  lock_.id = h.id;
  lock_.header_done = false;
  lock_.detect_at = detect_at;
  lock_.frame = f;
  lock_.expected_end = f.end_us;
  lock_.serial = next_serial();
  schedule(detect_at, &Sx126x::ev_preamble, this, lock_.serial);
  schedule(std::max(detect_at, header_end(f)), &Sx126x::ev_header, this, lock_.serial);
  return true;
}

void Sx126x::ev_preamble(void* ctx, uint32_t serial) {
  auto* c = alive(ctx);
  if (c == nullptr || c->lock_.id == 0 || c->lock_.serial != serial || c->mode_ != Mode::kRx)
    return;
  if (c->lock_.frame.cut && c->lock_.frame.end_us < c->lock_.detect_at) {
    // Gone before enough of its preamble was heard.
    c->drop_cut_lock();
    return;
  }
  if (c->stop_on_preamble_) c->rx_timer_stopped_ = true;
  c->raise(kIrqPreamble);
}

bool Sx126x::fsk_coding_matches(const AirFrame& f) const {
  if (f.crc_on && fsk_crc_on()) {
    const uint16_t seed = static_cast<uint16_t>(regs_[kRegCrcSeed] << 8 | regs_[kRegCrcSeed + 1]);
    const uint16_t poly = static_cast<uint16_t>(regs_[kRegCrcPoly] << 8 | regs_[kRegCrcPoly + 1]);
    if (f.fsk_crc_len != fsk_crc_bytes() || f.fsk_crc_inverted != ((fsk_crc_type() & 0x04) != 0) ||
        f.fsk_crc_seed != seed || f.fsk_crc_poly != poly) {
      return false;
    }
  }
  if (f.fsk_whitening != fsk_whitening()) return false;
  const uint16_t wseed =
      static_cast<uint16_t>((regs_[kRegWhiteningMsb] & 0x01) << 8 | regs_[kRegWhiteningLsb]);
  return !f.fsk_whitening || f.fsk_whitening_seed == wseed;
}

void Sx126x::ev_rx_active(void* ctx, uint32_t epoch) {
  auto* c = alive(ctx);
  if (c == nullptr || epoch != c->epoch_ || c->mode_ != Mode::kRx) return;
  c->rx_active_ = true;
  c->op_start_ = now();
  if (!c->rx_continuous_ && c->rx_timeout_units_ != 0) {
    c->rx_timeout_event_ =
        schedule(now() + units_to_us(c->rx_timeout_units_), &Sx126x::ev_rx_timeout, c, epoch);
  }
  if (c->is_lora() && !c->rx_continuous_ && c->symb_timeout_ != 0) {
    const uint64_t sym = air::lora_symbol_ns(c->lora_sf(), c->lora_bw_code());
    c->symbol_deadline_ = now() + (c->symb_timeout_ * sym + 999) / 1000;
    c->symbol_timeout_event_ = schedule(c->symbol_deadline_, &Sx126x::ev_symbol_timeout, c, epoch);
  }
  // A frame whose preamble is already on the air can still be caught: the
  // earliest one wins.
  auto frames = c->medium_->on_air(c, now());
  std::stable_sort(frames.begin(), frames.end(), [](const air::Heard& a, const air::Heard& b) {
    return a.frame.start_us < b.frame.start_us;
  });
  for (const auto& h : frames) {
    if (c->try_lock(h)) break;
  }
}

void Sx126x::end_single_rx() {
  abort_operation();
  set_mode(Mode::kStdbyRc);
}

void Sx126x::ev_rx_timeout(void* ctx, uint32_t epoch) {
  auto* c = alive(ctx);
  if (c == nullptr || epoch != c->epoch_ || c->mode_ != Mode::kRx || c->rx_timer_stopped_) return;
  c->end_single_rx();
  ++c->counters_.timeouts;
  c->raise(kIrqTimeout);
}

void Sx126x::ev_symbol_timeout(void* ctx, uint32_t epoch) {
  auto* c = alive(ctx);
  if (c == nullptr || epoch != c->epoch_ || c->mode_ != Mode::kRx || c->lock_.id != 0) return;
  c->end_single_rx();
  ++c->counters_.timeouts;
  c->raise(kIrqTimeout);
}

void Sx126x::ev_header(void* ctx, uint32_t serial) {
  auto* c = alive(ctx);
  if (c == nullptr || c->lock_.id == 0 || c->lock_.serial != serial || c->mode_ != Mode::kRx)
    return;
  const AirFrame& f = c->lock_.frame;
  if (f.cut && f.end_us < c->lock_header_end()) {
    // Stopped before its header (or sync word) was through: an explicit
    // LoRa header is an error, anything else was never more than a preamble.
    if (f.modem == Modem::kLora && !f.implicit_header) {
      c->lock_ = Lock{};
      ++c->counters_.header_errors;
      if (!c->rx_continuous_) c->end_single_rx();
      c->raise(kIrqHeaderError);
    } else {
      c->drop_cut_lock();
    }
    return;
  }
  if (f.modem == Modem::kLora && !f.implicit_header) {
    // An explicit header that cannot be right: a length the header cannot
    // carry, or a header already hit by another frame.
    const bool bad = f.len > 255 || f.coding_rate < 1 || f.coding_rate > 4 ||
                     !air::captures(f, c->medium_->interference_dbm(c, c->lock_.id));
    if (bad) {
      c->lock_ = Lock{};
      ++c->counters_.header_errors;
      if (!c->rx_continuous_) c->end_single_rx();
      c->raise(kIrqHeaderError);
      return;
    }
  }
  c->lock_.header_done = true;
  if (!c->stop_on_preamble_) c->rx_timer_stopped_ = true;
  if (f.modem == Modem::kFsk) {
    c->raise(kIrqSyncWord);
  } else if (!f.implicit_header) {
    c->raise(kIrqHeaderValid);
  }
}

void Sx126x::air_frame_started(const air::Heard& heard) {
  if (mode_ == Mode::kRx && rx_active_ && lock_.id == 0) try_lock(heard);
}

void Sx126x::air_frame_ended(const air::Heard& heard) {
  if (lock_.id != heard.id || mode_ != Mode::kRx) return;
  if (heard.frame.end_us < lock_.expected_end) {
    // Stopped early. The receiver only finds out where it would have got to
    // anyway: its preamble detector or the header (their events look), or
    // the end of the payload the header announced, with a CRC error.
    lock_.frame.end_us = heard.frame.end_us;
    lock_.frame.cut = true;
    if (lock_.header_done) schedule(lock_.expected_end, &Sx126x::ev_lock_end, this, lock_.serial);
    return;
  }
  finish_rx(heard);
}

void Sx126x::ev_lock_end(void* ctx, uint32_t serial) {
  auto* c = alive(ctx);
  if (c == nullptr || c->lock_.id == 0 || c->lock_.serial != serial || c->mode_ != Mode::kRx)
    return;
  c->finish_rx(air::Heard{c->lock_.id, c->lock_.frame});
}

time_us Sx126x::lock_header_end() const {
  AirFrame announced = lock_.frame;
  announced.end_us = lock_.expected_end;
  return header_end(announced);
}

void Sx126x::drop_cut_lock() {
  lock_ = Lock{};
  // The symbol timeout passed while the preamble held the receiver.
  if (now() >= symbol_deadline_) ev_symbol_timeout(this, epoch_);
}

time_us Sx126x::detect_latency() const {
  if (is_lora()) {
    const uint64_t sym = air::lora_symbol_ns(lora_sf(), lora_bw_code());
    return sym == 0 ? kNever : (air::kLoraDetectSymbols * sym) / 1000;
  }
  // A frame this receiver takes has a bit rate within 1 % of its own.
  const uint32_t reg = fsk_bitrate_reg();
  if (reg == 0) return kNever;
  const uint64_t fastest = (1024000000ull + reg / 2) / reg * 101 / 100 + 1;
  const uint64_t bits =
      std::max<uint64_t>(air::fsk_detector_bits(fsk_detector()), air::kFskMinPreambleBits);
  return bits * 1000000 / fastest;
}

time_us Sx126x::air_horizon(time_us known) const {
  if (mode_ == Mode::kCad) return cad_end_;  // the activity found is decided then
  if (mode_ != Mode::kRx) return kNever;     // until a command makes it listen
  const time_us latency = detect_latency();
  // A frame starting at `known` or later is detected no sooner; and it
  // locks the receiver at its start, which keeps a symbol timeout away.
  time_us h = latency >= kNever - known ? kNever : known + latency;
  // Points still to come where the air decides something (those passed
  // have been decided).
  auto point = [&h](time_us at) {
    if (at > now()) h = std::min(h, at);
  };
  if (!rx_active_) point(op_start_);
  if (lock_.id == 0) {
    point(symbol_deadline_);
  } else {
    // What the frame it holds turns out to be (collided, stopped early) is
    // decided at these points.
    if (!lock_.header_done) {
      point(lock_.detect_at);
      point(std::max(lock_.detect_at, lock_header_end()));
    }
    point(lock_.expected_end);
  }
  return h;
}

bool Sx126x::changes_reception(uint8_t op) {
  switch (op) {
    case 0x00:  // ResetStats
    case 0x02:  // ClearIrqStatus
    case 0x07:  // ClearDeviceErrors
    case 0x08:  // SetDioIrqParams
    case 0x0E:  // WriteBuffer
    case 0x10:  // GetStats
    case 0x11:  // GetPacketType
    case 0x12:  // GetIrqStatus
    case 0x13:  // GetRxBufferStatus
    case 0x14:  // GetPacketStatus
    case 0x17:  // GetDeviceErrors
    case 0x1D:  // ReadRegister
    case 0x1E:  // ReadBuffer
    case 0x8F:  // SetBufferBaseAddress
    case 0xC0:  // GetStatus
      return false;
    default:
      return true;
  }
}

void Sx126x::finish_rx(const air::Heard& h) {
  const AirFrame& f = h.frame;
  bool corrupted = !air::captures(f, medium_->interference_dbm(this, h.id)) || f.len > 255;
  // A frame cut short on the air (its end before its own length allows).
  if (f.modem == Modem::kLora) {
    const time_us shortest = air::lora_time_on_air_us(
        f.sf, air::lora_bandwidth_code(f.bandwidth_hz), f.coding_rate, f.preamble_len,
        f.implicit_header, f.crc_on, false, static_cast<uint8_t>(std::min<uint16_t>(f.len, 255)));
    if (f.end_us - f.start_us + 1 < shortest) corrupted = true;
  } else if (f.bitrate != 0) {
    const uint64_t bits =
        8ull * (f.preamble_len + f.fsk_sync_len + (f.implicit_header ? 0 : 1) + f.len) +
        (f.crc_on ? 8 : 0);
    if ((f.end_us - f.start_us + 1) * f.bitrate < bits * 1000000ull) corrupted = true;
  }

  bool has_crc = false;
  bool length_error = false;
  uint16_t rx_len = 0;
  if (is_lora()) {
    // The payload's symbols are coded as the sender's low-data-rate
    // optimisation says; a receiver set otherwise reads them wrong.
    if (f.ldro != lora_ldro()) corrupted = true;
    if (lora_implicit()) {
      rx_len = lora_payload_len();
      has_crc = lora_crc();
      if (f.len != rx_len || f.crc_on != has_crc || f.coding_rate != lora_cr()) corrupted = true;
    } else {
      rx_len = std::min<uint16_t>(f.len, 255);
      has_crc = f.crc_on;
    }
  } else {
    has_crc = fsk_crc_on();
    if (f.crc_on != has_crc || f.implicit_header == fsk_variable() || !fsk_coding_matches(f))
      corrupted = true;
    if (fsk_variable()) {
      rx_len = std::min<uint16_t>(f.len, 255);
      if (rx_len > fsk_payload_len()) {
        // Longer than the receiver accepts: it stops at its maximum.
        length_error = true;
        rx_len = fsk_payload_len();
      }
    } else {
      rx_len = fsk_payload_len();
      if (f.len != rx_len) corrupted = true;
    }
  }

  for (uint16_t k = 0; k < rx_len; ++k) {
    uint8_t b = (k < f.len && k < sizeof(f.payload)) ? f.payload[k] : 0;
    if (corrupted) b = static_cast<uint8_t>(b ^ (next_random() | 1u));
    buffer_[(rx_base_ + k) & 0xFF] = b;
  }
  rx_len_ = static_cast<uint8_t>(rx_len);
  rx_start_ = rx_base_;
  const bool error = (corrupted && has_crc) || length_error;
  if (is_lora()) {
    regs_[kRegLoraPayloadLength] = rx_len_;
    const long rssi = f.rx_rssi_dbm;
    const long snr = std::clamp<long>(f.rx_snr_db, -32, 31);
    pkt_status_[0] = clamp_byte(-2 * rssi);
    pkt_status_[1] = static_cast<uint8_t>(static_cast<int8_t>(snr * 4));
    pkt_status_[2] = clamp_byte(-2 * (rssi + std::min<long>(snr, 0)));
  } else {
    pkt_status_[0] = static_cast<uint8_t>(0x02 | (length_error ? 0x08 : 0) | (error ? 0x10 : 0));
    pkt_status_[1] = clamp_byte(-2L * f.rx_rssi_dbm);
    pkt_status_[2] = clamp_byte(-2L * f.rx_rssi_dbm);
  }

  lock_ = Lock{};
  if (!rx_continuous_) end_single_rx();
  ++counters_.rx_done;
  if (error) ++counters_.crc_errors;
  raise(static_cast<uint16_t>(kIrqRxDone | (error ? kIrqCrcError : 0)));
}

// ------------------------------------------------------------------- CAD --

void Sx126x::ev_cad_done(void* ctx, uint32_t epoch) {
  auto* c = alive(ctx);
  if (c == nullptr || epoch != c->epoch_ || c->mode_ != Mode::kCad) return;
  const bool activity =
      c->medium_->lora_activity(c, c->frequency_hz_, air::lora_bandwidth_hz(c->lora_bw_code()),
                                c->lora_sf(), c->op_start_, now());
  c->abort_operation();
  c->set_mode(Mode::kStdbyRc);
  ++c->counters_.cad_done;
  c->raise(static_cast<uint16_t>(kIrqCadDone | (activity ? kIrqCadActivity : 0)));
}

}  // namespace sim
