// The world's BLE central as a service: see sim/ble_central_service.h.
#include "sim/ble_central_service.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

namespace sim::ble {

namespace {

constexpr time_us kSecond = 1000000;
const char* const kUpdateRx = "00002760-08C2-11E1-9073-0E8AC72E0001";
const char* const kUpdateTx = "00002760-08C2-11E1-9073-0E8AC72E0002";
const char* const kSerialRx = "6E400002-B5A3-F393-E0A9-E50E24DCCA9E";
const char* const kSerialTx = "6E400003-B5A3-F393-E0A9-E50E24DCCA9E";
constexpr size_t kUpdatePiece = 512;
enum : uint8_t { kFwHeader = 1, kFwData = 2, kFwVerify = 3, kFwReset = 4 };

std::string hex(const Bytes& b) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (uint8_t x : b) {
    s += d[x >> 4];
    s += d[x & 15];
  }
  return s;
}

bool unhex(const std::string& s, Bytes* out) {
  if (s.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    char* end = nullptr;
    std::string two = s.substr(i, 2);
    long v = std::strtol(two.c_str(), &end, 16);
    if (*end || !std::isxdigit(static_cast<unsigned char>(two[0]))) return false;
    out->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

// "C0:11:22:33:44:55" (most significant byte first, as written for people).
bool parse_address(const std::string& s, Address* a) {
  unsigned v[6];
  char tail;
  if (std::sscanf(s.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                  &tail) != 6)
    return false;
  for (int i = 0; i < 6; ++i) (*a)[static_cast<size_t>(5 - i)] = static_cast<uint8_t>(v[i]);
  return true;
}

std::string format_address(const Address& a) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", a[5], a[4], a[3], a[2], a[1],
                a[0]);
  return buf;
}

bool parse_number(const std::string& s, uint32_t* v) {
  if (s.empty()) return false;
  char* end = nullptr;
  unsigned long x = std::strtoul(s.c_str(), &end, 0);
  if (*end || x > 0xFFFFFFFFul) return false;
  *v = static_cast<uint32_t>(x);
  return true;
}

std::string uuid_text(const Bytes& uuid) {
  Bytes be(uuid.rbegin(), uuid.rend());
  std::string h = hex(be);
  if (h.size() == 32)
    return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) +
           "-" + h.substr(20);
  return h;
}

// The local name an advertisement carries (AD types 0x08 and 0x09), or "".
std::string ad_name(const Bytes& ad) {
  for (size_t i = 0; i < ad.size() && ad[i] != 0;) {
    const size_t len = ad[i];
    if (i + 1 + len > ad.size()) break;
    if ((ad[i + 1] == 0x08 || ad[i + 1] == 0x09) && len > 1) {
      std::string name;
      for (size_t k = i + 2; k < i + 1 + len; ++k)
        name += ad[k] >= 0x20 && ad[k] < 0x7F && ad[k] != '"' ? static_cast<char>(ad[k]) : '.';
      return name;
    }
    i += 1 + len;
  }
  return "";
}

// Disconnection reasons (HCI error codes) by name.
std::string reason_text(uint8_t code) {
  switch (code) {
    case 0x05:
      return "authentication failure";
    case 0x08:
      return "connection timeout";
    case 0x13:
      return "remote user terminated the connection";
    case 0x14:
      return "remote device terminated: low resources";
    case 0x15:
      return "remote device terminated: power off";
    case 0x16:
      return "terminated by the local host";
    case 0x1A:
      return "unsupported remote feature";
    case 0x22:
      return "link layer response timeout";
    case 0x3B:
      return "unacceptable connection parameters";
    case 0x3D:
      return "MIC failure";
    case 0x3E:
      return "connection failed to be established";
    default:
      return "unknown reason";
  }
}

// Whether an AT answer is complete: its last line is the final word.
bool at_reply_ended(const std::string& text) {
  size_t end = text.find_last_not_of("\r\n");
  if (end == std::string::npos || end + 1 == text.size()) return false;  // no line end yet
  size_t start = text.find_last_of("\r\n", end);
  std::string last = text.substr(start == std::string::npos ? 0 : start + 1,
                                 end + 1 - (start == std::string::npos ? 0 : start + 1));
  return last == "OK" || last == "ERROR" ||
         (last.rfind("AT_", 0) == 0 && last.size() > 6 && last.substr(last.size() - 6) == "_ERROR");
}

