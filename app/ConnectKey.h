#pragma once
// The internet link's ingredients: the connect key kept in the data
// directory, the signalling base URL and the link the phone opens.
#include <optional>
#include <string>

// The key in dataDir/connect_key.txt, trimmed; a new one (64 lowercase hex
// digits, written 0600) when asked for or when the stored one is 31
// characters or fewer. Write failures are ignored: the key still works for
// this run.
std::string loadConnectKey(const std::string& dataDir, bool fresh);
// The URL with a "/" appended unless it ends in one.
std::string signalBase(const std::string& url);
// The page's address on the rendezvous server (ws→http, wss→https) with the
// key behind "#", which browsers never send to the server.
std::string remoteLink(const std::string& base, const std::string& key);
// "TolvaneSignalURL" of the installed share/tolvane-host/app.json; nothing in
// a build tree or when the value is not a string.
std::optional<std::string> bundleSignalURL();
