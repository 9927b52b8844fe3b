#include "smtp/Charsets.h"

#include <iconv.h>

#include <cerrno>

#include "platform/AsciiCase.h"

namespace pw {

namespace {

// In the order of the options' table.
const RCharset Charsets[] = {
    {"US-ASCII", "", "US-ASCII", true},  // non-ASCII text: UTF-8
    {"ISO-8859-1", "ISO-8859-1", "ISO-8859-1", true},
    {"ISO-8859-2", "ISO-8859-2", "ISO-8859-2", true},
    {"ISO-8859-3", "ISO-8859-3", "ISO-8859-3", true},
    {"ISO-8859-4", "ISO-8859-4", "ISO-8859-4", true},
    {"ISO-8859-5", "ISO-8859-5", "ISO-8859-5", true},
    {"ISO-8859-6", "ISO-8859-6", "ISO-8859-6", true},
    {"ISO-8859-7", "ISO-8859-7", "ISO-8859-7", true},
    {"ISO-8859-8", "ISO-8859-8", "ISO-8859-8", true},
    {"ISO-8859-9", "ISO-8859-9", "ISO-8859-9", true},
    {"ISO-8859-10", "ISO-8859-10", "ISO-8859-10", true},
    {"ISO-8859-13", "ISO-8859-13", "ISO-8859-13", true},
    {"ISO-8859-14", "ISO-8859-14", "ISO-8859-14", true},
    {"ISO-8859-15", "ISO-8859-15", "ISO-8859-15", true},
    {"Windows-1250", "CP1250", "windows-1250", true},
    {"Windows-1251", "CP1251", "windows-1251", true},
    {"Windows-1252", "CP1252", "windows-1252", true},
    {"Windows-1253", "CP1253", "windows-1253", true},
    {"Windows-1254", "CP1254", "windows-1254", true},
    {"Windows-1255", "CP1255", "windows-1255", true},
    {"Windows-1256", "CP1256", "windows-1256", true},
    {"Windows-1257", "CP1257", "windows-1257", true},
    {"Windows-1258", "CP1258", "windows-1258", true},
    {"KOI8-R", "KOI8-R", "KOI8-R", true},
    {"CP-895", "CP895", "CP895", true},  // glibc has no Kamenicky: goes as UTF-8 there
    {"CP-852", "CP852", "IBM852", true},
    {"Unicode-1-1-UCS-2", "", "UTF-8", false},  // 16-bit units: no text part can carry them
    {"Unicode-1-1-UCS-4", "", "UTF-8", false},
    {"UTF-8", "UTF-8", "UTF-8", true},
    {"UTF-7", "UTF-7", "UTF-7", false},  // "+" starts a shift sequence
};

const iconv_t NoIconv = reinterpret_cast<iconv_t>(-1);

}  // namespace

const RCharset* FindCharset(std::string_view name)
{
    for (const RCharset& c : Charsets)
        if (EqualNoCase(c.Name, name))
            return &c;
    return nullptr;
}

TIconv::TIconv(std::string_view to)
{
    const std::string name(to);
    cd_ = name.empty() ? NoIconv : iconv_open(name.c_str(), "UTF-8");
}

TIconv::~TIconv()
{
    if (Ok())
        iconv_close(static_cast<iconv_t>(cd_));
}

bool TIconv::Ok() const
{
    return static_cast<iconv_t>(cd_) != NoIconv;
}

bool TIconv::Convert(std::string_view utf8, std::string& out)
{
    out.clear();
    if (!Ok())
        return false;
    const auto cd = static_cast<iconv_t>(cd_);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
    char* in = const_cast<char*>(utf8.data());
    std::size_t inLeft = utf8.size();
    char buffer[4096];
    for (;;) {
        char* o = buffer;
        std::size_t oLeft = sizeof buffer;
        const std::size_t r = iconv(cd, inLeft > 0 ? &in : nullptr, inLeft > 0 ? &inLeft : nullptr, &o, &oLeft);
        out.append(buffer, static_cast<std::size_t>(o - buffer));
        if (r != static_cast<std::size_t>(-1)) {
            if (r != 0)
                return false;  // a character was replaced by something else
            if (inLeft == 0) {
                // The input is used up: write out what a stateful charset still holds.
                o = buffer;
                oLeft = sizeof buffer;
                if (iconv(cd, nullptr, nullptr, &o, &oLeft) == static_cast<std::size_t>(-1))
                    return false;
                out.append(buffer, static_cast<std::size_t>(o - buffer));
                return true;
            }
            continue;
        }
        if (errno != E2BIG)
            return false;  // EILSEQ: a character the charset cannot hold; EINVAL: cut-off input
    }
}

}  // namespace pw
