#include "ui/AboutBox.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QFormLayout>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtGlobal>

#include "ui/Images.h"

namespace pw {

namespace {

// The name and version lines: Arial, bold italic, sized from the
// application's font so that they grow with it.
QFont AboutFont(double scale) {
    QFont font = QApplication::font();
    font.setFamily(QStringLiteral("Arial"));
    font.setBold(true);
    font.setItalic(true);
    const double points = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
    font.setPointSizeF(points * scale);
    return font;
}

constexpr double kNameScale = 2.2;
constexpr double kVersionScale = 1.4;
constexpr int kIconSize = 64;

QLabel* FactLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

QString QtVersionText() {
    return QStringLiteral("%1 (built with %2)").arg(QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR));
}

ShadowLabel::ShadowLabel(const QString& text, const QFont& font, int depth, QWidget* parent)
    : QWidget(parent), text_(text), depth_(depth), colour_(0, 0, 255) {
    setFont(font);
    setAttribute(Qt::WA_TranslucentBackground);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize ShadowLabel::sizeHint() const {
    const QFontMetrics metrics(font());
    // Italic letters lean out of their advance: leave them an average letter.
    return {metrics.horizontalAdvance(text_) + metrics.averageCharWidth() + depth_, metrics.height() + depth_};
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

AboutBox::AboutBox(const RAboutFacts& facts, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);

    auto* column = new QVBoxLayout(this);
    panel_ = new QFrame(this);
    panel_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    column->addWidget(panel_, 1);

    auto* inside = new QVBoxLayout(panel_);
    auto* icon = new QLabel(panel_);
    icon->setPixmap(ProgramIcon().pixmap(QSize(kIconSize, kIconSize), devicePixelRatioF()));
    icon->setAlignment(Qt::AlignCenter);
    inside->addWidget(icon);
    name_ = new ShadowLabel(QStringLiteral("Parcelwing"), AboutFont(kNameScale), 2, panel_);
    version_ = new ShadowLabel(QStringLiteral("version 2.1b"), AboutFont(kVersionScale), 1, panel_);
    inside->addWidget(name_);
    inside->addWidget(version_);
    auto* what = new QLabel(QStringLiteral("Sends files by e-mail, as attachments, over its own SMTP client."),
                            panel_);
    what->setAlignment(Qt::AlignCenter);
    what->setWordWrap(true);
    inside->addWidget(what);
    inside->addSpacing(what->fontMetrics().height() / 2);

    auto* factsForm = new QFormLayout;
    qt_ = FactLabel(QtVersionText(), panel_);
    settings_ = FactLabel(facts.SettingsFile, panel_);
    log_ = FactLabel(facts.LogFile.isEmpty() ? QStringLiteral("none kept") : facts.LogFile, panel_);
    factsForm->addRow(QStringLiteral("Qt:"), qt_);
    factsForm->addRow(QStringLiteral("Settings:"), settings_);
    factsForm->addRow(QStringLiteral("Log file:"), log_);
    inside->addLayout(factsForm);
    inside->addStretch(1);

    auto* buttons = new QDialogButtonBox(this);
    ok_ = buttons->addButton(QDialogButtonBox::Ok);
    ok_->setText(QStringLiteral("Ok"));
    ok_->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    column->addWidget(buttons);
}

void ShowAbout(QWidget* parent, const RAboutFacts& facts) {
    AboutBox box(facts, parent);
    box.exec();
}

}  // namespace pw
