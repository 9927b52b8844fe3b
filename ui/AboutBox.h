#pragma once
// The about box: the program's name and version in shadowed blue letters,
// then what is true of this copy: the Qt it runs on and where its settings
// and its log live. Its texts are fixed; no language file applies to it.
// Laid out by Qt's layouts in the application's font.

#include <QDialog>
#include <QFont>
#include <QString>
#include <QWidget>

class QDialogButtonBox;
class QFrame;
class QLabel;
class QPushButton;

namespace pw {

// A line of text drawn twice: a grey shadow `depth` pixels down and right, then
// the text in its colour over it.
class ShadowLabel : public QWidget {
    Q_OBJECT

public:
    ShadowLabel(const QString& text, const QFont& font, int depth, QWidget* parent = nullptr);
    QString text() const { return text_; }
    int shadowDepth() const { return depth_; }
    QColor textColor() const { return colour_; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    int depth_;
    QColor colour_;
};

// What the about box tells of this copy of the program.
struct RAboutFacts {
    QString SettingsFile;  // the INI file in use
    QString LogFile;       // the log file; empty when no log is kept
};

class AboutBox : public QDialog {
    Q_OBJECT

public:
    explicit AboutBox(const RAboutFacts& facts, QWidget* parent = nullptr);

    QFrame* panel() const { return panel_; }
    ShadowLabel* nameLine() const { return name_; }
    ShadowLabel* versionLine() const { return version_; }
    QLabel* qtLine() const { return qt_; }
    QLabel* settingsLine() const { return settings_; }
    QLabel* logLine() const { return log_; }
    QPushButton* okButton() const { return ok_; }

private:
    QFrame* panel_ = nullptr;
    ShadowLabel* name_ = nullptr;
    ShadowLabel* version_ = nullptr;
    QLabel* qt_ = nullptr;
    QLabel* settings_ = nullptr;
    QLabel* log_ = nullptr;
    QPushButton* ok_ = nullptr;
};

// Builds the about box, runs it modally and destroys it.
void ShowAbout(QWidget* parent, const RAboutFacts& facts);

// "6.4.2 (built with 6.4.2)": the Qt the program runs on, then the one it was
// built with.
QString QtVersionText();

}  // namespace pw