std::string printable(const Bytes& b) {
  std::string s;
  for (uint8_t c : b) {
    if (c == '\r') continue;
    s += (c == '\n' || (c >= 0x20 && c < 0x7F)) ? static_cast<char>(c) : '.';
  }
  return s;
}

const char* const kHelp[] = {
    "scan [SECONDS]            scan actively (default 2 s) and list what advertises",
    "connect ADDRESS           connect (C0:11:22:33:44:55), exchange MTU 247, discover",
    "disconnect                end the link",
    "chars                     the characteristics found",
    "mtu N                     exchange the ATT MTU",
    "read HANDLE               read a value",
    "write HANDLE HEX          write with response",
    "send HANDLE HEX           write without response",
    "subscribe HANDLE          enable notifications of a characteristic",
    "notifications             print and forget the notifications received",
    "at TEXT                   TEXT and CR LF to the serial service; print its answer",
    "pair PASSKEY              pair with a passkey",
    "update FILE               send FILE through the firmware-update service",
    "wait SECONDS              let the world run",
};

}  // namespace

// ------------------------------------------------------------- framing ---

uint32_t crc32_ieee(const uint8_t* data, size_t len) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < len; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

uint32_t image_crc(const uint8_t* data, size_t len, uint32_t crc) {
  for (size_t i = 0; i < len; ++i) {
    crc ^= static_cast<uint32_t>(data[i]) << 24;
    for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x1EDC6F41u : crc << 1;
  }
  return crc;
}

std::vector<uint8_t> update_packet(uint8_t command, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> p;
  const uint16_t len = static_cast<uint16_t>(data.size() + 4);
  p.push_back(static_cast<uint8_t>(len));
  p.push_back(static_cast<uint8_t>(len >> 8));
  p.push_back(command);
  p.insert(p.end(), data.begin(), data.end());
  const uint32_t crc = crc32_ieee(data.data(), data.size());
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  return p;
}

// ------------------------------------------------------------- service ---

struct CentralService::Job {
  std::function<bool()> done;
  time_us deadline;
  std::string what;
  std::function<void()> then;
};

struct CentralService::Update {
  Bytes image;
  uint16_t rx = 0, tx = 0;
  size_t next_piece = 0;  // offset of the next data packet
  int stage = 0;          // 0 header, 1 data, 2 verify, 3 reset, 4 done
  size_t seen = 0;        // notifications looked at
  int last_percent = -1;
};

CentralService::CentralService(world::Master& master)
    : master_(master), radio_(master), central_(radio_, {0x51, 0x56, 0x49, 0x42, 0x4C, 0xC5}) {
  central_.set_runner(radio_.runner());
}

CentralService::~CentralService() = default;

bool CentralService::listen(const std::string& path, std::string* error) {
  return socket_.listen(path, error);
}

void CentralService::poll() {
  // The socket is looked at every 5 ms of host time at most: polling is
  // called between any two steps of the world.
  const int64_t host_us = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
  if (socket_.listening() && host_us - last_poll_us_ >= 5000) {
    last_poll_us_ = host_us;
    socket_.poll([this](int client, const std::string& line) {
      command(line, [this, client](const std::string& l) { socket_.send(client, l); });
    });
  }
  for (int guard = 0; guard < 64; ++guard) {
    if (!job_) {
      if (lines_.empty()) return;
      start_next();
      continue;
    }
    if (job_->done()) {
      std::unique_ptr<Job> j = std::move(job_);
      j->then();
      continue;
    }
    if (radio_.now() >= job_->deadline) {
      std::string what = job_->what;
      job_.reset();
      update_.reset();
      finish("ERROR " + what);
      continue;
    }
    return;
  }
}

void CentralService::command(const std::string& line, Reply reply) {
  lines_.emplace_back(line, std::move(reply));
  if (!job_) poll();
}

void CentralService::start_next() {
  auto [line, reply] = std::move(lines_.front());
  lines_.pop_front();
  reply_ = std::move(reply);
  run(line);
}

void CentralService::say(const std::string& line) {
  if (reply_) reply_(line);
}

void CentralService::finish(const std::string& last) {
  say(last);
  reply_ = nullptr;
  job_.reset();
}

void CentralService::await(std::function<bool()> done, time_us timeout_us, const std::string& what,
                           std::function<void()> then) {
  job_ =
      std::make_unique<Job>(Job{std::move(done), radio_.now() + timeout_us, what, std::move(then)});
}

