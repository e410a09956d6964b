#include "merge/FileSearch.h"

#include <gtest/gtest.h>

#include <fstream>

#include "TestUtil.h"

namespace plicato {

namespace fs = std::filesystem;

TEST(FileSearch, WildcardMatchIgnoresCase) {
  EXPECT_TRUE(WildcardMatch("*.xls", "a.xls"));
  EXPECT_TRUE(WildcardMatch("*.xls", "UPPER.XLS"));
  EXPECT_TRUE(WildcardMatch("*.xls", ".hidden.xls"));
  EXPECT_TRUE(WildcardMatch("*.xls", ".xls"));
  EXPECT_FALSE(WildcardMatch("*.xls", "fake.xlsx"));
  EXPECT_FALSE(WildcardMatch("*.xls", "notes.txt"));
  EXPECT_FALSE(WildcardMatch("*.xls", "a.xls.bak"));
  EXPECT_TRUE(WildcardMatch("a?c*", "abcdef"));
  EXPECT_FALSE(WildcardMatch("a?c", "ac"));
  EXPECT_TRUE(WildcardMatch("*a*b*", "xxaxxbxx"));
}

std::vector<std::string> Search(const std::string& folder) {
  std::vector<std::string> found;
  SearchFiles(folder, "*.xls", true, [&](const std::string& path) {
    found.push_back(path);
    return true;
  });
  return found;
}

TEST(FileSearch, FilesBeforeSubFoldersDepthFirstInUpperCaseOrder) {
  test::TempDir dir;
  auto touch = [&](const std::string& rel) {
    fs::create_directories((dir.Path() / rel).parent_path());
    std::ofstream(dir.Path() / rel) << "x";
  };
  touch("b.xls");
  touch("A.XLS");
  touch("_c.xls");  // '_' sorts after the letters once names are upper-cased
  touch("sub/z.xls");
  touch("sub/deeper/y.xls");
  touch("old.xls/d.xls");  // a folder named like a workbook: searched, not listed
  touch("Zed/e.xls");
  touch("notes.txt");
  touch("fake.xlsx");
  std::string root = dir.Path().string();
  std::vector<std::string> expected = {root + "/A.XLS",     root + "/b.xls",
                                       root + "/_c.xls",    root + "/old.xls/d.xls",
                                       root + "/sub/z.xls", root + "/sub/deeper/y.xls",
                                       root + "/Zed/e.xls"};
  EXPECT_EQ(Search(root), expected);
  EXPECT_EQ(Search(root + "/"), expected) << "a trailing slash is not doubled";

  std::vector<std::string> withXlsx;
  SearchFiles(root, WorkbookPatterns(true), true, [&](const std::string& path) {
    withXlsx.push_back(path);
    return true;
  });
  expected.insert(expected.begin() + 2, root + "/fake.xlsx");
  EXPECT_EQ(withXlsx, expected) << "the kinds interleave by name";
}

TEST(FileSearch, MissingFolderYieldsNothingAndStopEndsEarly) {
  EXPECT_TRUE(Search("/nonexistent/plicato/folder").empty());
  EXPECT_TRUE(Search("").empty());

  test::TempDir dir;
  for (int i = 0; i < 5; ++i) std::ofstream(dir.Path() / (std::to_string(i) + ".xls")) << "x";
  std::vector<std::string> found;
  SearchFiles(dir.Path().string(), "*.xls", true, [&](const std::string& path) {
    found.push_back(path);
    return found.size() < 2;
  });
  EXPECT_EQ(found.size(), 2u);
  std::atomic<bool> stop{true};
  found.clear();
  SearchFiles(
      dir.Path().string(), "*.xls", true,
      [&](const std::string& p) {
        found.push_back(p);
        return true;
      },
      &stop);
  EXPECT_TRUE(found.empty());
}

TEST(FileSearch, CorpusMergeFolderInDocumentedOrder) {
  fs::path merge = test::CorpusFile("gen/merge");
  if (!fs::exists(merge)) GTEST_SKIP() << "corpus not present";
  std::string root = merge.string();
  std::vector<std::string> expected = {
      root + "/.hidden.xls", root + "/a.xls",         root + "/e_biff5.xls", root + "/UPPER.XLS",
      root + "/wide.xls",    root + "/old.xls/d.xls", root + "/sub/b.xls",   root + "/sub/deeper/c.xls"};
  EXPECT_EQ(Search(root), expected);
}

}  // namespace plicato
