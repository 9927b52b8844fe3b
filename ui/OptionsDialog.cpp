#include "ui/OptionsDialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTabBar>
#include <QTabWidget>
#include <climits>

#include "config/Language.h"
#include "ui/LanguageUi.h"
#include "ui/Prompter.h"
#include "ui/QtText.h"

namespace pw {

const std::array<const char*, 30> kCharSetEntries = {
    "Default",      "ISO-8859-1",   "ISO-8859-2",   "ISO-8859-3",        "ISO-8859-4",
    "ISO-8859-5",   "ISO-8859-6",   "ISO-8859-7",   "ISO-8859-8",        "ISO-8859-9",
    "ISO-8859-10",  "ISO-8859-13",  "ISO-8859-14",  "ISO-8859-15",       "WINDOWS-1250",
    "WINDOWS-1251", "WINDOWS-1252", "WINDOWS-1253", "WINDOWS-1254",      "WINDOWS-1255",
    "WINDOWS-1256", "WINDOWS-1257", "WINDOWS-1258", "KOI8-R",            "CP-895",
    "CP-852",       "Unicode-1-1-UCS-2", "Unicode-1-1-UCS-4", "UTF-8", "UTF-7"};

const std::array<const char*, 3> kLogDetailEntries = {
    "None (no log at all)", "Normal (significant events only)", "Debug (all actions)"};

namespace {

constexpr int kLabelFontHeight = 8;
constexpr int kButtonFontHeight = 8;
constexpr int kPageFontHeight = 9;
constexpr int kEditFontHeight = 13;
constexpr int kButtonBarHeight = 28;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

// Blanks and control characters, as the program trims user input.
std::string Trimmed(const std::string& text) {
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
    return text.substr(first, last - first);
}

// The number at the start of `text`: an optional "+" or "-", then decimal
// digits up to the first other character; 0 when there are none. Too long a
// number is held at the 32-bit limit instead of wrapping around.
std::int32_t LeadingNumber(const std::string& text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<std::int32_t>(value);
}

QFont FontOfHeight(const QFont& base, int pixels) {
    QFont font(base);
    font.setPixelSize(pixels);
    return font;
}

// Puts `widget` at (x, y) in its parent; a height of 0 keeps the control's
// standard height.
template <typename W>
W* Place(W* widget, int x, int y, int width, int height = 0) {
    widget->setGeometry(x, y, width, height > 0 ? height : widget->sizeHint().height());
    return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* text, int x, int y, int width, int height = 0) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setFont(FontOfHeight(label->font(), kLabelFontHeight));
    return Place(label, x, y, width, height);
}

QLineEdit* MakeEdit(QWidget* parent, int x, int y, int width, const char* text = "") {
    auto* edit = new QLineEdit(QString::fromUtf8(text), parent);
    edit->setFont(FontOfHeight(edit->font(), kEditFontHeight));
    return Place(edit, x, y, width);
}

QLineEdit* MakeDigitsEdit(QWidget* parent, int x, int y, int width, const char* text) {
    QLineEdit* edit = MakeEdit(parent, x, y, width, text);
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
    return edit;
}

QCheckBox* MakeCheck(QWidget* parent, const char* text, int x, int y, int width) {
    return Place(new QCheckBox(QString::fromUtf8(text), parent), x, y, width);
}

QComboBox* MakeCombo(QWidget* parent, int x, int y, int width, bool editable) {
    auto* box = new QComboBox(parent);
    box->setEditable(editable);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setFont(FontOfHeight(box->font(), kEditFontHeight));
    return Place(box, x, y, width);
}

QGroupBox* MakeGroup(QWidget* page, const char* title, int x, int y, int width, int height) {
    return Place(new QGroupBox(QString::fromUtf8(title), page), x, y, width, height);
}

}  // namespace

