// The four STM32WLE5 application images side by side: each boots and answers
// "AT" on UART2, and they differ only where the boards do: banners, the
// unique-id command of the Brisola modules, the debug banner and its band
// strap, and the co-processor link of the Saffrond module.
#include <gtest/gtest.h>

#include <regex>

#include "foundation.h"

namespace {

using namespace fdn;
using systest::Device;
using systest::ms;
using systest::World;

// A flash file that already holds the image's default record, so that the
// runs below write nothing while their input arrives.
std::string prepared_flash(const Scratch& s, const Image& img) {
  std::string path = s.path(std::string(img.name) + ".flash");
  write_file(path, flash_with_record(default_record(img, true)));
  return path;
}

TEST(Images, EachBootsAndAnswersAt) {
  for (const Image& img : kImages) {
    SCOPED_TRACE(img.name);
    Scratch s;
    RunResult r = run_image(img.name, s.path("blank.flash"), "AT\r\n", {"--pin", "PB12=1"});
    EXPECT_TRUE(same_text(r.out, startup_text(img) + "OK\r\n"));
  }
}

TEST(Images, IdentityCommandsDifferPerImage) {
  const std::string uid_words = "0011aa22:3344bb55:6677cc88";  // words 0, 1, 2
  const std::string input = "AT+VER=?\r\nAT+HWMODEL=?\r\nAT+HWID=?\r\nAT+UID=?\r\n";
  for (const Image& img : kImages) {
    SCOPED_TRACE(img.name);
    std::string want = "AT+VER=" + version_text(img) + "\r\nOK\r\n" + "AT+HWMODEL=" + img.model +
                       "\r\nOK\r\n" + "AT+HWID=stm32wle5xx\r\nOK\r\n";
    // The unique id prints word 2, word 1, word 0.
    want += img.has_uid ? "AT+UID=6677cc883344bb550011aa22\r\nOK\r\n" : "AT_COMMAND_NOT_FOUND\r\n";
    Scratch s;
    RunResult r =
        run_image(img.name, prepared_flash(s, img), input, {"--pin", "PB12=1", "--uid", uid_words});
    EXPECT_TRUE(same_text(r.out, startup_text(img) + want));
  }
}

// At debug level 1 the Brisola modules print a banner with the band their
// strap selects; the other two print none.
TEST(Images, DebugBannerShowsTheBandStrap) {
  const std::string tail = "Current Work Mode: LoRaWAN.\r\n";
  for (const Image& img : kImages) {
    for (int strap : {1, 0}) {
      SCOPED_TRACE(std::string(img.name) + " strap " + std::to_string(strap));
      Scratch s;
      std::string F = prepared_flash(s, img);
      std::vector<std::string> pin = {"--pin", "PB12=" + std::to_string(strap)};
      RunResult set = run_image(img.name, F, "AT+DEBUG=1\r\n", pin);
      EXPECT_TRUE(same_text(set.out, startup_text(img) + "OK\r\n"));

      RunResult r = run_image(img.name, F, "", pin);
      std::string head = startup_text(img);
      head.resize(head.size() - tail.size());
      ASSERT_EQ(r.out.rfind(head, 0), 0u) << printable(r.out);
      ASSERT_GE(r.out.size(), head.size() + tail.size()) << printable(r.out);
      ASSERT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << printable(r.out);
      std::string banner = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
      if (!img.debug_banner) {
        EXPECT_EQ(banner, "");
        continue;
      }
      // Then "Version:", the version text and the 8-digit build date.
      std::regex want(std::string(img.debug_banner) + (strap ? "H" : "L") +
                      " Version:QIV_4\\.2\\.4_" + img.model + " [0-9]{8}\r\n");
      EXPECT_TRUE(std::regex_match(banner, want)) << printable(banner);
    }
  }
}

// Saffrond's UART1 is the link to its Wi-Fi co-processor: neither escape
// acts there. On the Brisola-T the same bytes switch UART1 to AT mode.
TEST(Images, TheEscapesAreNotWatchedOnTheCoProcessorLink) {
  struct Case {
    const Image* img;
    bool switches;
  };
  const Case cases[] = {{&image_named("saffrond"), false}, {&kBrisolaT, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.img->name);
    World w;
    Device& d = start_module(w, "m", *c.img);
    d.write(kUart1, "AT+ATM\r");
    std::string on_at_port = collect(d, kAtPort, ms(500));
    if (c.switches) {
      EXPECT_EQ(on_at_port, "\r\nOK\r\n");
    } else {
      EXPECT_EQ(on_at_port, "");
      d.write(kUart1, "AT+BOOT\r");
      EXPECT_EQ(collect(d, kAtPort, ms(500)), "");  // no reset: no start-up lines
      EXPECT_TRUE(exchange(d, kAtPort, "AT\r\n", "OK\r\n"));
    }
  }
}

}  // namespace
