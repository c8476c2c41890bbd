// The status LEDs "err_red" and "pwr_green", through the kernel's LED class.
#pragma once

#include <cstdint>

int led_write(const char* path, const char* value);
int led_timer(const char* name, uint32_t on_ms, uint32_t off_ms);
int led_heartbeat(const char* name);
int led_on(const char* name);
int led_off(const char* name);
