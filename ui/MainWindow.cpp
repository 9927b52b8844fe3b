#include "ui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/Images.h"
#include "ui/ProgressText.h"
#include "ui/Prompter.h"
#include "ui/QtText.h"
#include "ui/RawNames.h"

namespace pw {

namespace {

// The client size of a first start, before a remembered one replaces it.
constexpr int kFirstWidth = 552;
constexpr int kFirstHeight = 343;

}  // namespace

MainWindow::MainWindow(Prompter& prompter, QWidget* parent)
    : QMainWindow(parent), prompter_(prompter), attachTitle_(QStringLiteral("Select files")) {
    setWindowTitle(QStringLiteral("Parcelwing"));
    setWindowIcon(ProgramIcon());
    createActions();
    createMenus();
    createToolBar();
    createControls();
    createFileListMenu();
    createStatusBar();
    setUpTabOrder();
    updateActions();
    progressTexts_ = BuiltInProgressTexts();

    // Placed by the window manager; only the size of a first start is ours.
    resize(kFirstWidth, kFirstHeight);
    setAcceptDrops(true);

    // F1 works anywhere in the window. It is not the action's own shortcut, so
    // that the menu shows the "F1" hint only while the item's text carries it.
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    help->setContext(Qt::WindowShortcut);
    connect(help, &QShortcut::activated, contents_, &QAction::trigger);

    focusWatch_ = connect(qApp, &QApplication::focusChanged, this, &MainWindow::onFocusChanged);
}

MainWindow::~MainWindow() {
    // The children, destroyed after this body, move the focus as they go; the
    // window must no longer hear of it by then.
    disconnect(focusWatch_);
}

void MainWindow::createActions() {
    const auto make = [this](const char* text, const char* tip, int image) {
        auto* action = new QAction(QString::fromUtf8(text), this);
        if (tip != nullptr) action->setToolTip(QString::fromUtf8(tip));
        if (image >= 0) action->setIcon(ToolIcon(image));
        action->setIconVisibleInMenu(false);
        return action;
    };
    attach_ = make("&Attach a File", "Attach a File(s)", 0);
    send_ = make("&Send", "Send messages", 1);
    abort_ = make("&Abort", "Abort sending", 2);
    options_ = make("&Options...", "Program options", 3);
    // A menu bar shows only the icon of an action that has one, so its
    // top-level "&Options..." item is an action of its own, without an image.
    optionsItem_ = make("&Options...", nullptr, -1);
    contents_ = make("&Contents\tF1", "Help", 4);
    up_ = make("Up", "Up", 5);
    delete_ = make("Delete", "Delete", 6);
    down_ = make("Down", "Down", 7);
    addressBook_ = make("Address book", "Address book", 9);
    createShortCut_ = make("&Create ShortCut", nullptr, -1);
    exit_ = make("E&xit", nullptr, -1);
    about_ = make("About...", nullptr, -1);
    add_ = make("Add", nullptr, -1);

    connect(attach_, &QAction::triggered, this, &MainWindow::attachRequested);
    connect(add_, &QAction::triggered, this, &MainWindow::attachRequested);
    connect(send_, &QAction::triggered, this, &MainWindow::sendRequested);
    connect(abort_, &QAction::triggered, this, &MainWindow::abortRequested);
    connect(options_, &QAction::triggered, this, &MainWindow::optionsRequested);
    connect(optionsItem_, &QAction::triggered, this, &MainWindow::optionsRequested);
    connect(contents_, &QAction::triggered, this, &MainWindow::helpRequested);
    connect(about_, &QAction::triggered, this, &MainWindow::aboutRequested);
    connect(up_, &QAction::triggered, this, &MainWindow::moveUpRequested);
    connect(delete_, &QAction::triggered, this, &MainWindow::deleteRequested);
    connect(down_, &QAction::triggered, this, &MainWindow::moveDownRequested);
    // Exit posts the close request; the close handling runs after this handler.
    connect(exit_, &QAction::triggered, this, [this] {
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    });
}

void MainWindow::createMenus() {
    fileMenu_ = menuBar()->addMenu(QStringLiteral("&File"));
    menu_[mpFile] = fileMenu_->menuAction();
    menu_[mpAttach] = attach_;
    fileMenu_->addAction(attach_);
    menu_[2] = fileMenu_->addSeparator();
    menu_[mpSend] = send_;
    fileMenu_->addAction(send_);
    menu_[mpAbort] = abort_;
    fileMenu_->addAction(abort_);
    menu_[5] = fileMenu_->addSeparator();
    menu_[mpCreateShortCut] = createShortCut_;
    fileMenu_->addAction(createShortCut_);
    menu_[mpCreateSeparator] = fileMenu_->addSeparator();
    menu_[mpExit] = exit_;
    fileMenu_->addAction(exit_);

    menu_[mpOptions] = optionsItem_;
    menuBar()->addAction(optionsItem_);

    helpMenu_ = menuBar()->addMenu(QStringLiteral("&Help"));
    menu_[mpHelp] = helpMenu_->menuAction();
    menu_[mpContents] = contents_;
    helpMenu_->addAction(contents_);
    menu_[12] = helpMenu_->addSeparator();
    menu_[mpAbout] = about_;
    helpMenu_->addAction(about_);

    // Never shown: the item and the separator above Exit.
    createShortCut_->setVisible(false);
    createShortCut_->setEnabled(false);
    menu_[mpCreateSeparator]->setVisible(false);
}

void MainWindow::createToolBar() {
    toolBar_ = addToolBar(QStringLiteral("Tools"));
    toolBar_->setObjectName(QStringLiteral("toolBar"));
    toolBar_->setMovable(false);
    toolBar_->setFloatable(false);
    toolBar_->setIconSize(QSize(kToolImageSize, kToolImageSize));
    toolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolBar_->toggleViewAction()->setEnabled(false);
    setContextMenuPolicy(Qt::NoContextMenu);

    const std::array<QAction*, tpCount> buttons = {
        attach_, nullptr, send_, abort_, nullptr, options_, nullptr,
        contents_, nullptr, up_, delete_, down_, nullptr, addressBook_};
    for (int position = 0; position < tpCount; ++position) {
        QAction* action = buttons[static_cast<std::size_t>(position)];
        if (action != nullptr) {
            toolBar_->addAction(action);
        } else {
            action = toolBar_->addSeparator();
        }
        action->setData(kToolIdBase + position);
        tools_[static_cast<std::size_t>(position)] = action;
    }
}

void MainWindow::createControls() {
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    const int margin = style()->pixelMetric(QStyle::PM_LayoutLeftMargin);
    column->setContentsMargins(margin, margin / 2, margin, 0);

    // The two rows share one grid, so that both boxes start where the longer
    // of the two labels ends.
    auto* rows = new QGridLayout;
    const auto makeRow = [&](int row, const char* caption, QLabel*& label, QComboBox*& box) {
        label = new QLabel(QString::fromUtf8(caption), central);
        box = new QComboBox(central);
        box->setEditable(true);
        box->setInsertPolicy(QComboBox::NoInsert);
        box->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        // Long recent entries must not widen the window.
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        box->setMinimumContentsLength(16);
        label->setBuddy(box);
        rows->addWidget(label, row, 0);
        rows->addWidget(box, row, 1);
    };
    makeRow(0, "To:", toLabel_, to_);
    makeRow(1, "Subject:", subjectLabel_, subject_);
    rows->setColumnStretch(1, 1);
    column->addLayout(rows);

    textCaption_ = new QLabel(QStringLiteral("Default message text:"), central);
    column->addWidget(textCaption_);

    splitter_ = new QSplitter(Qt::Vertical, central);
    splitter_->setChildrenCollapsible(false);
    text_ = new QPlainTextEdit(splitter_);
    // Lines wrap at the box's edge (the text itself keeps its lines), and Tab
    // moves on to the next control instead of typing a tab.
    text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    text_->setTabChangesFocus(true);
    text_->setMinimumHeight(1);
    textCaption_->setBuddy(text_);

    filesPanel_ = new QWidget(splitter_);
    auto* panel = new QVBoxLayout(filesPanel_);
    panel->setContentsMargins(0, 0, 0, 0);
    filesCaption_ = new QLabel(QStringLiteral("Attached Files:"), filesPanel_);
    files_ = new QListWidget(filesPanel_);
    files_->setSelectionMode(QAbstractItemView::SingleSelection);
    files_->setContextMenuPolicy(Qt::CustomContextMenu);
    files_->setMinimumHeight(1);  // the saved panel height may be small
    filesCaption_->setBuddy(files_);
    panel->addWidget(filesCaption_);
    panel->addWidget(files_, 1);

    splitter_->addWidget(text_);
    splitter_->addWidget(filesPanel_);
    // The files panel keeps its height when the window is resized.
    splitter_->setStretchFactor(0, 1);
    splitter_->setStretchFactor(1, 0);
    column->addWidget(splitter_, 1);
    setCentralWidget(central);
    applyMemoHeight();

    connect(splitter_, &QSplitter::splitterMoved, this,
            [this] { memoHeight_ = filesPanel_->height(); });
    files_->installEventFilter(this);
}

void MainWindow::createStatusBar() {
    QStatusBar* bar = statusBar();
    // The status line starts where the controls above it start.
    bar->setContentsMargins(style()->pixelMetric(QStyle::PM_LayoutLeftMargin) / 2, 0, 0, 0);
    status_ = new QComboBox(bar);
    status_->setEditable(true);
    status_->setInsertPolicy(QComboBox::NoInsert);
    status_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    status_->setMinimumContentsLength(8);
    bar->addWidget(status_, 1);

    // The progress takes room in the status bar only while a job runs, and
    // never more height than the status line has: the file list keeps its
    // height when it appears.
    progressText_ = new QLabel(bar);
    progress_ = new QProgressBar(bar);
    progress_->setRange(0, kProgressRange);
    progress_->setTextVisible(true);
    progress_->setFormat(QStringLiteral("%p%"));
    progress_->setMaximumHeight(status_->sizeHint().height());
    progress_->setFixedWidth(progress_->fontMetrics().horizontalAdvance(QStringLiteral("100%")) * 2);
    bar->addPermanentWidget(progressText_);
    bar->addPermanentWidget(progress_);
    progressText_->setVisible(false);
    progress_->setVisible(false);

    // The edit controls take dropped text themselves; dropped files go to the
    // window's file list wherever they land.
    for (QWidget* target : {static_cast<QWidget*>(text_->viewport()),
                            static_cast<QWidget*>(to_->lineEdit()),
                            static_cast<QWidget*>(subject_->lineEdit()),
                            static_cast<QWidget*>(status_->lineEdit())})
        target->installEventFilter(this);
}

void MainWindow::setUpTabOrder() {
    // Top to bottom; the status line now sits in the status bar, after the list.
    setTabOrder(to_, subject_);
    setTabOrder(subject_, text_);
    setTabOrder(text_, files_);
    setTabOrder(files_, status_);
}

void MainWindow::createFileListMenu() {
    popup_ = new QMenu(this);
    popupItems_[ppAdd] = add_;
    popup_->addAction(add_);
    popupItems_[ppDelete] = delete_;
    popup_->addAction(delete_);
    popupItems_[2] = popup_->addSeparator();
    popupItems_[ppUp] = up_;
    popup_->addAction(up_);
    popupItems_[ppDown] = down_;
    popup_->addAction(down_);
    connect(files_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { popup_->popup(files_->viewport()->mapToGlobal(at)); });
}

void MainWindow::updateActions() {
    send_->setEnabled(!busy_);
    options_->setEnabled(!busy_);
    optionsItem_->setEnabled(!busy_);
    abort_->setEnabled(busy_);
    up_->setEnabled(listButtons_);
    delete_->setEnabled(listButtons_);
    down_->setEnabled(listButtons_);
    addressBook_->setEnabled(false);
    createShortCut_->setEnabled(false);
}

QAction* MainWindow::menuItem(int position) const {
    return position >= 0 && position < mpCount ? menu_[static_cast<std::size_t>(position)] : nullptr;
}

QAction* MainWindow::toolButton(int position) const {
    return position >= 0 && position < tpCount ? tools_[static_cast<std::size_t>(position)] : nullptr;
}

QAction* MainWindow::popupItem(int position) const {
    return position >= 0 && position < ppCount ? popupItems_[static_cast<std::size_t>(position)]
                                                : nullptr;
}

void MainWindow::setBusy(bool busy) {
    busy_ = busy;
    updateActions();
}

void MainWindow::setListButtonsEnabled(bool enabled) {
    listButtons_ = enabled;
    updateActions();
}

int MainWindow::memoHeight() const {
    return filesPanel_->isVisible() ? filesPanel_->height() : memoHeight_;
}

void MainWindow::setMemoHeight(int height) {
    memoHeight_ = std::max(0, height);
    applyMemoHeight();
}

void MainWindow::applyMemoHeight() {
    // With stretch only on the message text, the splitter gives the files panel
    // exactly its size and the text the rest, before and after the window is
    // laid out and whenever it is resized.
    splitter_->setSizes({std::max(1, text_->height()), memoHeight_});
}

QStringList MainWindow::askFilesToAttach(const QString& folder) {
    RFileDialog dialog;
    dialog.Title = attachTitle_;
    dialog.Filter = QStringLiteral("All Files (*)");
    dialog.Folder = folder;
    dialog.Multiple = true;
    dialog.FileMustExist = true;
    return prompter_.ChooseFiles(this, dialog);
}

QString MainWindow::clipboardText() const {
    const QClipboard* clipboard = QGuiApplication::clipboard();
    return clipboard != nullptr ? clipboard->text() : QString();
}

void MainWindow::setProgressTexts(const RProgressTexts& texts) {
    progressTexts_ = texts;
    if (lastProgress_.Running) showProgress(lastProgress_);
}

void MainWindow::showProgress(const RJobProgress& progress) {
    lastProgress_ = progress;
    if (!progress.Running) {
        progressText_->setVisible(false);
        progress_->setVisible(false);
        progress_->setValue(0);
        progressText_->clear();
        statusBar()->setMinimumWidth(0);
        return;
    }
    // The window is never narrower than the shortest form of the words needs.
    RJobProgress shortest = progress;
    shortest.File.clear();
    statusBar()->setMinimumWidth(progressText_->fontMetrics().horizontalAdvance(ProgressLine(shortest, progressTexts_)) +
                                 progressAllowance());
    progressText_->setText(fittingProgressLine(progress));
    progressText_->setToolTip(ToQt(progress.File));
    progress_->setValue(JobProgressValue(progress, kProgressRange));
    progressText_->setVisible(true);
    progress_->setVisible(true);
}

int MainWindow::progressAllowance() const {
    // Everything in the status bar's row but the words: the status line at
    // its least width, the bar, the size grip and the spacing between them.
    const QStatusBar* bar = statusBar();
    const int spacing = std::max(bar->style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing), 6);
    return status_->minimumSizeHint().width() + progress_->width() + 16 + 5 * spacing;
}