void CentralService::run(const std::string& line) {
  std::istringstream in(line);
  std::string cmd;
  in >> cmd;
  std::vector<std::string> args;
  for (std::string a; in >> a;) args.push_back(a);
  auto handle = [&](size_t i, uint16_t* h) {
    uint32_t v;
    if (i >= args.size() || !parse_number(args[i], &v) || v == 0 || v > 0xFFFF) return false;
    *h = static_cast<uint16_t>(v);
    return true;
  };
  auto need_link = [&]() {
    if (central_.connected()) return true;
    finish("ERROR not connected");
    return false;
  };
  Central& c = central_;

  if (cmd.empty()) return finish("OK");
  if (cmd == "help") {
    for (const char* h : kHelp) say(h);
    return finish("OK");
  }
  if (cmd == "scan") {
    uint32_t seconds = 2;
    if (args.size() > 1 || (args.size() == 1 && !parse_number(args[0], &seconds)))
      return finish("ERROR usage: scan [SECONDS]");
    if (c.connected()) return finish("ERROR connected");
    c.stop_scan();
    c.clear_scan();
    if (!c.start_scan(true)) return finish("ERROR cannot scan now");
    const time_us end = radio_.now() + seconds * kSecond;
    return await([this, end] { return radio_.now() >= end; }, seconds * kSecond + kSecond, "scan",
                 [this] {
                   central_.stop_scan();
                   for (const Central::Device& d : central_.devices()) {
                     std::string l = "DEVICE " + format_address(d.address) + " " +
                                     std::to_string(d.rssi_dbm) + " ADV " + hex(d.adv_data);
                     std::string name = ad_name(d.adv_data);
                     if (!name.empty()) l += " NAME \"" + name + "\"";
                     if (d.has_scan_rsp) {
                       l += " RSP " + hex(d.scan_rsp);
                       name = ad_name(d.scan_rsp);
                       if (!name.empty()) l += " NAME \"" + name + "\"";
                     }
                     say(l);
                   }
                   finish("OK");
                 });
  }
  if (cmd == "connect") {
    Address a;
    if (args.size() != 1 || !parse_address(args[0], &a))
      return finish("ERROR usage: connect C0:11:22:33:44:55");
    if (c.connected()) return finish("ERROR already connected");
    c.stop_scan();
    if (!c.connect(a)) return finish("ERROR cannot connect now");
    return await([this] { return central_.connected(); }, 10 * kSecond, "no connection",
                 [this] {
                   say("CONNECTED");
                   uint32_t mtu = central_.exchange_mtu(247);
                   await([this, mtu] { return central_.done(mtu) || !central_.connected(); },
                         5 * kSecond, "no MTU answer",
                         [this] {
                           say("MTU " + std::to_string(central_.mtu()));
                           uint32_t disc = central_.discover();
                           await([this, disc] { return central_.done(disc); }, 10 * kSecond,
                                 "discovery", [this] { run("chars"); });
                         });
                 });
  }
  if (cmd == "chars") {
    for (const Central::Characteristic& ch : c.characteristics()) {
      char buf[120];
      std::snprintf(buf, sizeof buf, "CHAR 0x%04X %02X %s", ch.value_handle, ch.properties,
                    uuid_text(ch.uuid).c_str());
      std::string l = buf;
      if (ch.ccc) {
        std::snprintf(buf, sizeof buf, " CCC 0x%04X", ch.ccc);
        l += buf;
      }
      say(l);
    }
    return finish("OK");
  }
  if (cmd == "disconnect") {
    if (!need_link()) return;
    c.disconnect(kRemoteUserTerminated);
    return await([this] { return !central_.connected(); }, 10 * kSecond, "still connected",
                 [this] {
                   char buf[32];
                   std::snprintf(buf, sizeof buf, "DISCONNECTED %02X",
                                 central_.disconnect_reason());
                   say(std::string(buf) + " (" + reason_text(central_.disconnect_reason()) + ")");
                   finish("OK");
                 });
  }
  if (cmd == "mtu") {
    uint32_t n;
    if (args.size() != 1 || !parse_number(args[0], &n) || n < 23 || n > 517)
      return finish("ERROR usage: mtu N (23..517)");
    if (!need_link()) return;
    uint32_t id = c.exchange_mtu(static_cast<uint16_t>(n));
    return await([this, id] { return central_.done(id); }, 5 * kSecond, "no MTU answer",
                 [this] {
                   say("MTU " + std::to_string(central_.mtu()));
                   finish("OK");
                 });
  }
  if (cmd == "read" || cmd == "write" || cmd == "send" || cmd == "subscribe") {
    uint16_t h;
    Bytes value;
    const bool has_value = cmd == "write" || cmd == "send";
    if (!handle(0, &h) || args.size() != (has_value ? 2u : 1u) ||
        (has_value && !unhex(args[1], &value)))
      return finish("ERROR usage: " + cmd + (has_value ? " HANDLE HEX" : " HANDLE"));
    if (!need_link()) return;
    if (cmd == "send") {
      c.write_command(h, value);
      return await([this] { return central_.pending() == 0; }, 10 * kSecond, "not sent",
                   [this] { finish("OK"); });
    }
    uint32_t id = cmd == "read" ? c.read(h) : cmd == "write" ? c.write(h, value) : c.subscribe(h);
    const bool is_read = cmd == "read";
    return await([this, id] { return central_.done(id); }, 5 * kSecond, "no answer",
                 [this, id, is_read] {
                   const Central::Result& r = central_.result(id);
                   if (r.error) {
                     char buf[40];
                     std::snprintf(buf, sizeof buf, "ERROR ATT 0x%02X", r.error);
                     return finish(buf);
                   }
                   if (is_read) say("VALUE " + hex(r.value));
                   finish("OK");
                 });
  }
  if (cmd == "notifications") {
    for (const Central::Notification& n : c.notifications()) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "NOTIFY 0x%04X ", n.handle);
      say(buf + hex(n.value));
    }
    c.notifications().clear();
    return finish("OK");
  }
  if (cmd == "wait") {
    uint32_t seconds;
    if (args.size() != 1 || !parse_number(args[0], &seconds))
      return finish("ERROR usage: wait SECONDS");
    const time_us end = radio_.now() + seconds * kSecond;
    return await([this, end] { return radio_.now() >= end; }, seconds * kSecond + kSecond, "wait",
                 [this] { finish("OK"); });
  }
  if (cmd == "at") {
    if (!need_link()) return;
    const auto* rx = c.characteristic(uuid128(kSerialRx));
    const auto* tx = c.characteristic(uuid128(kSerialTx));
    if (!rx || !tx) return finish("ERROR no serial service");
    std::string text = line.substr(line.find("at") + 2);
    text.erase(0, text.find_first_not_of(' '));
    text += "\r\n";
    const uint16_t rx_handle = rx->value_handle;
    uint32_t sub = c.subscribe(tx->value_handle);
    return await(
        [this, sub] { return central_.done(sub); }, 5 * kSecond, "no answer",
        [this, text, rx_handle] {
          central_.notifications().clear();
          const size_t chunk = central_.mtu() - 3u;
          for (size_t at = 0; at < text.size(); at += chunk)
            central_.write_command(
                rx_handle,
                Bytes(text.begin() + static_cast<long>(at),
                      text.begin() + static_cast<long>(std::min(text.size(), at + chunk))));
          // Until the answer's final word (OK, ERROR, AT_..._ERROR), or a
          // second without anything new once something came (a command
          // with no final word), or 10 s of silence.
          auto seen = std::make_shared<size_t>(0);
          auto changed = std::make_shared<time_us>(radio_.now());
          const time_us start = radio_.now();
          await(
              [this, seen, changed, start] {
                auto& n = central_.notifications();
                if (n.size() != *seen) {
                  *seen = n.size();
                  *changed = radio_.now();
                  std::string text;
                  for (const Central::Notification& x : n)
                    text.append(x.value.begin(), x.value.end());
                  if (at_reply_ended(text)) return true;
                }
                if (*seen != 0 && radio_.now() >= *changed + kSecond) return true;
                return radio_.now() >= start + 10 * kSecond;
              },
              60 * kSecond, "wait",
              [this] {
                Bytes all;
                for (const Central::Notification& n : central_.notifications())
                  all.insert(all.end(), n.value.begin(), n.value.end());
                central_.notifications().clear();
                std::string s = printable(all);
                size_t pos = 0;
                while (pos < s.size()) {
                  size_t eol = s.find('\n', pos);
                  std::string l =
                      s.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
                  if (!l.empty()) say("< " + l);
                  if (eol == std::string::npos) break;
                  pos = eol + 1;
                }
                finish("OK");
              });
        });
  }
  if (cmd == "pair") {
    uint32_t key;
    if (args.size() != 1 || !parse_number(args[0], &key) || key > 999999)
      return finish("ERROR usage: pair PASSKEY (0..999999)");
    if (!need_link()) return;
    c.pair(key);
    return await([this] { return central_.pair_state() != Central::PairState::kPairing; },
                 10 * kSecond, "pairing did not end",
                 [this] {
                   if (central_.pair_state() == Central::PairState::kPaired) {
                     say("PAIRED");
                     return finish("OK");
                   }
                   char buf[40];
                   std::snprintf(buf, sizeof buf, "ERROR pairing failed 0x%02X",
                                 central_.pair_failure());
                   finish(buf);
                 });
  }
  if (cmd == "update") {
    if (args.size() != 1) return finish("ERROR usage: update FILE");
    if (!need_link()) return;
    std::ifstream f(args[0], std::ios::binary);
    if (!f) return finish("ERROR cannot read " + args[0]);
    const auto* rx = c.characteristic(uuid128(kUpdateRx));
    const auto* tx = c.characteristic(uuid128(kUpdateTx));
    if (!rx || !tx) return finish("ERROR no firmware-update service");
    Bytes image{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
    if (image.empty()) return finish("ERROR empty file " + args[0]);
    update_ = std::make_unique<Update>();
    update_->image = std::move(image);
    update_->rx = rx->value_handle;
    update_->tx = tx->value_handle;
    uint32_t sub = c.subscribe(tx->value_handle);
    return await([this, sub] { return central_.done(sub); }, 5 * kSecond, "no answer",
                 [this] {
                   update_->seen = central_.notifications().size();
                   update_step();
                 });
  }
  finish("ERROR unknown command " + cmd + " (see help)");
}

