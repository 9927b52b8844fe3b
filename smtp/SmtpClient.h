#pragma once
// TSmtpClient: the SMTP client the program creates. It is the command engine
// (smtp/SmtpEngine.h) with the MIME layer on top: with AttachedFiles the
// message becomes multipart/mixed, a text part (MessageLines, then the lines
// of OnBodyLine) followed by one Base64 part per file, typed by its name
// (smtp/MimeTypes.h), read from the file while the message is being sent,
// a block of 60-character lines at a time, so memory does not depend on the
// size of the files.
//
// The text is gathered once per message, when MAIL FROM is sent (when the
// server offers 8BITMIME: whether it is 8-bit decides BODY=8BITMIME) or else
// when Data starts, and then labelled and encoded as smtp/TextBody.h says.
// Every byte of the message still comes out of the body line supply, line by
// line.
//
// An attachment that cannot be opened or read to its end drops the
// connection before the final "." (the server discards the message) and fails
// Data with PWE_ATTACHMENT_UNREADABLE; AttachmentError() names the file and the
// reason, and the file is closed.
//
// The trace shows every header and text line; the Base64 lines of an
// attachment are summed up in one line: "> [name: N lines of Base64]".

#include <memory>
#include <string>

#include "codecs/Base64.h"
#include "smtp/SmtpEngine.h"
#include "smtp/TextBody.h"

namespace pw {

class TSmtpClient : public TSmtpEngine {
public:
    // The owner is accepted and not used.
    explicit TSmtpClient(MessageLoop& loop, void* owner = nullptr);
    ~TSmtpClient() override;

    void Data() override;
    std::uint64_t MeasureMessage() override;

    // The boundary of the message being sent; empty without attachments.
    const std::string& Boundary() const { return boundary_; }

    // The text part of the message being sent: its label, encoding and lines.
    const RTextBody& TextBody() const { return text_; }

    // Every Base64 line in the trace instead of one line per attachment.
    bool TraceAttachmentLines = false;

    // The attachment being read while a message is sent: its path, the bytes
    // encoded so far and its size when it was opened. False when no file is open.
    bool AttachmentProgress(std::string& path, std::uint64_t& done, std::uint64_t& size) const;

protected:
    bool NextBodyLine(std::int64_t lineNo, std::string& line, std::int32_t maxLength) override;
    std::size_t NextBulkLines(char* out, std::size_t room) override;
    void HeaderLineHook(std::string& line) override;
    void OpenAttachmentFile(const std::string& path) override;
    bool ReadEncodedLine(std::string& line) override;
    void CloseAttachmentFile() override;
    void HeaderTextLabel(std::string& charSet, std::string& transferEncoding) const override;
    bool BodyNeedsEightBitMime() override;

private:
    // Asks the application for the text (OnBodyLine until it says no more)
    // and prepares the text part. False when the client was destroyed meanwhile.
    bool PrepareText(bool eightBitAllowed);
    // False when the client was destroyed or disconnected meanwhile.
    bool PrepareBody();
    void TraceAttachmentSummary();

    TPendingLines pending_;
    RTextBody text_;
    bool textPrepared_ = false;
    std::int32_t attachIndex_ = 0;
    bool fileOpen_ = false;
    int fd_ = -1;
    std::string openPath_;
    std::uint64_t openSize_ = 0;
    bool measuredOpen_ = false;  // a file "opened" for measuring: only its size is known
    std::uint64_t base64Lines_ = 0;  // lines of the open attachment handed out
    std::unique_ptr<TBase64FileEncoder> encoder_;
    std::string boundary_;
};

}  // namespace pw
