#include "ui/OptionsDialog.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/CommandLine.h"  // ParseLeadingInt
#include "config/Language.h"
#include "net/Resolve.h"  // TrimBlanks
#include "ui/ConnectionTest.h"
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

const std::array<const char*, 5> kAuthMethodEntries = {"Automatic", "LOGIN", "PLAIN", "CRAM-MD5", "XOAUTH2"};

std::int32_t PortForSecurity(std::int32_t security, std::int32_t port) {
    constexpr std::int32_t kSmtp = 25, kSubmissions = 465, kSubmission = 587;
    switch (security) {
        case 1: return port == kSmtp || port == kSubmissions ? kSubmission : port;
        case 2: return port == kSmtp || port == kSubmission ? kSubmissions : port;
        case 0: return port == kSubmissions ? kSmtp : port;
        default: return port;
    }
}

namespace {

// The longest line of the Test report, in average characters.
constexpr int kTestLineChars = 96;

QLabel* MakeLabel(QWidget* parent, const char* text) { return new QLabel(QString::fromUtf8(text), parent); }

QLineEdit* MakeEdit(QWidget* parent, const char* text = "") {
    return new QLineEdit(QString::fromUtf8(text), parent);
}

// A field for a number of up to `digits` digits: no wider than that needs.
QLineEdit* MakeDigitsEdit(QWidget* parent, const char* text, int digits) {
    QLineEdit* edit = MakeEdit(parent, text);
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
    const QFontMetrics metrics = edit->fontMetrics();
    QStyleOptionFrame frame;
    frame.initFrom(edit);
    const QSize wanted(metrics.horizontalAdvance(QString(digits, QLatin1Char('0'))) + metrics.averageCharWidth(),
                       metrics.height());
    edit->setMaximumWidth(edit->style()->sizeFromContents(QStyle::CT_LineEdit, &frame, wanted, edit).width());
    return edit;
}

QCheckBox* MakeCheck(QWidget* parent, const char* text) { return new QCheckBox(QString::fromUtf8(text), parent); }

QComboBox* MakeCombo(QWidget* parent, bool editable) {
    auto* box = new QComboBox(parent);
    box->setEditable(editable);
    box->setInsertPolicy(QComboBox::NoInsert);
    return box;
}

// A browse button "...", as small as its text allows.
QPushButton* MakeBrowse(QWidget* parent) {
    auto* button = new QPushButton(QStringLiteral("..."), parent);
    button->setAutoDefault(false);
    const int width = button->fontMetrics().horizontalAdvance(button->text()) * 2 +
                      button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) * 2;
    button->setMaximumWidth(std::max(width, button->minimumSizeHint().width()));
    return button;
}

// A group box of `page` with a grid inside; added to the page's column.
QGridLayout* MakeGroup(QWidget* page, const char* title, QGroupBox*& group) {
    group = new QGroupBox(QString::fromUtf8(title), page);
    auto* grid = new QGridLayout(group);
    static_cast<QVBoxLayout*>(page->layout())->addWidget(group);
    return grid;
}

QWidget* MakePage(QTabWidget* tabs, const char* caption) {
    auto* page = new QWidget;
    new QVBoxLayout(page);
    tabs->addTab(page, QString::fromUtf8(caption));
    return page;
}

void EndPage(QWidget* page) { static_cast<QVBoxLayout*>(page->layout())->addStretch(1); }

}  // namespace