void CentralService::update_step() {
  Update& u = *update_;
  Central& c = central_;
  Bytes data;
  uint8_t command = 0;
  const size_t total = u.image.size();
  switch (u.stage) {
    case 0: {
      command = kFwHeader;
      uint32_t words[12] = {};
      words[2] = static_cast<uint32_t>(total);
      words[3] = image_crc(u.image.data(), total);
      for (uint32_t w : words)
        for (int i = 0; i < 4; ++i) data.push_back(static_cast<uint8_t>(w >> (8 * i)));
      break;
    }
    case 1: {
      command = kFwData;
      size_t n = std::min(kUpdatePiece, total - u.next_piece);
      data.assign(u.image.begin() + static_cast<long>(u.next_piece),
                  u.image.begin() + static_cast<long>(u.next_piece + n));
      u.next_piece += n;
      int percent = total ? static_cast<int>(u.next_piece * 100 / total) : 100;
      if (percent / 10 != u.last_percent / 10) {
        u.last_percent = percent;
        say("SENT " + std::to_string(u.next_piece) + "/" + std::to_string(total));
      }
      break;
    }
    case 2:
      command = kFwVerify;
      break;
    case 3:
      command = kFwReset;
      break;
    default:
      update_.reset();
      return finish("OK");
  }
  const Bytes packet = update_packet(command, data);
  const size_t chunk = c.mtu() - 3u;
  for (size_t at = 0; at < packet.size(); at += chunk)
    c.write_command(u.rx,
                    Bytes(packet.begin() + static_cast<long>(at),
                          packet.begin() + static_cast<long>(std::min(packet.size(), at + chunk))));
  // The service answers each packet on its TX characteristic: length,
  // command, status.
  await(
      [this] {
        auto& n = central_.notifications();
        for (size_t i = update_->seen; i < n.size(); ++i)
          if (n[i].handle == update_->tx && n[i].value.size() >= 4) return true;
        return !central_.connected();
      },
      20 * kSecond, "no answer from the update service",
      [this, command] {
        Update& up = *update_;
        auto& n = central_.notifications();
        const Central::Notification* reply = nullptr;
        for (size_t i = up.seen; i < n.size(); ++i)
          if (n[i].handle == up.tx && n[i].value.size() >= 4) {
            reply = &n[i];
            up.seen = i + 1;
            break;
          }
        if (!reply) {
          update_.reset();
          return finish("ERROR link lost");
        }
        if (reply->value[2] != command || reply->value[3] != 0) {
          char buf[64];
          std::snprintf(buf, sizeof buf, "ERROR update command %u status %u", reply->value[2],
                        reply->value[3]);
          update_.reset();
          return finish(buf);
        }
        if (up.stage == 0) say("HEADER ACCEPTED");
        if (up.stage == 2) say("VERIFIED");
        if (up.stage == 3) say("RESET");
        if (up.stage != 1 || up.next_piece >= up.image.size()) ++up.stage;
        update_step();
      });
}

}  // namespace sim::ble
