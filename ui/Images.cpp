#include "ui/Images.h"

// Resources compiled into a static library must be registered by name, once.
static void InitParcelwingResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(parcelwing);
        return true;
    }();
    (void)done;
}

namespace pw {

namespace {

const QPixmap& Strip(TImageList list) {
    static const QPixmap enabled = [] {
        InitParcelwingResources();
        return QPixmap(QStringLiteral(":/images/FORM1_IMAGELIST1"));
    }();
    static const QPixmap disabled = [] {
        InitParcelwingResources();
        return QPixmap(QStringLiteral(":/images/FORM1_IMAGELIST2"));
    }();
    return list == TImageList::Enabled ? enabled : disabled;
}

}  // namespace

int ToolImageCount(TImageList list) {
    const QPixmap& strip = Strip(list);
    return strip.height() >= kToolImageSize ? strip.width() / kToolImageSize : 0;
}

QPixmap ToolImage(TImageList list, int index) {
    if (index < 0 || index >= ToolImageCount(list)) return {};
    return Strip(list).copy(index * kToolImageSize, 0, kToolImageSize, kToolImageSize);
}

QIcon ToolIcon(int index) {
    QIcon icon;
    icon.addPixmap(ToolImage(TImageList::Enabled, index), QIcon::Normal);
    icon.addPixmap(ToolImage(TImageList::Disabled, index), QIcon::Disabled);
    return icon;
}

QIcon ProgramIcon() {
    InitParcelwingResources();
    QIcon icon;
    for (const char* name : {":/images/icon-32", ":/images/icon-48", ":/images/icon-128"})
        icon.addFile(QString::fromLatin1(name));
    return icon;
}

}  // namespace pw
