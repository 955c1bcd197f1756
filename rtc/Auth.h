#pragma once
// Message authentication between host and phone: HMAC-SHA256 keyed with the
// connect key's text, which the rendezvous server never sees.
#include <string>

// 64 lowercase hex digits.
std::string macFor(const std::string& key, const std::string& message);
// True when code (hex, either letter case) is the message's HMAC. Odd lengths,
// non-hex pairs and the empty code are refused before any HMAC is computed;
// the comparison itself takes the same time wherever the codes differ.
bool macOK(const std::string& key, const std::string& message, const std::string& code);
