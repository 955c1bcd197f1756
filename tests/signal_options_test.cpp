// The rendezvous server's command line and the mapping of request paths to page files.
#include "signal/PageFiles.h"
#include "signal/SignalOptions.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

SignalArgs parsed(const std::vector<std::string>& args) {
  auto r = parseSignalArgs(args);
  EXPECT_TRUE(std::holds_alternative<SignalArgs>(r)) << std::get<std::string>(r);
  return std::holds_alternative<SignalArgs>(r) ? std::get<SignalArgs>(r) : SignalArgs{};
}

std::string failure(const std::vector<std::string>& args) {
  auto r = parseSignalArgs(args);
  return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : "";
}

TEST(SignalOptions, DefaultsAndEveryOption) {
  auto d = parsed({});
  EXPECT_EQ(d.config.port, 8080);
  EXPECT_EQ(d.config.bind, "0.0.0.0");
  EXPECT_TRUE(d.config.stun.empty());
  EXPECT_FALSE(d.config.tlsCert);
  EXPECT_EQ(d.config.session.roleTimeout, std::chrono::seconds(10));
  EXPECT_EQ(d.config.session.silenceTimeout, std::chrono::seconds(60));
  EXPECT_EQ(d.config.session.maxMessage, 65536u);

  auto a = parsed({"--port", "0", "--bind", "127.0.0.1", "--client-dir", "/srv/page", "--stun", "stun:a:1,stun:b:2",
                   "--stun", "stun:c:3", "--tls-cert", "c.pem", "--tls-key", "k.pem", "--max-rooms", "5",
                   "--max-phones", "2", "--max-sockets", "9", "--max-per-address", "0", "--role-timeout-ms", "250",
                   "--silence-timeout-ms", "900"});
  EXPECT_EQ(a.config.port, 0);
  EXPECT_EQ(a.config.bind, "127.0.0.1");
  EXPECT_EQ(a.clientDir, "/srv/page");
  EXPECT_EQ(a.config.stun, (std::vector<std::string>{"stun:a:1", "stun:b:2", "stun:c:3"}));
  EXPECT_EQ(a.config.tlsCert, "c.pem");
  EXPECT_EQ(a.config.tlsKey, "k.pem");
  EXPECT_EQ(a.config.rooms.rooms, 5u);
  EXPECT_EQ(a.config.rooms.phonesPerRoom, 2u);
  EXPECT_EQ(a.config.maxSockets, 9u);
  EXPECT_EQ(a.config.maxPerAddress, 0u);
  EXPECT_EQ(a.config.session.roleTimeout, std::chrono::milliseconds(250));
  EXPECT_EQ(a.config.session.silenceTimeout, std::chrono::milliseconds(900));
  EXPECT_TRUE(parsed({"--help"}).help);
}

TEST(SignalOptions, BadCommandLinesAreRefused) {
  for (auto args : std::vector<std::vector<std::string>>{{"--port", "65536"}, {"--port", "-1"}, {"--port", "8o"},
                                                         {"--port"}, {"--max-phones", "0"}, {"--max-rooms", "1e3"},
                                                         {"--role-timeout-ms", "0"}, {"--frobnicate", "1"},
                                                         {"--tls-cert", "c.pem"}, {"--tls-key", "k.pem"}}) {
    EXPECT_NE(failure(args), "") << args[0];
  }
}

TEST(PageFiles, OnlyTheFixedNamesMapToFiles) {
  EXPECT_EQ(requestPath("/ws?t=1#x"), "/ws");
  EXPECT_EQ(requestPath("/"), "/");
  ASSERT_TRUE(pageFileFor("/"));
  EXPECT_EQ(pageFileFor("/")->name, "index.html");
  EXPECT_EQ(pageFileFor("/index.html")->type, "text/html; charset=utf-8");
  for (const char* path : {"", "/index.html/", "//index.html", "/./index.html", "/../index.html", "/INDEX.HTML",
                           "/index.htm", "/client/index.html", "/%69ndex.html", "index.html", "/ws"})
    EXPECT_FALSE(pageFileFor(path)) << path;

  auto dir = ts::makeTempDir();
  ts::writeFile(dir + "/index.html", "<p>x</p>");
  EXPECT_EQ(readPageFile(dir, *pageFileFor("/")), "<p>x</p>");
  EXPECT_FALSE(readPageFile(dir + "/missing", *pageFileFor("/")));
  EXPECT_FALSE(readPageFile("", *pageFileFor("/")));
  ts::removeTree(dir);
}

}  // namespace
