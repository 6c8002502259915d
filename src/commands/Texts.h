#pragma once
// The operator interface's own texts, used exactly as they stand. Lower layers keep the few
// messages they raise themselves next to their code.

namespace tessel::text {

inline constexpr const char kTitle[] = "QMT Tessel11F Boot-Strap Loader (Fw: v1.1F) ";
inline constexpr const char kBaudMustMatchTitle[] =
    "ATTENTION! BAUDRATE SELECTED FOR COMM PORT MUST MATCH WITH BAUDRATE SET IN MCU.";
// What a second copy looks for to find the first one.
inline constexpr const char kInstanceTitle[] = "QMT Tessel11F Boot Loader";
inline constexpr const char kAboutItem[] = "&About QMT Tessel...";
inline constexpr const char kReady[] = "Ready";
inline constexpr const char kSecurityAtStart[] = "SECURITY: UNKNOWN";
inline constexpr const char kSecurityUnknown[] = "SECURITY : UNKNOWN";
inline constexpr const char kTabBlock0[] = "Block 0";
inline constexpr const char kTabBlock1[] = "Block 1";

inline constexpr const char kPaneDoubleClock[] = "Double Clock %s";
inline constexpr const char kPaneCom[] = "COM%d";
inline constexpr const char kPaneBaud[] = "Baud Rate: %d";
inline constexpr const char kPaneClock[] = "%02i:%02i:%02i%2s";
inline constexpr const char kNotConnected[] = "Not connected";

inline constexpr const char kTimerFailed[] = "Fail on set up timer of 5 seconds!!!";
inline constexpr const char kTimeoutReset[] =
    "A timeout error detected and resets the host Application.\nPlease re-detect the Chiptype.";

// Fixed messages that many commands share.
inline constexpr const char kNoChipSelected[] = "No flash chip has been selected/detected!!!";
inline constexpr const char kNoTargetBoard[] = "No target board has been located!!!";
inline constexpr const char kDetectedEarlier[] = "ChipType had been detected earlier.";
inline constexpr const char kChipInfoIncomplete[] = "Chip Info is not completed!!!";
inline constexpr const char kBlock1NotInternal[] = "Block1 is not available in internal memory mode!!!";
inline constexpr const char kIllegalBlock[] = "Illegal Block Number Detected!!!";
inline constexpr const char kSelectChipOrDetect[] = "Please select ChipType or DetectChip\n to setup RS-232 connection.";
inline constexpr const char kExitQuestion[] = "Are you sure you want to exit this application?";

// Menu pop-ups and their items.
// A command button's reason before any chip has been detected.
inline constexpr const char kDetectFirst[] = "Detect the chip first (DetectChip/RS232)";
inline constexpr const char kMenuFile[] = "&File";
inline constexpr const char kMenuDetect[] = "&DetectChip/RS232";
inline constexpr const char kMenuRunCode[] = "&RunCode";
inline constexpr const char kMenuPassword[] = "&Password";
inline constexpr const char kMenuUpgrade[] = "&Upgrade BSL";
inline constexpr const char kMenuByteModify[] = "&ByteModify";
inline constexpr const char kMenuMonitra[] = "&Monitra";
inline constexpr const char kMenuExternalFlash[] = "&ExternalFlash";
inline constexpr const char kMenuHelp[] = "&Help";

}  // namespace tessel::text
