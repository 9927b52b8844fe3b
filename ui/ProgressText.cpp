#include "ui/ProgressText.h"

#include <algorithm>

#include "ui/QtText.h"

namespace pw {

namespace {

// Separates the parts of the progress line.
const QString kPartSeparator = QStringLiteral("  \u00b7  ");

}  // namespace

QString SizeText(std::uint64_t bytes, const RProgressTexts& texts) {
    if (bytes < 1024) return texts[ptSizeBytes].arg(bytes);
    static constexpr ProgressText units[] = {ptSizeKB, ptSizeMB, ptSizeGB};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    QString number = QString::number(value, 'f', 1);
    number.replace(QLatin1Char('.'), texts[ptDecimalPoint]);
    return texts[units[unit]].arg(number);
}

int ShownMessages(const RJobProgress& progress) { return std::max({progress.Messages, progress.Message, 1}); }

int ShownMessage(const RJobProgress& progress) { return std::clamp(progress.Message, 1, ShownMessages(progress)); }

QString ProgressFileName(const RJobProgress& progress) {
    if (progress.File.empty()) return {};
    const std::size_t slash = progress.File.rfind('/');
    return ToQt(slash == std::string::npos ? progress.File : progress.File.substr(slash + 1));
}

int JobProgressValue(const RJobProgress& progress, int range) {
    if (progress.Messages <= 0 || progress.Message <= 0) return 0;
    double done = progress.Message - 1;
    if (!progress.File.empty() && progress.FileSize > 0) {
        done += static_cast<double>(std::min(progress.FileDone, progress.FileSize)) /
                static_cast<double>(progress.FileSize);
    }
    const double share = std::min(done / progress.Messages, 1.0);
    return static_cast<int>(share * range);
}

QString ProgressLine(const RJobProgress& progress, const RProgressTexts& texts, const QString& shownName) {
    QString line = texts[ptMessage].arg(ShownMessage(progress)).arg(ShownMessages(progress));
    if (progress.File.empty()) return line;
    const QString file = shownName.isEmpty() ? ProgressFileName(progress) : shownName;
    const std::uint64_t done = std::min(progress.FileDone, progress.FileSize);
    line += kPartSeparator + file + kPartSeparator +
            texts[ptBytes].arg(SizeText(done, texts), SizeText(progress.FileSize, texts));
    return line;
}

}  // namespace pw
