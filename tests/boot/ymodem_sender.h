// A YMODEM batch sender for tests, with fault injection. It is transport
// neutral: feed it the receiver's bytes and its own time-outs, and send what
// it returns. It follows the sender side of the protocol as common senders
// do: waits for 'C', sends the header (block 0, 128 bytes), waits for ACK and
// 'C', sends the data blocks (a 'C' or NAK asks for the block again, ten
// retries at most), EOT until ACKed, and ends the batch with an empty header.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ytest {

// CRC-16/XMODEM written directly (not in the augmented form the firmware
// uses), so that both sides do not share one mistake.
uint16_t crc16_xmodem(const uint8_t* data, size_t len);

struct File {
  std::string name;
  std::vector<uint8_t> data;
  // The size field of the header; the data length in decimal by default.
  std::optional<std::string> size_text;
  // The header's bytes after the name, replacing name-NUL-size when set
  // (for malformed headers).
  std::optional<std::vector<uint8_t>> raw_header;
};

enum class Blocks {
  k128,    // 128-byte data blocks
  k1K,     // 1024-byte data blocks, the last one padded
  kMixed,  // 1024-byte blocks, the tail in 128-byte blocks
};

// Faults, by block index within the first file: 0 is the header, 1.. the
// data blocks in order (not the wrapped block numbers).
struct Faults {
  std::set<int> corrupt_crc;            // first transmission has a bad CRC
  std::set<int> lose_ack;               // the first ACK of this block is lost
  std::map<int, uint8_t> wrong_number;  // first transmission carries this number
  int silent_after = -1;                // after this block is ACKed, send nothing more
  int cancel_after = -1;                // after this block is ACKed, send CA CA
  int abort_after = -1;                 // after this block is ACKed, type 'a'
  int repeat_after = -1;                // after this block is ACKed, keep sending it again
  int bad_packets_after = -1;           // after this block is ACKed, send corrupted
                                        // copies of the next block, never a good one
  bool eot_early = false;               // send EOT after half of the data blocks
};

enum class State {
  kWaitStart,
  kWaitHeaderAck,
  kWaitDataStart,
  kWaitBlockAck,
  kWaitEotAck,
  kWaitEndStart,
  kWaitEndAck,
  kDone,       // the batch completed
  kCancelled,  // the receiver sent CA CA
  kGaveUp,     // too many retries; the sender cancelled
  kAborted,    // the sender cancelled on purpose (a fault)
  kSilent,     // the sender stopped on purpose (a fault)
};

class Sender {
 public:
  Sender(std::vector<File> files, Blocks blocks, Faults faults = {});

  void receive(uint8_t byte, std::vector<uint8_t>& out);
  void timeout(std::vector<uint8_t>& out);

  State state() const { return state_; }
  bool finished() const { return state_ >= State::kDone; }
  int retries_total() const { return retries_total_; }
  int naks() const { return naks_; }
  int crc_requests() const { return crcs_; }
  int data_blocks_acked() const { return acked_blocks_; }

 private:
  void send_header(std::vector<uint8_t>& out);
  void send_block(std::vector<uint8_t>& out);
  void send_end(std::vector<uint8_t>& out);
  void resend(std::vector<uint8_t>& out);
  void after_ack(std::vector<uint8_t>& out);
  void packet(std::vector<uint8_t>& out, uint8_t number, const std::vector<uint8_t>& data,
              bool corrupt);
  std::vector<uint8_t> block_data(size_t* advance) const;
  bool first_file() const { return file_ == 0; }

  std::vector<File> files_;
  Blocks blocks_;
  Faults faults_;
  State state_ = State::kWaitStart;
  size_t file_ = 0;
  size_t offset_ = 0;  // data bytes of the file sent and acknowledged
  int index_ = 0;      // block index in the file (0 header)
  int retries_ = 0;
  int retries_total_ = 0;
  int naks_ = 0;
  int crcs_ = 0;
  int acked_blocks_ = 0;
  bool last_was_ca_ = false;
  bool repeating_ = false;
  std::vector<uint8_t> good_packet_;  // the last data block, intact
  std::set<int> corrupted_, lost_, renumbered_;
};

}  // namespace ytest
