#ifndef DICOMTOOLKIT_PLATFORM_MESSAGEBOX_H
#define DICOMTOOLKIT_PLATFORM_MESSAGEBOX_H

namespace platform {

// Shows a modal message box with no owner window and an OK button, and
// returns once it is dismissed. Without a desktop (Linux) the message goes
// to standard error as one line "title: text"; so does a Windows process
// whose environment sets DICOMTOOLKIT_MESSAGE_BOX_TO_STDERR (tests without a desktop).
void showMessageBox(const char* title, const char* text);

}  // namespace platform

#endif
