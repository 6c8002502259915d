#pragma once
// Where the Print command sends its pages: the desktop program puts its print dialog and
// printer behind this; tests record the pages. The command itself reads the flash, builds the
// dump text and splits it into pages with the printer's own measurements.

#include <string>
#include <string_view>

namespace tessel {

class PrintTarget {
public:
    virtual ~PrintTarget() = default;
    enum class Start { Started, Cancelled, Failed };
    // The platform's print dialog, then the start of a document of that name. Cancelled: the
    // operator said no (nothing is printed, and that is not a failure). Failed: the printer
    // could not be opened, which is.
    virtual Start BeginDocument(const std::string& documentName) = 0;
    // The printable height of a page, and the height of a text drawn with word wrap into the
    // page's width, in the same units.
    virtual int PageHeight() = 0;
    virtual int MeasureHeight(std::string_view text) = 0;
    // One page: started, drawn, ended; false when the page could not be finished.
    virtual bool PrintPage(std::string_view text) = 0;
    // Ends the document after all pages succeeded, or aborts it.
    virtual void EndDocument(bool complete) = 0;
};

}  // namespace tessel
