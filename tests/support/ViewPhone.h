#pragma once
// A phone for the view tests: a real WebSocket client that keeps every text
// message and the video of each "config" apart, so a stream whose frame size
// changes can be decoded one size at a time.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/WsClient.h"

namespace ts {

class ViewPhone {
public:
  ViewPhone(int port, const std::string& token);
  bool connected() const { return ok_; }
  void send(const nlohmann::json& m);
  // Reads until a text message matching pred arrives (true) or the time runs
  // out; everything read is kept.
  bool waitText(const std::function<bool(const nlohmann::json&)>& pred,
                std::chrono::milliseconds limit = std::chrono::seconds(60));
  // Reads until `frames` frames have arrived after the config with index
  // `segment` (counting configs from 0).
  bool waitFrames(size_t segment, size_t frames, std::chrono::milliseconds limit = std::chrono::seconds(60));
  // Reads whatever comes for this long.
  void pump(std::chrono::milliseconds span);

  // Texts of kind t in arrival order.
  std::vector<nlohmann::json> texts(const std::string& t) const;
  const std::vector<nlohmann::json>& allTexts() const { return texts_; }
  size_t configs() const { return segments_.size(); }
  // The segment's SPS/PPS and frames as an Annex B file for ffmpeg.
  void writeSegment(size_t segment, const std::string& path) const;
  size_t framesIn(size_t segment) const;

  RawClient client;

private:
  bool readOne(std::chrono::milliseconds limit);
  struct Segment {
    std::string annexb;
    size_t frames = 0;
  };
  bool ok_ = false;
  std::vector<nlohmann::json> texts_;
  std::vector<Segment> segments_;
};

}  // namespace ts
