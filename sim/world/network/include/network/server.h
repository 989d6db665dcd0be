// A LoRaWAN network server for the simulated air: devices by DevEUI (OTAA)
// or DevAddr (ABP), 1.0.x and 1.1 joins, MIC and FCnt checks, decryption,
// acknowledgements, queued application downlinks and MAC commands, answers
// to the device's own MAC requests, class B ping slots, class C and
// multicast. It works on frames and times only; the gateway puts it on the
// air.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "network/lorawan.h"
#include "network/region.h"

namespace sim::network {

using time_us = uint64_t;

// An uplink as the gateway received it.
struct RxMeta {
  time_us end_us = 0;  // end of the frame on the air
  uint32_t freq = 0;
  uint8_t dr = 0;
  int channel = -1;  // index in the region's channel list, -1 when added later
  int16_t rssi = 0;
  int8_t snr = 0;
};

// A frame for the gateway to put on the air.
struct Transmission {
  time_us at = 0;  // start of the preamble
  uint32_t freq = 0;
  uint8_t dr = 0;
  Bytes bytes;
  std::string device;  // name ("" for beacons and multicast)
  std::string what;    // "RX1", "RX2", "class C", "ping slot", "multicast", "beacon"
};

enum class Window { kRx1, kRx2, kNone };

struct DeviceEntry {
  std::string name;
  bool v11 = false;  // LoRaWAN 1.1 (OptNeg join, 1.1 MIC and FOpts encryption)
  // OTAA
  uint64_t dev_eui = 0;
  uint64_t join_eui = 0;
  Key app_key{};  // 1.0: the only root key
  Key nwk_key{};  // 1.1
  // ABP (dev_addr != 0 and otaa false)
  bool otaa = true;
  uint32_t dev_addr = 0;
  SessionKeys keys;              // ABP session keys
  bool fopts_later_form = true;  // 1.1 FOpts A block (false: the original 1.1.0 form)
  char dev_class = 'A';
};

// One uplink as the server saw it: decoded when it could be.
struct UplinkRecord {
  time_us t = 0;  // end of the frame
  RxMeta meta;
  Bytes raw;
  std::string device;  // "" when unknown
  MType mtype = MType::kUnconfirmedUp;
  uint64_t dev_eui = 0;    // joins
  uint16_t dev_nonce = 0;  // joins; RJcount of rejoin requests
  uint8_t rejoin_type = 0;
  uint32_t dev_addr = 0;
  uint8_t fctrl = 0;
  uint32_t fcnt = 0;  // 32-bit reconstruction
  std::optional<uint8_t> fport;
  Bytes payload;                // decrypted
  std::vector<MacCommand> mac;  // FOpts or port 0
  bool mic_ok = false;
  bool accepted = false;
  std::string status;        // "ok", "repeat", "replay", "MIC", "unknown DevAddr", ...
  std::string line() const;  // one line, as a network console shows it
};

struct DownlinkRecord {
  Transmission tx;
  uint32_t dev_addr = 0;
  uint32_t fcnt = 0;
  uint8_t fctrl = 0;
  std::optional<uint8_t> fport;
  Bytes payload;  // plain
  std::vector<MacCommand> mac;
  std::string line() const;
};

struct Multicast {
  std::string name;
  uint32_t addr = 0;
  Key nwk_s_key{};
  Key app_s_key{};
  uint32_t fcnt = 0;
  char group_class = 'C';
  uint32_t freq = 0;        // 0: the region's RX2 (class C) or ping-slot channel (class B)
  int dr = -1;              // -1: the same defaults
  uint8_t periodicity = 0;  // class B
};

class NetworkServer {
 public:
  explicit NetworkServer(RegionId region);

  const Region& region() const { return *region_; }

  // --- settings -----------------------------------------------------------
  uint32_t net_id = 0x000013;
  uint32_t next_dev_addr = 0x26000001;   // addresses given at joins
  uint8_t join_rx1_dr_offset = 0;        // DLSettings of join accepts
  int join_rx2_dr = -1;                  // -1: the region's default
  uint8_t join_rx_delay = 1;             // seconds
  Bytes join_cflist;                     // 16 bytes or empty
  bool require_rising_dev_nonce = true;  // else only a repeated DevNonce is refused
  bool adr = false;                      // answer ADR devices by the ADR rule
  // GPS time (µs) at world time 0: beacons, DeviceTimeAns, ping slots.
  uint64_t gps_offset_us = 1419724818ull * 1000000;
  // Uplinks that carry the class B bit are served in class B.

