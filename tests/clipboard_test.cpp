// The desktop clipboard kept in step with the phones, against a real X server,
// real GTK in this process, xclip, and a selection owner of our own playing
// the applications that copy (tests/tools/clip_owner.py).
#include <gtest/gtest.h>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/GtkInit.h"
#include "extras/Clipboard.h"
#include "support/TestSupport.h"
#include "support/Xvfb.h"

using namespace std::chrono_literals;

namespace {

const std::string kOwner = std::string(TOLVANE_SOURCE_DIR) + "/tests/tools/clip_owner.py";

// GTK is started once per process, so all cases share one X server.
ts::Xvfb& xserver() {
  static ts::Xvfb x;
  return x;
}

// The clipboard lives on the main loop: the test thread is the main thread and
// turns the loop while it waits.
void turnLoop() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

bool spinUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit = 30s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    turnLoop();
    if (cond()) return true;
    std::this_thread::sleep_for(5ms);
  }
  turnLoop();
  return cond();
}

// Long enough for several 0.5 s polls: used to show that nothing is sent.
void spinFor(std::chrono::milliseconds d) { spinUntil([] { return false; }, d); }

// A shell command run while the loop turns (xclip -o waits for our answer when
// this process owns the clipboard).
std::string runSpinning(const std::string& cmd) {
  auto out = std::async(std::launch::async, [cmd] { return ts::run("timeout 30 " + cmd + " 2>/dev/null"); });
  while (out.wait_for(5ms) != std::future_status::ready) turnLoop();
  return out.get();
}

// An application that copied `text` (with extra targets) and keeps it offered.
std::unique_ptr<ts::Child> copyText(const std::string& text, const std::vector<std::string>& targets = {},
                                    const std::string& selection = "CLIPBOARD") {
  std::vector<std::string> argv{"/usr/bin/python3", kOwner, "--selection", selection, "--text", text};
  for (const auto& t : targets) {
    argv.push_back("--target");
    argv.push_back(t);
  }
  auto owner = std::make_unique<ts::Child>(argv);
  EXPECT_TRUE(owner->waitFor("owned")) << owner->output();
  return owner;
}

class ClipboardSync : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(xserver().ok());
    ASSERT_TRUE(ensureGtk());
    clip = Clipboard::create();
    clip->sendCtl = [this](const std::string& text) { sent.push_back(text); };
    clip->start();
    turnLoop();
  }
  void TearDown() override {
    if (clip) clip->stop();
    turnLoop();
  }

  // The "s" of every "clip" sent, in order.
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const auto& m : sent) {
      auto j = nlohmann::json::parse(m);
      EXPECT_EQ(j.size(), 2u) << m;
      EXPECT_EQ(j.value("t", ""), "clip") << m;
      out.push_back(j.value("s", ""));
    }
    return out;
  }
  bool waitSent(size_t n) {
    return spinUntil([&] { return sent.size() >= n; });
  }
  // Copies a plain marker and waits for it: everything copied before it has
  // been looked at by then.
  void copyMarker(const std::string& marker) {
    size_t before = sent.size();
    owners.push_back(copyText(marker));
    ASSERT_TRUE(waitSent(before + 1));
    EXPECT_EQ(texts().back(), marker);
  }

  std::shared_ptr<Clipboard> clip;
  std::vector<std::string> sent;
  std::vector<std::unique_ptr<ts::Child>> owners;
};

}  // namespace

TEST_F(ClipboardSync, EachCopyIsSentOnceAsClipEvenTheSameTextTwice) {
  owners.push_back(copyText("hello ✓"));
  ASSERT_TRUE(waitSent(1));
  EXPECT_EQ(sent[0], R"({"s":"hello ✓","t":"clip"})");
  spinFor(1200ms);
  EXPECT_EQ(sent.size(), 1u) << "an unchanged clipboard is not sent again";

  owners.push_back(copyText("hello ✓"));
  ASSERT_TRUE(waitSent(2));
  // xclip as the copying application, too.
  ts::run("printf 'from xclip' | xclip -selection clipboard -i >/dev/null 2>&1");
  ASSERT_TRUE(waitSent(3));
  spinFor(700ms);
  EXPECT_EQ(texts(), (std::vector<std::string>{"hello ✓", "hello ✓", "from xclip"}));
}

TEST_F(ClipboardSync, TextFromThePhoneLandsOnTheClipboardAndIsNotEchoed) {
  owners.push_back(copyText("before"));
  ASSERT_TRUE(waitSent(1));

  clip->set("from the phone ✓");
  EXPECT_TRUE(spinUntil([] { return runSpinning("xclip -o -selection clipboard") == "from the phone ✓"; }));
  clip->set("again");
  EXPECT_TRUE(spinUntil([] { return runSpinning("xclip -o -selection clipboard") == "again"; }));
  spinFor(1500ms);
  EXPECT_EQ(texts(), std::vector<std::string>{"before"});

  // Only the host's own writes are held back.
  copyMarker("after");
  std::string primary = runSpinning("xclip -o -selection primary");
  EXPECT_NE(primary, "from the phone ✓");
  EXPECT_NE(primary, "again");
}

TEST_F(ClipboardSync, ConcealedCopiesAreNeverSent) {
  const std::vector<std::string> marks{"org.nspasteboard.ConcealedType", "org.nspasteboard.TransientType",
                                       "org.nspasteboard.AutoGeneratedType", "x-kde-passwordManagerHint"};
  for (size_t i = 0; i < marks.size(); ++i) {
    SCOPED_TRACE(marks[i]);
    owners.push_back(copyText("secret " + std::to_string(i), {"TIMESTAMP", marks[i]}));
    spinFor(1200ms);
    EXPECT_TRUE(sent.empty());
  }
  // Still looked at once, so it is not sent later either: the next message is
  // the next plain copy.
  copyMarker("plain");
  EXPECT_EQ(texts(), std::vector<std::string>{"plain"});
}

