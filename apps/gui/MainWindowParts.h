#pragma once
// What the main window's two sources share: the menus' and buttons' tables and the texts that
// both the commands' side (MainWindow.cpp) and the drawing side (MainWindowLayout.cpp) use.

#include <QString>
#include <string>
#include <vector>

#include "ui/MainDialog.h"

namespace tessel::gui::detail {

inline QString Q(const std::string& s) { return QString::fromStdString(s); }

struct MenuItem {
    int id;  // 0: a separator
    const char* text;
};

struct Menu {
    const char* title;
    std::vector<MenuItem> items;
};

// The menu bar's menus in their order, and the one Help menu's items.
const std::vector<Menu>& Menus();
const std::vector<MenuItem>& HelpItems();

struct ButtonDef {
    IapButton id;
    const char* text;
};
inline constexpr ButtonDef kButtons[] = {
    {IapButton::Download, "Download"},       {IapButton::DnloadRunUserCode, "Dnload/Run UserCode"},
    {IapButton::Read, "Read"},               {IapButton::SectorErase, "Sector Erase"},
    {IapButton::ChipErase, "Chip Erase"},    {IapButton::LockChip, "Lock Chip"},
    {IapButton::MemoryRemap, "Memory Remap"},
};

inline constexpr char kStoppingLabel[] = "Stopping...";

}  // namespace tessel::gui::detail