  // --- devices ------------------------------------------------------------
  void add_device(const DeviceEntry& entry);
  bool has_device(const std::string& name) const;
  void set_window(const std::string& device, Window w);  // where answers go
  void set_class(const std::string& device, char c);
  void set_ping_periodicity(const std::string& device, uint8_t p);
  // Session of a device (after its join): DevAddr and keys.
  std::optional<uint32_t> dev_addr(const std::string& device) const;
  std::optional<SessionKeys> session_keys(const std::string& device) const;
  uint32_t fcnt_down(const std::string& device) const;  // next (1.0 / 1.1 NFCntDown)
  void set_fcnt_down(const std::string& device, uint32_t next);

  // An application downlink (sent in the next class A window, or at once in
  // class C, or in the next ping slot in class B).
  void queue_downlink(const std::string& device, uint8_t port, const Bytes& payload,
                      bool confirmed = false);
  // A network command for the next class A downlink of the device.
  void queue_mac(const std::string& device, const MacCommand& cmd);
  size_t queued(const std::string& device) const;
  // Answers the device gave to network commands, in order.
  const std::vector<MacCommand>& answers(const std::string& device) const;
  // Whether the last confirmed downlink of the device was acknowledged.
  bool last_confirmed_acked(const std::string& device) const;

  void add_multicast(const Multicast& group);
  bool has_multicast(const std::string& group) const { return groups_.count(group) != 0; }
  void queue_multicast(const std::string& group, uint8_t port, const Bytes& payload);
  size_t queued_multicast(const std::string& group) const;

  // What a network console lists: each device and its session.
  struct DeviceStatus {
    std::string name;
    char dev_class = 'A';
    bool joined = false;
    uint32_t dev_addr = 0;
    std::optional<uint32_t> fcnt_up;  // last accepted
    uint32_t fcnt_down = 0;           // next (1.1: NFCntDown)
    uint32_t afcnt_down = 0;          // next AFCntDown (1.1)
    bool v11 = false;
    std::optional<RxMeta> last_rx;  // of the last accepted uplink
    size_t queued = 0;              // application downlinks waiting
    size_t mac_queued = 0;          // network commands waiting
  };
  std::vector<DeviceStatus> device_status() const;
  const std::map<std::string, Multicast>& groups() const { return groups_; }

  // Replies on a port: called with each accepted uplink on that port; what
  // it returns is queued for the device. For scripted test servers (224).
  using PortHandler = std::function<std::optional<Bytes>(const UplinkRecord&)>;
  void set_port_handler(uint8_t port, PortHandler handler);

  // --- the gateway's side -------------------------------------------------
  // An uplink heard at meta.end_us. Returns the answers to put on the air.
  std::vector<Transmission> on_uplink(const Bytes& frame, const RxMeta& meta);
  // Whether downlinks wait that are not answers (class B/C, multicast).
  bool has_spontaneous() const;
  // Takes them, scheduled at `now` or later.
  std::vector<Transmission> take_spontaneous(time_us now);
  // Frequencies the gateway should listen on beyond the region's channels.
  std::vector<uint32_t> extra_channels() const;

  // --- what happened --------------------------------------------------------
  const std::vector<UplinkRecord>& uplinks() const { return uplinks_; }
  const std::vector<DownlinkRecord>& downlinks() const { return downlinks_; }
  const std::vector<std::string>& log() const { return log_; }
  // Adds a line to the log; a line about a later time than the world has
  // reached so far waits until advance_log() gets there.
  void note(time_us t, const std::string& text);
  void advance_log(time_us now);
  std::function<void(const std::string&)> on_log;  // each new log line

  // GPS time in µs at a world time, and back.
  uint64_t gps_us(time_us t) const { return t + gps_offset_us; }
  // The next ping slot at or after `from` for an address and periodicity.
  time_us next_ping_slot(time_us from, uint32_t address, uint8_t periodicity,
                         uint32_t* beacon_time = nullptr) const;

 private:
  struct AppDown {
    uint8_t port;
    Bytes payload;
    bool confirmed;
  };
  struct Dev {
    DeviceEntry entry;
    bool joined = false;  // has a session
    uint32_t dev_addr = 0;
    SessionKeys keys;
    std::optional<uint32_t> last_fcnt_up;
    Bytes last_raw;
    uint32_t nfcnt_down = 0;
    uint32_t afcnt_down = 0;
    std::optional<uint16_t> last_dev_nonce;
    std::vector<uint16_t> used_nonces;
    uint32_t join_nonce = 0;
    std::optional<uint16_t> last_rj_count0;  // since the last join accept
    std::optional<uint16_t> last_rj_count1;
    Window window = Window::kRx1;
    char dev_class = 'A';
    std::optional<uint8_t> ping_periodicity;
    uint32_t ping_freq = 0;
    int ping_dr = -1;
    std::deque<AppDown> queue;
    std::vector<MacCommand> mac_queue;  // scripted commands, not yet sent
    std::vector<MacCommand> mac_sent;   // sent, waiting for their answers
    std::vector<MacCommand> answers;
    uint8_t rx1_dr_offset = 0;
    uint8_t rx2_dr = 0;
    uint32_t rx2_freq = 0;
    uint32_t join_freq = 0;  // uplink frequency of the accepted join
    uint8_t rx1_delay = 1;
    std::map<int, uint32_t> dl_freq;         // DlChannelReq per uplink channel
    std::vector<uint32_t> channels;          // added by CFList / NewChannelReq
    std::optional<uint16_t> conf_down_fcnt;  // last confirmed downlink (for ACK)
    bool conf_down_acked = false;
    time_us busy_until = 0;  // class A exchange in progress
    std::vector<double> snr_history;
    bool adr_pending = false;
    uint8_t cur_dr = 0;
    std::optional<RxMeta> last_rx;
  };