OptionsDialog::OptionsDialog(Prompter& prompter, std::string programFolder, QString helpFile,
                             QWidget* parent)
    : QDialog(parent),
      prompter_(prompter),
      programFolder_(std::move(programFolder)),
      helpFile_(std::move(helpFile)),
      logDialogTitle_(QStringLiteral("Define Log File Name")) {
    setWindowTitle(QStringLiteral("Options"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(544, 370);
    move(214, 107);

    c_.Tabs = new QTabWidget(this);
    c_.Tabs->setFont(FontOfHeight(c_.Tabs->font(), kPageFontHeight));
    c_.Tabs->setGeometry(0, 0, width(), height() - kButtonBarHeight);
    createEMailPage();
    createMixPage();
    createOnErrorPage();
    createButtons();
    showPage(pgEMail);

    // The dialog's keys act on release, whichever control has the focus.
    qApp->installEventFilter(this);
}

OptionsDialog::~OptionsDialog() {
    qApp->removeEventFilter(this);
}

void OptionsDialog::createButtons() {
    auto* bar = new QWidget(this);
    bar->setGeometry(0, height() - kButtonBarHeight, width(), kButtonBarHeight);
    const auto make = [bar](const char* text, int x) {
        auto* button = new QPushButton(QString::fromUtf8(text), bar);
        button->setFont(FontOfHeight(button->font(), kButtonFontHeight));
        button->setAutoDefault(false);  // Enter alone does not close the dialog
        button->setGeometry(x, 2, kButtonWidth, kButtonHeight);
        return button;
    };
    c_.Ok = make("Ok", 256);
    c_.Cancel = make("Cancel", 336);
    c_.Help = make("Help", 448);
    connect(c_.Ok, &QPushButton::clicked, this, &OptionsDialog::okPressed);
    connect(c_.Cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(c_.Help, &QPushButton::clicked, this, &OptionsDialog::helpPressed);
}

void OptionsDialog::createEMailPage() {
    QWidget* page = c_.EMailPage = new QWidget;
    c_.Tabs->addTab(page, QStringLiteral("EMail"));

    QGroupBox* smtp = c_.SmtpGroup = MakeGroup(page, "SMTP", 2, 1, 526, 144);
    c_.ServerLabel = MakeLabel(smtp, "SMTP Server:", 2, 14, 104);
    c_.Server = MakeEdit(smtp, 110, 14, 185);
    c_.PortLabel = MakeLabel(smtp, "SMTP Port:", 304, 14, 146);
    c_.Port = MakeDigitsEdit(smtp, 456, 14, 48, "22");
    c_.TimeoutLabel = MakeLabel(smtp, "Timeout:", 2, 40, 104);
    c_.Timeout = MakeDigitsEdit(smtp, 110, 40, 81, "15");
    c_.AttemptsLabel = MakeLabel(smtp, "Number of Attempts:", 216, 40, 234);
    c_.Attempts = MakeDigitsEdit(smtp, 456, 40, 48, "5");
    c_.CharSetLabel = MakeLabel(smtp, "CharSet:", 2, 66, 104);
    c_.CharSet = MakeCombo(smtp, 110, 65, 169, true);
    for (const char* entry : kCharSetEntries) c_.CharSet->addItem(QString::fromLatin1(entry));
    c_.Auth = MakeCheck(smtp, "Perform SMTP Authentication", 110, 91, 217);
    c_.AuthNameLabel = MakeLabel(smtp, "Name:", 4, 116, 100, 20);
    c_.AuthName = MakeEdit(smtp, 110, 116, 129);
    c_.PasswordLabel = MakeLabel(smtp, "Password:", 242, 116, 120, 20);
    c_.Password = MakeEdit(smtp, 366, 116, 153);
    c_.Password->setEchoMode(QLineEdit::Password);
    for (QWidget* w : {static_cast<QWidget*>(c_.AttemptsLabel), static_cast<QWidget*>(c_.Attempts),
                       static_cast<QWidget*>(c_.Auth), static_cast<QWidget*>(c_.AuthNameLabel),
                       static_cast<QWidget*>(c_.AuthName), static_cast<QWidget*>(c_.PasswordLabel),
                       static_cast<QWidget*>(c_.Password)})
        w->setEnabled(false);

    QGroupBox* personal = c_.PersonalGroup = MakeGroup(page, "Personal", 2, 150, 526, 74);
    c_.NameLabel = MakeLabel(personal, "Name:", 4, 16, 100, 20);
    c_.Name = MakeEdit(personal, 112, 16, 153);
    c_.FromLabel = MakeLabel(personal, "From address:", 4, 42, 100, 20);
    c_.From = MakeEdit(personal, 112, 42, 153);
    c_.OrganizationLabel = MakeLabel(personal, "Organization:", 268, 16, 97, 20);
    c_.Organization = MakeEdit(personal, 366, 18, 153);

    QGroupBox* wab = c_.WabGroup = MakeGroup(page, "WAB", 2, 228, 526, 68);
    c_.UseWab = MakeCheck(wab, "Use Windows Address Book", 16, 14, 252);
    c_.DefaultWab = MakeCheck(wab, "Use Default WAB file", 272, 14, 249);
    c_.WabFileLabel = MakeLabel(wab, "WAB File Name:", 24, 38, 185, 20);
    c_.WabFile = MakeEdit(wab, 216, 38, 281);
    c_.WabBrowse = Place(new QPushButton(QStringLiteral("..."), wab), 496, 38, 22,
                         c_.WabFile->height());
    c_.WabBrowse->setAutoDefault(false);
    wab->setEnabled(false);  // and with it every control in it

    connect(c_.UseWab, &QCheckBox::clicked, this, &OptionsDialog::updateSendToState);
    connect(c_.DefaultWab, &QCheckBox::clicked, this, &OptionsDialog::updateSendToState);
}

void OptionsDialog::createMixPage() {
    QWidget* page = c_.MixPage = new QWidget;
    c_.Tabs->addTab(page, QStringLiteral("Mix"));

    QGroupBox* log = c_.LogGroup = MakeGroup(page, "Log file", 2, 4, 526, 80);
    c_.SaveLog = MakeCheck(log, "Save log file", 16, 18, 161);
    c_.LogDetailLabel = MakeLabel(log, "Log detail:", 176, 18, 108);
    c_.LogDetail = MakeCombo(log, 289, 18, 233, true);
    for (const char* entry : kLogDetailEntries) c_.LogDetail->addItem(QString::fromLatin1(entry));
    c_.LogFileLabel = MakeLabel(log, "Log file name:", 8, 48, 193);
    c_.LogFile = MakeEdit(log, 208, 48, 281);
    c_.LogBrowse = Place(new QPushButton(QStringLiteral("..."), log), 496, 48, 24,
                         c_.LogFile->height());
    c_.LogBrowse->setAutoDefault(false);
    connect(c_.LogBrowse, &QPushButton::clicked, this, &OptionsDialog::chooseLogFile);

    QGroupBox* send = c_.SendGroup = MakeGroup(page, "Send", 2, 88, 527, 69);
    c_.AutoSend = MakeCheck(send, "AutoSend", 16, 18, 201);
    c_.ExitAfterSend = MakeCheck(send, "Exit after send", 272, 18, 225);
    c_.ConfirmReceipt = MakeCheck(send, "Confirm Receipt", 16, 42, 201);
    c_.ReceiptLabel = MakeLabel(send, "To address:", 224, 40, 112, 20);
    c_.ReceiptAddress = MakeEdit(send, 344, 40, 177);
    c_.ConfirmReceipt->setEnabled(false);
    c_.ReceiptLabel->setEnabled(false);
    c_.ReceiptAddress->setEnabled(false);

    QGroupBox* files = c_.FilesGroup = MakeGroup(page, "Files", 2, 162, 527, 87);
    c_.FilesPerMessageLabel = MakeLabel(files, "Files per message:", 2, 18, 167);
    c_.FilesPerMessage = MakeDigitsEdit(files, 176, 16, 100, "1");
    c_.ClearFileList = MakeCheck(files, "Clear file list", 288, 18, 225);
    c_.RecurseSubdirs = MakeCheck(files, "Recurse subdirs", 16, 41, 201);
    c_.TextFromFile = MakeCheck(files, "Get message text from file", 16, 63, 297);

    QGroupBox* ui = c_.InterfaceGroup = MakeGroup(page, "Interface", 2, 252, 527, 48);
    c_.LanguageLabel = MakeLabel(ui, "Language:", 4, 18, 165);
    c_.Language = MakeCombo(ui, 176, 16, 193, false);
}

void OptionsDialog::createOnErrorPage() {
    QWidget* page = c_.OnErrorPage = new QWidget;
    c_.Tabs->addTab(page, QStringLiteral("On Error"));

    QGroupBox* error = c_.ErrorGroup = MakeGroup(page, "Error message", 2, 4, 526, 117);
    c_.ShowMessages = MakeCheck(error, "Show message windows", 24, 16, 289);
    c_.SendByLan = MakeCheck(error, "Send error message by LAN", 24, 48, 313);
    c_.SendToLabel = MakeLabel(error, "Send messages to:", 8, 84, 201);
    c_.SendTo = MakeEdit(error, 216, 80, 193);
    connect(c_.SendByLan, &QCheckBox::clicked, this, &OptionsDialog::updateSendToState);
}

void OptionsDialog::fill(const ROptions& o) {
    c_.Server->setText(ToQt(o.Host));
    c_.Port->setText(QString::number(o.Port));
    c_.Timeout->setText(QString::number(o.TimeOut));
    c_.Attempts->setText(QStringLiteral("5"));
    c_.Auth->setChecked(false);
    c_.AuthName->clear();
    c_.Password->clear();
    c_.ConfirmReceipt->setChecked(false);
    c_.ReceiptAddress->clear();
    // The MIME name first, then the entry: a valid index shows the entry's own
    // text; a value outside the table selects nothing and leaves the name shown.
    c_.CharSet->setCurrentIndex(-1);
    c_.CharSet->setEditText(ToQt(std::string(CharSetName(o.CharSet))));
    if (o.CharSet >= 0 && o.CharSet < c_.CharSet->count()) c_.CharSet->setCurrentIndex(o.CharSet);
    c_.Name->setText(ToQt(o.SignOn));
    c_.Organization->setText(ToQt(o.Organization));
    c_.From->setText(ToQt(o.From));
    c_.UseWab->setChecked(o.WABEnabled);
    c_.DefaultWab->setChecked(o.DefWABFile);
    c_.WabFile->setText(ToQt(o.WabFName));
    c_.LogDetail->setCurrentIndex(o.LogDetail >= 0 && o.LogDetail < c_.LogDetail->count() ? o.LogDetail
                                                                                           : -1);
    c_.SaveLog->setChecked(o.SaveLog);
    c_.LogFile->setText(ToQt(o.LogFileName));
    c_.AutoSend->setChecked(o.AutoSend);
    c_.ExitAfterSend->setChecked(o.ExitAfterSend);
    c_.FilesPerMessage->setText(QString::number(o.FilPerMes));
    c_.RecurseSubdirs->setChecked(o.RecSubDir);
    c_.ClearFileList->setChecked(o.ClearFList);
    c_.TextFromFile->setChecked(o.TextFromFirstFile);

    c_.Language->clear();
    const std::vector<std::string> languages = BuildLanguageList(programFolder_);
    for (const std::string& language : languages) c_.Language->addItem(ToQt(language));
    c_.Language->setCurrentIndex(FindLanguage(languages, o.Language));
    ApplyOptionsLanguage(*this, programFolder_, o.LangFile);

    c_.ShowMessages->setChecked(o.ShowMessagesOnError);
    c_.SendByLan->setChecked(o.SendMessagesOnError);
    c_.SendTo->setText(ToQt(o.SendMessagesTo));
    updateSendToState();
}

void OptionsDialog::readInto(ROptions& o) const {
    o.Host = FromQt(c_.Server->text());
    o.Port = LeadingNumber(FromQt(c_.Port->text()));
    o.TimeOut = LeadingNumber(FromQt(c_.Timeout->text()));
    o.NumOfAttempts = 5;
    o.SMTP_Auth_Enabled = false;
    o.SMTP_Auth_Name.clear();
    o.SMTP_Auth_Pass.clear();
    if (c_.CharSet->currentIndex() >= 0) o.CharSet = c_.CharSet->currentIndex();
    o.SignOn = FromQt(c_.Name->text());
    o.Organization = FromQt(c_.Organization->text());
    o.From = FromQt(c_.From->text());
    o.WABEnabled = c_.UseWab->isChecked();
    o.DefWABFile = c_.DefaultWab->isChecked();
    o.WabFName = FromQt(c_.WabFile->text());
    if (c_.LogDetail->currentIndex() >= 0) o.LogDetail = c_.LogDetail->currentIndex();
    o.SaveLog = c_.SaveLog->isChecked();
    o.LogFileName = FromQt(c_.LogFile->text());
    o.AutoSend = c_.AutoSend->isChecked();
    o.ExitAfterSend = c_.ExitAfterSend->isChecked();
    o.FilPerMes = LeadingNumber(FromQt(c_.FilesPerMessage->text()));
    o.RecSubDir = c_.RecurseSubdirs->isChecked();
    o.ClearFList = c_.ClearFileList->isChecked();
    o.TextFromFirstFile = c_.TextFromFile->isChecked();
    o.Language = c_.Language->currentIndex() >= 0 ? FromQt(c_.Language->currentText()) : std::string();
    o.LangFile = LanguageFileName(o.Language);
    o.ShowMessagesOnError = c_.ShowMessages->isChecked();
    o.SendMessagesOnError = c_.SendByLan->isChecked();
    o.SendMessagesTo = FromQt(c_.SendTo->text());
}

bool OptionsDialog::validate() {
    RMessageBox box;
    box.Caption = kAppTitle;
    if (c_.LogFile->text().isEmpty() && c_.SaveLog->isChecked()) {
        box.Text = "A name of the log file is not specified. The log will not save!";
        box.Caption = "Attention!!!";
        box.Icon = TBoxIcon::Warning;
        prompter_.ShowMessageBox(this, box);
        box.Caption = kAppTitle;
    }
    int failed = 0;
    const std::string port = Trimmed(FromQt(c_.Port->text()));
    if (port.empty() || LeadingNumber(port) == 0) {
        failed = vmPortEmpty;
    } else if (Trimmed(FromQt(c_.Server->text())).empty()) {
        failed = vmHostEmpty;
    } else if (Trimmed(FromQt(c_.From->text())).empty()) {
        failed = vmFromEmpty;
    }
    if (failed == 0) return true;
    box.Text = std::string(ValidationMessage(failed));
    box.Icon = TBoxIcon::Error;
    prompter_.ShowMessageBox(this, box);
    return false;
}

void OptionsDialog::okPressed() {
    if (validate()) accept();
}

void OptionsDialog::helpPressed() {
    ShowHelpFile(prompter_, this, helpFile_, true);
}

void OptionsDialog::chooseLogFile() {
    RFileDialog dialog;
    dialog.Title = logDialogTitle_;
    dialog.Filter = QStringLiteral("Log File (*.log);;all files (*)");
    dialog.Folder = ToQt(programFolder_);
    dialog.Multiple = false;
    dialog.FileMustExist = false;
    const QStringList chosen = prompter_.ChooseFiles(this, dialog);
    if (!chosen.isEmpty()) c_.LogFile->setText(chosen.front());
}

void OptionsDialog::showPage(int page) {
    c_.Tabs->setCurrentIndex(page);
}

int OptionsDialog::currentPage() const {
    return c_.Tabs->currentIndex();
}

void OptionsDialog::updateSendToState() {
    const bool enabled = c_.SendByLan->isChecked();
    c_.SendToLabel->setEnabled(enabled);
    c_.SendTo->setEnabled(enabled);
}

void OptionsDialog::showEvent(QShowEvent* event) {
    updateSendToState();
    QDialog::showEvent(event);
}

OptionsDialog::TKeyCommand OptionsDialog::KeyCommand(const QKeyEvent& key) {
    const Qt::KeyboardModifiers mods = key.modifiers() & ~Qt::KeypadModifier;
    switch (key.key()) {
        case Qt::Key_F1:
            return mods == Qt::NoModifier ? TKeyCommand::Help : TKeyCommand::None;
        case Qt::Key_Tab:
            if (mods == Qt::ControlModifier) return TKeyCommand::NextPage;
            if (mods == (Qt::ControlModifier | Qt::ShiftModifier)) return TKeyCommand::PreviousPage;
            return TKeyCommand::None;
        case Qt::Key_Backtab:  // Shift+Tab arrives as Backtab
            return mods == (Qt::ControlModifier | Qt::ShiftModifier) ? TKeyCommand::PreviousPage
                                                                     : TKeyCommand::None;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            return mods == Qt::ControlModifier ? TKeyCommand::Ok : TKeyCommand::None;
        default:
            return TKeyCommand::None;
    }
}

bool OptionsDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease) return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget == nullptr || widget->window() != this || !isVisible()) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    const TKeyCommand command = KeyCommand(*key);
    if (command == TKeyCommand::None) return false;
    // The press is swallowed too, so that no control (the tab bar, say) acts on
    // the same key before the release.
    if (event->type() == QEvent::KeyPress || key->isAutoRepeat()) return true;
    const int pages = c_.Tabs->count();
    switch (command) {
        case TKeyCommand::Help: helpPressed(); break;
        case TKeyCommand::NextPage: showPage((currentPage() + 1) % pages); break;
        case TKeyCommand::PreviousPage: showPage((currentPage() + pages - 1) % pages); break;
        case TKeyCommand::Ok: okPressed(); break;
        case TKeyCommand::None: break;
    }
    return true;
}

std::string SaveFailureText(const RSaveResult& result) {
    std::string text = "The options could not be saved to \"" + result.FileName + "\"";
    if (!result.Error.empty()) text += ": " + result.Error;
    return text + ".";
}

bool EditOptions(QWidget* parent, ROptions& options, const ROptionsEnvironment& environment) {
    if (environment.Prompts == nullptr) return false;
    OptionsDialog dialog(*environment.Prompts, environment.ProgramFolder,
                         ToQt(environment.HelpFile), parent);
    dialog.fill(options);
    dialog.showPage(OptionsDialog::pgEMail);
    if (dialog.exec() != QDialog::Accepted) return false;

    dialog.readInto(options);
    if (environment.Save) {
        const RSaveResult saved = environment.Save(options);
        if (!saved) {
            RMessageBox box;
            box.Text = SaveFailureText(saved);
            box.Caption = kAppTitle;
            box.Icon = TBoxIcon::Error;
            environment.Prompts->ShowMessageBox(parent, box);
        }
    }
    ApplyOptionsLanguage(dialog, environment.ProgramFolder, options.LangFile);
    if (environment.ApplyMainLanguage) environment.ApplyMainLanguage(options.LangFile);
    return true;
}

}  // namespace pw
