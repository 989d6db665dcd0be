#include "radio_env.h"

namespace radio_test {

namespace {

Log g_log;

void rec(const char* e) {
  g_log.events.push_back(e);
  g_log.times.push_back(sim::now());
}

void on_tx_done() { rec("TxDone"); }
void on_tx_timeout() { rec("TxTimeout"); }
void on_rx_done(uint8_t* payload, uint16_t size, int16_t rssi, int8_t snr) {
  rec("RxDone");
  g_log.rx.push_back({Bytes(payload, payload + size), rssi, snr, sim::now()});
}
void on_rx_timeout() { rec("RxTimeout"); }
void on_rx_error() { rec("RxError"); }
void on_cad_done(bool detected) {
  rec("CadDone");
  g_log.cad.push_back(detected);
}

RadioEvents_t g_events = {.TxDone = on_tx_done,
                          .TxTimeout = on_tx_timeout,
                          .RxDone = on_rx_done,
                          .RxTimeout = on_rx_timeout,
                          .RxError = on_rx_error,
                          .FhssChangeChannel = nullptr,
                          .CadDone = on_cad_done};

void tap(void* ctx, const AirFrame& f) { static_cast<std::vector<AirFrame>*>(ctx)->push_back(f); }

}  // namespace

Log& log() { return g_log; }
RadioEvents_t* events() { return &g_events; }

uint32_t bw_index_of(uint8_t code) {
  switch (code) {
    case 4:
      return 0;
    case 5:
      return 1;
    case 6:
      return 2;
    case 0:
      return 3;
    case 8:
      return 4;
    case 1:
      return 5;
    case 9:
      return 6;
    case 2:
      return 7;
    case 10:
      return 8;
    case 3:
      return 9;
  }
  return 0;
}

// ------------------------------------------------------------------ Peer --

Peer::Peer(uint32_t device_id) {
  sim::Sx126x::Config c;
  c.device_id = device_id;
  c.rng_seed = device_id * 7919u;
  chip_ = std::make_unique<sim::Sx126x>(c);
}

// A host waits for BUSY to fall before each access.
void Peer::wait_ready() {
  const sim::time_us ready = chip_->busy_falls_at();
  if (ready != sim::kNever && ready > sim::now()) sim::run_until(ready);
}

void Peer::cmd(const Bytes& bytes) {
  wait_ready();
  chip_->set_nss(0);
  for (uint8_t b : bytes) chip_->spi_transfer(b);
  chip_->set_nss(1);
}

Bytes Peer::read(uint8_t opcode, size_t n) {
  wait_ready();
  chip_->set_nss(0);
  chip_->spi_transfer(opcode);
  chip_->spi_transfer(0);  // status
  Bytes out;
  for (size_t i = 0; i < n; ++i) out.push_back(chip_->spi_transfer(0));
  chip_->set_nss(1);
  return out;
}

void Peer::write_reg(uint16_t addr, const Bytes& bytes) {
  Bytes c = {0x0D, static_cast<uint8_t>(addr >> 8), static_cast<uint8_t>(addr)};
  c.insert(c.end(), bytes.begin(), bytes.end());
  cmd(c);
}

Bytes Peer::read_reg(uint16_t addr, size_t n) {
  wait_ready();
  chip_->set_nss(0);
  chip_->spi_transfer(0x1D);
  chip_->spi_transfer(static_cast<uint8_t>(addr >> 8));
  chip_->spi_transfer(static_cast<uint8_t>(addr));
  chip_->spi_transfer(0);
  Bytes out;
  for (size_t i = 0; i < n; ++i) out.push_back(chip_->spi_transfer(0));
  chip_->set_nss(1);
  return out;
}

static Bytes u32be(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

// Frequency in PLL steps of 32 MHz / 2^25, rounded.
static uint32_t steps(uint32_t hz) {
  return static_cast<uint32_t>((uint64_t{hz} * (1u << 25) + 16000000) / 32000000);
}

void Peer::setup_lora(const Lora& p) {
  lora_ = true;
  lora_params_ = p;
  cmd({0x80, 0x00});
  cmd({0x8A, 0x01});
  Bytes f = {0x86};
  for (uint8_t b : u32be(steps(p.freq))) f.push_back(b);
  cmd(f);
  cmd({0x8B, p.sf, p.bw_code, p.cr, static_cast<uint8_t>(p.ldro)});
  cmd({0x8C, static_cast<uint8_t>(p.preamble >> 8), static_cast<uint8_t>(p.preamble),
       static_cast<uint8_t>(p.implicit), p.len, static_cast<uint8_t>(p.crc),
       static_cast<uint8_t>(p.iq_inverted)});
  write_reg(0x0740, {static_cast<uint8_t>(p.sync >> 8), static_cast<uint8_t>(p.sync)});
  cmd({0x8E, static_cast<uint8_t>(p.power), 0x02});
  cmd({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
  clear_irq();
}

void Peer::setup_fsk(const Fsk& p) {
  lora_ = false;
  fsk_params_ = p;
  cmd({0x80, 0x00});
  cmd({0x8A, 0x00});
  Bytes f = {0x86};
  for (uint8_t b : u32be(steps(p.freq))) f.push_back(b);
  cmd(f);
  const uint32_t br = 1024000000u / p.bitrate;
  const uint32_t fd = steps(p.fdev);
  cmd({0x8B, static_cast<uint8_t>(br >> 16), static_cast<uint8_t>(br >> 8),
       static_cast<uint8_t>(br), 0x0B, p.bw_code, static_cast<uint8_t>(fd >> 16),
       static_cast<uint8_t>(fd >> 8), static_cast<uint8_t>(fd)});
  cmd({0x8C, static_cast<uint8_t>(p.preamble_bits >> 8), static_cast<uint8_t>(p.preamble_bits),
       0x04, static_cast<uint8_t>(8 * p.sync.size()), 0x00, static_cast<uint8_t>(p.variable), p.len,
       p.crc_type, 0x01});
  Bytes sync = p.sync;
  sync.resize(8, 0);
  write_reg(0x06C0, sync);
  write_reg(0x06B8, {static_cast<uint8_t>(p.whitening_seed >> 8 & 0x01),
                     static_cast<uint8_t>(p.whitening_seed)});
  cmd({0x8E, static_cast<uint8_t>(p.power), 0x02});
  cmd({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
  clear_irq();
}

void Peer::send(const Bytes& payload) {
  Bytes w = {0x0E, 0x00};
  w.insert(w.end(), payload.begin(), payload.end());
  cmd(w);
  if (lora_) {
    const Lora& p = lora_params_;
    cmd({0x8C, static_cast<uint8_t>(p.preamble >> 8), static_cast<uint8_t>(p.preamble),
         static_cast<uint8_t>(p.implicit), static_cast<uint8_t>(payload.size()),
         static_cast<uint8_t>(p.crc), static_cast<uint8_t>(p.iq_inverted)});
  } else {
    const Fsk& p = fsk_params_;
    cmd({0x8C, static_cast<uint8_t>(p.preamble_bits >> 8), static_cast<uint8_t>(p.preamble_bits),
         0x04, static_cast<uint8_t>(8 * p.sync.size()), 0x00, static_cast<uint8_t>(p.variable),
         static_cast<uint8_t>(payload.size()), p.crc_type, 0x01});
  }
  cmd({0x83, 0, 0, 0});
}

void Peer::rx(uint32_t t) {
  cmd({0x82, static_cast<uint8_t>(t >> 16), static_cast<uint8_t>(t >> 8), static_cast<uint8_t>(t)});
}

void Peer::standby() { cmd({0x80, 0x00}); }

uint16_t Peer::irq() {
  Bytes b = read(0x12, 2);
  return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

void Peer::clear_irq() { cmd({0x02, 0xFF, 0xFF}); }

Bytes Peer::received() {
  Bytes st = read(0x13, 2);
  wait_ready();
  chip_->set_nss(0);
  chip_->spi_transfer(0x1E);
  chip_->spi_transfer(st[1]);
  chip_->spi_transfer(0);
  Bytes out;
  for (int i = 0; i < st[0]; ++i) out.push_back(chip_->spi_transfer(0));
  chip_->set_nss(1);
  return out;
}

// ------------------------------------------------------------- fixture --

void RadioTest::SetUp() {
  sim::host::reset_core();
  air().reset();
  log().clear();
  env::setup();
  air().add_tap(&tap, &frames_);
  Radio.Init(events());
  // The driver's sync-word memory outlives a test; start from the chip's
  // default (private) on both sides.
  Radio.SetPublicNetwork(false);
}

void RadioTest::TearDown() {
  air().reset();
  env::teardown();
  sim::host::reset_core();
}

bool RadioTest::run_until(const std::function<bool()>& cond, sim::time_us limit_us) {
  const sim::time_us limit = sim::now() + limit_us;
  bool ok = true;
  for (;;) {
    env::main_loop_step();
    if (cond()) break;
    if (sim::now() >= limit) {
      ok = false;
      break;
    }
    sim::wait_for_change(limit);
  }
  return ok;
}

void RadioTest::run_for(sim::time_us us) {
  run_until([] { return false; }, us);
}

void RadioTest::lora_rx_config(const Peer::Lora& p, uint16_t symb_timeout, bool continuous) {
  Radio.SetChannel(p.freq);
  Radio.SetRxConfig(MODEM_LORA, bw_index_of(p.bw_code), p.sf, p.cr, 0, p.preamble, symb_timeout,
                    p.implicit, p.len, p.crc, false, 0, p.iq_inverted, continuous);
}

void RadioTest::lora_tx_config(const Peer::Lora& p, uint32_t timeout_ms) {
  Radio.SetChannel(p.freq);
  Radio.SetTxConfig(MODEM_LORA, p.power, 0, bw_index_of(p.bw_code), p.sf, p.cr, p.preamble,
                    p.implicit, p.crc, false, 0, p.iq_inverted, timeout_ms);
}

}  // namespace radio_test
