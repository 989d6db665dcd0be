// Helpers shared by the bootloader's logic tests on the fake chip.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "bootloader.h"
#include "fake_chip.h"
#include "stm32_appfile.h"
#include "ymodem_sender.h"

namespace boottest {

constexpr uint32_t kErased = 0xFFFFFFFFu;
inline const std::string kVersionLine = "QIV_BOOT_0.8_STM32WLE5CC\r\n";
inline const std::string kBootBanner = "<BOOT MODE>\r\n";
inline const std::string kUpgrade = "Start firmware upgrade...\r\n";
inline const std::string kStop = "Stop Boot Mode\r\n";
inline const std::string kJumpFailed = "Jump failed. No legal application detected.\r\n";

inline void set_flags(uint32_t boot_flag, uint32_t update_flag) {
  fake::flash_poke_word(BOOT_FLAG_ADDR, boot_flag);
  fake::flash_poke_word(UPDATE_FLAG_ADDR, update_flag);
}
inline uint32_t boot_flag() { return fake::flash_word(BOOT_FLAG_ADDR); }
inline uint32_t update_flag() { return fake::flash_word(UPDATE_FLAG_ADDR); }

inline void install(const std::vector<uint8_t>& file) {
  fake::flash_poke(APP_IMAGE_ADDR, file.data(), file.size());
}

inline std::vector<uint8_t> flash_bytes(uint32_t address, size_t len) {
  const uint8_t* p = fake::chip().flash + (address - fake::kFlashBase);
  return std::vector<uint8_t>(p, p + len);
}

constexpr uint32_t kAreaSize = stm32sim::kAppAreaSize;
constexpr uint32_t kAppSize = 100 * 1024;  // a typical image

inline std::vector<uint8_t> app_file(const std::string& image, uint32_t size = kAppSize) {
  return stm32sim::make_app_file(image, size);
}

// An application file with another initial stack pointer, its CRC-32 made
// to match again (the file stays whole).
inline std::vector<uint8_t> with_sp(std::vector<uint8_t> file, uint32_t sp) {
  std::memcpy(file.data(), &sp, 4);
  const uint32_t zero = 0;
  std::memcpy(file.data() + 16, &zero, 4);
  const uint32_t crc = stm32sim::crc32(file.data(), file.size());
  std::memcpy(file.data() + 16, &crc, 4);
  return file;
}

// Random-looking bytes that still pass the stack-pointer check.
inline std::vector<uint8_t> raw_image(size_t size, uint32_t seed) {
  std::vector<uint8_t> d(size);
  uint32_t x = seed | 1u;
  for (auto& b : d) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  const uint32_t sp = 0x2000FC00u;
  if (size >= 4) std::memcpy(d.data(), &sp, 4);
  return d;
}

// Drives a ytest::Sender from the fake line; the sender's own time-out is
// 10 s of silence, as common senders use.
class SenderPeer : public fake::Peer {
 public:
  explicit SenderPeer(ytest::Sender& sender) : sender_(sender) {}
  void from_chip(uint8_t byte, uint32_t now) override {
    last_ = now;
    std::vector<uint8_t> out;
    sender_.receive(byte, out);
    queue_.insert(queue_.end(), out.begin(), out.end());
  }
  int to_chip(uint32_t now) override {
    if (!started_) {
      started_ = true;
      last_ = now;
    }
    if (queue_.empty() && !sender_.finished() && now - last_ >= 10000) {
      last_ = now;
      std::vector<uint8_t> out;
      sender_.timeout(out);
      queue_.insert(queue_.end(), out.begin(), out.end());
    }
    if (queue_.empty()) return -1;
    last_ = now;
    int b = queue_.front();
    queue_.erase(queue_.begin());
    return b;
  }

 private:
  ytest::Sender& sender_;
  std::vector<uint8_t> queue_;
  uint32_t last_ = 0;
  bool started_ = false;
};

// Two senders on the line one after the other: the second takes the line
// once the first one has finished and everything it sent has arrived.
class TwoSenders : public fake::Peer {
 public:
  TwoSenders(ytest::Sender& first, ytest::Sender& second) : first_(first), a_(first), b_(second) {}
  void from_chip(uint8_t x, uint32_t t) override { (switched_ ? b_ : a_).from_chip(x, t); }
  int to_chip(uint32_t t) override {
    if (!switched_) {
      int x = a_.to_chip(t);
      if (x >= 0 || !first_.finished()) return x;
      switched_ = true;
    }
    return b_.to_chip(t);
  }

 private:
  ytest::Sender& first_;
  SenderPeer a_, b_;
  bool switched_ = false;
};

// Boot mode with "at+update" typed, then the sender on the line.
inline fake::Boot run_download(ytest::Sender& sender, uint32_t budget_ms = 200000) {
  SenderPeer sp(sender);
  fake::ThenPeer peer("at+update\r", &sp);
  fake::chip().peer = &peer;
  fake::Boot b = fake::boot(budget_ms);
  fake::chip().peer = nullptr;
  return b;
}

inline fake::Boot run_script(const std::string& script, uint32_t budget_ms = 20000) {
  fake::ScriptPeer peer(script);
  fake::chip().peer = &peer;
  fake::Boot b = fake::boot(budget_ms);
  fake::chip().peer = nullptr;
  return b;
}

}  // namespace boottest
