// Single instance and hand-off: the block's states, the instance lock, the
// wake-up and second-guard datagrams, stale blocks and racing later starts.

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "app/CommandLine.h"
#include "app/HandOff.h"
#include "app/MemoryView.h"

namespace pw {
namespace {

namespace fs = std::filesystem;

// Sets environment variables for one scope and puts them back.
class TEnvironment {
public:
    void Set(const char* name, const std::string& value) {
        Keep(name);
        ::setenv(name, value.c_str(), 1);
    }
    void Unset(const char* name) {
        Keep(name);
        ::unsetenv(name);
    }
    ~TEnvironment() {
        for (const auto& [name, value] : kept_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

private:
    void Keep(const char* name) {
        for (const auto& k : kept_) {
            if (k.first == name) return;
        }
        const char* value = std::getenv(name);
        kept_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> kept_;
};

class HandOffTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "pw-handoff-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
        static int counter = 0;
        names_ = HandOffNamesIn(dir_, "t" + std::to_string(::getpid()) + "-" + std::to_string(++counter),
                                static_cast<unsigned>(::getuid()));
    }
    void TearDown() override {
        ::shm_unlink(names_.BlockName.c_str());
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // A pump that gives up (by throwing out of Start) instead of waiting for ever.
    static THandOff::TPump Bounded(int maxCalls, std::function<void(int)> each = {}) {
        auto calls = std::make_shared<int>(0);
        return [calls, maxCalls, each](int) {
            if (++*calls > maxCalls) throw std::runtime_error("waited too long");
            if (each) each(*calls);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };
    }

    std::unique_ptr<THandOff> StartFirst(std::vector<std::string>* received) {
        auto first = std::make_unique<THandOff>(names_);
        EXPECT_EQ(first->Start({}, "/usr/bin/parcelwing", Bounded(10)), TStartResult::Running);
        first->SetEntryHandler([received](const std::string& entry) { received->push_back(entry); });
        return first;
    }

    std::string File(const std::string& name) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << "x";
        return path;
    }

    std::string dir_;
    RHandOffNames names_;
};

TEST_F(HandOffTest, FirstInstanceMakesAZeroedBlockAndListens) {
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    EXPECT_TRUE(first->IsFirstInstance());
    EXPECT_TRUE(first->Receiving());
    EXPECT_GE(first->Descriptor(), 0);
    EXPECT_EQ(first->State(), HandOffFree);

    const int fd = ::shm_open(names_.BlockName.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(HandOffBlockSize));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto* bytes = static_cast<unsigned char*>(::mmap(nullptr, HandOffBlockSize, PROT_READ, MAP_SHARED, fd, 0));
    ASSERT_NE(bytes, MAP_FAILED);
    EXPECT_EQ(std::count(bytes, bytes + HandOffBlockSize, 0), static_cast<long>(HandOffBlockSize));
    ::munmap(bytes, HandOffBlockSize);
    ::close(fd);
}

TEST_F(HandOffTest, LaterStartWithOneFileHandsItOver) {
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    const std::string file = File("report.pdf");

    THandOff later(names_);
    EXPECT_EQ(later.Start({file}, "/usr/bin/parcelwing", Bounded(10)), TStartResult::HandedOver);
    EXPECT_FALSE(later.IsFirstInstance());
    EXPECT_EQ(first->State(), HandOffReady);

    first->OnReadable();
    EXPECT_EQ(received, std::vector<std::string>{file});
    EXPECT_EQ(first->State(), HandOffFree);
    first->OnReadable();  // nothing more is waiting
    EXPECT_EQ(received.size(), 1u);
}

TEST_F(HandOffTest, CommandKeyReachesTheRunningInstancesView) {
    MemoryView view;
    ROptions options;
    options.AutoSend = true;
    auto first = std::make_unique<THandOff>(names_);
    ASSERT_EQ(first->Start({}, {}, Bounded(10)), TStartResult::Running);
    first->SetEntryHandler([&](const std::string& entry) { AddEntry(view, options, entry); });

    THandOff later(names_);
    ASSERT_EQ(later.Start({"-SUBJ:Word"}, {}, Bounded(10)), TStartResult::HandedOver);
    first->OnReadable();
    EXPECT_EQ(view.BoxText(TComboBox::Subject), "Word");
    EXPECT_EQ(view.ListControlRefreshes(), 1);
    EXPECT_TRUE(view.SendControlsIdle());  // nothing started a job
}

TEST_F(HandOffTest, NoArgumentOrSeveralWriteNothing) {
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{File("a"), File("b")}}) {
        THandOff later(names_);
        EXPECT_EQ(later.Start(args, {}, Bounded(10)), TStartResult::NothingToHand);
        EXPECT_EQ(first->State(), HandOffFree);
    }
    first->OnReadable();
    EXPECT_TRUE(received.empty());
}

TEST_F(HandOffTest, LaterStartAsksForTheWindowWithItsActivationToken) {
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    std::vector<std::string> events;  // entries and activations, in the order they arrive
    first->SetEntryHandler([&](const std::string& entry) { events.push_back("entry " + entry); });
    first->SetActivateHandler([&](const std::string& token) { events.push_back("activate " + token); });
    const std::string file = File("wanted.pdf");
    struct Case {
        std::vector<std::string> args;
        std::string token;
        TStartResult result;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {{}, "startup-token-1", TStartResult::NothingToHand, {"activate startup-token-1"}},
        {{file}, "startup-token-2", TStartResult::HandedOver, {"entry " + file, "activate startup-token-2"}},
        {{}, "", TStartResult::NothingToHand, {"activate "}},
    };
    for (const Case& k : cases) {
        events.clear();
        THandOff later(names_);
        later.SetActivationToken(k.token);
        EXPECT_EQ(later.Start(k.args, {}, Bounded(10)), k.result);
        first->OnReadable();
        EXPECT_EQ(events, k.events);
    }
}

TEST_F(HandOffTest, RelativeNamesAreMadeAbsoluteForTheRunningInstance) {
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    const std::string file = File("rel.txt");
    const auto cwd = fs::current_path();
    fs::current_path(dir_);
    THandOff later(names_);
    const TStartResult result = later.Start({"rel.txt"}, {}, Bounded(10));
    fs::current_path(cwd);
    EXPECT_EQ(result, TStartResult::HandedOver);
    first->OnReadable();
    EXPECT_EQ(received, std::vector<std::string>{fs::canonical(file).string()});
}

TEST_F(HandOffTest, LaterStartWaitsUntilTheEarlierHandOffIsTaken) {
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    THandOff one(names_);
    ASSERT_EQ(one.Start({"-TO:one"}, {}, Bounded(10)), TStartResult::HandedOver);

    int pumps = 0;
    THandOff two(names_);
    const TStartResult result = two.Start({"-TO:two"}, {}, Bounded(100, [&](int call) {
                                               pumps = call;
                                               if (call == 5) first->OnReadable();  // takes "one"
                                           }));
    EXPECT_EQ(result, TStartResult::HandedOver);
    EXPECT_EQ(pumps, 5);
    first->OnReadable();
    EXPECT_EQ(received, (std::vector<std::string>{"-TO:one", "-TO:two"}));
}

TEST_F(HandOffTest, LongestArgumentFitsAndLongerIsRefused) {
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    const std::string longest(HandOffBlockSize - 2, 'k');  // leaves room for the NUL
    THandOff fits(names_);
    EXPECT_EQ(fits.Start({longest}, {}, Bounded(10)), TStartResult::HandedOver);
    first->OnReadable();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], longest);

    THandOff tooLong(names_);
    EXPECT_EQ(tooLong.Start({longest + "k"}, {}, Bounded(10)), TStartResult::TooLong);
    EXPECT_EQ(first->State(), HandOffFree);
}

