#pragma once
// Desktop clipboard (CLIPBOARD selection only) kept in step with the phones:
// new text copied on the desktop is broadcast as "clip", text from a phone is
// put on it without echo. All work runs on the main loop; the methods may be
// called from any thread.
#include <functional>
#include <memory>
#include <string>

class Clipboard {
public:
  static std::shared_ptr<Clipboard> create();
  ~Clipboard();
  // Broadcast of one control text to every client; set by the owner.
  std::function<void(const std::string&)> sendCtl = [](const std::string&) {};
  // Starts (or restarts) the 0.5 s poll; changes made before are not sent.
  void start();
  void stop();
  // "setclip": puts the text on the clipboard as the host's own write.
  void set(const std::string& text);
  // A received file handed to the clipboard (text/uri-list, image/png for images).
  void offerFile(const std::string& path);

  // Test seam: runs on the main loop in a poll after the types were checked
  // and before the text is read (a copy landing in between must not be sent).
  std::function<void()> betweenReads;

private:
  Clipboard();
  void startOnMain();
  void poll();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
