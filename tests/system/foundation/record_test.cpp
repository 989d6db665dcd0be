// The configuration record in the flash file: what a blank module comes up
// with and when it first writes, the defaults of each image and band strap,
// and the fall-back from a broken record to the factory copy and then to the
// built-in defaults.
#include <gtest/gtest.h>

#include <cstdio>

#include <functional>
#include <random>

#include "foundation.h"

namespace {

using namespace fdn;
using systest::Device;
using systest::World;

// The replies of a module that runs on the defaults of `img`.
std::string default_queries() {
  return "AT+BAUD=?\r\nAT+PWORD=?\r\nAT+LPM=?\r\nAT+LPMLVL=?\r\nAT+DEBUG=?\r\nAT+ALIAS=?\r\n"
         "AT+SN=?\r\nAT+HWMODEL=?\r\nAT+FIRMWAREVER=?\r\nAT+CLIVER=?\r\n";
}
std::string default_replies(const Image& img) {
  return std::string("AT+BAUD=115200\r\nOK\r\n") + "AT+PWORD=58203761\r\nOK\r\n" +
         "AT+LPM=0\r\nOK\r\n" + "AT+LPMLVL=1\r\nOK\r\n" + "AT+DEBUG=0\r\nOK\r\n" +
         "AT+ALIAS=\r\nOK\r\n" + "AT+SN=\r\nOK\r\n" + "AT+HWMODEL=" + img.model + "\r\nOK\r\n" +
         "AT+FIRMWAREVER=" + version_text(img) + "\r\nOK\r\n" + "AT+CLIVER=1.5.15\r\nOK\r\n";
}

bool all_erased(const Bytes& b, size_t from, size_t to) {
  for (size_t i = from; i < to && i < b.size(); ++i)
    if (b[i] != 0xFF) return false;
  return true;
}

TEST(Record, BlankModuleWritesNothingUntilASettingChanges) {
  const Image& img = kBrisolaT;
  World w;
  Device& d = start_module(w, "m", img);
  EXPECT_TRUE(exchange(d, kAtPort, default_queries(), default_replies(img)));
  EXPECT_EQ(d.flash_counters().erases, 0u);
  EXPECT_EQ(d.flash_counters().programs, 0u);
  EXPECT_TRUE(all_erased(d.flash(), 0, kFlashSize)) << "the flash file was written";

  // The first change stores the whole record, built from the defaults, in
  // its page, closed by the copy's trailer (16 bytes after the record padded
  // to 8), and the same page again as its second copy in the next page; it
  // touches nothing else.
  ASSERT_TRUE(exchange(d, kAtPort, "AT+ALIAS=first one\r\n", "OK\r\n"));
  Bytes want = default_record(img, true);
  std::string alias = "first one";
  std::copy(alias.begin(), alias.end(), want.begin() + rec::alias);
  Bytes flash = d.flash();
  EXPECT_EQ(record_of(flash), want) << record_diff(want, record_of(flash));
  const size_t trailer_end = (kRecordSize + 7) / 8 * 8 + 16;
  EXPECT_FALSE(all_erased(flash, at(kRecordAddr) + kRecordSize, at(kRecordAddr) + trailer_end));
  EXPECT_TRUE(all_erased(flash, at(kRecordAddr) + trailer_end, at(kRecordAddr) + kPageSize));
  EXPECT_TRUE(std::equal(flash.begin() + at(kRecordAddr),
                         flash.begin() + at(kRecordAddr) + kPageSize,
                         flash.begin() + at(kRecordAddr) + kPageSize))
      << "the second copy";
  EXPECT_TRUE(all_erased(flash, 0, at(kRecordAddr))) << "a page below the record was written";
  EXPECT_EQ(d.flash_counters().erases, 2u);
}

TEST(Record, DefaultsFollowTheImageAndItsBandStrap) {
  for (const Image& img : kImages) {
    for (int strap : {1, 0}) {
      SCOPED_TRACE(std::string(img.name) + " with the band strap at " + std::to_string(strap));
      World w;
      systest::DeviceOptions o;
      o.pins = {{"PB12", strap}};
      Device& d = start_module(w, "m", img, o);
      EXPECT_TRUE(exchange(d, kAtPort, default_queries(), default_replies(img)));
      // Storing a value the record already has writes the record as the
      // defaults built it.
      ASSERT_TRUE(exchange(d, kAtPort, "AT+LPMLVL=1\r\n", "OK\r\n"));
      Bytes want = default_record(img, strap == 1);
      Bytes got = record_of(d.flash());
      EXPECT_EQ(got, want) << record_diff(want, got);
    }
  }
}

// A record page and a factory copy that differ from each other and from the
// defaults in the alias and the password.
Bytes flash_with_record_and_factory() {
  Bytes flash = erased_flash();
  auto with = [](const std::string& alias, const std::string& passwd) {
    Bytes r = default_record(kBrisolaT, true);
    std::fill(r.begin() + rec::passwd, r.begin() + rec::passwd + 9, 0);
    std::copy(alias.begin(), alias.end(), r.begin() + rec::alias);
    std::copy(passwd.begin(), passwd.end(), r.begin() + rec::passwd);
    return r;
  };
  Bytes record = with("in the record", "rec1"), factory = with("factory copy", "fact1");
  std::copy(record.begin(), record.end(), flash.begin() + at(kRecordAddr));
  std::copy(factory.begin(), factory.end(), flash.begin() + at(kFactoryAddr));
  return flash;
}

TEST(Record, ABrokenRecordFallsBackToTheFactoryCopyThenToTheDefaults) {
  using Mutate = std::function<void(Bytes&)>;
  std::mt19937 rng(7);
  auto page = [](uint32_t addr) { return at(addr); };
  auto fill = [&](uint32_t addr, int value) {
    return [=](Bytes& f) {
      std::fill(f.begin() + page(addr), f.begin() + page(addr) + kPageSize, value);
    };
  };
  auto garbage = [&](uint32_t addr) {
    std::vector<uint8_t> g(kPageSize);
    for (auto& x : g) x = static_cast<uint8_t>(rng());
    return [=](Bytes& f) { std::copy(g.begin(), g.end(), f.begin() + page(addr)); };
  };
  auto flip_magic = [&](uint32_t addr) { return [=](Bytes& f) { f[page(addr)] ^= 0x01; }; };
  auto version = [&](uint32_t addr, uint32_t v) {
    return [=](Bytes& f) { put32(f, page(addr) + rec::version, v); };
  };
  auto both = [](Mutate a, Mutate b) {
    return [=](Bytes& f) {
      a(f);
      b(f);
    };
  };
  const std::string record = "AT+ALIAS=in the record\r\nOK\r\nAT+PWORD=rec1\r\nOK\r\n";
  const std::string factory = "AT+ALIAS=factory copy\r\nOK\r\nAT+PWORD=fact1\r\nOK\r\n";
  const std::string defaults = "AT+ALIAS=\r\nOK\r\nAT+PWORD=58203761\r\nOK\r\n";
  struct Case {
    const char* what;
    Mutate mutate;
    std::string replies;
  } cases[] = {
      {"intact record", [](Bytes&) {}, record},
      {"record with a broken magic", flip_magic(kRecordAddr), factory},
      {"record of a newer version", version(kRecordAddr, 5), factory},
      {"record page erased", fill(kRecordAddr, 0xFF), factory},
      {"record page zeroed", fill(kRecordAddr, 0x00), factory},
      {"record page of garbage", garbage(kRecordAddr), factory},
      {"record and factory copy with broken magics",
       both(flip_magic(kRecordAddr), flip_magic(kFactoryAddr)), defaults},
      {"record erased, factory copy of a newer version",
       both(fill(kRecordAddr, 0xFF), version(kFactoryAddr, 5)), defaults},
      {"record and factory pages of garbage", both(garbage(kRecordAddr), garbage(kFactoryAddr)),
       defaults},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    World w;
    systest::DeviceOptions o;
    o.initial_flash = flash_with_record_and_factory();
    c.mutate(o.initial_flash);
    Device& d = start_module(w, "m", kBrisolaT, o);
    EXPECT_TRUE(exchange(d, kAtPort, "AT+ALIAS=?\r\nAT+PWORD=?\r\n", c.replies));
  }
}

// The factory copy that "AT+FACTORY" makes from the module's own record is
// what a module whose record breaks comes back with.
TEST(Record, TheModulesOwnFactoryCopyStandsInForABrokenRecord) {
  Bytes flash;
  {
    World w;
    Device& d = start_module(w, "m", kBrisolaT);
    const std::pair<const char*, const char*> steps[] = {
        {"AT+ALIAS=made here\r\n", "OK\r\n"},
        {"AT+PWORD=fact2\r\n", "OK\r\n"},
        {"AT+FACTORY\r\n", "OK\r\n"},
        {"AT+ALIAS=later\r\n", "OK\r\n"},
        {"ATE\r\n", "OK\r\n"},
    };
    for (auto& [typed, reply] : steps) ASSERT_TRUE(exchange(d, kAtPort, typed, reply));
    flash = d.flash();
  }
  EXPECT_EQ(factory_of(flash).at(rec::echo), 0);  // the copy was made before ATE
  // Both copies of the record broken.
  flash[at(kRecordAddr) + rec::magic + 3] ^= 0x80;
  flash[at(kRecordAddr) + kPageSize + rec::magic + 3] ^= 0x80;
  World w;
  systest::DeviceOptions o;
  o.initial_flash = flash;
  Device& d = start_module(w, "m", kBrisolaT, o);
  // Echo off again, the alias and password of the copy.
  EXPECT_TRUE(exchange(d, kAtPort, "AT+ALIAS=?\r\nAT+PWORD=?\r\n",
                       "AT+ALIAS=made here\r\nOK\r\nAT+PWORD=fact2\r\nOK\r\n"));
}

// A record whose baud rate the ports cannot be opened at (or torn after its
// first bytes) is not loaded: the module starts on the factory copy and
// answers at its rate, within the run.
TEST(Record, ARecordTheModuleCouldNotRunOnFallsBackToTheFactoryCopy) {
  struct Case {
    const char* what;
    std::function<void(Bytes&)> spoil;
  } cases[] = {
      {"baud rate 0", [](Bytes& f) { put32(f, at(kRecordAddr) + rec::baudrate, 0); }},
      {"baud rate erased",
       [](Bytes& f) { put32(f, at(kRecordAddr) + rec::baudrate, 0xFFFFFFFFu); }},
      {"baud rate 230400", [](Bytes& f) { put32(f, at(kRecordAddr) + rec::baudrate, 230400); }},
      {"only the first 8 bytes programmed",
       [](Bytes& f) {
         std::fill(f.begin() + at(kRecordAddr) + 8, f.begin() + at(kRecordAddr) + kPageSize, 0xFF);
       }},
      {"only the first 448 bytes programmed",
       [](Bytes& f) {
         std::fill(f.begin() + at(kRecordAddr) + 448, f.begin() + at(kRecordAddr) + kPageSize,
                   0xFF);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    World w;
    systest::DeviceOptions o;
    o.initial_flash = flash_with_record_and_factory();
    c.spoil(o.initial_flash);
    Device& d = start_module(w, "m", kBrisolaT, o);
    EXPECT_TRUE(exchange(d, kAtPort, "AT\r\nAT+BAUD=?\r\nAT+ALIAS=?\r\n",
                         "OK\r\nAT+BAUD=115200\r\nOK\r\nAT+ALIAS=factory copy\r\nOK\r\n"));
  }
}

// AT+BAUD takes every rate both UARTs can be opened at, the slow ones the
// LSE runs included, and refuses the rest before anything changes; a stored
// rate is the one the module comes up with.
TEST(Record, TheBaudRateIsAnyRateBothPortsCanMake) {
  World w;
  Device& d = start_module(w, "m", kBrisolaT);
  const std::pair<const char*, const char*> steps[] = {
      {"AT+BAUD=300\r\n", "OK\r\n"},
      {"AT+BAUD=600\r\n", "OK\r\n"},
      {"AT+BAUD=245\r\n", "OK\r\n"},
      {"AT+BAUD=244\r\n", "AT_PARAM_ERROR\r\n"},
      {"AT+BAUD=2400\r\n", "OK\r\n"},
      {"AT+BAUD=2401\r\n", "AT_PARAM_ERROR\r\n"},
      {"AT+BAUD=3906\r\n", "AT_PARAM_ERROR\r\n"},
      {"AT+BAUD=3907\r\n", "OK\r\n"},
      {"AT+BAUD=230400\r\n", "AT_PARAM_ERROR\r\n"},
      {"AT+BAUD=600\r\n", "OK\r\n"},
  };
  for (auto& [typed, reply] : steps)
    EXPECT_TRUE(exchange(d, kAtPort, typed, reply, systest::sec(1)));
  EXPECT_EQ(get32(record_of(d.flash()), rec::baudrate), 600u);
  d.restart();
  EXPECT_TRUE(d.wait_line(kAtPort, "Current Work Mode: LoRaWAN."));
  EXPECT_TRUE(exchange(d, kAtPort, "AT+BAUD=?\r\n", "AT+BAUD=600\r\nOK\r\n", systest::sec(1)));
}

// The supply is lost at each flash operation of a settings write in turn
// (the erase and every programmed double word of each copy), with nothing
// of that operation done and at places inside it (part of the page's cells
// erased, part of a double word's bits programmed): the module comes up
// again, answers, and holds the settings from before the write or those
// after it - never a mix, never the factory copy or the defaults while a
// record existed.
TEST(Record, APowerCutDuringASettingsWriteLeavesTheOldOrTheNewSettings) {
  const std::string old_replies = "AT+ALIAS=in the record\r\nOK\r\nAT+PWORD=rec1\r\nOK\r\n";
  const std::string new_replies = "AT+ALIAS=written now\r\nOK\r\nAT+PWORD=rec1\r\nOK\r\n";
  // The record is 660 bytes: per copy one erase, 83 double words and the
  // two of the trailer; a cut past the last operation is no cut.
  int completed = 0, cuts = 0, old_held = 0, new_held = 0;
  for (int ops = 0; ops <= 200 && completed == 0; ++ops) {
    for (int percent : {0, 50, 95}) {
      SCOPED_TRACE("supply lost at flash operation " + std::to_string(ops + 1) + ", " +
                   std::to_string(percent) + "% of it done");
      World w;
      systest::DeviceOptions o;
      o.initial_flash = flash_with_record_and_factory();
      o.extra_args = {"--flash-cut-after", std::to_string(ops) + ":" + std::to_string(percent)};
      Device& d = start_module(w, "m", kBrisolaT, o);
      d.write(kAtPort, "AT+ALIAS=written now\r\n");
      // Either the reply comes (the write completed) or the module starts again.
      bool cut = false;
      w.run_until(
          [&] {
            std::string out = d.unread(kAtPort);
            cut = out.find("Current Work Mode: LoRaWAN.") != std::string::npos;
            return cut || out.find("OK\r\n") != std::string::npos;
          },
          systest::sec(5));
      collect(d, kAtPort);
      std::string got = [&] {
        d.write(kAtPort, "AT\r\nAT+ALIAS=?\r\nAT+PWORD=?\r\n");
        return collect(d, kAtPort, systest::sec(1));
      }();
      ASSERT_EQ(got.rfind("OK\r\n", 0), 0u) << "no answer to AT: " << printable(got);
      std::string held = got.substr(4);
      if (!cut) {
        EXPECT_EQ(held, new_replies);
        ++completed;
        break;
      }
      ++cuts;
      EXPECT_TRUE(held == old_replies || held == new_replies) << printable(held);
      (held == old_replies ? old_held : new_held)++;
    }
  }
  EXPECT_EQ(completed, 1) << "the write never completed";
  // Both outcomes happen: before the first copy is whole, and after.
  EXPECT_GT(old_held, 0);
  EXPECT_GT(new_held, 0);
  std::printf("settings write: %d cut points, %d held the old settings, %d the new\n", cuts,
              old_held, new_held);
}

}  // namespace
