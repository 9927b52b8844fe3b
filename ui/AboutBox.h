#pragma once
// The about box: the program's name and version in shadowed blue letters.
// Its texts are fixed; no language file applies to it.

#include <QDialog>
#include <QFont>
#include <QString>
#include <QWidget>

class QFrame;
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

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString text_;
    int depth_;
    QColor colour_;
};

class AboutBox : public QDialog {
    Q_OBJECT

public:
    explicit AboutBox(QWidget* parent = nullptr);

    QFrame* panel() const { return panel_; }
    ShadowLabel* nameLine() const { return name_; }
    ShadowLabel* versionLine() const { return version_; }
    QPushButton* okButton() const { return ok_; }

private:
    QFrame* panel_ = nullptr;
    ShadowLabel* name_ = nullptr;
    ShadowLabel* version_ = nullptr;
    QPushButton* ok_ = nullptr;
};

// Builds the about box, runs it modally and destroys it.
void ShowAbout(QWidget* parent);

}  // namespace pw
