#pragma once
// The main window as a terminal shows it: the progress bar is drawn on stderr when that is a
// terminal and reported as one plain line per label otherwise; the chip information is
// printed as a summary at the end.

#include <functional>
#include <string>

#include "ui/MainDialog.h"

namespace tessel::cli {

class ConsoleView : public MainDialogObserver {
public:
    explicit ConsoleView(MainDialog& window);
    ~ConsoleView() override;

    void OnChanged(Change what) override;
    // The chip information, the security line and the "IAP Status:" line.
    void PrintSummary();
    // Ends a drawn bar so that the next text starts on its own line.
    void EndLine();

    // Set when several boards share the terminal: the bar's label and percentage (-1 while
    // there is no range) go there instead of being drawn.
    std::function<void(const std::string& label, int percent)> progressSink;

private:
    MainDialog& window_;
    bool tty_;
    std::string label_;
    int lastPercent_ = -1;
    bool drawn_ = false;
};

}  // namespace tessel::cli
