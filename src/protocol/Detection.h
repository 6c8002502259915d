#pragma once
// Finding the boot loader on the line: the firmware 1.1F handshake, the unknown-firmware
// detection that falls back to 1.1E, the link reset, and the decoding of the status byte.

#include <cstdint>
#include <functional>
#include <string>

namespace tessel {

class CDeviceSession;
class Operator;
class WindowView;

// The 16-byte string a 1.1F loader measures the host's rate from.
extern const uint8_t kBaudDetectString[16];

constexpr uint32_t kBaudDetectLimitMs = 12000;
constexpr uint32_t kUnknownBaudDetectLimitMs = 8000;

struct DetectionContext {
    CDeviceSession& session;
    WindowView& view;
    Operator& op;
    // Shows the RS232 set-up dialog again for the double-clock crystal re-entry; true when
    // it ended with OK. Unset: the re-entry is not offered.
    std::function<bool()> runCommSetupDialog;
    // Runs the 1.1E detection in its variant for the unknown-firmware command (the port is
    // already open). Unset: the fallback only reports.
    std::function<void()> detect11EFallback;
    // Brings the window back to the MCU's own flash after an external-flash window.
    std::function<void()> returnToMcuFlash;
};

enum class BaudDetectResult { Ok, TimedOut, WriteFailed };

// Sends the baud-detect string until "O","K" comes back or `limitMs` passes.
BaudDetectResult BaudDetectLoop(DetectionContext& c, uint32_t limitMs);

void Detect11F(DetectionContext& c);
void DetectUnknown(DetectionContext& c);
void ResetLink(DetectionContext& c, const std::function<void()>& stopWorker = {});

// Stores the lock status (status & 0xE0) and sets the security line; 0.
int DecodeSecurityStatus(DetectionContext& c, uint8_t status);
// The security line for bits 7:5 of a status byte; empty where the line stays as it was.
std::string SecurityLineFor(int chipType, uint8_t status, bool* alert);

// The IAP Function buttons after a 1.1F detection.
void ApplyButtonRule11F(DetectionContext& c, int memoryMode, uint8_t lockStatus, bool versionOk);

}  // namespace tessel
