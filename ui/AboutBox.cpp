#include "ui/AboutBox.h"

#include <QFontMetrics>
#include <QFrame>
#include <QPainter>
#include <QPushButton>

namespace pw {

namespace {

QFont AboutFont() {
    QFont font(QStringLiteral("Arial"));
    font.setBold(true);
    font.setItalic(true);
    return font;
}

// A font whose character height (the em, without internal leading) is `pixels`.
QFont CharacterHeight(int pixels) {
    QFont font = AboutFont();
    font.setPixelSize(pixels);
    return font;
}

// The largest font whose cell height (ascent + descent) is at most `pixels`.
QFont CellHeight(int pixels) {
    QFont font = AboutFont();
    for (int size = pixels; size > 1; --size) {
        font.setPixelSize(size);
        if (QFontMetrics(font).height() <= pixels) break;
    }
    return font;
}

}  // namespace

ShadowLabel::ShadowLabel(const QString& text, const QFont& font, int depth, QWidget* parent)
    : QWidget(parent), text_(text), depth_(depth), colour_(0, 0, 255) {
    setFont(font);
    setAttribute(Qt::WA_TranslucentBackground);
}

void ShadowLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(font());
    const QRect area = rect().adjusted(0, 0, -depth_, -depth_);
    painter.setPen(QColor(128, 128, 128));
    painter.drawText(area.translated(depth_, depth_), Qt::AlignCenter, text_);
    painter.setPen(colour_);
    painter.drawText(area, Qt::AlignCenter, text_);
}

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(272, 206);
    move(192, 120);

    panel_ = new QFrame(this);
    panel_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel_->setGeometry(8, 8, 256, 160);

    name_ = new ShadowLabel(QStringLiteral("Parcelwing"), CharacterHeight(28), 2, panel_);
    name_->setGeometry(0, 15, 252, 33);
    version_ = new ShadowLabel(QStringLiteral("version 2.1b"), CellHeight(20), 1, panel_);
    version_->setGeometry(0, 55, 252, 25);

    ok_ = new QPushButton(QStringLiteral("Ok"), this);
    ok_->setGeometry(104, 176, 75, 25);
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
}

void ShowAbout(QWidget* parent) {
    AboutBox box(parent);
    box.exec();
}

}  // namespace pw
