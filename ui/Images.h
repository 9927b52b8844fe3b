#pragma once
// The tool-bar image lists and the program icon, from the program's resources
// (resources/parcelwing.qrc). "FORM1_IMAGELIST1" holds the images of enabled
// buttons, "FORM1_IMAGELIST2" those of disabled ones; both are strips cut into
// 32 x 32 images.

#include <QIcon>
#include <QPixmap>

namespace pw {

inline constexpr int kToolImageSize = 32;

enum class TImageList { Enabled, Disabled };

// Number of images in a list (the strip's width / 32).
int ToolImageCount(TImageList list);

// Image `index` of a list; a null pixmap when out of range.
QPixmap ToolImage(TImageList list, int index);

// An icon whose normal image comes from the first list and whose disabled
// image from the second.
QIcon ToolIcon(int index);

// The program's icon, in every size drawn for it.
QIcon ProgramIcon();

}  // namespace pw
