#include "smtp/SmtpClient.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "smtp/MimeTypes.h"

namespace pw {

TSmtpClient::TSmtpClient(MessageLoop& loop, void* owner) : TSmtpEngine(loop, owner) {}

TSmtpClient::~TSmtpClient()
{
    CloseAttachmentFile();
}

void TSmtpClient::Data()
{
    if (!PrepareBody())
        return;  // aborted or dropped while the text was asked for: nothing to report
    TSmtpEngine::Data();
}

std::uint64_t TSmtpClient::MeasureMessage()
{
    // Counted as Data will send it: the text prepared for MAIL FROM (or here)
    // stays prepared, so Data sends the very lines that were counted.
    if (!PrepareBody())
        return 0;
    textPrepared_ = true;
    return TSmtpEngine::MeasureMessage();
}

bool TSmtpClient::PrepareText(bool eightBitAllowed)
{
    std::vector<std::string> supplied(MessageLines.begin(), MessageLines.end());
    if (OnBodyLine) {
        auto alive = AliveToken();
        const bool connected = IsConnected();
        for (std::int32_t n = 1;; ++n) {
            std::string line;
            bool more = false;
            OnBodyLine(*this, n, line, static_cast<std::int32_t>(MaxBodyLine), more);
            if (!*alive || (connected && !IsConnected()))
                return false;  // destroyed, aborted or dropped from inside the handler
            if (!more)
                break;
            supplied.push_back(std::move(line));
        }
    }
    text_ = PrepareTextBody(supplied, CharSet, eightBitAllowed);
    textPrepared_ = true;
    return true;
}

bool TSmtpClient::BodyNeedsEightBitMime()
{
    if (!PrepareText(true))
        return false;
    return text_.Encoding == TTransferEncoding::EightBit;
}

bool TSmtpClient::PrepareBody()
{
    // No MAIL FROM declared 8-bit text for this message: 7-bit encodings only.
    if (!textPrepared_ && !PrepareText(false))
        return false;
    textPrepared_ = false;  // the next message asks again
    attachIndex_ = 0;
    CloseAttachmentFile();
    pending_.clear();
    if (!AttachedFiles.empty()) {
        boundary_ = CurrentMultipartBoundary();
        AppendMultipartPreamble(pending_, boundary_, ContentTypeText(), text_.CharSet,
                                TransferEncodingName(text_.Encoding));
    } else {
        boundary_.clear();
    }
    for (const auto& line : text_.Lines)
        pending_.push_back(line);
    return true;
}

void TSmtpClient::HeaderTextLabel(std::string& charSet, std::string& transferEncoding) const
{
    charSet = text_.CharSet;
    transferEncoding.clear();
    if (boundary_.empty()) {
        // The text is the whole message: its encoding is the message's. 7bit
        // is the default and stays unsaid, as it always was.
        if (text_.Encoding != TTransferEncoding::SevenBit)
            transferEncoding = TransferEncodingName(text_.Encoding);
    } else if (text_.Encoding == TTransferEncoding::EightBit) {
        // A multipart holding an 8-bit part is itself 8bit (RFC 2045, 6.4).
        transferEncoding = "8bit";
    }
}

void TSmtpClient::HeaderLineHook(std::string& line)
{
    ApplyMultipartContentType(line, boundary_);
    TSmtpEngine::HeaderLineHook(line);
}

bool TSmtpClient::NextBodyLine(std::int64_t /*lineNo*/, std::string& line, std::int32_t /*maxLength*/)
{
    if (!pending_.empty()) {
        line.assign(pending_.front());
        pending_.pop_front();
        return true;
    }
    if (!fileOpen_) {
        if (attachIndex_ >= static_cast<std::int32_t>(AttachedFiles.size()))
            return false;  // end of the message
        line.clear();
        const std::string path = AttachedFiles[static_cast<std::size_t>(attachIndex_)];
        OpenAttachmentFile(path);
        std::string name = FileNamePart(path);
        std::string type = MimeTypeForFileName(name);
        auto alive = AliveToken();
        TriggerAttachmentType(attachIndex_, name, type);
        if (!*alive)
            return false;
        AppendAttachmentPartHeader(pending_, boundary_, type, name, FileNamePart(path));
        TriggerAttachmentHeader(attachIndex_, name, pending_);
        if (!*alive)
            return false;
        pending_.emplace_back();
        fileOpen_ = true;
        base64Lines_ = 0;
        return true;
    }
    quietLine_ = !TraceAttachmentLines;
    bool more = false;
    try {
        more = ReadEncodedLine(line);
    } catch (const TAttachmentFailure&) {
        TraceAttachmentSummary();
        throw;
    }
    ++base64Lines_;
    if (more)
        return true;
    // That was the file's last line: it still goes out.
    auto alive = AliveToken();
    TraceAttachmentSummary();
    if (!*alive)
        return false;
    CloseAttachmentFile();
    ++attachIndex_;
    if (attachIndex_ >= static_cast<std::int32_t>(AttachedFiles.size()))
        AppendClosingDelimiter(pending_, boundary_);
    return true;
}

// The Base64 lines of the open file in bulk, all but its last: that one
// comes through NextBodyLine, which closes the file and sums up the trace.
// With every line in the trace they all come that way.
std::size_t TSmtpClient::NextBulkLines(char* out, std::size_t room)
{
    if (!encoder_ || TraceAttachmentLines || !pending_.empty())
        return 0;
    const std::size_t written = encoder_->NextLines(out, room);
    base64Lines_ += written / TBase64FileEncoder::kWireLineChars;
    return written;
}

void TSmtpClient::TraceAttachmentSummary()
{
    if (TraceAttachmentLines || !OnTrace || Measuring())
        return;
    TriggerTrace("> [" + FlattenLineBreaks(FileNamePart(openPath_)) + ": " + std::to_string(base64Lines_) +
                 " lines of Base64]");
}

void TSmtpClient::OpenAttachmentFile(const std::string& path)
{
    CloseAttachmentFile();
    if (Measuring()) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            throw TAttachmentFailure("Can't open attachment file " + path);
        openPath_ = path;
        openSize_ = static_cast<std::uint64_t>(st.st_size);
        measuredOpen_ = true;
        return;
    }
    // O_NONBLOCK: a FIFO put in the file's place would block the open itself
    // until a writer came; for a regular file the flag changes nothing.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        throw TAttachmentFailure("Can't open attachment file " + path + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // A pipe or a device could block the loop or never end.
        ::close(fd);
        throw TAttachmentFailure("Can't open attachment file " + path + ": not a regular file");
    }
    fd_ = fd;
    openPath_ = path;
    openSize_ = static_cast<std::uint64_t>(st.st_size);
    encoder_ = std::make_unique<TBase64FileEncoder>(fd_);
}

