#include "biff/OutputFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "biff/CompoundFile.h"

namespace plicato::cfb {
namespace {

namespace fs = std::filesystem;

// Links to the file that was created: 0 once it is removed.
nlink_t Links(const TReplacement& file) {
  struct stat info {};
  EXPECT_EQ(::fstat(file.Descriptor(), &info), 0);
  return info.st_nlink;
}

// A signal handler removes the temporary files of every write under way: however many there are, and
// however long their paths (past the system's limit, which no single path can name).
TEST(TReplacement, EveryTemporaryFileIsRemovedOnASignal) {
  test::TempDir dir;
  fs::path deep = dir.Path();
  while (deep.native().size() < 4200) deep /= std::string(250, 'd');
  ASSERT_EQ(std::system(("cd '" + dir.Path().string() + "' && mkdir -p " +
                         deep.lexically_relative(dir.Path()).string())
                            .c_str()),
            0);
  std::vector<std::unique_ptr<TReplacement>> files;
  for (int i = 0; i < 20; ++i)
    files.push_back(std::make_unique<TReplacement>(dir / ("out" + std::to_string(i))));
  files.push_back(std::make_unique<TReplacement>(deep / std::string(250, 'f')));
  for (const auto& file : files) EXPECT_EQ(Links(*file), 1u);
  RemoveTemporaryFiles();
  for (const auto& file : files) EXPECT_EQ(Links(*file), 0u) << file->Target().native().size();
  files.clear();
  EXPECT_EQ(std::system(("rm -rf '" + dir.Path().string() + "'/*").c_str()), 0);
}

// A version-3 document our reader would refuse is not written: the writer gives up as its size passes
// 2 GB, before anything is put in place.
TEST(TReplacement, AVersion3DocumentPast2GBIsRefused) {
  struct TCountingOutput final : TOutput {
    void Append(std::span<const uint8_t> bytes) override { size_ += bytes.size(); }
    void WriteAt(uint64_t, std::span<const uint8_t>) override {}
    void Commit() override { committed = true; }
    bool committed = false;
  };
  TCountingOutput output;
  TDocumentWriter writer(output);
  static const std::vector<uint8_t> chunk(64 << 20, 0);
  TCompoundDocument doc;
  TStreamElement& leading = doc.Root().CreateStream(u"Workbook");
  try {
    for (int i = 0; i < 40; ++i) writer.AppendLeading(chunk);
    writer.Finish(doc.Root(), &leading);
    output.Commit();
    ADD_FAILURE() << "a document of " << output.Size() << " bytes was written";
  } catch (const EFileError& e) {
    EXPECT_NE(std::string(e.what()).find("(2 GB)"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(output.committed);
  EXPECT_LE(output.Size(), kMaxVersion3FileSize);
}

// Where a replacement goes: a link is followed and stays; what is not a regular file is refused.
TEST(TReplacement, FollowsLinksAndRefusesWhatIsNotAFile) {
  test::TempDir dir;
  fs::create_directory(dir / "elsewhere");
  test::WriteFileBytes(dir / "elsewhere/old.xls", {'o', 'l', 'd'});
  fs::create_symlink("elsewhere/old.xls", dir / "link.xls");
  fs::permissions(dir / "elsewhere/old.xls", fs::perms(0640));
  WriteFileAtomically(dir / "link.xls", std::vector<uint8_t>{'n', 'e', 'w'});
  EXPECT_TRUE(fs::is_symlink(dir / "link.xls"));
  EXPECT_EQ(test::ReadFileBytes(dir / "elsewhere/old.xls"), (std::vector<uint8_t>{'n', 'e', 'w'}));
  EXPECT_EQ(fs::status(dir / "elsewhere/old.xls").permissions(), fs::perms(0640)) << "the mode is kept";
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "elsewhere"), fs::directory_iterator()), 1);

  ::mkfifo((dir / "fifo").c_str(), 0644);
  fs::create_symlink("/dev/null", dir / "device");
  for (const char* name : {"fifo", "device", "elsewhere"}) {
    EXPECT_THROW(TReplacement(dir / name), EFileError) << name;
    EXPECT_THROW(CheckOutputWritable(dir / name), EFileError) << name;
  }
  EXPECT_THROW(CheckOutputWritable(dir / "missing/out.xls"), EFileError);
  EXPECT_NO_THROW(CheckOutputWritable(dir / "link.xls"));
  EXPECT_NO_THROW(CheckOutputWritable(dir / "new.xls"));
}

}  // namespace
}  // namespace plicato::cfb
