#pragma once
// A hook for scripts/screenshot, not for users: with PARCELWING_SNAPSHOTS
// naming a folder, the program saves pictures of its windows there and then
// closes:
//   main-window.png                       the window as it starts
//   about.png                             the about box
//   options-email.png, options-mix.png,   each page of the options dialog
//   options-on-error.png
//   main-window-job.png                   during a send job, when `sink`
//                                         ("host:port") names an SMTP server
//                                         that takes the job (slowly)
// The job goes to the sink with the options changed in memory only (no TLS,
// no login); nothing is saved to the INI file but the window state.

#include <QString>

namespace pw {

class TQtFrontEnd;

void ArmSnapshots(TQtFrontEnd& front, const QString& folder, const QString& sink);

}  // namespace pw
