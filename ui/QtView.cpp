#include "ui/QtView.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTimer>
#include <algorithm>

#include "ui/MainWindow.h"
#include "ui/Prompter.h"
#include "ui/QtText.h"

namespace pw {

namespace {

// The edit control's text has "\n" line ends; the core's has CR LF.
std::string ToCrLf(const QString& text) {
    const std::string lf = FromQt(text);
    std::string out;
    out.reserve(lf.size() + lf.size() / 16);
    for (char c : lf) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

QString FromCrLf(const std::string& text) {
    std::string lf;
    lf.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            lf += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            lf += text[i];
        }
    }
    return ToQt(lf);
}

// A file entry shows through the locale's conversion; when that cannot give
// its bytes back (a name that is not UTF-8), the bytes are kept beside the
// shown text, so the entry still names its file.
constexpr int RawNameRole = Qt::UserRole + 1;

void KeepRawName(QListWidgetItem* item, const std::string& entry) {
    if (item == nullptr) return;
    if (FromQt(item->text()) != entry) {
        item->setData(RawNameRole, QByteArray(entry.data(), static_cast<qsizetype>(entry.size())));
    } else {
        item->setData(RawNameRole, QVariant());
    }
}

std::string EntryOf(const QListWidgetItem* item) {
    const QVariant raw = item->data(RawNameRole);
    if (raw.isValid()) {
        const QByteArray bytes = raw.toByteArray();
        return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    return FromQt(item->text());
}

// Replaces a combo box's list without touching the text in its edit field
// (inserting into an empty box would otherwise show the first entry).
void ReplaceItems(QComboBox& box, const QStringList& items) {
    const QString text = box.currentText();
    box.clear();
    box.addItems(items);
    box.setEditText(text);
}

}  // namespace

QtView::QtView(MainWindow& window, Prompter& prompter) : window_(window), prompter_(prompter) {
    // Every entry is one line of the same font: the list need not measure each.
    window_.fileList()->setUniformItemSizes(true);
    statusTimer_ = new QTimer(&window_);
    statusTimer_->setSingleShot(true);
    statusTimer_->setInterval(kStatusRefreshMs);
    QObject::connect(statusTimer_, &QTimer::timeout, statusTimer_, [this] { FlushStatus(); });
}

QtView::~QtView() {
    delete statusTimer_;
    if (waitCursor_) QApplication::restoreOverrideCursor();
}

// --- file list ---------------------------------------------------------------

int QtView::FileCount() const {
    return window_.fileList()->count() + static_cast<int>(pendingFiles_.size());
}

std::string QtView::FileAt(int index) const {
    const int shown = window_.fileList()->count();
    if (index < 0 || index >= FileCount()) return {};
    if (index >= shown) return pendingFiles_[static_cast<std::size_t>(index - shown)];
    return EntryOf(window_.fileList()->item(index));
}

void QtView::AppendFile(const std::string& entry) {
    if (fileUpdateDepth_ > 0) {
        pendingFiles_.push_back(entry);
        return;
    }
    QListWidget* list = window_.fileList();
    list->addItem(ToQt(entry));
    KeepRawName(list->item(list->count() - 1), entry);
}

void QtView::FlushFiles() {
    if (pendingFiles_.empty()) return;
    QStringList items;
    items.reserve(static_cast<qsizetype>(pendingFiles_.size()));
    for (const std::string& entry : pendingFiles_) items << ToQt(entry);
    QListWidget* list = window_.fileList();
    const int first = list->count();
    list->addItems(items);
    for (std::size_t i = 0; i < pendingFiles_.size(); ++i) {
        // Only the rare name the text cannot carry needs its bytes kept.
        if (FromQt(items[static_cast<qsizetype>(i)]) != pendingFiles_[i])
            KeepRawName(list->item(first + static_cast<int>(i)), pendingFiles_[i]);
    }
    pendingFiles_.clear();
    pendingFiles_.shrink_to_fit();
}

void QtView::InsertFile(int index, const std::string& entry) {
    FlushFiles();
    if (index < 0 || index > FileCount()) return;
    window_.fileList()->insertItem(index, ToQt(entry));
    KeepRawName(window_.fileList()->item(index), entry);
}

void QtView::DeleteFile(int index) {
    FlushFiles();
    QListWidget* list = window_.fileList();
    if (index < 0 || index >= list->count()) return;
    const bool wasCurrent = list->currentRow() == index;
    delete list->takeItem(index);
    // Like a list box: removing the current entry leaves none current (the
    // widget would move on to the next one by itself).
    if (wasCurrent) SetCurrentFile(-1);
}

void QtView::SwapFiles(int first, int second) {
    FlushFiles();
    QListWidget* list = window_.fileList();
    if (first < 0 || second < 0 || first >= list->count() || second >= list->count()) return;
    QListWidgetItem* a = list->item(first);
    QListWidgetItem* b = list->item(second);
    const QString text = a->text();
    const QVariant raw = a->data(RawNameRole);
    a->setText(b->text());
    a->setData(RawNameRole, b->data(RawNameRole));
    b->setText(text);
    b->setData(RawNameRole, raw);
}

int QtView::CurrentFile() const { return window_.fileList()->currentRow(); }

void QtView::SetCurrentFile(int index) {
    FlushFiles();
    QListWidget* list = window_.fileList();
    if (index >= 0 && index < list->count()) {
        list->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
        return;
    }
    list->setCurrentRow(-1);
    list->clearSelection();
}

void QtView::ClearFiles() {
    pendingFiles_.clear();
    window_.fileList()->clear();
}

void QtView::BeginFileUpdate() {
    if (fileUpdateDepth_++ == 0) window_.fileList()->setUpdatesEnabled(false);
}

void QtView::EndFileUpdate() {
    if (fileUpdateDepth_ == 0) return;
    if (--fileUpdateDepth_ > 0) return;
    FlushFiles();
    window_.fileList()->setUpdatesEnabled(true);
}

// --- boxes and message text -----------------------------------------------------

QComboBox* QtView::Box(TComboBox box) const {
    return box == TComboBox::To ? window_.toBox() : window_.subjectBox();
}

std::string QtView::BoxText(TComboBox box) const { return FromQt(Box(box)->currentText()); }

void QtView::SetBoxText(TComboBox box, const std::string& text) { Box(box)->setEditText(ToQt(text)); }

std::vector<std::string> QtView::RecentItems(TComboBox box) const {
    const QComboBox* combo = Box(box);
    std::vector<std::string> items;
    items.reserve(static_cast<std::size_t>(combo->count()));
    for (int i = 0; i < combo->count(); ++i) items.push_back(FromQt(combo->itemText(i)));
    return items;
}

void QtView::SetRecentItems(TComboBox box, const std::vector<std::string>& items) {
    QStringList list;
    for (const std::string& item : items) list << ToQt(item);
    ReplaceItems(*Box(box), list);
}

std::string QtView::MessageText() const { return ToCrLf(window_.messageText()->toPlainText()); }

void QtView::SetMessageText(const std::string& text) { window_.messageText()->setPlainText(FromCrLf(text)); }

// --- status line -------------------------------------------------------------------

void QtView::StatusRemoveFirst() {
    if (status_.empty()) return;
    // The entry is either already in the box (then it goes at the next refresh)
    // or among those still waiting to be added.
    if (static_cast<int>(status_.size()) > statusAdded_) {
        ++statusDropped_;
    } else {
        --statusAdded_;
    }
    status_.pop_front();
    if (!statusTimer_->isActive()) statusTimer_->start();
}

void QtView::StatusAppend(const std::string& text) {
    status_.push_back(text);
    ++statusAdded_;
    if (!statusTimer_->isActive()) statusTimer_->start();
}

std::string QtView::StatusShownText() const { return status_.empty() ? std::string() : status_.back(); }

void QtView::FlushStatus() {
    statusTimer_->stop();
    if (statusDropped_ == 0 && statusAdded_ == 0) return;
    QComboBox* box = window_.statusBox();
    if (statusDropped_ > 0) box->model()->removeRows(0, std::min(statusDropped_, box->count()));
    QStringList added;
    for (auto it = status_.end() - statusAdded_; it != status_.end(); ++it) added << ToQt(*it);
    box->addItems(added);
    statusDropped_ = 0;
    statusAdded_ = 0;
    if (box->count() > 0) {
        box->setCurrentIndex(box->count() - 1);
        // A line longer than the box shows its beginning: the date and the request.
        if (QLineEdit* edit = box->lineEdit()) edit->setCursorPosition(0);
    } else {
        box->setEditText(QString());
    }
}

// --- window ------------------------------------------------------------------------------

RWindowGeometry QtView::Geometry() const {
    RWindowGeometry g;
    g.Top = window_.y();
    g.Left = window_.x();
    g.Width = window_.width();
    g.Height = window_.height();
    g.MemoHeight = window_.memoHeight();
    return g;
}

void QtView::SetGeometry(const RWindowGeometry& g) {
    window_.move(g.Left, g.Top);
    window_.resize(std::max(1, g.Width), std::max(1, g.Height));
    window_.setMemoHeight(g.MemoHeight);
}

void QtView::EnableSendControls(bool idle) { window_.setBusy(!idle); }

bool QtView::SendControlsIdle() const { return !window_.isBusy(); }

void QtView::EnableListControls(bool enabled) { window_.setListButtonsEnabled(enabled); }

void QtView::SetWaitCursor(bool wait) {
    if (wait == waitCursor_) return;
    waitCursor_ = wait;
    if (wait) {
        QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    } else {
        QApplication::restoreOverrideCursor();
    }
}

void QtView::Beep() { QApplication::beep(); }

TBoxAnswer QtView::ShowMessageBox(const RMessageBox& box) {
    return prompter_.ShowMessageBox(box.Owned ? &window_ : nullptr, box);
}

void QtView::RequestClose() {
    QMetaObject::invokeMethod(&window_, &QWidget::close, Qt::QueuedConnection);
}

void QtView::JobProgress(const RJobProgress& progress) { window_.showProgress(progress); }

}  // namespace pw
