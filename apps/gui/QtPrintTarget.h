#pragma once
// The Print command's printer in the desktop program: Qt's print dialog and QPrinter (a
// printer or a PDF file), a 10-point fixed-pitch font, the page's whole printable area.
// Called from the command thread; all drawing happens on the GUI thread.

#include <QFont>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "commands/PrintTarget.h"

class QPainter;
class QPrinter;
class QWidget;

namespace tessel::gui {

class GuiBridge;

class QtPrintTarget : public PrintTarget {
public:
    QtPrintTarget(GuiBridge& bridge, QWidget* parent);
    ~QtPrintTarget() override;

    // Print into this PDF file without showing the print dialog (tests, scripted runs);
    // empty: the dialog again.
    void SetPdfOutput(const QString& path) { pdf_ = path; }

    Start BeginDocument(const std::string& documentName) override;
    int PageHeight() override;
    int MeasureHeight(std::string_view text) override;
    bool PrintPage(std::string_view text) override;
    void EndDocument(bool complete) override;

    int PagesPrinted() const { return pages_; }
    // The text of every page of the last document, as drawn.
    const std::vector<std::string>& PageTexts() const { return pageTexts_; }

private:
    GuiBridge& bridge_;
    QWidget* parent_;
    QString pdf_;
    std::unique_ptr<QPrinter> printer_;
    std::unique_ptr<QPainter> painter_;
    QFont font_;
    int pages_ = 0;
    std::vector<std::string> pageTexts_;
};

}  // namespace tessel::gui
