// velnor-bootflag: the boot flag register for the firmware's own user space.
// It confirms that new firmware runs, asks the bootstrap for an update, a
// rescue or a USB update at the next boot, and tells what the register
// holds. It writes the register only as the bootstrap expects it.
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bootstrap/bootflag.h"
#include "common/emit_line.h"

namespace {

const char usage[] =
    "usage: velnor-bootflag show [--json]\n"
    "       velnor-bootflag confirm\n"
    "       velnor-bootflag request update|rescue|usb\n"
    "       velnor-bootflag --help | --version\n"
    "\n"
    "The device's boot flag register, which keeps its value across a restart\n"
    "and tells velnor-bootstrap what to do at the next boot.\n"
    "\n"
    "  show        what the register holds: the firmware confirmed, new\n"
    "              firmware on trial with the boots it has left, a request\n"
    "              pending (and how often it has failed), or a request the\n"
    "              bootstrap gave up; --json: the same as one JSON object\n"
    "              (schema 1: register, state, request, boots_left, failed,\n"
    "              from_usb)\n"
    "  confirm     new firmware runs: ends its trial. Does nothing when there\n"
    "              is no trial; never clears a pending request\n"
    "  request M   at the next boot: update (install the card's update.bpk2),\n"
    "              rescue (install the card's backup.bpk2) or usb (copy the\n"
    "              stick's update.bpk2 onto the card and install it)\n"
    "\n"
    "Exit status: 0 done, 1 the register cannot be mapped, 2 usage.";

int usage_error(const char* why) {
  emit_line(2, "velnor-bootflag: ", why);
  emit_line(2, usage);
  return 2;
}

const char* request_name(uint16_t high) {
  switch (high) {
    case BOOTFLAG_UPDATE:
      return "update";
    case BOOTFLAG_RESCUE:
      return "rescue";
    case BOOTFLAG_USB:
      return "usb";
    default:
      return nullptr;
  }
}

// What the register says, in the words of show.
struct Reading {
  const char* state;  // "confirmed", "trial", "requested", "given_up"
  const char* request = nullptr;
  int boots_left = -1;
  int failed = -1;
  bool from_usb = false;
  bool by_bootstrap = false;
};

Reading read_state(uint16_t high, uint16_t low) {
  if (const char* request = request_name(high)) {
    Reading r{"requested", request};
    r.by_bootstrap = high == BOOTFLAG_RESCUE && low == 1;
    r.failed = bootflag_marked(low, bootflag_failed_mark) ? low & 0xFF : 0;
    return r;
  }
  if (high == BOOTFLAG_DROPPED && request_name(low) != nullptr) {
    return Reading{"given_up", request_name(low)};
  }
  Reading r{bootflag_on_trial(high, low) ? "trial" : "confirmed"};
  r.from_usb = high == BOOTFLAG_USB_DONE;
  if (bootflag_on_trial(high, low)) r.boots_left = low & 0xFF;
  return r;
}

std::string hex_word(uint32_t word) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", word);
  return text;
}

std::string times(int n, const char* what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string show_text(const Reading& r) {
  std::string from = r.from_usb ? " (installed from USB)" : "";
  if (std::strcmp(r.state, "trial") == 0) {
    return "new firmware on trial" + from + ", " + times(r.boots_left, "boot") +
           " left to confirm";
  }
  if (std::strcmp(r.state, "requested") == 0) {
    std::string text = std::string(r.request) + " requested";
    if (r.by_bootstrap)
      text += " by the bootstrap (the firmware could not come up)";
    if (r.failed > 0) text += ", failed " + times(r.failed, "time");
    return text;
  }
  if (std::strcmp(r.state, "given_up") == 0) {
    return std::string(r.request) +
           " request given up: it failed at every attempt";
  }
  return "firmware confirmed" + from;
}

// Fixed words and numbers only: nothing in it needs escaping.
std::string show_json(uint32_t word, const Reading& r) {
  auto number = [](int n) { return n < 0 ? "null" : std::to_string(n); };
  auto text = [](const char* t) {
    return t == nullptr ? std::string("null") : "\"" + std::string(t) + "\"";
  };
  return "{\"schema\": 1, \"register\": \"" + hex_word(word) +
         "\", \"state\": " + text(r.state) +
         ", \"request\": " + text(r.request) +
         ", \"boots_left\": " + number(r.boots_left) +
         ", \"failed\": " + number(r.failed) +
         ", \"from_usb\": " + (r.from_usb ? "true" : "false") + "}";
}

}  // namespace

int main(int argc, char** argv) {
  static const option options[] = {{"json", no_argument, nullptr, 'j'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
  bool json = false;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "+h", options, nullptr)) != -1;) {
    if (c == 'h') {
      emit_line(1, usage);
      return 0;
    }
    if (c == 'V') {
      emit_line(1, "velnor-bootflag " VELNOR_VERSION);
      return 0;
    }
    if (c != 'j') return usage_error("unknown option");
    json = true;
  }
  // Options may follow the command too ("show --json").
  std::string command = optind < argc ? argv[optind++] : "";
  for (int c; (c = getopt_long(argc, argv, "+h", options, nullptr)) != -1;) {
    if (c != 'j') return usage_error("unknown option");
    json = true;
  }
  int rest = argc - optind;
  if (json && command != "show") return usage_error("--json goes with show");

  uint16_t high = 0, low = 0;
  if (command == "show" && rest == 0) {
    if (bootflag_read(&high, &low) != 0) return 1;
    uint32_t word = uint32_t{high} << 16 | low;
    Reading reading = read_state(high, low);
    if (json) {
      emit_line(1, show_json(word, reading));
    } else {
      emit_line(1, hex_word(word), ": ", show_text(reading));
    }
    return 0;
  }
  if (command == "confirm" && rest == 0) {
    if (bootflag_read(&high, &low) != 0) return 1;
    if (!bootflag_on_trial(high, low)) return 0;
    return bootflag_write(high, 0) == 0 ? 0 : 1;
  }
  if (command == "request" && rest == 1) {
    std::string mode = argv[optind];
    uint16_t asked = mode == "update"   ? BOOTFLAG_UPDATE
                     : mode == "rescue" ? BOOTFLAG_RESCUE
                     : mode == "usb"    ? BOOTFLAG_USB
                                        : BOOTFLAG_NONE;
    if (asked == BOOTFLAG_NONE) return usage_error("request update|rescue|usb");
    return bootflag_write(asked, 0) == 0 ? 0 : 1;
  }
  return usage_error(command.empty() ? "missing command" : "bad command line");
}
