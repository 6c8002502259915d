#include "ElidedWidgets.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>

namespace tessel::gui {

namespace {
// QLineEdit keeps this many pixels between its contents rectangle and the text.
constexpr int kLineEditMargin = 2;
}  // namespace

ElidedLineEdit::ElidedLineEdit(QWidget* parent) : QLineEdit(parent) {
    connect(this, &QLineEdit::textChanged, this, [this](const QString& text) { setToolTip(text); });
}

int ElidedLineEdit::TextWidth() const {
    QStyleOptionFrame panel;
    initStyleOption(&panel);
    const QRect r = style()->subElementRect(QStyle::SE_LineEditContents, &panel, this);
    const QMargins m = textMargins();
    return std::max(0, r.width() - m.left() - m.right() - 2 * kLineEditMargin);
}

bool ElidedLineEdit::Elides() const {
    if (hasFocus() && !isReadOnly()) return false;
    return fontMetrics().horizontalAdvance(text()) > TextWidth();
}

QString ElidedLineEdit::DisplayedText() const {
    return Elides() ? fontMetrics().elidedText(text(), Qt::ElideMiddle, TextWidth()) : text();
}

void ElidedLineEdit::paintEvent(QPaintEvent* event) {
    if (!Elides()) {
        QLineEdit::paintEvent(event);
        return;
    }
    QPainter p(this);
    QStyleOptionFrame panel;
    initStyleOption(&panel);
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &p, this);
    QRect r = style()->subElementRect(QStyle::SE_LineEditContents, &panel, this);
    r = r.marginsRemoved(textMargins());
    r.adjust(kLineEditMargin, 0, -kLineEditMargin, 0);
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
    p.drawText(r, Qt::AlignVCenter | Qt::AlignLeft, DisplayedText());
}

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::SetFullText(const QString& text) {
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    setText(line.simplified());
    setToolTip(text);
}

QString ElidedLabel::DisplayedText() const {
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, contentsRect().width());
}

QSize ElidedLabel::minimumSizeHint() const { return {0, QLabel::minimumSizeHint().height()}; }

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    p.drawText(contentsRect(), static_cast<int>(Qt::AlignVCenter | Qt::AlignLeft), DisplayedText());
}

}  // namespace tessel::gui
