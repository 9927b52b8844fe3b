#pragma once
// The options record: every persistent setting of the program, named exactly
// like its key in the "ROptions" section of the INI file.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pw {

struct ROptions {
    std::string From;
    std::string SignOn;
    std::string Host;
    std::int32_t Port = 25;
    std::int32_t CharSet = 0;
    std::int32_t TimeOut = 15;
    std::int32_t NumOfAttempts = 5;
    std::int32_t LogDetail = 1;
    bool SaveLog = true;
    std::string LogFileName;
    bool ExitAfterSend = false;
    bool AutoSend = false;
    bool RecSubDir = false;
    std::int32_t FilPerMes = 1;
    bool WABEnabled = true;
    bool DefWABFile = true;
    std::string WabFName;
    std::string Language;
    std::string LangFile;
    std::string Organization;
    bool ShowMessagesOnError = true;
    bool SendMessagesOnError = false;
    std::string SendMessagesTo;
    bool IsChanged = false;
    bool ClearFList = false;
    bool TextFromFirstFile = false;
    bool SMTP_Auth_Enabled = false;
    std::string SMTP_Auth_Name;   // clear text in memory; protected in the INI file
    std::string SMTP_Auth_Pass;   // clear text in memory; protected in the INI file
    bool Return_Receipt_Enabled = false;
    std::string AttachedFilesDir;

    // Keys added for today's mail services; a missing key keeps the old behaviour.
    std::int32_t Security = 0;            // 0 none, 1 STARTTLS (required), 2 TLS on connect
    bool TlsVerify = true;                // check the server's chain and name
    std::string TlsCaFile;                // PEM file of extra trusted certificates
    std::int32_t SMTP_Auth_Type = 0;      // 0 automatic, 1 LOGIN, 2 PLAIN, 3 CRAM-MD5, 4 XOAUTH2
    std::string SMTP_Auth_PassCommand;    // shell command whose first output line is the password
    std::string SMTP_Auth_TokenCommand;   // shell command whose first output line is an OAuth 2 token

    bool operator==(const ROptions&) const = default;
};

// Name of the INI section that holds the options.
inline constexpr std::string_view kOptionsSection = "ROptions";

// The MIME charset names indexed by `CharSet`.
inline constexpr std::array<std::string_view, 30> kCharSetNames = {
    "US-ASCII",          "ISO-8859-1",        "ISO-8859-2",   "ISO-8859-3",   "ISO-8859-4",
    "ISO-8859-5",        "ISO-8859-6",        "ISO-8859-7",   "ISO-8859-8",   "ISO-8859-9",
    "ISO-8859-10",       "ISO-8859-13",       "ISO-8859-14",  "ISO-8859-15",  "Windows-1250",
    "Windows-1251",      "Windows-1252",      "Windows-1253", "Windows-1254", "Windows-1255",
    "Windows-1256",      "Windows-1257",      "Windows-1258", "KOI8-R",       "CP-895",
    "CP-852",            "Unicode-1-1-UCS-2", "Unicode-1-1-UCS-4", "UTF-8",   "UTF-7"};

// The charset name for `charSet`; a value outside 0..29 (a hand-edited INI file)
// gives entry 0, "US-ASCII".
std::string_view CharSetName(std::int32_t charSet);

// The four validation messages, by their index 1..4.
enum EValidationMessage : int {
    vmFromEmpty = 1,   // `From` is empty after trimming
    vmToEmpty = 2,     // the recipient box is empty
    vmHostEmpty = 3,   // `Host` is empty after trimming
    vmPortEmpty = 4,   // `Port` is 0
};
// The message of index 1..4; empty for any other index.
std::string_view ValidationMessage(int index);

// The INI file that belongs to the program file `programFile`: its name with the
// extension replaced by ".ini" (appended when it has none), in the same folder.
std::string IniFileName(const std::string& programFile);

// Reads the options from `iniFile`. When that is not an existing regular file,
// `options` gets the first-start values and nothing is read: the defaults of
// ROptions, with AttachedFilesDir set to the program's folder (trailing "/").
// Otherwise every key is read in field order, a missing key giving its file
// default (which differs from the first-start value for TimeOut: 5000,
// LogFileName: `programFile` with ".log", AttachedFilesDir: the program's folder
// trimmed of blanks and control characters). Integers read as the number at the
// start of the value (0 without one), booleans as integers where non-zero is
// true, strings cut to 4,095 characters; the two credentials are decoded from
// their protected form. Never throws on bad content; an unreadable file reads as
// if every key were missing.
void LoadOptions(ROptions& options, const std::string& iniFile, const std::string& programFile);

// The same with the places of config/Places.h: reads places.IniFile; the file
// default of LogFileName is places.DefaultLogFile, the first-start and file
// default of AttachedFilesDir places.FirstRunFilesDir.
struct RPlaces;
void LoadOptions(ROptions& options, const RPlaces& places);

// The outcome of a save of the INI file; converts to true on success.
struct RSaveResult {
    bool Ok = true;
    std::string FileName;   // the INI file written, or that could not be written
    std::string Error;      // why it could not be written (e.g. "Permission denied")
    // Entries of a raw-line section that the file could not keep (the section
    // is full), each as a line that says which; the rest was written.
    std::vector<std::string> NotKept;
    explicit operator bool() const { return Ok; }
};

// Every save below reads the file afresh under its folder's lock and replaces
// it in one atomic step (config/IniUpdate.h): it is never left half written,
// other sections and keys written meanwhile by another instance are kept, a file
// the user may not write is refused ("Permission denied"), and a file holding a
// password or command is written with mode 0600. On failure the file stays as it
// was and the result names the file and the reason.
//
// Values are stored as: strings as they are (a CR or LF, which a key line cannot
// hold, as a blank), the two credentials in their protected form, integers in
// signed decimal, booleans as "1" or "0".

// Writes all keys of `options` to `iniFile` in field order. The file and the
// section are created when missing.
[[nodiscard]] RSaveResult SaveOptions(const ROptions& options, const std::string& iniFile);

// The save of the options dialog: `before` is the record as the program last
// read or saved it, `after` the record to store. Only the keys whose stored form
// differs between the two are written, so a key another instance changed
// meanwhile (a password stored from a terminal, say) stays as it is unless this
// save changes it too. A file that does not exist yet, or has no "ROptions"
// section, gets every key of `after` (so it never falls to the missing-key
// defaults, e.g. TimeOut 5000).
[[nodiscard]] RSaveResult SaveOptionsChanges(const ROptions& before, const ROptions& after,
                                             const std::string& iniFile);

// The values of a first start without an INI file: the defaults of ROptions,
// AttachedFilesDir the places' first-run folder.
struct RPlaces;
ROptions FirstRunOptions(const RPlaces& places);

// Stores `password` (clear text) in its protected form as SMTP_Auth_Pass of
// places.IniFile, creating the file's folder when missing. A file without an
// "ROptions" section first gets every key with its first-run value. No other key
// changes.
[[nodiscard]] RSaveResult StorePassword(const std::string& password, const RPlaces& places);

// The same for the login's user name, stored as SMTP_Auth_Name.
[[nodiscard]] RSaveResult StoreUserName(const std::string& userName, const RPlaces& places);

// The same for the running program's own INI file (where config/Places.h puts it).
void LoadOptions(ROptions& options);
[[nodiscard]] RSaveResult SaveOptions(const ROptions& options);

}  // namespace pw
