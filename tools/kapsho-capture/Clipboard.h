// The capture on the clipboard instead of in a file. On X11 a clipboard is served by the
// program that set it, for as long as it owns it: the command splits off that owner before
// capturing and returns once the owner holds the clipboard. On Wayland wl-copy does the same.
#pragma once

#include <QByteArray>
#include <QImage>
#include <optional>

namespace kapsho_capture {

// Before any Qt object exists. In the command: waits for the owner's word and gives the exit
// status (0 once it holds the clipboard, 1 when it failed and said why). In the owner: nullopt,
// and the capture goes on there.
std::optional<int> splitOffClipboardOwner();

// In the owner: puts the image on the X11 clipboard, tells the waiting command, leaves the
// terminal and serves the clipboard until another program takes it.
void serveClipboard(const QImage& image);

// Hands PNG bytes to wl-copy, which serves them on the Wayland clipboard.
void copyWithWlCopy(const QByteArray& png);

}  // namespace kapsho_capture
