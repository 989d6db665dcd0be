#include "world/link_budget.h"

#include <algorithm>
#include <cmath>

namespace sim::world {

void LinkBudget::set_path_loss(uint32_t from, uint32_t to, double db, bool both_ways) {
  loss_db_[{from, to}] = db;
  if (both_ways) loss_db_[{to, from}] = db;
}

void LinkBudget::clear_path_loss(uint32_t from, uint32_t to, bool both_ways) {
  loss_db_.erase({from, to});
  if (both_ways) loss_db_.erase({to, from});
}

double LinkBudget::path_loss(uint32_t from, uint32_t to) const {
  auto it = loss_db_.find({from, to});
  return it == loss_db_.end() ? default_loss_db_ : it->second;
}

double LinkBudget::noise_floor(const AirFrame& frame) const {
  if (noise_floor_dbm_) return *noise_floor_dbm_;
  double bw = frame.bandwidth_hz ? static_cast<double>(frame.bandwidth_hz) : 125000.0;
  return -174.0 + 10.0 * std::log10(bw) + noise_figure_db_;
}

void LinkBudget::apply(AirFrame& frame, uint32_t receiver) const {
  apply(frame, receiver, noise_floor(frame));
}

void LinkBudget::apply(AirFrame& frame, uint32_t receiver, double noise_floor_dbm) const {
  measure(frame, receiver, noise_floor_dbm, &frame.rx_rssi_dbm, &frame.rx_snr_db);
}

void LinkBudget::measure(const AirFrame& frame, uint32_t receiver, double noise_floor_dbm,
                         int16_t* rssi_dbm, int8_t* snr_db) const {
  double rssi = static_cast<double>(frame.tx_power_dbm) - path_loss(frame.sender, receiver);
  double snr = rssi - noise_floor_dbm;
  *rssi_dbm = static_cast<int16_t>(std::clamp(std::lround(rssi), -32768L, 32767L));
  *snr_db = static_cast<int8_t>(std::clamp(std::lround(snr), -128L, 127L));
}

}  // namespace sim::world
