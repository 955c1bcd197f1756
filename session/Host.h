#pragma once
// The transport-neutral session coordinator: greets clients, keeps the media
// pipeline running exactly while someone watches, answers control messages
// and routes input to the input queue.
#include "app/SerialQueue.h"
#include "session/Transport.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct RunningApp {
  std::string name;
  bool regular = true;
};

class Host : public std::enable_shared_from_this<Host> {
public:
  static std::shared_ptr<Host> create();
  ~Host();

  void onOpen(const std::shared_ptr<Transport>& transport, const ConnPtr& conn);
  void onText(const std::shared_ptr<Transport>& transport, const ConnPtr& conn, const std::string& text);
  void onClose();
  void ensurePipeline(const std::shared_ptr<Transport>& transport, const ConnPtr& conn);
  void send(const ConnPtr& conn, const std::string& text);
  void broadcast(const std::string& text);
  std::string noteApp(const std::optional<RunningApp>& app);
  // The workspace's application-activated notification.
  void appActivated(const std::optional<RunningApp>& app);
  void requestKeyframe();
  // Stops what must not outlive the process (capture, held input); bounded.
  void shutdown();

  // Set at start-up, before any connection; read-only afterwards.
  std::vector<std::shared_ptr<Transport>> servers;
  std::string logPath;

private:
  Host();
  void wire();
  void handleStats(const nlohmann::json& m);

  SerialQueue inputQ_{"input"};
  bool running_ = false;
  bool starting_ = false;
  std::string lastRegularApp_;
};
