// The message's size for SIZE (RFC 1870): counted before anything of the
// message goes out, through the same line supply that Data sends from, so the
// count follows the message's layout wherever it changes.

#include "smtp/SmtpEngine.h"

namespace pw {

std::uint64_t TSmtpEngine::MeasureMessage()
{
    headersKept_ = false;
    BuildHeaderBlock();
    measuring_ = true;
    measuredBulk_ = 0;
    auto alive = alive_;
    std::uint64_t total = 0;
    std::size_t shown = 0;
    TWireLine step;
    while ((step = NextWireLine(shown)) == TWireLine::Line) {
        // The server stores the lines without the dots added for the transfer.
        total += lineOut_.size() - (lineStuffed_ ? 1 : 0);
    }
    if (!*alive)
        return 0;
    measuring_ = false;
    total += measuredBulk_;
    measuredBulk_ = 0;
    // Data sends these very header lines (the Date line included), so the
    // size announced is the size sent.
    headersKept_ = step == TWireLine::End;
    attachmentError_.clear();
    CloseAttachmentFile();
    return total;
}

bool TSmtpEngine::SizeParameter(std::string& parameters)
{
    auto alive = alive_;
    const std::uint64_t epoch = epoch_;
    const std::uint64_t size = MeasureMessage();
    if (!*alive || epoch != epoch_)
        return false;  // aborted or closed while the body lines were asked for
    messageSize_ = size;
    const std::uint64_t limit = capabilities_.SizeLimit;
    if (limit > 0 && size > limit) {
        lastReply_ = "552 Message of " + std::to_string(size) + " bytes exceeds the server's limit of " +
                     std::to_string(limit) + " bytes";
        replyCode_ = 552;
        KeepFirstError();
        requestResult_ = 552;
        CompleteAtOnce(TSmtpRequest::MailFrom, 552);
        return false;
    }
    parameters = " SIZE=" + std::to_string(size);
    return true;
}

}  // namespace pw
