#pragma once
// The words of a running job's progress, as the status bar shows them:
// "Message 2 of 5 · report.pdf · 12.5 MB of 40.0 MB", in the language's texts.

#include <QString>
#include <cstdint>

#include "app/View.h"
#include "ui/WindowTexts.h"

namespace pw {

// A size in the largest unit that keeps at least 1 of it (bytes, KB, MB, GB;
// 1 KB = 1024 bytes), with one decimal above bytes.
QString SizeText(std::uint64_t bytes, const RProgressTexts& texts);

// The message being sent, counted from 1: before the first message has been
// started it is already the first; a count that lags behind (the list grew
// or shrank meanwhile) never shows "n of m" with n above m.
int ShownMessage(const RJobProgress& progress);
int ShownMessages(const RJobProgress& progress);

// "Message n of m", then, while a file is being read, its name (without the
// folder; `shownName` instead when given, e.g. shortened to fit) and the
// bytes sent of it.
QString ProgressLine(const RJobProgress& progress, const RProgressTexts& texts, const QString& shownName = {});

// How far a job has come, as a value of a bar running from 0 to `range`:
// finished messages, plus the share of the current attachment already sent.
int JobProgressValue(const RJobProgress& progress, int range);

// The file-name part of ProgressLine alone (empty between files).
QString ProgressFileName(const RJobProgress& progress);

}  // namespace pw