QString MainWindow::fittingProgressLine(const RJobProgress& progress) const {
    // Longest first: all of it, the file name shortened in the middle, without
    // the file name, the message alone. The bar's tooltip has the whole name.
    const QFontMetrics metrics = progressText_->fontMetrics();
    const int room = statusBar()->contentsRect().width() - progressAllowance();
    const QString full = ProgressLine(progress, progressTexts_);
    if (progress.File.empty() || metrics.horizontalAdvance(full) <= room) return full;
    const QString file = ProgressFileName(progress);
    const int budget = room - (metrics.horizontalAdvance(full) - metrics.horizontalAdvance(file));
    if (budget >= metrics.averageCharWidth() * 8) {
        return ProgressLine(progress, progressTexts_, metrics.elidedText(file, Qt::ElideMiddle, budget));
    }
    RJobProgress withoutFile = progress;
    withoutFile.File.clear();
    return ProgressLine(withoutFile, progressTexts_);
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (lastProgress_.Running) progressText_->setText(fittingProgressLine(lastProgress_));
}

void MainWindow::bringToFront(const QString& activationToken) {
    if (isMinimized()) {
        showNormal();
    } else if (!isVisible()) {
        show();
    }
    raise();
    // Wayland: the compositor gives the focus only to a request that carries
    // a token from the start the user made; Qt's Wayland platform takes it
    // from this variable when the window asks to be activated, then clears it.
    if (!activationToken.isEmpty() && QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        qputenv("XDG_ACTIVATION_TOKEN", activationToken.toUtf8());
    }
    activateWindow();
}

