#pragma once
// What a person would see wrong in a laid-out window, as lists of readable
// problems (empty when all is well):
//  - Overlaps: two visible widgets placed by the same layout that cover each
//    other, or a widget that reaches out of its parent (or, in a group box,
//    into the title);
//  - Cuts: a caption (label, check box, radio button, push button, group box
//    title, tab) given less room than its size hint asks for;
//  - Fonts: a captioned or edit control whose font size is not the
//    application's.
// The window must be shown, so that its layouts have placed everything.

#include <QAbstractButton>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QTabBar>
#include <QTabWidget>
#include <QWidget>
#include <string>
#include <vector>

namespace pw::test {

inline std::string Describe(const QWidget* w) {
    std::string text = w->metaObject()->className();
    QString caption;
    if (auto* label = qobject_cast<const QLabel*>(w)) caption = label->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(w)) caption = button->text();
    if (auto* group = qobject_cast<const QGroupBox*>(w)) caption = group->title();
    if (!caption.isEmpty()) text += " \"" + caption.toStdString() + "\"";
    if (!w->objectName().isEmpty()) text += " " + w->objectName().toStdString();
    return text;
}

inline std::string Describe(const QRect& r) {
    return "(" + std::to_string(r.x()) + "," + std::to_string(r.y()) + " " + std::to_string(r.width()) + "x" +
           std::to_string(r.height()) + ")";
}

// The visible widgets a layout places, nested layouts included.
inline void LaidOutWidgets(QLayout* layout, std::vector<QWidget*>& out) {
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (QWidget* w = item->widget()) {
            if (w->isVisible()) out.push_back(w);
        } else if (QLayout* inner = item->layout()) {
            LaidOutWidgets(inner, out);
        }
    }
}

// Every visible widget below `top` (itself included) that has a layout.
inline std::vector<QWidget*> WidgetsWithLayouts(QWidget* top) {
    std::vector<QWidget*> out;
    if (top->layout() != nullptr && top->isVisible()) out.push_back(top);
    for (QWidget* w : top->findChildren<QWidget*>()) {
        if (w->layout() != nullptr && w->isVisible()) out.push_back(w);
    }
    return out;
}

inline std::vector<std::string> Overlaps(QWidget* top) {
    std::vector<std::string> problems;
    for (QWidget* parent : WidgetsWithLayouts(top)) {
        std::vector<QWidget*> children;
        LaidOutWidgets(parent->layout(), children);
        // A group box's title is no place for its controls.
        QRect room = parent->rect();
        if (auto* group = qobject_cast<QGroupBox*>(parent)) room = group->contentsRect();
        for (std::size_t i = 0; i < children.size(); ++i) {
            const QRect a = children[i]->geometry();
            if (!room.contains(a)) {
                problems.push_back(Describe(children[i]) + " " + Describe(a) + " reaches out of " + Describe(parent) +
                                   " " + Describe(room));
            }
            for (std::size_t j = i + 1; j < children.size(); ++j) {
                const QRect b = children[j]->geometry();
                if (a.intersects(b)) {
                    problems.push_back(Describe(children[i]) + " " + Describe(a) + " overlaps " +
                                       Describe(children[j]) + " " + Describe(b));
                }
            }
        }
    }
    return problems;
}

inline bool Captioned(const QWidget* w) {
    return qobject_cast<const QLabel*>(w) != nullptr || qobject_cast<const QAbstractButton*>(w) != nullptr ||
           qobject_cast<const QGroupBox*>(w) != nullptr;
}

inline std::vector<QWidget*> VisibleWidgets(QWidget* top) {
    std::vector<QWidget*> out;
    for (QWidget* w : top->findChildren<QWidget*>()) {
        if (w->isVisible()) out.push_back(w);
    }
    return out;
}

inline std::vector<std::string> Cuts(QWidget* top) {
    std::vector<std::string> problems;
    for (QWidget* w : VisibleWidgets(top)) {
        if (auto* tabs = qobject_cast<QTabWidget*>(w)) {
            // All tabs at their full width, none behind scroll buttons.
            QTabBar* bar = tabs->tabBar();
            if (bar->sizeHint().width() > bar->width()) {
                problems.push_back("the tabs need " + std::to_string(bar->sizeHint().width()) + " pixels, have " +
                                   std::to_string(bar->width()));
            }
            for (int i = 0; i < bar->count(); ++i) {
                if (!bar->rect().contains(bar->tabRect(i))) {
                    problems.push_back("tab \"" + bar->tabText(i).toStdString() + "\" is cut");
                }
            }
            continue;
        }
        // Tool buttons show images; tab-bar scroll buttons and the like are Qt's own.
        if (!Captioned(w) || w->inherits("QToolButton")) continue;
        if (auto* label = qobject_cast<QLabel*>(w); label != nullptr && label->wordWrap()) {
            if (label->heightForWidth(label->width()) > label->height()) {
                problems.push_back(Describe(w) + " needs " + std::to_string(label->heightForWidth(label->width())) +
                                   " pixels of height, has " + std::to_string(label->height()));
            }
            continue;
        }
        // A group box may be given less than it would like, never less than it needs.
        QSize hint = qobject_cast<QGroupBox*>(w) != nullptr ? w->minimumSizeHint() : w->sizeHint();
        if (w->hasHeightForWidth()) hint.setHeight(std::max(hint.height(), w->heightForWidth(w->width())));
        if (hint.width() > w->width() || hint.height() > w->height()) {
            problems.push_back(Describe(w) + " needs " + std::to_string(hint.width()) + "x" +
                               std::to_string(hint.height()) + ", has " + Describe(w->geometry()));
        }
    }
    return problems;
}

inline std::vector<std::string> FontsNotTheApplications(QWidget* top) {
    std::vector<std::string> problems;
    const double size = QApplication::font().pointSizeF();
    for (QWidget* w : VisibleWidgets(top)) {
        if (!Captioned(w) && qobject_cast<QLineEdit*>(w) == nullptr) continue;
        if (w->font().pointSizeF() != size || w->font().pixelSize() > 0) {
            problems.push_back(Describe(w) + " has a font of " + std::to_string(w->font().pointSizeF()) +
                               " points, the application " + std::to_string(size));
        }
    }
    return problems;
}

}  // namespace pw::test
