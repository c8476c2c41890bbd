// Where firmware packages come from besides the card's update package: the
// backup on the card (rescue) and a USB stick.
#pragma once

// Installs "/mnt/mmc/backup.bpk2"; 0 or -1. unless_installed: when the
// flash holds that firmware already, installs nothing and returns -2, so
// that a firmware that cannot come up is not installed again and again.
int rescue_firmware(bool unless_installed = false);

// Copies "/mnt/usb/update.bpk2" onto the card and installs it; 0 or -1.
int update_from_usb();
