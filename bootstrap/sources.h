// Where firmware packages come from besides the card's update package: the
// backup on the card (rescue) and a USB stick.
#pragma once

// Installs "/mnt/mmc/backup.bpk2"; 0 or -1.
int rescue_firmware();

// Copies "/mnt/usb/update.bpk2" onto the card and installs it; 0 or -1.
int update_from_usb();
