#pragma once
// The tray item (a StatusNotifierItem with a DBusMenu) and its menu: the
// connection state, pause and resume of the internet link, the setup window,
// the connection link, the login item, About and Quit. Main thread only.
#include <functional>
#include <memory>
#include <optional>
#include <string>

class SetupWindow;
typedef struct _AppIndicator AppIndicator;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkAccelGroup GtkAccelGroup;

// What the menu asks of the internet transport. Set only when there is one.
struct InternetSwitch {
  std::function<bool()> paused;
  std::function<bool()> isLive;
  std::function<void(bool)> setPaused;
  bool present() const { return paused && isLive && setPaused; }
};

// The changing part of the menu for one state.
struct MenuTexts {
  std::string state;
  std::string pause;
  bool pauseVisible = false;
  bool dimmed = false;
};
// Untranslated texts: a paused transport first, then a live one, then the
// permissions decide.
MenuTexts menuTexts(bool haveTransport, bool paused, bool live, bool permitted);

class MenuBar {
public:
  using LinkProvider = std::function<std::optional<std::string>()>;
  // permitted: screen capture and input injection both allowed.
  MenuBar(std::shared_ptr<SetupWindow> setup, LinkProvider link, InternetSwitch internet,
          std::function<bool()> permitted);
  ~MenuBar();
  MenuBar(const MenuBar&) = delete;
  MenuBar& operator=(const MenuBar&) = delete;

  // Recomputes the texts, the check mark and the icon (the menu is opening).
  void update();

  void togglePause();
  void openSetup();
  void copyLink();
  void toggleLogin();
  void about();
  void quit();

  // For tests and the update: the widgets as the tray exports them.
  GtkWidget* statusLine() const { return statusLine_; }
  GtkWidget* pauseItem() const { return pauseItem_; }
  GtkWidget* loginItem() const { return loginItem_; }
  std::string iconName() const;

private:
  void build();
  void hookMenuOpening();

  AppIndicator* item_ = nullptr;
  GtkAccelGroup* accel_ = nullptr;
  GtkWidget* menu_ = nullptr;
  GtkWidget* statusLine_ = nullptr;
  GtkWidget* loginItem_ = nullptr;
  GtkWidget* pauseItem_ = nullptr;
  std::shared_ptr<SetupWindow> setup_;
  LinkProvider linkProvider_;
  InternetSwitch internet_;
  std::function<bool()> permitted_;
  bool updating_ = false;  // set_active on the check item re-enters "activate"
};
