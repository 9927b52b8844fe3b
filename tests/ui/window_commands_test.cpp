// The list editing commands on the view seam: Delete, Up, Down and Paste, with
// their edge cases and the list buttons they leave behind.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/MemoryView.h"
#include "ui/Commands.h"

namespace pw {
namespace {

using Entries = std::vector<std::string>;

MemoryView ViewWith(const Entries& entries, int current) {
    MemoryView view;
    for (const std::string& e : entries) view.AppendFile(e);
    view.SetCurrentFile(current);
    return view;
}

TEST(ListCommandsTest, DeleteUpAndDownFollowTheCurrentEntry) {
    struct Case {
        const char* name;
        void (*command)(IView&);
        Entries before;
        int current;
        Entries after;
        int currentAfter;
        bool buttonsAfter;
    };
    const Case cases[] = {
        {"delete without a current entry removes entry 0", DeleteEntry, {"a", "b", "c"}, -1, {"b", "c"}, 0, true},
        {"delete in the middle keeps the place", DeleteEntry, {"a", "b", "c"}, 1, {"a", "c"}, 1, true},
        {"delete of the last makes the new last current", DeleteEntry, {"a", "b", "c"}, 2, {"a", "b"}, 1, true},
        {"delete of the only entry leaves none", DeleteEntry, {"a"}, 0, {}, -1, false},
        {"delete on an empty list does nothing", DeleteEntry, {}, -1, {}, -1, false},
        {"up on the first does nothing", MoveEntryUp, {"a", "b", "c"}, 0, {"a", "b", "c"}, 0, true},
        {"up without a current entry does nothing", MoveEntryUp, {"a", "b"}, -1, {"a", "b"}, -1, true},
        {"up exchanges with the one above", MoveEntryUp, {"a", "b", "c"}, 2, {"a", "c", "b"}, 1, true},
        {"down on the last does nothing", MoveEntryDown, {"a", "b", "c"}, 2, {"a", "b", "c"}, 2, true},
        {"down without a current entry does nothing", MoveEntryDown, {"a", "b"}, -1, {"a", "b"}, -1, true},
        {"down exchanges with the one below", MoveEntryDown, {"a", "b", "c"}, 0, {"b", "a", "c"}, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryView view = ViewWith(c.before, c.current);
        view.EnableListControls(!c.buttonsAfter);  // the command must set them itself
        const int refreshes = view.ListControlRefreshes();
        c.command(view);
        EXPECT_EQ(view.Files(), c.after);
        EXPECT_EQ(view.CurrentFile(), c.currentAfter);
        EXPECT_EQ(view.ListControlsEnabled(), c.buttonsAfter);
        EXPECT_EQ(view.ListControlRefreshes(), refreshes + 1);
    }
}

TEST(ListCommandsTest, PasteAppendsEveryNonEmptyLineAsItIs) {
    struct Case {
        const char* name;
        std::string clipboard;
        Entries added;
    };
    const Case cases[] = {
        {"three CR LF lines", "/tmp/a\r\n/tmp/b\r\n/tmp/c", {"/tmp/a", "/tmp/b", "/tmp/c"}},
        {"a trailing line end adds nothing", "/tmp/a\r\n", {"/tmp/a"}},
        {"blank lines add nothing", "\r\n\r\nx\r\n\r\n\n\ry", {"x", "y"}},
        {"a line of spaces is an entry", "a\r\n   \r\nb", {"a", "   ", "b"}},
        {"LF and CR alone cut too", "a\nb\rc", {"a", "b", "c"}},
        {"no trimming, no existence check", "  not a file  ", {"  not a file  "}},
        {"an empty clipboard adds nothing", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryView view = ViewWith({"first"}, 0);
        PasteEntries(view, c.clipboard);
        Entries expected{"first"};
        expected.insert(expected.end(), c.added.begin(), c.added.end());
        EXPECT_EQ(view.Files(), expected);
        EXPECT_TRUE(view.ListControlsEnabled());
        EXPECT_TRUE(view.UpdatesBalanced());
    }
}

}  // namespace
}  // namespace pw