TEST_F(HandOffTest, BlockOfACrashedInstanceIsMadeAnew) {
    // A child becomes the running instance, leaves an untaken hand-off in the
    // block and dies without cleaning up.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto* first = new THandOff(names_);  // never destroyed: a crash
        if (first->Start({}, {}, [](int) {}) != TStartResult::Running) ::_exit(3);
        THandOff later(names_);
        if (later.Start({"-TO:lost"}, {}, [](int) {}) != TStartResult::HandedOver) ::_exit(4);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    const int fd = ::shm_open(names_.BlockName.c_str(), O_RDONLY, 0);
    ASSERT_GE(fd, 0) << "the crashed instance's block should still be there";
    ::close(fd);

    // Without a live holder the next start is the first instance, not a later one
    // waiting for ever on state 3.
    std::vector<std::string> received;
    THandOff next(names_);
    EXPECT_EQ(next.Start({"-TO:new"}, {}, Bounded(10)), TStartResult::Running);
    EXPECT_TRUE(next.IsFirstInstance());
    EXPECT_TRUE(next.Receiving());
    EXPECT_EQ(next.State(), HandOffFree);

    // And it serves later starts normally.
    next.SetEntryHandler([&](const std::string& e) { received.push_back(e); });
    THandOff later(names_);
    EXPECT_EQ(later.Start({"-TO:after"}, {}, Bounded(10)), TStartResult::HandedOver);
    next.OnReadable();
    EXPECT_EQ(received, std::vector<std::string>{"-TO:after"});
}

