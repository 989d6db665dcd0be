// The link layer's callbacks kept as records until a stand-in's dispatcher
// runs: a BLE stack stand-in hands them to its host from its own interrupt
// or task, not from inside the link layer's radio event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>

#include "sim/ble_ll.h"

namespace sim::ble {

struct LlEvent {
  enum Kind {
    kConnected,
    kDisconnected,
    kAcl,
    kCompleted,
    kEncryption,
    kAdvEnded,
    kUpdated,
    kReport,
    kScanTimeout,  // a stand-in's own scan timer, queued beside the rest
  } kind;
  LinkLayer::ConnInfo conn{};
  uint8_t code = 0;
  Bytes data;
  int n = 0;
  LinkLayer::Report report{};
};

// Queues every callback of the link layer it listens to and calls `queued`
// after each (the stand-in raises its interrupt or wakes its task there).
// Scan reports are queued only when `reports` is set; a scanner of its own
// hands its reports in through report().
class LlEventQueue : public LinkLayer::Host {
 public:
  LlEventQueue(std::function<void()> queued, bool reports)
      : queued_(std::move(queued)), reports_(reports) {}

  std::deque<LlEvent> events;

  void push(LlEvent e) {
    events.push_back(std::move(e));
    queued_();
  }
  void report(const LinkLayer::Report& r) {
    LlEvent e{LlEvent::kReport, {}, 0, {}, 0};
    e.report = r;
    push(std::move(e));
  }

  void ll_report(const LinkLayer::Report& r) override {
    if (reports_) report(r);
  }
  void ll_advertising_ended(uint8_t s) override { push({LlEvent::kAdvEnded, {}, s, {}, 0}); }
  void ll_connected(const LinkLayer::ConnInfo& c) override {
    push({LlEvent::kConnected, c, 0, {}, 0});
  }
  void ll_disconnected(uint8_t r) override { push({LlEvent::kDisconnected, {}, r, {}, 0}); }
  void ll_acl(uint8_t llid, const uint8_t* d, size_t n) override {
    push({LlEvent::kAcl, {}, llid, Bytes(d, d + n), 0});
  }
  void ll_completed(int n) override { push({LlEvent::kCompleted, {}, 0, {}, n}); }
  void ll_encryption_changed(uint8_t s) override { push({LlEvent::kEncryption, {}, s, {}, 0}); }
  void ll_connection_updated(const ConnectionParams& p) override {
    LlEvent e{LlEvent::kUpdated, {}, 0, {}, 0};
    e.conn.params = p;
    push(std::move(e));
  }

 private:
  std::function<void()> queued_;
  bool reports_;
};

// Hands a link event to the host above the link layer: false for the events
// that are not the link's (scan reports, a stand-in's own), which the caller
// handles.
inline bool deliver_link_event(const LlEvent& e, LinkLayer::Host& host) {
  switch (e.kind) {
    case LlEvent::kConnected:
      host.ll_connected(e.conn);
      return true;
    case LlEvent::kDisconnected:
      host.ll_disconnected(e.code);
      return true;
    case LlEvent::kAcl:
      host.ll_acl(e.code, e.data.data(), e.data.size());
      return true;
    case LlEvent::kCompleted:
      host.ll_completed(e.n);
      return true;
    case LlEvent::kEncryption:
      host.ll_encryption_changed(e.code);
      return true;
    case LlEvent::kAdvEnded:
      host.ll_advertising_ended(e.code);
      return true;
    case LlEvent::kUpdated:
      host.ll_connection_updated(e.conn.params);
      return true;
    case LlEvent::kReport:
    case LlEvent::kScanTimeout:
      return false;
  }
  return false;
}

}  // namespace sim::ble
