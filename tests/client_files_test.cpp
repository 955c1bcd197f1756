// The page's file list against the client folder, and reading by name.
#include "lan/ClientFiles.h"
#include "lan/ClientPage.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>

namespace fs = std::filesystem;

namespace {
const std::string kClient = std::string(TOLVANE_SOURCE_DIR) + "/client";

std::string text(const std::optional<std::vector<uint8_t>>& bytes) {
  return bytes ? std::string(bytes->begin(), bytes->end()) : "<none>";
}
}  // namespace

TEST(ClientFiles, ListIsExactlyThePageFolder) {
  std::set<std::string> onDisk, listed(clientFiles().begin(), clientFiles().end());
  for (const auto& e : fs::directory_iterator(kClient)) {
    auto ext = e.path().extension();
    if (ext == ".js" || ext == ".html" || ext == ".css") onDisk.insert(e.path().filename().string());
  }
  EXPECT_EQ(onDisk, listed) << "a page file is missing from lan/ClientFiles.cpp, or listed but absent";
  EXPECT_EQ(listed.size(), clientFiles().size()) << "a name is listed twice";
  EXPECT_EQ(clientFiles().front(), "index.html");
}

TEST(ClientFiles, EveryImportIsListedAndCarriesTheToken) {
  // An import the page's import map does not know loads without the token and gets 403.
  const std::string page = ts::readFile(kClient + "/index.html");
  std::set<std::string> mapped;
  std::regex quoted(R"re("([A-Za-z0-9_-]+\.js)")re");
  for (std::sregex_iterator it(page.begin(), page.end(), quoted), end; it != end; ++it) mapped.insert((*it)[1]);
  std::regex imports(R"re((?:from|import)\s+"\./([^"]+)")re");
  std::set<std::string> imported = {"main.js"};
  for (const auto& name : clientFiles()) {
    if (name == "index.html") continue;
    EXPECT_TRUE(mapped.count(name)) << name << " is not in index.html's import map";
    const std::string src = ts::readFile(kClient + "/" + name);
    for (std::sregex_iterator it(src.begin(), src.end(), imports), end; it != end; ++it) {
      std::string target = (*it)[1];
      imported.insert(target);
      EXPECT_TRUE(std::count(clientFiles().begin(), clientFiles().end(), target)) << name << " imports " << target;
    }
  }
  // Worklets are not imported: the page loads them by address (addModule).
  std::set<std::string> named;
  for (const auto& name : clientFiles())
    for (const auto& other : clientFiles())
      if (other != name && other != "index.html" &&
          ts::readFile(kClient + "/" + other).find("\"" + name + "\"") != std::string::npos)
        named.insert(name);
  for (const auto& name : clientFiles()) {
    if (name == "index.html") continue;
    bool worklet = name.size() > 11 && name.compare(name.size() - 11, 11, "-worklet.js") == 0;
    if (worklet) EXPECT_TRUE(named.count(name)) << name << " is listed but never loaded";
    else EXPECT_TRUE(imported.count(name)) << name << " is listed but never imported";
  }
}

TEST(ClientFiles, ReadsOnlyListedNamesFromTheGivenFolder) {
  auto root = ts::makeTempDir();
  const std::string dir = root + "/page";
  fs::create_directories(dir + "/sub");
  ts::writeFile(dir + "/video.js", "export const v = 1;");
  ts::writeFile(dir + "/secret.txt", "key");
  ts::writeFile(dir + "/sub/video.js", "nested");
  ts::writeFile(root + "/outside.js", "outside");
  EXPECT_EQ(text(readClientFile(dir, "video.js")), "export const v = 1;");
  for (std::string name : {"secret.txt", "sub/video.js", "./video.js", "../video.js", "", ".", "..",
                           "/etc/passwd", "../outside.js", "video.js/"})
    EXPECT_FALSE(readClientFile(dir, name).has_value()) << name;
  // Listed but not there, or a folder in its place.
  EXPECT_FALSE(readClientFile(dir, "main.js").has_value());
  fs::create_directories(dir + "/session.js");
  EXPECT_FALSE(readClientFile(dir, "session.js").has_value());
  ts::removeTree(root);
}

TEST(ClientFiles, TypesAndLookupByPath) {
  EXPECT_EQ(clientFileType("video.js"), "text/javascript; charset=utf-8");
  EXPECT_EQ(clientFileType("index.html"), "text/html; charset=utf-8");
  EXPECT_EQ(clientFileType("look.css"), "text/css; charset=utf-8");
  EXPECT_EQ(clientFileFor("/video.js"), std::optional<std::string>("video.js"));
  for (std::string path : {"", "/", "video.js", "/video.js/", "//video.js", "/sub/video.js"})
    EXPECT_FALSE(clientFileFor(path).has_value()) << path;
}

TEST(ClientFiles, FolderIsTheFirstWithAPage) {
  auto given = ts::makeTempDir(), empty = ts::makeTempDir(), work = ts::makeTempDir();
  ts::writeFile(given + "/index.html", "given");
  fs::create_directories(work + "/client");
  ts::writeFile(work + "/client/index.html", "from the current folder");
  const auto cwd = fs::current_path();
  fs::current_path(work);
  EXPECT_EQ(findClientDir(given), std::optional<std::string>(given));
  EXPECT_EQ(text(findClientHTML(given)), "given");
  // A --client-dir without a page falls back to the places after it; the
  // build tree has no client folder beside the test executables, so the
  // current folder's is next.
  EXPECT_EQ(text(findClientHTML(empty)), "from the current folder");
  EXPECT_EQ(fs::path(findClientDir(empty).value_or("")), fs::path(work) / "client");
  fs::current_path(cwd);
  for (const auto& d : {given, empty, work}) ts::removeTree(d);
}
