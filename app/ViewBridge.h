#pragma once
// The glue between the view and the layers below it that must not know it: the
// window-state record of config/ and the log's status-box sink.

#include <string>

#include "app/View.h"
#include "config/LogFile.h"
#include "config/Options.h"
#include "config/WindowState.h"

namespace pw {

// The log's status box is the view's.
class TViewLogSink : public ILogSink {
public:
    explicit TViewLogSink(IView& view) : view_(view) {}
    void BeginUpdate() override { view_.BeginStatusUpdate(); }
    void EndUpdate() override { view_.EndStatusUpdate(); }
    int EntryCount() const override { return view_.StatusCount(); }
    void RemoveFirstEntry() override { view_.StatusRemoveFirst(); }
    void AppendEntry(const std::string& text) override { view_.StatusAppend(text); }

private:
    IView& view_;
};

// The view's window state as a record, and back.
RWindowState CaptureWindowState(const IView& view);
void ApplyWindowState(IView& view, const RWindowState& state);

// Restores the remembered state from `iniPath` into the view: the lists and the
// message text are added to what the view holds, geometry and box texts replaced.
void LoadWindowState(IView& view, const std::string& iniPath);

// Stores the view's state (nothing with AutoSend and ExitAfterSend both set);
// the result says whether the file could be written and what it could not keep.
RSaveResult SaveWindowState(const IView& view, const ROptions& options, const std::string& iniPath);

// Puts the box's text first in its recent list (entries compared without case).
void PushRecent(IView& view, TComboBox box);

}  // namespace pw
