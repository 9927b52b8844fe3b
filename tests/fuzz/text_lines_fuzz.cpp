// Cutting the text of "MSGFILE:" and "LSTF:" files into lines, on any bytes.
// Properties:
//   - the lines are those of the text with every CR LF, lone CR and lone LF
//     taken as one line end, a line end at the very end starting no further
//     line; no line holds CR or LF;
//   - joining the lines with CR LF gives the text with its line ends made
//     CR LF (and one added at the end when missing);
//   - ReadTextLines of a file holding the text gives the same lines.

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "app/CommandLine.h"

using pw::fuzz::Show;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = pw::CutTextLines(text);

    std::string normal;  // every line end as a single LF
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            normal += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            normal += text[i];
        }
    }
    std::vector<std::string> expected;
    std::size_t start = 0;
    while (start < normal.size()) {
        std::size_t end = normal.find('\n', start);
        if (end == std::string::npos) end = normal.size();
        expected.push_back(normal.substr(start, end - start));
        start = end + 1;
    }
    PW_FUZZ_CHECK(lines == expected, Show(text) + " gave " + std::to_string(lines.size()) + " lines, expected " +
                                         std::to_string(expected.size()));

    std::string joined;
    for (const std::string& line : lines) {
        PW_FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, Show(line));
        joined += line + "\r\n";
    }
    std::string crlf;
    for (char c : normal) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    if (!crlf.empty() && normal.back() != '\n') crlf += "\r\n";
    PW_FUZZ_CHECK(joined == crlf, Show(text) + " joined as " + Show(joined));

    const std::string path = pw::fuzz::ScratchFolder() + "lines.txt";
    pw::fuzz::WriteFile(path, text);
    PW_FUZZ_CHECK(pw::ReadTextLines(path) == lines, "ReadTextLines of " + Show(text));
    return 0;
}
