#include "ui/RawNames.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QMimeData>
#include <QStringList>
#include <QUrl>

#include "platform/UriList.h"
#include "ui/QtText.h"

namespace pw {

namespace {

bool Exists(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

std::string HostName()
{
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return {};
    return host;
}

// The one entry of `folder` whose name shows as `shown`; false for none or several.
bool FindInFolder(const std::string& folder, const QString& shown, std::string& name)
{
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr)
        return false;
    int found = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string candidate = entry->d_name;
        if (candidate == "." || candidate == "..")
            continue;
        if (ToQt(candidate) == shown) {
            name = candidate;
            ++found;
        }
    }
    ::closedir(dir);
    return found == 1;
}

}  // namespace

std::vector<std::string> DroppedFileNames(const QMimeData* mime)
{
    if (mime == nullptr)
        return {};
    const QString uriList = QStringLiteral("text/uri-list");
    if (mime->hasFormat(uriList)) {
        const QByteArray data = mime->data(uriList);
        return LocalFilesOfUriList(std::string_view(data.constData(), static_cast<std::size_t>(data.size())),
                                   HostName());
    }
    std::vector<std::string> paths;
    for (const QUrl& url : mime->urls()) {
        if (!url.isLocalFile())
            continue;
        const QByteArray path = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveQuery |
                                              QUrl::RemoveFragment);
        const auto files = LocalFilesOfUriList("file://" + path.toStdString(), HostName());
        paths.insert(paths.end(), files.begin(), files.end());
    }
    return paths;
}

bool RealFileName(const QString& shown, std::string& raw)
{
    const std::string direct = FromQt(shown);
    if (Exists(direct)) {
        raw = direct;
        return true;
    }
    const QStringList parts = shown.split(QLatin1Char('/'));
    std::string path = shown.startsWith(QLatin1Char('/')) ? "/" : "";
    for (const QString& part : parts) {
        if (part.isEmpty())
            continue;
        const std::string folder = path;
        if (!path.empty() && path.back() != '/')
            path += '/';
        const std::string candidate = path + FromQt(part);
        if (Exists(candidate)) {
            path = candidate;
            continue;
        }
        std::string name;
        if (!FindInFolder(folder, part, name))
            return false;
        path += name;
    }
    if (!Exists(path))
        return false;
    raw = path;
    return true;
}

}  // namespace pw
