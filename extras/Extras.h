#pragma once
// The side features of a session: clipboard, file transfer, application
// list and launcher, pause watch and display-sleep hold, system audio. Host
// hands it the side-feature messages and tells it when clients come and go.
#include "app/SerialQueue.h"
#include "extras/Requester.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>

class AppLauncher;
class Clipboard;
class FileTransfer;
class PauseWatch;
class SystemAudio;

class Extras : public std::enable_shared_from_this<Extras> {
public:
  static std::shared_ptr<Extras> create(const std::string& home, const std::string& dataDir, bool testMode);
  ~Extras();

  // Broadcast of one control text to every client; set by the owner before
  // any connection.
  std::function<void(const std::string&)> sendCtl = [](const std::string&) {};

  // A client connection opened.
  void connected();
  // No connection is left on any transport.
  void disconnected();
  // This requester's connection closed (others may remain).
  void closed(int64_t requesterKey);
  // One side-feature message, handled on the "extras" queue in arrival
  // order; done (if given) runs once it has been handled.
  void handle(const std::string& kind, nlohmann::json message, RequesterPtr from,
              std::function<void()> done = nullptr);
  // Program exit: stops audio within the shutdown bound.
  void shutdown();
  // Waits until everything posted so far has been handled (tests).
  void drain();

  const std::shared_ptr<Clipboard> clip;
  const std::shared_ptr<PauseWatch> pause;
  const std::shared_ptr<AppLauncher> apps;
  const std::shared_ptr<SystemAudio> audio;

  FileTransfer& files() { return *files_; }

private:
  Extras(const std::string& home, const std::string& dataDir, bool testMode);
  void dispatch(const std::string& kind, const nlohmann::json& m, const RequesterPtr& from);

  SerialQueue q_{"extras"};
  std::unique_ptr<FileTransfer> files_;  // on q_
};

// The eight kinds Host forwards.
bool isSideKind(const std::string& kind);