  Dev& dev(const std::string& name);
  const Dev& dev(const std::string& name) const;
  std::vector<Transmission> on_join(const Bytes& frame, const RxMeta& meta, UplinkRecord& rec);
  // The OTAA device with this DevEUI (the last registered), or nullptr.
  Dev* find_otaa(uint64_t dev_eui);
  std::vector<Transmission> on_rejoin(const Bytes& frame, const RxMeta& meta, UplinkRecord& rec);
  std::vector<Transmission> on_data(const Bytes& frame, const RxMeta& meta, UplinkRecord& rec);
  void handle_mac(Dev& d, const std::vector<MacCommand>& cmds, const RxMeta& meta,
                  std::vector<MacCommand>& answers, bool* must_answer);
  Bytes encode_down(Dev& d, MType mtype, uint8_t fctrl, const Bytes& fopts,
                    std::optional<uint8_t> port, const Bytes& payload, uint16_t conf_fcnt,
                    uint32_t* fcnt_used);
  Transmission window_tx(const Dev& d, const RxMeta& meta, bool join, Bytes bytes) const;
  void record_down(const Transmission& tx, uint32_t addr, uint32_t fcnt, uint8_t fctrl,
                   std::optional<uint8_t> port, const Bytes& payload,
                   const std::vector<MacCommand>& mac);
  void adr_rule(Dev& d, const RxMeta& meta);

  const Region* region_;
  std::map<std::string, Dev> devs_;
  // Names of the devices with a session, by DevAddr (an address once given
  // to a device stays its own; a session is never taken away).
  std::map<uint32_t, std::set<std::string>> by_addr_;
  // Application downlinks waiting in all devices' queues.
  size_t app_queued_ = 0;
  std::map<std::string, Multicast> groups_;
  std::map<std::string, std::deque<AppDown>> mc_queue_;
  std::map<uint8_t, PortHandler> handlers_;
  std::vector<UplinkRecord> uplinks_;
  std::vector<DownlinkRecord> downlinks_;
  std::vector<std::string> log_;
  // Lines about what happens later (a scheduled downlink) wait until the
  // world gets there, so that the log stays in time order.
  time_us log_clock_ = 0;
  std::multimap<time_us, std::string> held_notes_;
};

// Network command encoders (payload after the CID).
namespace mac {
MacCommand link_adr_req(uint8_t dr, uint8_t tx_power, uint16_t ch_mask, uint8_t ch_mask_cntl,
                        uint8_t nb_trans);
MacCommand duty_cycle_req(uint8_t max_duty_cycle);
MacCommand rx_param_setup_req(uint8_t rx1_dr_offset, uint8_t rx2_dr, uint32_t rx2_freq);
MacCommand dev_status_req();
MacCommand new_channel_req(uint8_t index, uint32_t freq, uint8_t min_dr, uint8_t max_dr);
MacCommand rx_timing_setup_req(uint8_t delay_s);
MacCommand tx_param_setup_req(bool downlink_dwell, bool uplink_dwell, uint8_t max_eirp_code);
MacCommand dl_channel_req(uint8_t index, uint32_t freq);
MacCommand ping_slot_channel_req(uint32_t freq, uint8_t dr);
MacCommand beacon_freq_req(uint32_t freq);
MacCommand adr_param_setup_req(uint8_t limit_exp, uint8_t delay_exp);
// ForceRejoinReq: the 16-bit field of the 1.1 layout (bits 13:11 Period,
// 10:8 Max_Retries, 6:4 RejoinType, 3:0 DR), or `byte_fields`: byte 0 bits
// 0-2 Max_Retries and 3-5 Period, byte 1 bits 0-3 DR and 4-6 RejoinType.
MacCommand force_rejoin_req(uint8_t period, uint8_t max_retries, uint8_t rejoin_type, uint8_t dr,
                            bool byte_fields = false);
MacCommand rejoin_param_setup_req(uint8_t max_time_n, uint8_t max_count_n);
MacCommand rekey_conf(uint8_t version);
MacCommand device_mode_conf(uint8_t dev_class);
MacCommand reset_conf(uint8_t version);
}  // namespace mac

}  // namespace sim::network
