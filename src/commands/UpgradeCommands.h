#pragma once
// Upgrade Internal BSL: replaces the boot loader in block 1 with a newer one downloaded from a
// file, through the programming stub, keeping block 0 and the password. Upgrade External
// BSL: writes the demonstration board's own loader, which the tool carries, into the
// external flash's low window. Download Monitra: replaces the boot loader with the debug
// monitor the tool carries, after which the application ends.

#include "commands/Actions.h"
#include <cstdint>
#include <string>

#include "transfer/ImageLoaders.h"
#include "commands/FlashCommands.h"

namespace tessel {

class CDeviceSession;
class Target;

// Whether `image` may replace the boot loader when written from `address` of `block`: the
// start lies in block 1's loader area of the detected chip, the image is not empty and ends
// inside that area, and it defines the byte at the loader's entry address, where the stub
// hands control back. "" when it may; otherwise why not, naming the area.
std::string CheckNewLoader(const CDeviceSession& session, int block, uint32_t address, const LoadedImage& image);

// The window's entries for "Upgrade Internal BSL1.1F+ to Newer Version" (32793), "Upgrade External BSL
// Firmware to Newer Version" (32811) and "&Download Monitra" (32801) on the window. The
// download
// inside it uses `env` as the Download command does.
Actions UpgradeActions(Target& target, FlashCommandEnv env = {});

}  // namespace tessel
