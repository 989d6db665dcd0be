#include "ymodem_sender.h"

#include <algorithm>

namespace ytest {

namespace {
constexpr uint8_t kSoh = 0x01, kStx = 0x02, kEot = 0x04, kAck = 0x06, kNak = 0x15, kCa = 0x18,
                  kC = 'C';
constexpr int kMaxRetries = 10;
}  // namespace

uint16_t crc16_xmodem(const uint8_t* data, size_t len) {
  uint16_t crc = 0;
  for (size_t i = 0; i < len; ++i) {
    crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
    for (int b = 0; b < 8; ++b) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

Sender::Sender(std::vector<File> files, Blocks blocks, Faults faults)
    : files_(std::move(files)), blocks_(blocks), faults_(std::move(faults)) {}

void Sender::packet(std::vector<uint8_t>& out, uint8_t number, const std::vector<uint8_t>& data,
                    bool corrupt) {
  out.push_back(data.size() == 1024 ? kStx : kSoh);
  out.push_back(number);
  out.push_back(static_cast<uint8_t>(~number));
  out.insert(out.end(), data.begin(), data.end());
  uint16_t crc = crc16_xmodem(data.data(), data.size());
  if (corrupt) crc ^= 0x0100;
  out.push_back(static_cast<uint8_t>(crc >> 8));
  out.push_back(static_cast<uint8_t>(crc));
}

std::vector<uint8_t> Sender::block_data(size_t* advance) const {
  const std::vector<uint8_t>& d = files_[file_].data;
  size_t remaining = d.size() - offset_;
  size_t size = 1024;
  if (blocks_ == Blocks::k128) size = 128;
  if (blocks_ == Blocks::kMixed && remaining < 1024) size = 128;
  size_t n = std::min(size, remaining);
  std::vector<uint8_t> block(size, 0x1A);  // padding as common senders do
  std::copy(d.begin() + static_cast<long>(offset_), d.begin() + static_cast<long>(offset_ + n),
            block.begin());
  *advance = n;
  return block;
}

void Sender::send_header(std::vector<uint8_t>& out) {
  const File& f = files_[file_];
  std::vector<uint8_t> h(128, 0);
  std::vector<uint8_t> fields;
  if (f.raw_header) {
    fields = *f.raw_header;
  } else {
    fields.assign(f.name.begin(), f.name.end());
    fields.push_back(0);
    std::string size = f.size_text ? *f.size_text : std::to_string(f.data.size());
    std::string rest = size + " 14713357353 100644 0 1 " + std::to_string(f.data.size());
    fields.insert(fields.end(), rest.begin(), rest.end());
  }
  if (fields.size() > 1024) fields.resize(1024);
  if (fields.size() > 128) h.resize(1024, 0);
  std::copy(fields.begin(), fields.end(), h.begin());
  bool corrupt = first_file() && faults_.corrupt_crc.count(0) && !corrupted_.count(0);
  if (corrupt) corrupted_.insert(0);
  packet(out, 0, h, corrupt);
  state_ = State::kWaitHeaderAck;
}

void Sender::send_block(std::vector<uint8_t>& out) {
  size_t advance = 0;
  std::vector<uint8_t> data = block_data(&advance);
  uint8_t number = static_cast<uint8_t>(index_);
  bool corrupt = false;
  if (first_file()) {
    if (faults_.corrupt_crc.count(index_) && !corrupted_.count(index_)) {
      corrupted_.insert(index_);
      corrupt = true;
    }
    if (faults_.bad_packets_after >= 0 && index_ > faults_.bad_packets_after) corrupt = true;
    auto w = faults_.wrong_number.find(index_);
    if (w != faults_.wrong_number.end() && !renumbered_.count(index_)) {
      renumbered_.insert(index_);
      number = w->second;
    }
  }
  packet(out, number, data, corrupt);
  good_packet_.clear();
  packet(good_packet_, static_cast<uint8_t>(index_), data, false);
  state_ = State::kWaitBlockAck;
}

void Sender::send_end(std::vector<uint8_t>& out) {
  packet(out, 0, std::vector<uint8_t>(128, 0), false);
  state_ = State::kWaitEndAck;
}

void Sender::resend(std::vector<uint8_t>& out) {
  if (++retries_ > kMaxRetries) {
    out.insert(out.end(), {kCa, kCa, kCa, kCa, kCa});
    state_ = State::kGaveUp;
    return;
  }
  retries_total_++;
  switch (state_) {
    case State::kWaitHeaderAck:
      send_header(out);
      break;
    case State::kWaitBlockAck:
      if (repeating_) {
        out.insert(out.end(), good_packet_.begin(), good_packet_.end());
      } else {
        send_block(out);
      }
      break;
    case State::kWaitEotAck:
      out.push_back(kEot);
      break;
    case State::kWaitEndAck:
      send_end(out);
      break;
    default:
      break;
  }
}

void Sender::after_ack(std::vector<uint8_t>& out) {
  retries_ = 0;
  if (first_file()) {
    if (index_ == faults_.silent_after) {
      state_ = State::kSilent;
      return;
    }
    if (index_ == faults_.cancel_after) {
      out.insert(out.end(), {kCa, kCa, kCa, kCa, kCa, 0x08, 0x08, 0x08, 0x08, 0x08});
      state_ = State::kAborted;
      return;
    }
    if (index_ == faults_.abort_after) {
      out.push_back('a');
      state_ = State::kAborted;
      return;
    }
    if (index_ == faults_.repeat_after || repeating_) {
      // Keep sending the block just acknowledged: a sender stuck in a loop.
      repeating_ = true;
      out.insert(out.end(), good_packet_.begin(), good_packet_.end());
      state_ = State::kWaitBlockAck;
      return;
    }
  }
  index_++;
  const std::vector<uint8_t>& d = files_[file_].data;
  size_t limit = d.size();
  if (first_file() && faults_.eot_early) limit = d.size() / 2;
  if (offset_ >= limit) {
    out.push_back(kEot);
    state_ = State::kWaitEotAck;
    return;
  }
  send_block(out);
}

void Sender::receive(uint8_t byte, std::vector<uint8_t>& out) {
  if (finished()) return;
  bool was_ca = last_was_ca_;
  last_was_ca_ = (byte == kCa);
  if (byte == kCa) {
    if (was_ca) state_ = State::kCancelled;
    return;
  }
  if (byte == kNak) naks_++;
  if (byte == kC) crcs_++;

  switch (state_) {
    case State::kWaitStart:
      if (byte == kC && files_.empty()) {
        send_end(out);  // a batch without files
      } else if (byte == kC) {
        index_ = 0;
        offset_ = 0;
        send_header(out);
      }
      break;
    case State::kWaitHeaderAck:
      if (byte == kAck) {
        if (first_file() && faults_.lose_ack.count(0) && !lost_.count(0)) {
          lost_.insert(0);
          break;
        }
        retries_ = 0;
        state_ = State::kWaitDataStart;
      } else if (byte == kC || byte == kNak) {
        resend(out);
      }
      break;
    case State::kWaitDataStart:
      if (byte == kC) {
        index_ = 1;
        if (offset_ >= files_[file_].data.size()) {
          out.push_back(kEot);
          state_ = State::kWaitEotAck;
        } else {
          send_block(out);
        }
      }
      break;
    case State::kWaitBlockAck:
      if (byte == kAck) {
        if (first_file() && faults_.lose_ack.count(index_) && !lost_.count(index_)) {
          lost_.insert(index_);
          break;
        }
        if (!repeating_) {
          size_t advance = 0;
          block_data(&advance);
          offset_ += advance;
          acked_blocks_++;
        }
        after_ack(out);
      } else if (byte == kC || byte == kNak) {
        resend(out);
      }
      break;
    case State::kWaitEotAck:
      if (byte == kAck) {
        retries_ = 0;
        file_++;
        state_ = file_ < files_.size() ? State::kWaitStart : State::kWaitEndStart;
      } else if (byte == kNak || byte == kC) {
        resend(out);
      }
      break;
    case State::kWaitEndStart:
      if (byte == kC) send_end(out);
      break;
    case State::kWaitEndAck:
      if (byte == kAck) {
        state_ = State::kDone;
      } else if (byte == kC || byte == kNak) {
        resend(out);
      }
      break;
    default:
      break;
  }
}

void Sender::timeout(std::vector<uint8_t>& out) {
  if (finished()) return;
  if (state_ == State::kWaitStart || state_ == State::kWaitDataStart ||
      state_ == State::kWaitEndStart) {
    return;  // waiting for the receiver to ask
  }
  resend(out);
}

}  // namespace ytest
