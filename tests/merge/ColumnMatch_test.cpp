#include "merge/ColumnMatch.h"

#include <gtest/gtest.h>

namespace plicato {

using TNames = std::vector<std::u16string>;
using TIndexes = std::vector<uint32_t>;
constexpr uint32_t kOut = TColumnMatch::kLeftOut;

TEST(ColumnMatch, LaysFilesOutUnderTheUnionOfTheirNames) {
  struct TFileCase {
    TNames names;
    TIndexes map, lacking, brought;
    bool unnamed = false;
  };
  struct TCase {
    const char* what;
    uint32_t capacity;
    std::vector<TFileCase> files;
    TNames columns;
  };
  const TCase cases[] = {
      {"shuffled, missing, extra, padded, full width, case",
       100,
       {{{u"日期", u"金额", u"备注", u"Qty"}, {0, 1, 2, 3}, {4, 5}, {}},
        {{u" 金额\u3000", u"ｑｔｙ", u"日期", u"折扣"}, {1, 3, 0, 4}, {2, 5}, {4}},
        {{u"QTY\u00a0", u"折扣", u"日期 ", u"金额", u"备注", u"Ｎｏ．"}, {3, 4, 0, 1, 2, 5}, {}, {5}}},
       {u"日期", u"金额", u"备注", u"Qty", u"折扣", u"Ｎｏ．"}},
      {"repeated names keep their order; a third is new",
       100,
       {{{u"金额", u"名称", u"金额"}, {0, 1, 2}, {3}, {}},
        {{u"金额", u"金额", u"金额 ", u"名称"}, {0, 2, 3, 1}, {}, {3}},
        {{u"名称"}, {1}, {0, 2, 3}, {}}},
       {u"金额", u"名称", u"金额", u"金额 "}},
      {"empty headers by position among themselves; all empty by position",
       100,
       {{{u"a", u"", u"b", u""}, {0, 1, 2, 3}, {7}, {}},
        {{u"", u"b", u" ", u"", u"a"}, {1, 2, 3, 4, 0}, {7}, {}},
        {{u"", u"", u"", u"", u"", u"", u""}, {0, 1, 2, 3, 4, 5, 6}, {}, {}, true},
        {{u"", u"c"}, {1, 7}, {0, 2}, {7}}},
       {u"a", u"", u"b", u"", u"", u"", u"", u"c"}},
      {"past the capacity left out, for every file",
       3,
       {{{u"a", u"b"}, {0, 1}, {2}, {}},
        {{u"c", u"d", u"b"}, {2, kOut, 1}, {0}, {2}},
        {{u"d", u"e", u"a"}, {kOut, kOut, 0}, {1, 2}, {}}},
       {u"a", u"b", u"c", u"d", u"e"}},
  };
  for (const TCase& test : cases) {
    SCOPED_TRACE(test.what);
    TColumnMatch match(test.capacity);
    for (const TFileCase& file : test.files) match.AddFile(file.names);
    EXPECT_EQ(match.Columns(), test.columns);
    EXPECT_EQ(match.Kept(), std::min<size_t>(test.capacity, test.columns.size()));
    for (size_t i = 0; i < test.files.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(match.Map(i), test.files[i].map);
      const TColumnFacts facts = match.Facts(i);
      EXPECT_EQ(facts.lacking, test.files[i].lacking);
      EXPECT_EQ(facts.brought, test.files[i].brought);
      EXPECT_EQ(facts.unnamed, test.files[i].unnamed);
    }
  }
}

}  // namespace plicato
