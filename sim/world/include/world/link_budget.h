// The link budget of the simulated air: what a receiver measures of a frame.
//
// rssi = transmit power - path loss (per sender/receiver pair, or the default)
// snr  = rssi - noise floor, where the noise floor is either fixed or the
//        thermal noise in the frame's bandwidth plus the receiver's noise
//        figure (-174 dBm/Hz + 10 log10(bandwidth) + noise figure).
// Whether the frame is received at all is the receiving radio's decision.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <utility>

#include "sim/air.h"

namespace sim::world {

class LinkBudget {
 public:
  // Device ids; 0 is the world itself (frames a test injects).
  void set_default_path_loss(double db) { default_loss_db_ = db; }
  void set_path_loss(uint32_t from, uint32_t to, double db, bool both_ways = true);
  void clear_path_loss(uint32_t from, uint32_t to, bool both_ways = true);
  double path_loss(uint32_t from, uint32_t to) const;

  void set_noise_figure(double db) { noise_figure_db_ = db; }
  void set_noise_floor(std::optional<double> dbm) { noise_floor_dbm_ = dbm; }
  double noise_floor(const AirFrame& frame) const;

  // Fills rx_rssi_dbm and rx_snr_db of `frame` as heard by `receiver`.
  void apply(AirFrame& frame, uint32_t receiver) const;
  // The same with noise_floor(frame) worked out once for many receivers.
  void apply(AirFrame& frame, uint32_t receiver, double noise_floor_dbm) const;
  // What apply() would fill in, without a copy of the frame.
  void measure(const AirFrame& frame, uint32_t receiver, double noise_floor_dbm, int16_t* rssi_dbm,
               int8_t* snr_db) const;

 private:
  double default_loss_db_ = 80.0;
  double noise_figure_db_ = 6.0;
  std::optional<double> noise_floor_dbm_;
  std::map<std::pair<uint32_t, uint32_t>, double> loss_db_;
};

}  // namespace sim::world
