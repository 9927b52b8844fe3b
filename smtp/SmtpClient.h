#pragma once
// TSmtpClient: the SMTP client the program creates. It is the command engine
// (smtp/SmtpEngine.h) with the MIME layer on top: with AttachedFiles the
// message becomes multipart/mixed, a text part (MessageLines, then the lines
// of OnBodyLine) followed by one Base64 part per file, read from the file
// while the message is being sent, one 60-character line per write
// readiness, so memory does not depend on the size of the files.
//
// An attachment that cannot be opened or read ends the message at that point
// (the server's answer to "." completes Data); AttachmentError() then names
// the file and the reason, and the file is closed.

#include <memory>
#include <string>

#include "codecs/Base64.h"
#include "smtp/SmtpEngine.h"

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

    // The attachment being read while a message is sent: its path, the bytes
    // encoded so far and its size when it was opened. False when no file is open.
    bool AttachmentProgress(std::string& path, std::uint64_t& done, std::uint64_t& size) const;

protected:
    bool NextBodyLine(std::int64_t lineNo, std::string& line, std::int32_t maxLength) override;
    void HeaderLineHook(std::string& line) override;
    void OpenAttachmentFile(const std::string& path) override;
    bool ReadEncodedLine(std::string& line) override;
    void CloseAttachmentFile() override;

private:
    void PrepareBody();

    TPendingLines pending_;
    bool textBody_ = false;
    std::int32_t textCounter_ = 0;
    std::int32_t attachIndex_ = 0;
    bool fileOpen_ = false;
    int fd_ = -1;
    std::string openPath_;
    std::uint64_t openSize_ = 0;
    bool measuredOpen_ = false;  // a file "opened" for measuring: only its size is known
    std::unique_ptr<TBase64FileEncoder> encoder_;
    std::string boundary_;
};

}  // namespace pw