bool TSmtpClient::ReadEncodedLine(std::string& line)
{
    if (measuredOpen_) {
        // Counted, not read: every line but the last in bulk, the last as a
        // line of its length, so it passes through the line supply like one.
        const std::size_t last = TBase64FileEncoder::LastLineChars(openSize_);
        AddMeasuredBytes(TBase64FileEncoder::EncodedSize(openSize_) - (last + 2));
        line.assign(last, 'A');
        return false;
    }
    if (!encoder_)
        throw TAttachmentFailure("Can't read attachment file: no file is open");
    line.resize(TBase64FileEncoder::kLineChars);
    std::size_t length = 0;
    const auto status = encoder_->NextLine(line.data(), length);
    if (status == TBase64FileEncoder::Status::Error) {
        line.clear();
        throw TAttachmentFailure("Can't read attachment file " + openPath_ + ": " +
                                 std::strerror(encoder_->ReadError()));
    }
    line.resize(length);
    if (status == TBase64FileEncoder::Status::Last && encoder_->BytesEncoded() < openSize_) {
        // Cut short while it was read: what went out is neither the old file
        // nor the new one, so the message must not pass for a good one.
        throw TAttachmentFailure("Can't read attachment file " + openPath_ + ": it shrank while it was read");
    }
    return status == TBase64FileEncoder::Status::More;
}

bool TSmtpClient::AttachmentProgress(std::string& path, std::uint64_t& done, std::uint64_t& size) const
{
    if (!encoder_)
        return false;
    path = openPath_;
    done = encoder_->BytesEncoded();
    size = openSize_;
    return true;
}

void TSmtpClient::CloseAttachmentFile()
{
    encoder_.reset();
    measuredOpen_ = false;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    fileOpen_ = false;
}

}  // namespace pw