TEST_F(HandOffTest, WaitingLaterStartTakesOverWhenTheRunningInstanceEnds) {
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    THandOff one(names_);
    ASSERT_EQ(one.Start({"-TO:one"}, {}, Bounded(10)), TStartResult::HandedOver);

    THandOff two(names_);
    const TStartResult result = two.Start({"-TO:two"}, {}, Bounded(100, [&](int call) {
                                              if (call == 3) first.reset();  // the instance quits
                                          }));
    EXPECT_EQ(result, TStartResult::Running);
    EXPECT_TRUE(two.IsFirstInstance());
    EXPECT_TRUE(two.Receiving());
    EXPECT_EQ(two.State(), HandOffFree);
}

TEST_F(HandOffTest, RunningInstanceWithoutBlockIsReachedByTheSecondGuard) {
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    ::shm_unlink(names_.BlockName.c_str());  // as if the block could not be made
    const std::string file = File("x y.txt");

    THandOff later(names_);
    EXPECT_EQ(later.Start({file, "-SUBJ:ignored"}, "/opt/pw/parcelwing", Bounded(10)), TStartResult::GuardSent);
    first->OnReadable();
    EXPECT_EQ(received, std::vector<std::string>{file});  // only the first argument
}

TEST_F(HandOffTest, TheGuardCarriesTheArgumentWhateverTheProgramPathHolds) {
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    ::shm_unlink(names_.BlockName.c_str());
    const std::vector<std::string> paths{"/opt/a\"b/parcelwing", "/opt/odd \"dir/parcelwing", "\"", "/opt/x y/pw"};
    std::vector<std::string> expected;
    for (const std::string& path : paths) {
        THandOff later(names_);
        const std::string arg = "-SUBJ:from\"" + std::to_string(expected.size());
        EXPECT_EQ(later.Start({arg, "-TO:later"}, path, Bounded(10)), TStartResult::GuardSent) << path;
        first->OnReadable();
        expected.push_back(arg);
    }
    EXPECT_EQ(received, expected);
}

TEST_F(HandOffTest, WaiterNoticesARemovedBlockAndUsesTheGuard) {
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    THandOff one(names_);
    ASSERT_EQ(one.Start({"-TO:one"}, {}, Bounded(10)), TStartResult::HandedOver);

    THandOff two(names_);
    const TStartResult result = two.Start({"-TO:two"}, {}, Bounded(100, [&](int call) {
                                              if (call == 2) ::shm_unlink(names_.BlockName.c_str());
                                          }));
    EXPECT_EQ(result, TStartResult::GuardSent);
    first->OnReadable();
    EXPECT_EQ(received, (std::vector<std::string>{"-TO:one", "-TO:two"}));
}

TEST_F(HandOffTest, RacingLaterStartsNeverMixTheirTexts) {
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    constexpr int kStarts = 8;
    std::atomic<int> done{0};
    std::atomic<int> handedOver{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kStarts; ++i) {
        threads.emplace_back([&, i] {
            THandOff later(names_);
            const std::string arg = "-SUBJ:" + std::string(1000 + i, static_cast<char>('a' + i));
            if (later.Start({arg}, {}, [](int) { std::this_thread::sleep_for(std::chrono::microseconds(200)); }) ==
                TStartResult::HandedOver) {
                ++handedOver;
            }
            ++done;
        });
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((done < kStarts || received.size() < static_cast<std::size_t>(handedOver)) &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd p{first->Descriptor(), POLLIN, 0};
        ::poll(&p, 1, 5);
        first->OnReadable();
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(handedOver.load(), kStarts);
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kStarts));
    std::sort(received.begin(), received.end());
    for (int i = 0; i < kStarts; ++i) {
        EXPECT_EQ(received[static_cast<std::size_t>(i)],
                  "-SUBJ:" + std::string(1000 + i, static_cast<char>('a' + i)));
    }
}