TEST_F(ClipboardSync, AConcealedCopyLandingBetweenTheTwoReadsIsNotSent) {
  owners.push_back(copyText("first"));
  ASSERT_TRUE(waitSent(1));
  owners.push_back(copyText("second"));
  bool raced = false;
  clip->betweenReads = [&] {
    if (raced) return;
    raced = true;
    // The types of "second" were just read; the password manager copies now.
    owners.push_back(copyText("hunter2", {"org.nspasteboard.ConcealedType"}));
  };
  ASSERT_TRUE(spinUntil([&] { return raced; }));
  spinFor(1500ms);
  clip->betweenReads = nullptr;
  copyMarker("later");
  // "second" is skipped with it: its text could not be told from the secret.
  EXPECT_EQ(texts(), (std::vector<std::string>{"first", "later"}));
}

TEST_F(ClipboardSync, TextsUpTo256000BytesAreSentLongerOnesAreNot) {
  std::string dir = ts::makeTempDir("clip");
  // Two-byte characters: the limit counts UTF-8 bytes, not characters.
  std::string atLimit;
  for (int i = 0; i < 128000; ++i) atLimit += "é";
  ts::writeFile(dir + "/limit.txt", atLimit);
  ts::writeFile(dir + "/over.txt", atLimit + "x");

  auto big = std::make_unique<ts::Child>(
      std::vector<std::string>{"/usr/bin/python3", kOwner, "--file", dir + "/over.txt"});
  ASSERT_TRUE(big->waitFor("owned"));
  spinFor(1500ms);
  EXPECT_TRUE(sent.empty());

  auto limit = std::make_unique<ts::Child>(
      std::vector<std::string>{"/usr/bin/python3", kOwner, "--file", dir + "/limit.txt"});
  ASSERT_TRUE(limit->waitFor("owned"));
  ASSERT_TRUE(waitSent(1));
  EXPECT_EQ(texts()[0], atLimit);
  ts::removeTree(dir);
}

TEST_F(ClipboardSync, ThePrimarySelectionIsNeverSent) {
  owners.push_back(copyText("selected with the mouse", {}, "PRIMARY"));
  ts::run("printf 'xclip primary' | xclip -selection primary -i >/dev/null 2>&1");
  spinFor(1200ms);
  EXPECT_TRUE(sent.empty());
  copyMarker("copied");
  EXPECT_EQ(texts(), std::vector<std::string>{"copied"});
}

TEST_F(ClipboardSync, StoppedItSendsNothingAndARestartSkipsWhatWasCopiedMeanwhile) {
  clip->stop();
  turnLoop();
  owners.push_back(copyText("while nobody was connected"));
  spinFor(1200ms);
  EXPECT_TRUE(sent.empty());
  clip->start();
  spinFor(1200ms);
  EXPECT_TRUE(sent.empty());
  copyMarker("after the restart");
}

TEST_F(ClipboardSync, AReceivedPhotoOffersItsAddressAndAPngAndIsNotEchoed) {
  std::string dir = ts::makeTempDir("clip");
  GdkPixbuf* image = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 4, 3);
  gdk_pixbuf_fill(image, 0x336699ff);
  ASSERT_TRUE(gdk_pixbuf_save(image, (dir + "/photo.png").c_str(), "png", nullptr, nullptr));
  g_object_unref(image);
  ts::writeFile(dir + "/notes.txt", "just text");
  ts::writeFile(dir + "/broken.jpg", "not really a jpeg");

  clip->offerFile(dir + "/photo.png");
  ASSERT_TRUE(spinUntil([] {
    return runSpinning("xclip -o -selection clipboard -t TARGETS").find("image/png") != std::string::npos;
  }));
  std::string targets = runSpinning("xclip -o -selection clipboard -t TARGETS");
  EXPECT_NE(targets.find("text/uri-list"), std::string::npos) << targets;
  EXPECT_EQ(runSpinning("xclip -o -selection clipboard -t text/uri-list"), "file://" + dir + "/photo.png\r\n");
  std::string png = runSpinning("xclip -o -selection clipboard -t image/png");
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));

  // Not an image, or an image that does not load: the address only.
  for (const char* name : {"notes.txt", "broken.jpg"}) {
    SCOPED_TRACE(name);
    clip->offerFile(dir + "/" + name);
    EXPECT_TRUE(spinUntil([&] {
      return runSpinning("xclip -o -selection clipboard -t text/uri-list") == "file://" + dir + "/" + name + "\r\n";
    }));
    EXPECT_EQ(runSpinning("xclip -o -selection clipboard -t TARGETS").find("image/png"), std::string::npos);
  }
  spinFor(1500ms);
  EXPECT_TRUE(sent.empty());
  ts::removeTree(dir);
}

TEST(ClipboardWithoutDisplay, DoesNothingAndKeepsRunning) {
  // A fresh process (GTK may already run on the shared X server in this one).
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        unsetenv("DISPLAY");
        auto clip = Clipboard::create();
        int sent = 0;
        clip->sendCtl = [&](const std::string&) { ++sent; };
        clip->start();
        clip->set("from the phone");
        clip->offerFile("/nonexistent/photo.png");
        spinFor(1200ms);
        clip->stop();
        clip.reset();
        turnLoop();
        std::exit(sent == 0 && !gtkReady() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
