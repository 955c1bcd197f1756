#pragma once
// Files between the phone and the home folder: "fput" chunks saved under
// ~/Downloads/Tolvane, "ls" listings and "fget" downloads below $HOME, and
// "fcancel". Replies go to the requester alone. Every method except the
// download loop runs on the owner's queue; downloads run on a queue of their
// own so that cancels, listings and uploads are handled meanwhile.
#include "app/SerialQueue.h"
#include "extras/Requester.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

class FileTransfer {
public:
  FileTransfer(std::string home, std::string dataDir);
  ~FileTransfer();

  void put(const nlohmann::json& m, const RequesterPtr& from);
  void list(const std::string& path, const RequesterPtr& from);
  void get(const std::string& path, const std::string& id, const RequesterPtr& from);
  // Stops a download, or abandons an upload, of this requester with this id.
  void cancel(const std::string& id, const RequesterPtr& from);
  // The requester's connection has gone.
  void forget(int64_t key);
  // The last client left: every upload is abandoned, every download stops.
  void abandonAll();
  // Waits for the download queue to finish what it runs (tests, exit).
  void drain();

  // A file was saved at path; last = the sender's "last" flag.
  std::function<void(const std::string& path, bool last)> onReceived = [](const std::string&, bool) {};
  // Test seam: runs just before each attempt to give a received file its name.
  std::function<void(const std::string& candidate)> beforePlace;

  const std::string home;
  const std::string incomingDir;  // partial files
  const std::string downloadDir;  // ~/Downloads/Tolvane

  static constexpr int64_t kMaxGet = 1000000000;
  static constexpr size_t kListMax = 800;

private:
  using Key = std::pair<int64_t, std::string>;
  struct Incoming {
    int fd = -1;
    std::string tmp;
    std::string name;
    int64_t got = 0;
  };
  void fail(const Key& key, const RequesterPtr& from, const std::string& why);
  void finish(const Key& key, const RequesterPtr& from, bool last);
  void discard(Incoming& in);
  void send(const RequesterPtr& to, const std::string& path, const std::string& id,
            const std::shared_ptr<std::atomic<bool>>& stop);

  std::map<Key, Incoming> incoming_;  // owner's queue only
  // Downloads running or waiting, with their stop flags; shared with the
  // download queue.
  std::mutex lock_;
  std::multimap<Key, std::shared_ptr<std::atomic<bool>>> sending_;
  std::atomic<bool> closing_{false};
  SerialQueue out_{"extras.files"};
};

// Moves a finished partial file into dir under name, never replacing
// anything: on a taken name the next " k" is tried; across file systems the
// data is copied to a hidden file in dir first. The final path, or nothing
// with err set.
std::optional<std::string> placeFile(const std::string& tmp, const std::string& dir, const std::string& name,
                                     std::string& err,
                                     const std::function<void(const std::string&)>& beforeEach = nullptr);
