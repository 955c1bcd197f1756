#pragma once
// The permission setup window: three numbered steps (screen capture, input
// injection, restart), each permission's live state, a way to the help for
// each, the login check box. Main thread only; it lives as long as its owner
// and closing only hides it.
#include <functional>
#include <string>

typedef struct _GtkWidget GtkWidget;

class SetupWindow {
public:
  // What the window asks the desktop; the defaults are the real checks.
  struct Checks {
    std::function<bool()> screen;
    std::function<bool()> ax;
    std::function<bool()> login;
    std::function<bool(bool)> setLogin;
  };
  SetupWindow();
  explicit SetupWindow(Checks checks);
  ~SetupWindow();
  SetupWindow(const SetupWindow&) = delete;
  SetupWindow& operator=(const SetupWindow&) = delete;

  // Refreshes, centres and presents the window; one 1 s refresh timer runs
  // while it is shown, however often this is called.
  void show();
  void refresh();
  // What the window's close button does: hide, timer off.
  void close();

  void tapScreen();
  void tapAX();
  void tapRestart();
  void tapLogin();

  // Called after every refresh.
  std::function<void()> onChange;
  // The restart itself; start-up sets it.
  std::function<void()> onRestart;

  GtkWidget* window() const { return win_; }
  // The running refresh timer's source id, 0 when none.
  unsigned timerId() const { return timer_; }
  bool isShown() const;

  // The changing widgets, for the tray and the tests.
  GtkWidget* screenState() const { return screenState_; }
  GtkWidget* axState() const { return axState_; }
  GtkWidget* screenBtn() const { return screenBtn_; }
  GtkWidget* axBtn() const { return axBtn_; }
  GtkWidget* restartBtn() const { return restartBtn_; }
  GtkWidget* loginCheck() const { return loginCheck_; }
  GtkWidget* footer() const { return footer_; }

private:
  void build();
  void stopTimer();
  GtkWidget* step(GtkWidget* box, int number, const char* title, const char* text, GtkWidget* state,
                  GtkWidget* button);

  Checks checks_;
  GtkWidget* win_ = nullptr;
  GtkWidget* screenState_ = nullptr;
  GtkWidget* axState_ = nullptr;
  GtkWidget* screenBtn_ = nullptr;
  GtkWidget* axBtn_ = nullptr;
  GtkWidget* restartBtn_ = nullptr;
  GtkWidget* loginCheck_ = nullptr;
  GtkWidget* footer_ = nullptr;
  unsigned timer_ = 0;
  bool updating_ = false;  // set_active re-enters "toggled"
};
