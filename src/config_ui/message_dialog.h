#pragma once
#include <QString>

class QWidget;

// The program's message dialog: a window title, a heading, a text, a set of
// buttons and an icon; returns the button pressed. The values are those the
// rest of the program passes and compares against.
namespace brivane {

// Buttons, combinable.
enum MessageButton : int { mbOK = 1, mbYes = 2, mbNo = 4, mbCancel = 8, mbRetry = 16, mbClose = 32 };
// Icons; any other value shows none.
enum MessageIcon : int { miNone = 0, miInformation = 81, miWarning = 84, miError = 98, miQuestion = 99 };
// Results.
enum MessageResult : int { mrNone = 0, mrOK = 1, mrCancel = 2, mrClose = 3, mrRetry = 4, mrYes = 6, mrNo = 7 };

// Shows the message modally over `parent` (the heading as the main text, the
// text as the informative text, wrapped at blanks, the box kept within the
// screen) and returns the result of the button pressed; closing the box
// without a button gives Cancel when the set has one, otherwise Close or the
// set's only button, as QMessageBox decides. `defaultButton` (one of the
// set) is the one Enter presses; 0 makes it Yes, else OK.
int ShowMessage(QWidget* parent, const QString& title, const QString& heading, const QString& text, int buttons,
                int icon, int defaultButton = 0);

// Tests replace the dialog: while set, ShowMessage records nothing itself and
// returns what the hook returns, without showing a window.
using MessageHook = int (*)(const QString& title, const QString& heading, const QString& text, int buttons,
                            int icon, int defaultButton);
void SetMessageHook(MessageHook hook);

}  // namespace brivane
