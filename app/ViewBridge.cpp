#include "app/ViewBridge.h"

namespace pw {

RWindowState CaptureWindowState(const IView& view) {
    RWindowState state;
    state.Geometry = view.Geometry();
    state.ToItems = view.RecentItems(TComboBox::To);
    state.SubjItems = view.RecentItems(TComboBox::Subject);
    state.ToText = view.BoxText(TComboBox::To);
    state.SubjText = view.BoxText(TComboBox::Subject);
    state.MessageText = view.MessageText();
    for (int i = 0; i < view.FileCount(); ++i) state.Files.push_back(view.FileAt(i));
    return state;
}

void ApplyWindowState(IView& view, const RWindowState& state) {
    view.SetGeometry(state.Geometry);
    view.SetRecentItems(TComboBox::To, state.ToItems);
    view.SetRecentItems(TComboBox::Subject, state.SubjItems);
    view.SetBoxText(TComboBox::To, state.ToText);
    view.SetBoxText(TComboBox::Subject, state.SubjText);
    view.SetMessageText(state.MessageText);
    view.BeginFileUpdate();
    view.ClearFiles();
    for (const auto& file : state.Files) view.AppendFile(file);
    view.EndFileUpdate();
}

void LoadWindowState(IView& view, const std::string& iniPath) {
    RWindowState state = CaptureWindowState(view);
    LoadWindowState(iniPath, state);
    ApplyWindowState(view, state);
}

RSaveResult SaveWindowState(const IView& view, const ROptions& options, const std::string& iniPath) {
    return SaveWindowState(iniPath, options, CaptureWindowState(view));
}

void PushRecent(IView& view, TComboBox box) {
    const std::string text = view.BoxText(box);
    auto items = view.RecentItems(box);
    PushRecent(text, items);
    view.SetRecentItems(box, items);
    view.SetBoxText(box, text);
}

}  // namespace pw