TEST_F(HandOffTest, LaterProcessHandsOverAndEnds) {
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    const std::string file = File("from-child.txt");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        THandOff later(names_);
        const TStartResult result = later.Start({file}, "/usr/bin/parcelwing", [](int ms) { ::usleep(ms * 1000); });
        ::_exit(result == TStartResult::HandedOver ? ExitCodeLaterInstance : 10);
    }
    // Serve the child while it runs, for at most ten seconds.
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 1000 && ended == 0; ++i) {
        pollfd p{first->Descriptor(), POLLIN, 0};
        ::poll(&p, 1, 10);
        first->OnReadable();
        ended = ::waitpid(child, &status, WNOHANG);
    }
    if (ended == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        FAIL() << "the later process did not end";
    }
    first->OnReadable();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), ExitCodeLaterInstance);
    EXPECT_EQ(received, std::vector<std::string>{file});
}

TEST_F(HandOffTest, DatagramsFromAnotherUserAreDropped) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to send as another user";
    std::vector<std::string> received;
    auto first = StartFirst(&received);
    // Let the other user reach the socket at all (folder and socket are private).
    ::chmod(dir_.c_str(), 0711);
    ::chmod(names_.SocketPath.c_str(), 0666);

    std::string payload = GuardMessageName;
    payload += '\0';
    payload += "prog -TO:intruder";
    const auto send = [&] {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, names_.SocketPath.c_str(), sizeof addr.sun_path - 1);
        const int s = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        const bool ok = ::sendto(s, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                                 sizeof addr) == static_cast<ssize_t>(payload.size());
        ::close(s);
        return ok;
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(5);
        ::_exit(send() ? 0 : 6);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "the other user could not send";
    first->OnReadable();
    EXPECT_TRUE(received.empty());

    ASSERT_TRUE(send());  // the same datagram from this user is taken
    first->OnReadable();
    EXPECT_EQ(received, std::vector<std::string>{"-TO:intruder"});
}

TEST_F(HandOffTest, EndingInstanceRemovesBlockAndSocket) {
    {
        std::vector<std::string> received;
        auto first = StartFirst(&received);
        EXPECT_TRUE(fs::exists(names_.SocketPath));
    }
    EXPECT_LT(::shm_open(names_.BlockName.c_str(), O_RDONLY, 0), 0);
    EXPECT_FALSE(fs::exists(names_.SocketPath));
    THandOff next(names_);
    EXPECT_EQ(next.Start({"-TO:x"}, {}, Bounded(10)), TStartResult::Running);
}

TEST_F(HandOffTest, WithoutItsSocketTheInstanceRunsAloneAndLaterStartsGiveUp) {
    std::ofstream(names_.SocketPath) << "a user's file, not a socket";
    THandOff first(names_);
    EXPECT_EQ(first.Start({}, {}, Bounded(10)), TStartResult::Running);
    EXPECT_TRUE(first.IsFirstInstance());
    EXPECT_FALSE(first.Receiving());
    EXPECT_LT(::shm_open(names_.BlockName.c_str(), O_RDONLY, 0), 0);  // no block nobody reads
    EXPECT_TRUE(fs::is_regular_file(names_.SocketPath));             // the file is left alone

    THandOff later(names_);
    EXPECT_EQ(later.Start({"-TO:x"}, {}, Bounded(1000)), TStartResult::Unreachable);
    EXPECT_FALSE(later.IsFirstInstance());
}

TEST_F(HandOffTest, UnusableLockFolderStillLetsTheProgramRun) {
    const RHandOffNames nowhere = HandOffNamesIn(dir_ + "/no/such/folder", "x", 0);
    THandOff first(nowhere);
    EXPECT_EQ(first.Start({"-TO:x"}, {}, Bounded(10)), TStartResult::Running);
    EXPECT_TRUE(first.IsFirstInstance());
    EXPECT_FALSE(first.Receiving());
    first.OnReadable();  // harmless without a socket
}

TEST(HandOffNames, CarryTheUserAndTheTag) {
    const RHandOffNames names = HandOffNamesIn("/run/user/1000", "a/b", 1000);
    EXPECT_EQ(names.BlockName, "/pcwmap_file.a_b.1000");
    EXPECT_EQ(names.LockPath, "/run/user/1000/Parcelwing by Tamberly Group.a_b.1000.lock");
    EXPECT_EQ(names.SocketPath, "/run/user/1000/Parcelwing.a_b.1000.sock");
    // The default names, in a private runtime folder of the test's own.
    std::string pattern = (fs::temp_directory_path() / "pw-names-XXXXXX").string();
    const std::string runtime = ::mkdtemp(pattern.data());
    TEnvironment env;
    env.Set("XDG_RUNTIME_DIR", runtime);
    const RHandOffNames plain = DefaultHandOffNames();
    EXPECT_EQ(plain.LockPath.rfind(runtime + "/", 0), 0u);
    EXPECT_TRUE(plain.Problem.empty());
    fs::remove_all(runtime);
    EXPECT_NE(plain.BlockName.find(std::to_string(::getuid())), std::string::npos);
    EXPECT_EQ(plain.BlockName.find('/', 1), std::string::npos);
}

}  // namespace
}  // namespace pw

