#pragma once
// The tool-bar image lists and the program icon, from the program's resources
// (resources/parcelwing.qrc). "FORM1_IMAGELIST1" holds the images of enabled
// buttons, "FORM1_IMAGELIST2" those of disabled ones; both are strips cut into
// 32 x 32 images. Each list is drawn a second time at 64 x 64 ("@2x") for
// screens at twice the density; icons carry both, and Qt picks the one that
// fits the screen.

#include <QIcon>
#include <QPixmap>

namespace pw {

inline constexpr int kToolImageSize = 32;

enum class TImageList { Enabled, Disabled };

// Number of images in a list (the strip's width / 32).
int ToolImageCount(TImageList list);

// Image `index` of a list; a null pixmap when out of range. `scale` 2 gives
// the image drawn at twice the size, as a 64 x 64 pixmap with a device pixel
// ratio of 2 (so it still measures 32 x 32 in the layout).
QPixmap ToolImage(TImageList list, int index, int scale = 1);

// An icon whose normal images come from the first list and whose disabled
// images from the second, at both densities.
QIcon ToolIcon(int index);

// The sizes the program's icon is drawn at (resources/parcelwing-<size>.png).
inline constexpr int kProgramIconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

// The program's icon, in every size drawn for it.
QIcon ProgramIcon();

}  // namespace pw
