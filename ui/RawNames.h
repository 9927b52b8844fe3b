#pragma once
// File names at the window's edge. Qt shows a name through the locale's
// conversion (UTF-8), which cannot hold every byte a Linux name may have: a
// name from an older disk, "caf\xe9.txt", shows as "caf\uFFFD.txt", and those
// shown characters no longer lead to the file. The program keeps a name's
// bytes as they came (the list, the hand-off, the remembered list); these
// functions get them back where Qt hands over only text.

#include <QString>
#include <string>
#include <vector>

class QMimeData;

namespace pw {

// The paths of the local files a drop carries, as bytes: read from its raw
// "text/uri-list" data, where each name travels percent-encoded; from Qt's
// URLs only when the drop has no such list.
std::vector<std::string> DroppedFileNames(const QMimeData* mime);

// The bytes of the existing file or folder shown as `shown`: the locale's
// bytes of `shown` when they name one; otherwise every part of the path that
// does not exist is looked for in its folder, among the names that show as
// that part. False when there is none, or more than one that shows the same.
bool RealFileName(const QString& shown, std::string& raw);

}  // namespace pw
