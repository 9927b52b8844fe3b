#pragma once
// The edge between the byte strings of the layers below and Qt's QString: texts
// are converted with the locale's 8-bit encoding (UTF-8 on Linux with Qt 6).

#include <QString>
#include <string>

namespace pw {

inline QString ToQt(const std::string& bytes) {
    return QString::fromLocal8Bit(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

inline std::string FromQt(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace pw
