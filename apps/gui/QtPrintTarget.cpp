#include "QtPrintTarget.h"

#include <QFontInfo>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>

#include "GuiBridge.h"

namespace tessel::gui {

namespace {
QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
}  // namespace

QtPrintTarget::QtPrintTarget(GuiBridge& bridge, QWidget* parent) : bridge_(bridge), parent_(parent) {}

QtPrintTarget::~QtPrintTarget() {
    if (painter_) painter_->end();
}

PrintTarget::Start QtPrintTarget::BeginDocument(const std::string& documentName) {
    Start start = Start::Failed;
    bridge_.RunOnGui([&] {
        printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
        printer_->setDocName(QString::fromStdString(documentName).trimmed());
        if (!pdf_.isEmpty()) {
            printer_->setOutputFormat(QPrinter::PdfFormat);
            printer_->setOutputFileName(pdf_);
        } else {
            QPrintDialog dialog(printer_.get(), parent_);
            dialog.setOption(QAbstractPrintDialog::PrintToFile, false);
            dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
            dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
            if (dialog.exec() != QDialog::Accepted) {
                printer_.reset();
                start = Start::Cancelled;
                return;
            }
        }
        painter_ = std::make_unique<QPainter>();
        if (!painter_->begin(printer_.get())) {
            painter_.reset();
            printer_.reset();
            return;
        }
        // Ten points whatever the printer's resolution.
        font_ = QFont(QStringLiteral("Courier New"));
        font_.setStyleHint(QFont::TypeWriter);
        font_.setFixedPitch(true);
        font_.setPointSize(10);
        if (!QFontInfo(font_).fixedPitch()) font_.setFamily(QStringLiteral("DejaVu Sans Mono"));
        painter_->setFont(font_);
        painter_->setBackgroundMode(Qt::OpaqueMode);
        pages_ = 0;
        pageTexts_.clear();
        start = Start::Started;
    });
    return start;
}

int QtPrintTarget::PageHeight() {
    int h = 0;
    bridge_.RunOnGui([&] {
        if (printer_) h = printer_->pageLayout().paintRectPixels(printer_->resolution()).height();
    });
    return h;
}

int QtPrintTarget::MeasureHeight(std::string_view text) {
    int h = 0;
    bridge_.RunOnGui([&] {
        if (!painter_) return;
        const QRect page = printer_->pageLayout().paintRectPixels(printer_->resolution());
        h = painter_->boundingRect(QRect(0, 0, page.width(), 1 << 28), Qt::TextWordWrap, Q(text)).height();
    });
    return h;
}

bool QtPrintTarget::PrintPage(std::string_view text) {
    bool ok = false;
    bridge_.RunOnGui([&] {
        if (!painter_) return;
        if (pages_ > 0 && !printer_->newPage()) return;
        const QRect page = printer_->pageLayout().paintRectPixels(printer_->resolution());
        painter_->drawText(QRect(0, 0, page.width(), page.height()), Qt::TextWordWrap, Q(text));
        ++pages_;
        pageTexts_.emplace_back(text);
        ok = true;
    });
    return ok;
}

void QtPrintTarget::EndDocument(bool complete) {
    bridge_.RunOnGui([&] {
        if (!painter_) return;
        if (!complete) printer_->abort();
        painter_->end();
        painter_.reset();
        printer_.reset();
    });
}

}  // namespace tessel::gui
