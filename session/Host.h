#pragma once
// The transport-neutral session coordinator: greets clients, keeps the media
// pipeline running exactly while someone watches, answers control messages
// and routes input to the input queue.
#include "app/SerialQueue.h"
#include "session/Transport.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct RunningApp {
  std::string name;
  bool regular = true;
};

class H264Encoder;
class InputTracker;
class TestPattern;

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

  // Runs on the input queue: journal, then the test pattern's pointer or the
  // desktop's input, then the latency mark.
  void handleInput(const std::shared_ptr<Transport>& transport, const ConnPtr& conn,
                   const std::string& kind, const nlohmann::json& message, uint32_t id);
  // Waits until the input queue has handled everything posted so far.
  void drainInput() { inputQ_.sync([] {}); }

  // Set at start-up, before any connection; read-only afterwards.
  std::vector<std::shared_ptr<Transport>> servers;
  std::string logPath;

  const std::shared_ptr<InputTracker> tracker;
  const std::unique_ptr<TestPattern> test;
  const std::unique_ptr<H264Encoder> encoder;

private:
  Host();
  void wire();
  void handleStats(const nlohmann::json& m);
  void routeFrame(const std::shared_ptr<const struct Frame>& frame);
  void sendPacket(const std::vector<uint8_t>& frame, bool key, double captureMs,
                  const std::vector<uint32_t>& ids);

  SerialQueue inputQ_{"input"};
  // Both LAN servers call in from their own queues; the pipeline state is
  // shared between them.
  std::mutex pipeLock_;
  bool running_ = false;
  bool starting_ = false;
  std::string lastRegularApp_;
  double relX_ = 0.5, relY_ = 0.5;  // input queue only
  bool axWarned_ = false;           // input queue only
};

// An input id: the number's integer part cut to its low 32 bits, 0 when
// missing, not a number or out of range.
uint32_t inputId(const nlohmann::json& message);
