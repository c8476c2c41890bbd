// The status LEDs (the board's red and green, boards/board.h), through the
// kernel's LED class.
#pragma once

#include <cstdint>

// Writes value (all of it, in one write) to the attribute at path: 0, or -1
// after "Failed to led_write on <path> with <value>" on stderr.
int led_write(const char* path, const char* value);

// Each sets the LED /sys/class/leds/<name> by writing its attributes in
// order (brightness, trigger, then the delays for the timer) and stops at
// the first that fails: 0, or -1 (reported by led_write). Attributes written
// before a failure stay written.
int led_timer(const char* name, uint32_t on_ms, uint32_t off_ms);
int led_heartbeat(const char* name);
int led_on(const char* name);
int led_off(const char* name);
