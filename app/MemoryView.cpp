#include "app/MemoryView.h"

#include <utility>

namespace pw {

TBoxAnswer DefaultAnswer(TBoxButtons buttons) {
    switch (buttons) {
    case TBoxButtons::OkCancel:
        return TBoxAnswer::Ok;
    case TBoxButtons::YesNo:
    case TBoxButtons::YesNoCancel:
        return TBoxAnswer::Yes;
    case TBoxButtons::RetryCancel:
        return TBoxAnswer::Retry;
    case TBoxButtons::Ok:
        break;
    }
    return TBoxAnswer::Ok;
}

int MemoryView::FileCount() const { return static_cast<int>(files_.size()); }

std::string MemoryView::FileAt(int index) const {
    if (index < 0 || index >= FileCount()) return {};
    return files_[static_cast<std::size_t>(index)];
}

void MemoryView::AppendFile(const std::string& entry) { files_.push_back(entry); }

void MemoryView::InsertFile(int index, const std::string& entry) {
    if (index < 0 || index > FileCount()) return;
    files_.insert(files_.begin() + index, entry);
    if (current_ >= index) ++current_;
}

void MemoryView::DeleteFile(int index) {
    if (index < 0 || index >= FileCount()) return;
    files_.erase(files_.begin() + index);
    // Like a list control: removing the current entry leaves none current.
    if (current_ == index) {
        current_ = -1;
    } else if (current_ > index) {
        --current_;
    }
}

void MemoryView::SwapFiles(int first, int second) {
    if (first < 0 || second < 0 || first >= FileCount() || second >= FileCount()) return;
    std::swap(files_[static_cast<std::size_t>(first)], files_[static_cast<std::size_t>(second)]);
}

void MemoryView::SetCurrentFile(int index) { current_ = (index >= 0 && index < FileCount()) ? index : -1; }

void MemoryView::ClearFiles() {
    files_.clear();
    current_ = -1;
}

void MemoryView::EndFileUpdate() {
    if (fileUpdateDepth_ > 0) --fileUpdateDepth_;
}

std::string MemoryView::BoxText(TComboBox box) const { return box == TComboBox::To ? toText_ : subjText_; }

void MemoryView::SetBoxText(TComboBox box, const std::string& text) {
    (box == TComboBox::To ? toText_ : subjText_) = text;
}

std::vector<std::string> MemoryView::RecentItems(TComboBox box) const {
    return box == TComboBox::To ? toItems_ : subjItems_;
}

void MemoryView::SetRecentItems(TComboBox box, const std::vector<std::string>& items) {
    (box == TComboBox::To ? toItems_ : subjItems_) = items;
}

void MemoryView::StatusRemoveFirst() {
    if (!status_.empty()) status_.pop_front();
}

void MemoryView::StatusAppend(const std::string& text) {
    status_.push_back(text);
    shown_ = text;
    if (OnStatus) OnStatus(text);
}

void MemoryView::EndStatusUpdate() {
    if (statusUpdateDepth_ > 0) --statusUpdateDepth_;
}

void MemoryView::EnableListControls(bool enabled) {
    listControls_ = enabled;
    ++listRefreshes_;
}

TBoxAnswer MemoryView::ShowMessageBox(const RMessageBox& box) {
    boxes_.push_back(box);
    if (OnMessageBox) OnMessageBox(box);
    if (!answers_.empty()) {
        const TBoxAnswer answer = answers_.front();
        answers_.pop_front();
        return answer;
    }
    return DefaultAnswer(box.Buttons);
}

void MemoryView::RequestClose() {
    ++closeRequests_;
    if (OnCloseRequest) OnCloseRequest();
}

}  // namespace pw
