#pragma once
// Finding the boot loader on the line: the firmware 1.1F handshake, the unknown-firmware
// detection that falls back to 1.1E, the link reset, and the decoding of the status byte.

#include <cstdint>
#include <functional>
#include <string>

#include "protocol/Primitives.h"

namespace tessel {

class CDeviceSession;
class CSerialPort;
class LinkWorker;
class Operator;
class WindowView;

constexpr uint32_t kBaudDetectLimitMs = 12000;
constexpr uint32_t kUnknownBaudDetectLimitMs = 8000;

struct DetectionContext {
    DetectionContext(CDeviceSession& s, WindowView& v, Operator& o) : session(s), view(v), op(o) {}

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
    // The 1.1E link worker the session owns; needed by the 1.1E detection.
    LinkWorker* worker = nullptr;
    // Runs the 1.1E to 1.1F upgrade after the operator said Yes (menuVariant as given).
    std::function<void(bool menuVariant)> runUpgrade;
    // Ends the application (the operator declined the upgrade this version needs).
    std::function<void()> endApplication;
};

constexpr uint32_t kResetWait11EMs = 30000;

// BaudDetect on the session's port, its stop request noted when it ends the wait (Stopped:
// the operator asked to stop while the loader had not answered yet).
BaudDetectResult BaudDetectLoop(DetectionContext& c, uint32_t limitMs);

void Detect11F(DetectionContext& c);
// The 1.1E detection: the menu command's variant, or the one the unknown-firmware detection
// falls back to (the port is already open then).
void Detect11E(DetectionContext& c, bool menuVariant);
// Resets the 1.1E target until it answers the status request; 1 with *status, 0 on failure,
// -1 when the operator stopped the wait (noted on the stop request).
int ResetWait11E(DetectionContext& c, uint8_t* status);
void DetectUnknown(DetectionContext& c);
void ResetLink(DetectionContext& c, const std::function<void()>& stopWorker = {});

// Stores the lock status (status & kLockStatusMask) and sets the security line; 0.
int DecodeSecurityStatus(DetectionContext& c, uint8_t status);
// The security line for bits 7:5 of a status byte; empty where the line stays as it was.
std::string SecurityLineFor(int chipType, uint8_t status, bool* alert);

// The IAP Function buttons after a 1.1F detection.
void ApplyButtonRule11F(DetectionContext& c, int memoryMode, uint8_t lockStatus, bool versionOk);

}  // namespace tessel
