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

// The strip of a list at a density: 1 or 2. The @2x strips are loaded under
// their own names, so that Qt does not take them for the 1x ones.
const QPixmap& Strip(TImageList list, int scale) {
    static const auto load = [](const char* name) {
        InitParcelwingResources();
        return QPixmap(QString::fromLatin1(name));
    };
    static const QPixmap strips[2][2] = {
        {load(":/images/FORM1_IMAGELIST1"), load(":/images/FORM1_IMAGELIST1@2x")},
        {load(":/images/FORM1_IMAGELIST2"), load(":/images/FORM1_IMAGELIST2@2x")}};
    return strips[list == TImageList::Enabled ? 0 : 1][scale == 2 ? 1 : 0];
}

}  // namespace

int ToolImageCount(TImageList list) {
    const QPixmap& strip = Strip(list, 1);
    return strip.height() >= kToolImageSize ? strip.width() / kToolImageSize : 0;
}

QPixmap ToolImage(TImageList list, int index, int scale) {
    if (index < 0 || index >= ToolImageCount(list) || (scale != 1 && scale != 2)) return {};
    const QPixmap& strip = Strip(list, scale);
    const int size = kToolImageSize * scale;
    // Physical pixels: the strip's own ratio does not enter the cut.
    QPixmap image = strip.copy(QRect(index * size, 0, size, size));
    image.setDevicePixelRatio(scale);
    return image;
}

QIcon ToolIcon(int index) {
    QIcon icon;
    for (int scale : {1, 2}) {
        icon.addPixmap(ToolImage(TImageList::Enabled, index, scale), QIcon::Normal);
        icon.addPixmap(ToolImage(TImageList::Disabled, index, scale), QIcon::Disabled);
    }
    return icon;
}

QIcon ProgramIcon() {
    InitParcelwingResources();
    QIcon icon;
    for (int size : kProgramIconSizes) icon.addFile(QStringLiteral(":/images/icon-%1").arg(size), QSize(size, size));
    return icon;
}

}  // namespace pw
