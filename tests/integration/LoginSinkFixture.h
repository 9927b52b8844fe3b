#pragma once
// What the tests that run the real program against aiosmtpd with a login
// share: the account, the send-and-exit run, and the check that no form of
// the password shows anywhere.

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/program_harness.h"

namespace pw::test {

inline const std::string kSinkUser = "tim";
inline const std::string kSinkPassword = "a-made-up-Passw0rd";

class TLoginSinkTest : public TProgramTest {
protected:
    // smtp_sink.py's options for a login as kSinkUser with kSinkPassword.
    static std::vector<std::string> SinkLogin() { return {"--login", kSinkUser + ":" + kSinkPassword}; }
    // The same, with the login allowed in clear text.
    static std::vector<std::string> SinkLoginInClear() {
        auto o = SinkLogin();
        o.push_back("--login-in-clear");
        return o;
    }

    // Runs the program on `files`, sending and exiting; returns its exit code.
    int Send(TChild& child, const std::vector<std::string>& files) {
        std::vector<std::string> args{"-TO:you@example.org", "-SUBJ:Report", "-ASEND:YES", "-AEXIT:YES"};
        args.insert(args.end(), files.begin(), files.end());
        return folder_.Run(child, args, std::chrono::seconds(60));
    }

    // The password, its Base64 and PLAIN's answer are in no log and no output.
    void ExpectNoSecretAnywhere(const TChild& child) const {
        using ::testing::HasSubstr;
        using ::testing::Not;
        const std::string everything = ReadWholeFile(folder_.LogPath()) + child.out + child.err;
        EXPECT_THAT(everything, Not(HasSubstr(kSinkPassword)));
        EXPECT_THAT(everything, Not(HasSubstr("YS1tYWRlLXVwLVBhc3N3MHJk")));          // the password's Base64
        EXPECT_THAT(everything, Not(HasSubstr("AHRpbQBhLW1hZGUtdXAtUGFzc3cwcmQ=")));  // PLAIN's answer
    }
};

}  // namespace pw::test
