#include "extras/Clipboard.h"

// Placeholder until the GTK clipboard lands: does nothing.
struct Clipboard::Impl {};
Clipboard::Clipboard() : impl_(std::make_unique<Impl>()) {}
Clipboard::~Clipboard() = default;
std::shared_ptr<Clipboard> Clipboard::create() { return std::shared_ptr<Clipboard>(new Clipboard()); }
void Clipboard::start() {}
void Clipboard::stop() {}
void Clipboard::set(const std::string&) {}
void Clipboard::offerFile(const std::string&) {}
