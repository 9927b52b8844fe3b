#include "app/SoleCommands.h"

#include <sys/stat.h>

#include "app/CommandLine.h"
#include "app/PasswordEntry.h"
#include "app/View.h"

#ifndef PW_VERSION
#define PW_VERSION "unknown"
#endif

namespace pw {

namespace {

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string LogInUse(const ROptions& options, bool iniExists) {
    if (!iniExists) return "none yet (the options name it once they are set)";
    if (!options.SaveLog) return "none (SaveLog=0)";
    if (options.LogFileName.empty()) return "none (LogFileName is empty)";
    return options.LogFileName;
}

// What a login still needs after one of its parts was stored; empty when
// nothing is missing.
std::string LoginStillNeeds(const ROptions& o) {
    std::vector<std::string> missing;
    if (!o.SMTP_Auth_Enabled) missing.emplace_back("SMTP_Auth_Enabled=1 in that file");
    if (o.SMTP_Auth_Name.empty()) missing.emplace_back("a user name (parcelwing --set-user)");
    if (o.SMTP_Auth_Pass.empty() && o.SMTP_Auth_PassCommand.empty() && o.SMTP_Auth_TokenCommand.empty())
        missing.emplace_back("a password (parcelwing --set-password) or a password or token command");
    std::string text;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) text += i + 1 == missing.size() ? " and " : ", ";
        text += missing[i];
    }
    return text;
}

// One credential: read from `in`, stored in its protected form, wiped from
// memory; then what a login still lacks, if anything.
struct RCredential {
    const char* what;  // as the messages name it
    bool (*read)(int, std::FILE*, std::string&, std::string&);
    RSaveResult (*store)(const std::string&, const RPlaces&);
};

constexpr RCredential kPassword{"password", ReadPassword, StorePassword};
constexpr RCredential kUserName{"user name", ReadUserName, StoreUserName};

int SetCredential(const RCredential& credential, const RPlaces& places, int in, std::FILE* out, std::FILE* err) {
    std::string value, error;
    if (!credential.read(in, err, value, error)) {
        std::fprintf(err, "%s: nothing stored: %s\n", ApplicationTitle, error.c_str());
        return ExitCodeJobFailed;
    }
    const RSaveResult saved = credential.store(value, places);
    WipeText(value);
    if (!saved) {
        std::fprintf(err, "%s: the %s could not be stored in %s: %s\n", ApplicationTitle, credential.what,
                     saved.FileName.c_str(), saved.Error.c_str());
        return ExitCodeJobFailed;
    }
    std::fprintf(out, "%s: %s stored in %s\n", ApplicationTitle, credential.what, saved.FileName.c_str());
    ROptions options;
    LoadOptions(options, places);
    if (const std::string missing = LoginStillNeeds(options); !missing.empty())
        std::fprintf(out, "%s: a login also needs %s\n", ApplicationTitle, missing.c_str());
    WipeText(options.SMTP_Auth_Pass);
    return 0;
}

}  // namespace

TSoleCommand SoleCommandOf(const std::vector<std::string>& args) {
    if (args.size() != 1) return TSoleCommand::None;
    if (args[0] == "--help") return TSoleCommand::Help;
    if (args[0] == "--version") return TSoleCommand::Version;
    if (args[0] == "--set-password") return TSoleCommand::SetPassword;
    if (args[0] == "--set-user") return TSoleCommand::SetUser;
    return TSoleCommand::None;
}

std::string VersionText() { return std::string(ApplicationTitle) + " " + PW_VERSION; }

std::string UsageText(const RPlaces& places, const ROptions& options, bool iniExists) {
    std::string text =
        "Usage: parcelwing [NAME | -KEY:VALUE]...\n"
        "       parcelwing --set-user | --set-password | --help | --version\n"
        "\n"
        "Sends files by e-mail through the SMTP server of its settings. A NAME is a\n"
        "file, a folder (its files; sub-folders too with -RSD:YES) or a wildcard\n"
        "pattern. A key is \"-\" or \"/\", a name of letters and \":\", in any letter case;\n"
        "anything else is a NAME:\n"
        "  -TO:ADDRESSES    recipients, separated by \";\" or \",\"\n"
        "  -SUBJ:TEXT       subject\n"
        "  -MSGTXT:TEXT     message text\n"
        "  -MSGFILE:FILE    message text from a file\n"
        "  -LSTF:FILE       more names from a file, one per line\n"
        "  -FROM:ADDRESS    sender\n"
        "  -FPM:N           files per message\n"
        "  -RSD:YES         take the files of sub-folders too\n"
        "  -ASEND:YES       send once the arguments are taken\n"
        "  -AEXIT:YES       end when the job is done\n"
        "A name that is nothing that exists, an unknown key or a message or list\n"
        "file that cannot be read is reported.\n"
        "\n"
        "With both -ASEND:YES and -AEXIT:YES the run sends on its own: beside a\n"
        "running instance, without its remembered files and texts, with no window;\n"
        "if any argument cannot be used it sends nothing. Any other start hands its\n"
        "names to a running instance.\n"
        "\n"
        "  --set-user       read the login's user name from standard input and\n"
        "                   store it in the settings\n"
        "  --set-password   read the login password from standard input (not shown\n"
        "                   on a terminal) and store it in the settings\n"
        "  --help           this text\n"
        "  --version        the version\n"
        "\n"
        "Exit codes:\n"
        "  0  names handed to the running instance; --help, --version, a stored\n"
        "     password or user name\n"
        "  1  the program ended: closed, or its job sent every message\n"
        "  2  a message failed, a recipient was refused, a file was missing, nothing\n"
        "     was sent, an argument could not be used, another instance runs and the\n"
        "     arguments held keys, or a password or user name could not be stored\n"
        "\n";
    text += "Settings: " + places.IniFile + (iniExists ? "" : " (not there yet)") + "\n";
    text += "Log:      " + LogInUse(options, iniExists) + "\n";
    return text;
}

int RunSoleCommand(TSoleCommand command, const std::string& programFile, int in, std::FILE* out, std::FILE* err) {
    const RPlaces places = PlacesFor(programFile);
    switch (command) {
    case TSoleCommand::Help: {
        ROptions options;
        LoadOptions(options, places);
        const std::string text = UsageText(places, options, IsRegularFile(places.IniFile));
        std::fputs(text.c_str(), out);
        return 0;
    }
    case TSoleCommand::Version:
        std::fprintf(out, "%s\n", VersionText().c_str());
        return 0;
    case TSoleCommand::SetPassword:
        return SetCredential(kPassword, places, in, out, err);
    case TSoleCommand::SetUser:
        return SetCredential(kUserName, places, in, out, err);
    case TSoleCommand::None:
        break;
    }
    return 0;
}

}  // namespace pw