OptionsDialog::OptionsDialog(Prompter& prompter, std::string programFolder, QString helpFile,
                             QWidget* parent)
    : QDialog(parent),
      prompter_(prompter),
      programFolder_(std::move(programFolder)),
      helpFile_(std::move(helpFile)),
      logDialogTitle_(QStringLiteral("Define Log File Name")),
      extraTexts_(BuiltInOptionsExtraTexts()) {
    setWindowTitle(QStringLiteral("Options"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setSizeGripEnabled(true);

    auto* column = new QVBoxLayout(this);
    c_.Tabs = new QTabWidget(this);
    column->addWidget(c_.Tabs, 1);
    createEMailPage();
    createMixPage();
    createOnErrorPage();
    createButtons();
    column->addWidget(c_.Buttons);
    showPage(pgEMail);
    updateLoginState();

    // The dialog's keys act on release, whichever control has the focus.
    qApp->installEventFilter(this);
}

OptionsDialog::~OptionsDialog() {
    qApp->removeEventFilter(this);
}

void OptionsDialog::createButtons() {
    c_.Buttons = new QDialogButtonBox(this);
    c_.Ok = c_.Buttons->addButton(QDialogButtonBox::Ok);
    c_.Cancel = c_.Buttons->addButton(QDialogButtonBox::Cancel);
    c_.Help = c_.Buttons->addButton(QDialogButtonBox::Help);
    c_.Ok->setText(QStringLiteral("Ok"));
    c_.Cancel->setText(QStringLiteral("Cancel"));
    c_.Help->setText(QStringLiteral("Help"));
    // Enter in a field presses OK (with its checks); Esc is Cancel.
    c_.Ok->setDefault(true);
    connect(c_.Buttons, &QDialogButtonBox::accepted, this, &OptionsDialog::okPressed);
    connect(c_.Buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(c_.Buttons, &QDialogButtonBox::helpRequested, this, &OptionsDialog::helpPressed);
}

void OptionsDialog::createEMailPage() {
    QWidget* page = c_.EMailPage = MakePage(c_.Tabs, "EMail");

    // Two label-and-field pairs a row; the second field of a row is a short one.
    QGridLayout* smtp = MakeGroup(page, "SMTP", c_.SmtpGroup);
    QGroupBox* box = c_.SmtpGroup;
    c_.ServerLabel = MakeLabel(box, "SMTP Server:");
    c_.Server = MakeEdit(box);
    c_.PortLabel = MakeLabel(box, "SMTP Port:");
    c_.Port = MakeDigitsEdit(box, "22", 5);
    c_.TimeoutLabel = MakeLabel(box, "Timeout:");
    c_.Timeout = MakeDigitsEdit(box, "15", 6);
    c_.AttemptsLabel = MakeLabel(box, "Number of Attempts:");
    c_.Attempts = MakeDigitsEdit(box, "5", 5);
    c_.CharSetLabel = MakeLabel(box, "CharSet:");
    c_.CharSet = MakeCombo(box, true);
    for (const char* entry : kCharSetEntries) c_.CharSet->addItem(QString::fromLatin1(entry));
    c_.Auth = MakeCheck(box, "Perform SMTP Authentication");
    c_.AuthNameLabel = MakeLabel(box, "Name:");
    c_.AuthName = MakeEdit(box);
    c_.PasswordLabel = MakeLabel(box, "Password:");
    c_.Password = MakeEdit(box);
    c_.Password->setEchoMode(QLineEdit::Password);
    c_.AuthMethodLabel = MakeLabel(box, "Method:");
    c_.AuthMethod = MakeCombo(box, false);
    for (const char* entry : kAuthMethodEntries) c_.AuthMethod->addItem(QString::fromLatin1(entry));
    c_.AttemptsLabel->setEnabled(false);
    c_.Attempts->setEnabled(false);

    smtp->addWidget(c_.ServerLabel, 0, 0);
    smtp->addWidget(c_.Server, 0, 1);
    smtp->addWidget(c_.PortLabel, 0, 2);
    smtp->addWidget(c_.Port, 0, 3);
    smtp->addWidget(c_.TimeoutLabel, 1, 0);
    smtp->addWidget(c_.Timeout, 1, 1, Qt::AlignLeft);
    smtp->addWidget(c_.AttemptsLabel, 1, 2);
    smtp->addWidget(c_.Attempts, 1, 3);
    smtp->addWidget(c_.CharSetLabel, 2, 0);
    smtp->addWidget(c_.CharSet, 2, 1);
    smtp->addWidget(c_.Auth, 3, 1, 1, 3);
    smtp->addWidget(c_.AuthNameLabel, 4, 0);
    smtp->addWidget(c_.AuthName, 4, 1);
    smtp->addWidget(c_.PasswordLabel, 4, 2);
    smtp->addWidget(c_.Password, 4, 3);
    smtp->addWidget(c_.AuthMethodLabel, 5, 0);
    smtp->addWidget(c_.AuthMethod, 5, 1, Qt::AlignLeft);
    smtp->setColumnStretch(1, 3);
    smtp->setColumnStretch(3, 2);
    connect(c_.Auth, &QCheckBox::toggled, this, &OptionsDialog::updateLoginState);

    createSecurityGroup(page);

    QGridLayout* personal = MakeGroup(page, "Personal", c_.PersonalGroup);
    box = c_.PersonalGroup;
    c_.NameLabel = MakeLabel(box, "Name:");
    c_.Name = MakeEdit(box);
    c_.FromLabel = MakeLabel(box, "From address:");
    c_.From = MakeEdit(box);
    c_.OrganizationLabel = MakeLabel(box, "Organization:");
    c_.Organization = MakeEdit(box);
    personal->addWidget(c_.NameLabel, 0, 0);
    personal->addWidget(c_.Name, 0, 1);
    personal->addWidget(c_.OrganizationLabel, 0, 2);
    personal->addWidget(c_.Organization, 0, 3);
    personal->addWidget(c_.FromLabel, 1, 0);
    personal->addWidget(c_.From, 1, 1);
    personal->setColumnStretch(1, 1);
    personal->setColumnStretch(3, 1);

    QGridLayout* wab = MakeGroup(page, "WAB", c_.WabGroup);
    box = c_.WabGroup;
    c_.UseWab = MakeCheck(box, "Use Windows Address Book");
    c_.DefaultWab = MakeCheck(box, "Use Default WAB file");
    c_.WabFileLabel = MakeLabel(box, "WAB File Name:");
    c_.WabFile = MakeEdit(box);
    c_.WabBrowse = MakeBrowse(box);
    wab->addWidget(c_.UseWab, 0, 0, 1, 2);
    wab->addWidget(c_.DefaultWab, 0, 2, 1, 2);
    wab->addWidget(c_.WabFileLabel, 1, 0);
    wab->addWidget(c_.WabFile, 1, 1, 1, 2);
    wab->addWidget(c_.WabBrowse, 1, 3);
    wab->setColumnStretch(2, 1);
    c_.WabGroup->setEnabled(false);  // and with it every control in it
    EndPage(page);

    const std::pair<QLabel*, QWidget*> buddies[] = {
        {c_.ServerLabel, c_.Server},         {c_.PortLabel, c_.Port},          {c_.TimeoutLabel, c_.Timeout},
        {c_.AttemptsLabel, c_.Attempts},     {c_.CharSetLabel, c_.CharSet},    {c_.AuthNameLabel, c_.AuthName},
        {c_.PasswordLabel, c_.Password},     {c_.AuthMethodLabel, c_.AuthMethod}, {c_.NameLabel, c_.Name},
        {c_.FromLabel, c_.From},             {c_.OrganizationLabel, c_.Organization},
        {c_.WabFileLabel, c_.WabFile}};
    for (const auto& [label, field] : buddies) label->setBuddy(field);

    connect(c_.UseWab, &QCheckBox::clicked, this, &OptionsDialog::updateSendToState);
    connect(c_.DefaultWab, &QCheckBox::clicked, this, &OptionsDialog::updateSendToState);
}

void OptionsDialog::createSecurityGroup(QWidget* page) {
    QGridLayout* grid = MakeGroup(page, "Connection security", c_.SecurityGroup);
    QGroupBox* box = c_.SecurityGroup;
    c_.SecurityNone = new QRadioButton(QStringLiteral("None"), box);
    c_.SecurityStartTls = new QRadioButton(QStringLiteral("STARTTLS"), box);
    c_.SecuritySslTls = new QRadioButton(QStringLiteral("SSL/TLS"), box);
    securityChoice_ = new QButtonGroup(this);
    securityChoice_->addButton(c_.SecurityNone, 0);
    securityChoice_->addButton(c_.SecurityStartTls, 1);
    securityChoice_->addButton(c_.SecuritySslTls, 2);
    c_.SecurityNone->setChecked(true);
    // Only the user's choice moves the port, not the filling of the dialog.
    connect(securityChoice_, &QButtonGroup::idClicked, this, &OptionsDialog::securityChosen);

    c_.Test = new QPushButton(QStringLiteral("Test"), box);
    c_.Test->setAutoDefault(false);  // Enter in a field stays OK
    c_.Test->setEnabled(false);      // until there is a loop to run it on
    connect(c_.Test, &QPushButton::clicked, this, &OptionsDialog::testPressed);
    // One line a step, not wrapped, so that the dialog grows to show them all.
    c_.TestResult = new QLabel(box);
    c_.TestResult->setTextFormat(Qt::PlainText);
    c_.TestResult->setTextInteractionFlags(Qt::TextSelectableByMouse);
    c_.TestResult->setVisible(false);

    auto* choices = new QHBoxLayout;
    choices->addWidget(c_.SecurityNone);
    choices->addWidget(c_.SecurityStartTls);
    choices->addWidget(c_.SecuritySslTls);
    choices->addStretch(1);
    choices->addWidget(c_.Test);
    grid->addLayout(choices, 0, 0);
    grid->addWidget(c_.TestResult, 1, 0);
}

void OptionsDialog::createMixPage() {
    QWidget* page = c_.MixPage = MakePage(c_.Tabs, "Mix");

    QGridLayout* log = MakeGroup(page, "Log file", c_.LogGroup);
    QGroupBox* box = c_.LogGroup;
    c_.SaveLog = MakeCheck(box, "Save log file");
    c_.LogDetailLabel = MakeLabel(box, "Log detail:");
    c_.LogDetail = MakeCombo(box, true);
    for (const char* entry : kLogDetailEntries) c_.LogDetail->addItem(QString::fromLatin1(entry));
    c_.LogFileLabel = MakeLabel(box, "Log file name:");
    c_.LogFile = MakeEdit(box);
    c_.LogBrowse = MakeBrowse(box);
    connect(c_.LogBrowse, &QPushButton::clicked, this, &OptionsDialog::chooseLogFile);
    log->addWidget(c_.SaveLog, 0, 0);
    log->addWidget(c_.LogDetailLabel, 0, 1, Qt::AlignRight);
    log->addWidget(c_.LogDetail, 0, 2, 1, 2);
    log->addWidget(c_.LogFileLabel, 1, 0);
    log->addWidget(c_.LogFile, 1, 1, 1, 2);
    log->addWidget(c_.LogBrowse, 1, 3);
    log->setColumnStretch(2, 1);

    QGridLayout* send = MakeGroup(page, "Send", c_.SendGroup);
    box = c_.SendGroup;
    c_.AutoSend = MakeCheck(box, "AutoSend");
    c_.ExitAfterSend = MakeCheck(box, "Exit after send");
    c_.ConfirmReceipt = MakeCheck(box, "Confirm Receipt");
    c_.ReceiptLabel = MakeLabel(box, "To address:");
    c_.ReceiptAddress = MakeEdit(box);
    // The receipt goes to the sender: the address field is never used.
    c_.ReceiptLabel->setEnabled(false);
    c_.ReceiptAddress->setEnabled(false);
    send->addWidget(c_.AutoSend, 0, 0);
    send->addWidget(c_.ExitAfterSend, 0, 1, 1, 2);
    send->addWidget(c_.ConfirmReceipt, 1, 0);
    send->addWidget(c_.ReceiptLabel, 1, 1);
    send->addWidget(c_.ReceiptAddress, 1, 2);
    send->setColumnStretch(2, 1);

    QGridLayout* files = MakeGroup(page, "Files", c_.FilesGroup);
    box = c_.FilesGroup;
    c_.FilesPerMessageLabel = MakeLabel(box, "Files per message:");
    c_.FilesPerMessage = MakeDigitsEdit(box, "1", 6);
    c_.ClearFileList = MakeCheck(box, "Clear file list");
    c_.RecurseSubdirs = MakeCheck(box, "Recurse subdirs");
    c_.TextFromFile = MakeCheck(box, "Get message text from file");
    files->addWidget(c_.FilesPerMessageLabel, 0, 0);
    files->addWidget(c_.FilesPerMessage, 0, 1);
    files->addWidget(c_.ClearFileList, 0, 2);
    files->addWidget(c_.RecurseSubdirs, 1, 0, 1, 3);
    files->addWidget(c_.TextFromFile, 2, 0, 1, 3);
    files->setColumnStretch(3, 1);

    QGridLayout* ui = MakeGroup(page, "Interface", c_.InterfaceGroup);
    box = c_.InterfaceGroup;
    c_.LanguageLabel = MakeLabel(box, "Language:");
    c_.Language = MakeCombo(box, false);
    c_.Language->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    c_.Language->setMinimumContentsLength(12);
    ui->addWidget(c_.LanguageLabel, 0, 0);
    ui->addWidget(c_.Language, 0, 1);
    ui->setColumnStretch(2, 1);
    EndPage(page);

    c_.LogDetailLabel->setBuddy(c_.LogDetail);
    c_.LogFileLabel->setBuddy(c_.LogFile);
    c_.ReceiptLabel->setBuddy(c_.ReceiptAddress);
    c_.FilesPerMessageLabel->setBuddy(c_.FilesPerMessage);
    c_.LanguageLabel->setBuddy(c_.Language);
}

void OptionsDialog::createOnErrorPage() {
    QWidget* page = c_.OnErrorPage = MakePage(c_.Tabs, "On Error");

    QGridLayout* error = MakeGroup(page, "Error message", c_.ErrorGroup);
    QGroupBox* box = c_.ErrorGroup;
    c_.ShowMessages = MakeCheck(box, "Show message windows");
    c_.SendByLan = MakeCheck(box, "Send error message by LAN");
    c_.SendToLabel = MakeLabel(box, "Send messages to:");
    c_.SendTo = MakeEdit(box);
    c_.SendToLabel->setBuddy(c_.SendTo);
    error->addWidget(c_.ShowMessages, 0, 0, 1, 2);
    error->addWidget(c_.SendByLan, 1, 0, 1, 2);
    error->addWidget(c_.SendToLabel, 2, 0);
    error->addWidget(c_.SendTo, 2, 1);
    error->setColumnStretch(1, 1);
    EndPage(page);
    connect(c_.SendByLan, &QCheckBox::clicked, this, &OptionsDialog::updateSendToState);
}

void OptionsDialog::fill(const ROptions& o) {
    filled_ = o;
    c_.Server->setText(ToQt(o.Host));
    c_.Port->setText(QString::number(o.Port));
    c_.Timeout->setText(QString::number(o.TimeOut));
    c_.Attempts->setText(QStringLiteral("5"));
    c_.Auth->setChecked(o.SMTP_Auth_Enabled);
    c_.AuthName->setText(ToQt(o.SMTP_Auth_Name));
    c_.Password->setText(ToQt(o.SMTP_Auth_Pass));
    c_.AuthMethod->setCurrentIndex(o.SMTP_Auth_Type >= 0 && o.SMTP_Auth_Type < c_.AuthMethod->count()
                                       ? o.SMTP_Auth_Type
                                       : -1);
    setSecurity(o.Security);
    c_.ConfirmReceipt->setChecked(o.Return_Receipt_Enabled);
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
    updateLoginState();
    // Every field shows the start of its text (a long path, say), not its end.
    for (QLineEdit* edit : findChildren<QLineEdit*>()) edit->setCursorPosition(0);
}

void OptionsDialog::readInto(ROptions& o) const {
    o.Host = FromQt(c_.Server->text());
    o.Port = ParseLeadingInt(FromQt(c_.Port->text()));
    o.TimeOut = ParseLeadingInt(FromQt(c_.Timeout->text()));
    o.NumOfAttempts = 5;
    o.SMTP_Auth_Enabled = c_.Auth->isChecked();
    o.SMTP_Auth_Name = FromQt(c_.AuthName->text());
    o.SMTP_Auth_Pass = FromQt(c_.Password->text());
    if (c_.AuthMethod->currentIndex() >= 0) o.SMTP_Auth_Type = c_.AuthMethod->currentIndex();
    if (security() >= 0) o.Security = security();
    o.Return_Receipt_Enabled = c_.ConfirmReceipt->isChecked();
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
    o.FilPerMes = ParseLeadingInt(FromQt(c_.FilesPerMessage->text()));
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
    const std::string port = TrimBlanks(FromQt(c_.Port->text()));
    if (port.empty() || ParseLeadingInt(port) == 0) {
        failed = vmPortEmpty;
    } else if (TrimBlanks(FromQt(c_.Server->text())).empty()) {
        failed = vmHostEmpty;
    } else if (TrimBlanks(FromQt(c_.From->text())).empty()) {
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

int OptionsDialog::security() const { return securityChoice_->checkedId(); }

void OptionsDialog::setSecurity(int security) {
    if (QAbstractButton* choice = securityChoice_->button(security)) {
        choice->setChecked(true);
        return;
    }
    // A value no choice stands for (a hand-edited INI file): none is shown
    // checked, and reading back keeps the stored value.
    securityChoice_->setExclusive(false);
    for (QAbstractButton* button : securityChoice_->buttons()) button->setChecked(false);
    securityChoice_->setExclusive(true);
}

void OptionsDialog::securityChosen(int security) {
    const std::int32_t port = ParseLeadingInt(FromQt(c_.Port->text()));
    const std::int32_t moved = PortForSecurity(security, port);
    if (moved != port) c_.Port->setText(QString::number(moved));
}

void OptionsDialog::updateLoginState() {
    const bool login = c_.Auth->isChecked();
    for (QWidget* w : std::initializer_list<QWidget*>{c_.AuthNameLabel, c_.AuthName, c_.PasswordLabel, c_.Password,
                                                      c_.AuthMethodLabel, c_.AuthMethod})
        w->setEnabled(login);
}

void OptionsDialog::setExtraTexts(const ROptionsExtraTexts& texts) {
    extraTexts_ = texts;
    c_.SecurityGroup->setTitle(texts[oxConnectionSecurity]);
    c_.SecurityNone->setText(texts[oxSecurityNone]);
    c_.AuthMethodLabel->setText(texts[oxLoginMethod]);
    c_.AuthMethod->setItemText(0, texts[oxAuthAutomatic]);
    c_.Test->setText(texts[oxTest]);
}

void OptionsDialog::setMessageLoop(MessageLoop* loop) {
    loop_ = loop;
    c_.Test->setEnabled(loop_ != nullptr && (test_ == nullptr || !test_->Running()));
}

void OptionsDialog::testPressed() {
    if (loop_ == nullptr || (test_ != nullptr && test_->Running())) return;
    if (test_ != nullptr) test_->deleteLater();
    ROptions values = filled_;
    readInto(values);
    test_ = new TConnectionTest(*loop_, values, extraTexts_, this);
    c_.TestResult->clear();
    c_.TestResult->setVisible(true);
    connect(test_, &TConnectionTest::step, this, [this](const QString& text) {
        // A server's long greeting or reply is shortened; the tooltip keeps all.
        const QFontMetrics metrics = c_.TestResult->fontMetrics();
        const QString line = metrics.elidedText(text, Qt::ElideRight, metrics.averageCharWidth() * kTestLineChars);
        const QString shown = c_.TestResult->text();
        c_.TestResult->setText(shown.isEmpty() ? line : shown + QLatin1Char('\n') + line);
        c_.TestResult->setToolTip(test_->Steps().join(QLatin1Char('\n')));
    });
    connect(test_, &TConnectionTest::finished, this, &OptionsDialog::testFinished);
    // Not a second test while one runs; the rest of the dialog stays usable.
    c_.Test->setEnabled(false);
    test_->Start();
}

void OptionsDialog::testFinished() { c_.Test->setEnabled(loop_ != nullptr); }

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
    dialog.setMessageLoop(environment.Loop);
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
