#pragma once
// Fields that show a long text whole in spirit: what does not fit is elided in the middle, so
// the start of a message and the name at the end of a path both stay in view, and the full
// text is the tool tip. text() is always the full text.

#include <QLabel>
#include <QLineEdit>

namespace tessel::gui {

class ElidedLineEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit ElidedLineEdit(QWidget* parent = nullptr);
    // What the field paints: the full text when it fits (or while the operator edits it),
    // else the text elided in the middle.
    QString DisplayedText() const;
    bool Elides() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int TextWidth() const;
};

class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    // Sets the text on one line (line breaks become blanks) and as the tool tip.
    void SetFullText(const QString& text);
    QString DisplayedText() const;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace tessel::gui
