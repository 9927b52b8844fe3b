// The reader of the shared MIME database's globs2 files on any bytes, and the
// lookup of a name in what it read. Input: a file name, a NUL, the file's text.
// Properties: a type found is one of the text's "type/subtype" fields and a
// plain token pair (it goes into a header line); the answer does not change
// when asked again, nor when the same text is loaded a second time before it.

#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "smtp/MimeTypes.h"

using pw::fuzz::Show;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    pw::fuzz::TFuzzInput in(data, size);
    const std::string name(in.Until('\0'));
    const std::string text(in.Rest());

    pw::TMimeGlobs globs;
    globs.Load(text);
    const std::string type = globs.TypeOf(name);
    PW_FUZZ_CHECK(type == globs.TypeOf(name), Show(name));
    if (!type.empty()) {
        PW_FUZZ_CHECK(text.find(":" + type + ":") != std::string::npos, Show(type) + " is not in the text");
        const std::size_t slash = type.find('/');
        PW_FUZZ_CHECK(slash != std::string::npos && slash > 0 && slash + 1 < type.size() &&
                          type.find('/', slash + 1) == std::string::npos,
                      Show(type));
        for (char c : type) {
            const auto u = static_cast<unsigned char>(c);
            PW_FUZZ_CHECK(u > 0x20 && u < 0x7F && std::strchr("()<>@,;:\\\"[]?=", c) == nullptr, Show(type));
        }
    }
    pw::TMimeGlobs twice;
    twice.Load(text);
    twice.Load(text);
    PW_FUZZ_CHECK(twice.TypeOf(name) == type, Show(name) + " in " + Show(text));
    return 0;
}