void MainWindow::bringToFrontAfterDrop() {
    if (isMinimized()) {
        showNormal();
    } else {
        raise();  // raising does not activate
    }
}

void MainWindow::onFocusChanged(QWidget*, QWidget* now) {
    if (now == nullptr || now->window() != this) return;
    for (QWidget* control : {static_cast<QWidget*>(files_), static_cast<QWidget*>(to_),
                             static_cast<QWidget*>(subject_), static_cast<QWidget*>(text_),
                             static_cast<QWidget*>(status_)}) {
        if (now == control || control->isAncestorOf(now)) {
            setListButtonsEnabled(control == files_ && files_->count() > 0);
            return;
        }
    }
}

bool MainWindow::handleFileListKey(QKeyEvent* key) {
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    switch (key->key()) {
        case Qt::Key_Delete:
            if (mods == Qt::NoModifier) emit deleteRequested();
            return false;  // the list still sees the key
        case Qt::Key_Up:
            if (mods != Qt::ShiftModifier) return false;
            emit moveUpRequested();
            return true;
        case Qt::Key_Down:
            if (mods != Qt::ShiftModifier) return false;
            emit moveDownRequested();
            return true;
        case Qt::Key_V:
            if (mods != Qt::ControlModifier) return false;
            emit pasteRequested();
            return true;
        default:
            return false;
    }
}

bool MainWindow::handleDrop(QEvent* event) {
    auto* drop = static_cast<QDropEvent*>(event);
    // The raw list, not Qt's text: a name that is not UTF-8 must not be damaged.
    const std::vector<std::string> paths = DroppedFileNames(drop->mimeData());
    if (paths.empty()) return false;
    if (event->type() == QEvent::Drop) {
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        emit filesDropped(paths);
    } else {
        drop->acceptProposedAction();
    }
    return true;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress:
            if (watched == files_) return handleFileListKey(static_cast<QKeyEvent*>(event));
            break;
        case QEvent::DragEnter:
        case QEvent::DragMove:
        case QEvent::Drop:
            if (watched != files_) return handleDrop(event);
            break;
        default:
            break;
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    emit closing();
    event->accept();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!handleDrop(event)) QMainWindow::dragEnterEvent(event);
}

void MainWindow::dropEvent(QDropEvent* event) {
    if (!handleDrop(event)) QMainWindow::dropEvent(event);
}

}  // namespace pw