namespace pw {
namespace {

TEST_F(HandOffTest, OnlyAFolderNoOtherUserMayWriteIsPrivate) {
    fs::create_directory(dir_ + "/open");
    fs::permissions(dir_ + "/open", fs::perms(0777));
    fs::create_directory(dir_ + "/group");
    fs::permissions(dir_ + "/group", fs::perms(0770));
    fs::create_directory(dir_ + "/readable");
    fs::permissions(dir_ + "/readable", fs::perms(0755));
    fs::create_directory_symlink(dir_ + "/readable", dir_ + "/link");
    std::ofstream(dir_ + "/file") << "x";
    const std::pair<std::string, std::string> rows[] = {
        {dir_ + "/readable", ""},
        {dir_ + "/open", dir_ + "/open: others may write in it"},
        {dir_ + "/group", dir_ + "/group: others may write in it"},
        {dir_ + "/link", dir_ + "/link: not a folder"},
        {dir_ + "/file", dir_ + "/file: not a folder"},
        {dir_ + "/missing", dir_ + "/missing: No such file or directory"},
        {"relative", "relative: not an absolute path"},
    };
    for (const auto& [folder, why] : rows) {
        std::string reason;
        EXPECT_EQ(IsPrivateFolder(folder, &reason), why.empty()) << folder;
        EXPECT_EQ(reason, why);
    }
    if (::geteuid() == 0) {
        fs::create_directory(dir_ + "/theirs");
        ASSERT_EQ(::chown((dir_ + "/theirs").c_str(), 65534, 65534), 0);
        std::string reason;
        EXPECT_FALSE(IsPrivateFolder(dir_ + "/theirs", &reason));
        EXPECT_EQ(reason, dir_ + "/theirs: belongs to another user");
    }
}

TEST_F(HandOffTest, WithoutAPrivateRuntimeFolderTheCacheFolderIsMadePrivate) {
    TEnvironment env;
    fs::create_directory(dir_ + "/shared");
    fs::permissions(dir_ + "/shared", fs::perms(0777));
    env.Set("XDG_RUNTIME_DIR", dir_ + "/shared");  // others could block or spoof the lock there
    env.Set("XDG_CACHE_HOME", dir_ + "/cache");
    std::string why;
    EXPECT_EQ(PrivateRuntimeFolder(&why), dir_ + "/cache/parcelwing");
    EXPECT_EQ(fs::status(dir_ + "/cache/parcelwing").permissions(), fs::perms(0700));

    // Without XDG_CACHE_HOME the home folder's .cache is used.
    env.Unset("XDG_RUNTIME_DIR");
    env.Unset("XDG_CACHE_HOME");
    env.Set("HOME", dir_ + "/home");
    fs::create_directory(dir_ + "/home");
    EXPECT_EQ(PrivateRuntimeFolder(&why), dir_ + "/home/.cache/parcelwing");

    // A private runtime folder comes first.
    env.Set("XDG_RUNTIME_DIR", dir_);
    EXPECT_EQ(PrivateRuntimeFolder(&why), dir_);
}

// A lock file that is not the user's cannot be used: the start says why and
// runs alone, taking no hand-offs.
TEST_F(HandOffTest, ALockFileOfAnotherUserIsSaidAndTheStartRunsAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another user";
    std::ofstream(names_.LockPath) << "";
    ASSERT_EQ(::chown(names_.LockPath.c_str(), 65534, 65534), 0);
    THandOff first(names_);
    EXPECT_EQ(first.Start({}, {}, Bounded(10)), TStartResult::Running);
    EXPECT_FALSE(first.Receiving());
    EXPECT_EQ(first.LockProblem(), names_.LockPath + ": belongs to another user");

    RHandOffNames nowhere = names_;
    nowhere.Problem = "no private folder for it (reasons)";
    THandOff alone(nowhere);
    EXPECT_EQ(alone.Start({"a"}, {}, Bounded(10)), TStartResult::Running);
    EXPECT_EQ(alone.LockProblem(), "no private folder for it (reasons)");
    EXPECT_FALSE(fs::exists(nowhere.SocketPath));
}

}  // namespace
}  // namespace pw
