#pragma once
// "--snapshot PATH": the setup window drawn into a PNG, then the process ends.
#include <memory>
#include <string>

class SetupWindow;
typedef struct _GtkWidget GtkWidget;

// Draws a realised widget at its allocated size into a PNG at path. On
// failure *why says what went wrong.
bool renderPng(GtkWidget* widget, const std::string& path, std::string* why);
// 0.6 s from now shows the window, 0.6 s later writes the PNG and exits:
// status 0 when the file was written, else 1 after a logged reason.
void scheduleSnapshot(std::shared_ptr<SetupWindow> window, std::string path);
// The failure path without a window (no display): logs and exits 1.
[[noreturn]] void snapshotFailed(const std::string& why);
