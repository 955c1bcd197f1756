#pragma once
#include <boost/asio/ssl/context.hpp>

#include <memory>
#include <string>
#include <vector>

class Host;
class Server;
class RTCTransport;

// Builds a configured LAN server wired to the host.
std::shared_ptr<Server> makeServer(uint16_t port, const std::string& label,
                                   const std::shared_ptr<Host>& host,
                                   std::shared_ptr<boost::asio::ssl::context> identity = nullptr);
// Wires the internet transport's callbacks to the host, holding both weakly.
void wireInternet(const std::shared_ptr<RTCTransport>& t, const std::shared_ptr<Host>& host);
// The pause watch, given the internet transport's pause when there is one;
// once, on the main thread.
void startSideFeatures(const std::shared_ptr<Host>& host, const std::shared_ptr<RTCTransport>& internet);
// Used when "--stun" is not given.
inline constexpr const char* kDefaultStun = "stun:stun.l.google.com:19302";
// Writes text to path through a temporary file and a rename.
bool writeAtomically(const std::string& path, const std::string& text);
// Ends the process within 1.5 s: extras and capture get that long to stop.
void shutdownAndExit();
void setHostRef(const std::shared_ptr<Host>& h);
std::shared_ptr<Host> hostRef();
