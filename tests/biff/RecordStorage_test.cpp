#include "biff/RecordStorage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "biff/BIFFRecs.h"
#include "biff/Coding.h"
#include "biff/Errors.h"
#include "biff/XLSStream.h"

namespace plicato {
namespace {

namespace R = BIFFRecs;

std::vector<uint16_t> Ids(const TBaseRecordStorage& list) {
  std::vector<uint16_t> ids;
  for (int i = 0; i < list.Count(); ++i) {
    const TStoredRecord* e = list.EntryAt(i);
    ids.push_back(e ? e->Id() : 0xFFFF);
  }
  return ids;
}

std::vector<uint8_t> Body(const TStoredRecord* e) {
  return std::vector<uint8_t>(e->Data(), e->Data() + e->Length());
}

std::vector<uint8_t> DefaultBody(const TRecordStorageDefault& s, uint16_t id) {
  return Body(s.Defaults().EntryAt(s.Defaults().IndexOf(id)));
}

template <typename F>
std::string MessageOf(F&& f) {
  try {
    f();
  } catch (const EXLSError& e) {
    return e.what();
  }
  return "(no failure)";
}

const std::vector<uint16_t> kGlobalsOrder = {R::BOF,      R::WRITEACCESS,  R::CODEPAGE,        R::DSF,
                                             R::TABID,    R::FNGROUPCOUNT, R::WINDOWPROTECT,   R::PROTECT,
                                             R::PASSWORD, R::PROT4REV,     R::WINDOW1,         R::BACKUP,
                                             R::HIDEOBJ,  R::DATEMODE,     R::PRECISION,       R::REFRESHALL,
                                             R::BOOKBOOL, R::PH_FORMATS,   R::PH_BOUNDSHEETS,  R::COUNTRY,
                                             R::RECALCID, R::PH_NAMES,     R::PH_DRAWINGGROUP, R::PH_SST,
                                             R::EOF_};

const std::vector<uint16_t> kSheetOrder = {
    R::BOF,        R::CALCMODE,       R::CALCCOUNT,       R::REFMODE,    R::ITERATION,  R::DELTA,
    R::SAVERECALC, R::PRINTGRIDLINES, R::PRINTHEADERS,    R::GRIDSET,    R::GUTS,       R::DEFAULTROWHEIGHT,
    R::WSBOOL,     R::PH_PAGEBREAKS,  R::PH_HEADERFOOTER, R::PH_MARGINS, R::HCENTER,    R::VCENTER,
    R::SETUP,      R::PROTECT,        R::DEFCOLWIDTH,     R::DIMENSIONS, R::PH_COLINFO, R::PH_CELLS,
    R::WINDOW2,    R::PH_SHEETEXTRAS, R::SELECTION,       R::EOF_};

TEST(RecordStorage, DefaultGlobalsRecordsByteForByte) {
  TRecordStorageGlobals g;
  EXPECT_EQ(g.Count(), 0);
  EXPECT_EQ(Ids(g.Defaults()), kGlobalsOrder);

  const std::vector<uint8_t> bof = {0x00, 0x06, 0x05, 0x00, 0xAF, 0x18, 0xCD, 0x07,
                                    0xC9, 0x80, 0x00, 0x00, 0x06, 0x01, 0x00, 0x00};
  EXPECT_EQ(DefaultBody(g, R::BOF), bof);
  std::vector<uint8_t> writeAccess = {0, 0, 0};
  writeAccess.resize(112, 0x20);
  EXPECT_EQ(DefaultBody(g, R::WRITEACCESS), writeAccess);
  const std::vector<uint8_t> window1 = {100, 0, 100, 0, 0x10, 0x27, 0x58, 0x1B, 0x38,
                                        0,   0, 0,   0, 0,    1,    0,    0x58, 0x02};
  EXPECT_EQ(DefaultBody(g, R::WINDOW1), window1);
  EXPECT_EQ(DefaultBody(g, R::COUNTRY), (std::vector<uint8_t>{1, 0, 46, 0}));
  EXPECT_EQ(DefaultBody(g, R::RECALCID), (std::vector<uint8_t>{0xC1, 0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0x00}));
  EXPECT_EQ(DefaultBody(g, R::CODEPAGE), (std::vector<uint8_t>{0xB0, 0x04}));
  EXPECT_EQ(DefaultBody(g, R::FNGROUPCOUNT), (std::vector<uint8_t>{14, 0}));
  EXPECT_EQ(DefaultBody(g, R::PRECISION), (std::vector<uint8_t>{1, 0}));
  for (uint16_t id : {R::DSF, R::WINDOWPROTECT, R::PROTECT, R::PASSWORD, R::PROT4REV, R::BACKUP, R::HIDEOBJ,
                      R::DATEMODE, R::REFRESHALL, R::BOOKBOOL}) {
    EXPECT_EQ(DefaultBody(g, id), (std::vector<uint8_t>{0, 0})) << std::hex << id;
  }
  for (uint16_t id :
       {R::TABID, R::PH_FORMATS, R::PH_BOUNDSHEETS, R::PH_NAMES, R::PH_DRAWINGGROUP, R::PH_SST, R::EOF_}) {
    EXPECT_EQ(g.Defaults().EntryAt(g.Defaults().IndexOf(id))->Length(), 0) << std::hex << id;
  }
  // 184 body bytes and 25 headers.
  EXPECT_EQ(g.Defaults().TotalSize(), 284u);
}

TEST(RecordStorage, DefaultSheetRecordsByteForByte) {
  TRecordStorageSheet s;
  EXPECT_EQ(Ids(s.Defaults()), kSheetOrder);

  const std::vector<uint8_t> bof = {0x00, 0x06, 0x10, 0x00, 0xAF, 0x18, 0xCD, 0x07,
                                    0xC9, 0x80, 0x00, 0x00, 0x06, 0x01, 0x00, 0x00};
  EXPECT_EQ(DefaultBody(s, R::BOF), bof);
  const std::vector<uint8_t> setup = {0,    0, 100,  0, 1, 0, 1,    0,    1, 0, 0xB6, 0x06,
                                      0x58, 2, 0x58, 2, 0, 0, 0,    0,    0, 0, 0xE0, 0x3F,
                                      0,    0, 0,    0, 0, 0, 0xE0, 0x3F, 0, 0};
  EXPECT_EQ(DefaultBody(s, R::SETUP), setup);
  const std::vector<uint8_t> window2 = {0xB6, 0x04, 0, 0, 0, 0, 64, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(DefaultBody(s, R::WINDOW2), window2);
  const std::vector<uint8_t> selection = {3, 1, 0, 1, 0, 0, 0, 1, 0, 1, 0, 1, 0, 1, 1};
  EXPECT_EQ(DefaultBody(s, R::SELECTION), selection);
  EXPECT_EQ(DefaultBody(s, R::DEFAULTROWHEIGHT), (std::vector<uint8_t>{0, 0, 0xFF, 0}));
  EXPECT_EQ(DefaultBody(s, R::DELTA), (std::vector<uint8_t>{0xFC, 0xA9, 0xF1, 0xD2, 0x4D, 0x62, 0x50, 0x3F}));
  EXPECT_EQ(DefaultBody(s, R::DIMENSIONS), std::vector<uint8_t>(14, 0));
  EXPECT_EQ(DefaultBody(s, R::GUTS), std::vector<uint8_t>(8, 0));
  EXPECT_EQ(DefaultBody(s, R::WSBOOL), (std::vector<uint8_t>{0xC1, 0x04}));
  EXPECT_EQ(DefaultBody(s, R::CALCMODE), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(DefaultBody(s, R::CALCCOUNT), (std::vector<uint8_t>{100, 0}));
  EXPECT_EQ(DefaultBody(s, R::REFMODE), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(DefaultBody(s, R::SAVERECALC), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(DefaultBody(s, R::GRIDSET), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(DefaultBody(s, R::DEFCOLWIDTH), (std::vector<uint8_t>{8, 0}));
  for (uint16_t id : {R::ITERATION, R::PRINTGRIDLINES, R::PRINTHEADERS, R::HCENTER, R::VCENTER, R::PROTECT}) {
    EXPECT_EQ(DefaultBody(s, id), (std::vector<uint8_t>{0, 0})) << std::hex << id;
  }
  EXPECT_DOUBLE_EQ(s.Delta(), 0.001);
  EXPECT_EQ(s.Defaults().TotalSize(), 143u + 28u * 4u);
}

TEST(RecordStorage, ReadGlobalsKeepsArrivalOrderAndPlacesMissingDefaults) {
  TRecordStorageGlobals g;
  const uint8_t bof[16] = {0x00, 0x06, 0x05, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  uint8_t window1[18] = {};
  window1[0] = 7;
  g.SetRecord(R::BOF, 16, bof);
  g.SetRecord(R::WINDOW1, 18, window1);
  g.SetRecord(R::EOF_, 0, nullptr);

  EXPECT_EQ(Ids(g), kGlobalsOrder);
  EXPECT_EQ(Body(g.EntryAt(0)), std::vector<uint8_t>(bof, bof + 16));
  EXPECT_EQ(Body(g.EntryAt(10)), std::vector<uint8_t>(window1, window1 + 18));
  // Defaults the file lacked keep their values.
  EXPECT_EQ(Body(g.EntryAt(19)), (std::vector<uint8_t>{1, 0, 46, 0}));
  // Every default was taken over: only empty slots remain, and the typed fields follow the written list.
  EXPECT_EQ(g.Defaults().TotalSize(), 0u);
  EXPECT_EQ(g.Window1(), g.EntryAt(10));
  EXPECT_EQ(g.BOF(), g.EntryAt(0));
  EXPECT_EQ(g.Current(R::PH_SST), g.EntryAt(23));
  g.SetBackup(true);
  EXPECT_EQ(Body(g.EntryAt(11)), (std::vector<uint8_t>{1, 0}));
}

TEST(RecordStorage, RawRecordsAndPlaceholdersKeepFileOrder) {
  TRecordStorageSheet s;
  const uint8_t bof[16] = {0x00, 0x06, 0x10, 0x00};
  s.SetRecord(R::BOF, 16, bof);
  const uint8_t raw[3] = {9, 8, 7};
  s.AddRecord(0x1234, 3, raw);
  s.SetPlaceholder(R::PH_MARGINS);
  s.SetPlaceholder(R::PH_MARGINS);  // a second margin record: nothing more
  uint8_t dims[14] = {};
  dims[4] = 5;
  s.SetRecord(R::DIMENSIONS, 14, dims);

  std::vector<uint16_t> expected = {R::BOF, 0x1234};
  expected.insert(expected.end(), kSheetOrder.begin() + 1, kSheetOrder.begin() + 22);
  EXPECT_EQ(Ids(s), expected);
  EXPECT_EQ(s.IndexOf(R::PH_MARGINS), 16);
  // Records not yet arrived stay defaults, in order, and are still reachable through their fields.
  EXPECT_EQ(Ids(s.Defaults()).back(), R::EOF_);
  EXPECT_EQ(s.Current(R::WINDOW2), s.Defaults().EntryAt(24));
  EXPECT_EQ(s.FieldU16(R::DIMENSIONS, 4), 5u);
}

TEST(RecordStorage, RepeatedRecordOverwritesInPlaceOrFailsOnOtherLength) {
  TRecordStorageGlobals g;
  uint8_t first[18] = {1};
  uint8_t second[18] = {2};
  g.SetRecord(R::WINDOW1, 18, first);
  int count = g.Count();
  TStoredRecord* entry = g.Window1();
  g.SetRecord(R::WINDOW1, 18, second);
  EXPECT_EQ(g.Count(), count);
  EXPECT_EQ(g.Window1(), entry);
  EXPECT_EQ(entry->Data()[0], 2);

  uint8_t longer[20] = {3};
  EXPECT_EQ(MessageOf([&] { g.SetRecord(R::WINDOW1, 20, longer); }), "Size missmatch on default record");
  EXPECT_EQ(entry->Data()[0], 2);
  EXPECT_EQ(g.Count(), count);
}

TEST(RecordStorage, UnknownIdentifiersAreInternalFaults) {
  TRecordStorageGlobals g;
  TRecordStorageSheet s;
  uint8_t body[2] = {};
  EXPECT_EQ(MessageOf([&] { g.SetRecord(0x1234, 2, body); }), "[int] Unknown default record 1234");
  EXPECT_EQ(MessageOf([&] { s.SetRecord(R::WINDOW1, 2, body); }), "[int] Unknown default record 003D");
  EXPECT_EQ(MessageOf([&] { g.SetRecord(R::CALCMODE, 2, body); }), "[int] Unknown default record 000D");
  EXPECT_EQ(MessageOf([&] { g.SetPlaceholder(R::PH_CELLS); }), "[int] Unknown int. default record 8105");
  EXPECT_EQ(MessageOf([&] { s.SetPlaceholder(R::PH_SST); }), "[int] Unknown int. default record 8005");
  // A record identifier is not a placeholder, even one of the table.
  EXPECT_EQ(MessageOf([&] { g.SetPlaceholder(R::WINDOW1); }), "[int] Unknown int. default record 003D");
  TBaseRecordStorage other;
  TStoredRecord* stray = other.AddRecord(0x1234, 0, nullptr);
  EXPECT_EQ(MessageOf([&] { g.RecordMoved(stray); }), "[int] Unknown move default record 1234");
  EXPECT_EQ(g.Count(), 0);
  EXPECT_FALSE(g.HasTypedField(R::WSBOOL));
  EXPECT_TRUE(s.HasTypedField(R::WSBOOL));
}

TEST(RecordStorage, RecordGoneFromBothListsIsNotFound) {
  TRecordStorageGlobals g;
  uint8_t window1[18] = {};
  g.SetRecord(R::WINDOW1, 18, window1);
  g.Clear();
  EXPECT_EQ(g.Window1(), nullptr);
  EXPECT_EQ(MessageOf([&] { g.SetRecord(R::WINDOW1, 18, window1); }),
            "Excpected default record 003D not found.");
  // Reading falls back to the default value; writing has nothing to write into.
  EXPECT_EQ(g.FieldU16(R::WINDOW1, 0), 100);
  EXPECT_EQ(MessageOf([&] { g.SetFieldU16(R::WINDOW1, 0, 1); }), "Record 003D is missing");
  // What was taken over before a failure stays: COUNTRY follows normally.
  uint8_t country[4] = {7, 0, 7, 0};
  g.SetRecord(R::COUNTRY, 4, country);
  EXPECT_EQ(g.EntryAt(g.IndexOf(R::COUNTRY))->Data()[0], 7);
  EXPECT_EQ(g.IndexOf(R::BACKUP), 0);
}

TEST(RecordStorage, AnyBofIdentifierIsTheBof) {
  TRecordStorageSheet s;
  const uint8_t biff4[6] = {0x00, 0x04, 0x10, 0x00, 0, 0};
  s.SetRecord(R::BOF_4, 6, biff4);
  ASSERT_EQ(s.Count(), 1);
  EXPECT_EQ(s.BOF(), s.EntryAt(0));
  EXPECT_EQ(s.BOF()->Id(), R::BOF_4);  // kept as the file had it
  EXPECT_EQ(s.FieldU16(R::BOF_2, 0), 0x0400);
  const uint8_t again[6] = {0x00, 0x04, 0x10, 0x00, 1, 0};
  s.SetRecord(R::BOF_3, 6, again);
  EXPECT_EQ(s.Count(), 1);
  EXPECT_EQ(s.EntryAt(0)->Data()[4], 1);
}

TEST(RecordStorage, ShortRecordsReadDefaultsAndRefuseWrites) {
  TRecordStorageSheet s;
  const uint8_t setup[10] = {9, 0, 50, 0};
  s.SetRecord(R::SETUP, 10, setup);
  EXPECT_EQ(s.FieldU16(R::SETUP, 0), 9);
  EXPECT_EQ(s.FieldU16(R::SETUP, 2), 50);
  EXPECT_DOUBLE_EQ(s.FieldDouble(R::SETUP, 16), 0.5);  // from the default record
  EXPECT_EQ(s.FieldU16(R::SETUP, 40), 0);              // beyond the default record too
  EXPECT_EQ(MessageOf([&] { s.SetFieldDouble(R::SETUP, 16, 1.0); }),
            "Record 00A1 is too short (10 bytes) for a field at offset 16");
  EXPECT_THROW(s.SetFieldU16(R::SETUP, 9, 1), EXLSError);
  EXPECT_EQ(s.Setup()->Length(), 10);
  s.SetFieldU16(R::SETUP, 8, 3);
  EXPECT_EQ(s.Setup()->Data()[8], 3);
  // DIMENSIONS too short: nothing is changed.
  const uint8_t dims[10] = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0};
  s.SetRecord(R::DIMENSIONS, 10, dims);
  EXPECT_THROW(s.SetDimensions(5, 6, 7, 8), EXLSError);
  EXPECT_EQ(Body(s.Dimensions()), std::vector<uint8_t>(dims, dims + 10));
  EXPECT_THROW(s.FieldU16(0x1234, 0), EXLSError);
}

TEST(RecordStorage, TypedAccessReadsAndWritesTheCurrentRecord) {
  TRecordStorageSheet s;
  s.SetCalcMode(0xFFFF);
  s.SetCalcCount(7);
  s.SetRefMode(0);
  s.SetIteration(true);
  s.SetDelta(0.25);
  s.SetFlag(R::PRINTGRIDLINES, true);
  s.SetDimensions(1, 10, 2, 255);
  EXPECT_EQ(DefaultBody(s, R::CALCMODE), (std::vector<uint8_t>{0xFF, 0xFF}));
  EXPECT_EQ(s.CalcCount(), 7);
  EXPECT_EQ(s.RefMode(), 0);
  EXPECT_TRUE(s.Iteration());
  EXPECT_DOUBLE_EQ(s.Delta(), 0.25);
  EXPECT_TRUE(s.Flag(R::PRINTGRIDLINES));
  EXPECT_EQ(DefaultBody(s, R::DIMENSIONS),
            (std::vector<uint8_t>{1, 0, 0, 0, 10, 0, 0, 0, 2, 0, 255, 0, 0, 0}));
  // A flag reads true only for 1.
  const uint8_t two[2] = {2, 0};
  s.SetRecord(R::HCENTER, 2, two);
  EXPECT_FALSE(s.Flag(R::HCENTER));
  s.SetFlag(R::HCENTER, true);
  EXPECT_EQ(Body(s.Current(R::HCENTER)), (std::vector<uint8_t>{1, 0}));

  TRecordStorageGlobals g;
  g.SetHideObj(2);
  g.SetDateMode(true);
  EXPECT_EQ(g.HideObj(), 2);
  EXPECT_TRUE(g.DateMode());
  EXPECT_TRUE(g.Precision());
  EXPECT_EQ(DefaultBody(g, R::DATEMODE), (std::vector<uint8_t>{1, 0}));
}

TEST(RecordStorage, MaterializeDefaultsCopiesAndRepointsTypedFields) {
  TRecordStorageSheet s;
  s.SetProtect(1);  // before: changes the default record, which is copied
  s.MaterializeDefaults();
  EXPECT_EQ(Ids(s), kSheetOrder);
  EXPECT_EQ(Ids(s.Defaults()), kSheetOrder);
  EXPECT_EQ(s.TotalSize(), s.Defaults().TotalSize());
  EXPECT_EQ(s.EntryAt(s.IndexOf(R::PROTECT))->Data()[0], 1);

  // After: changes reach the written list, the default list stays as it was.
  EXPECT_EQ(s.Window2(), s.EntryAt(24));
  s.SetProtect(0);
  s.SetDimensions(0, 3, 0, 4);
  EXPECT_EQ(s.EntryAt(s.IndexOf(R::PROTECT))->Data()[0], 0);
  EXPECT_EQ(s.EntryAt(s.IndexOf(R::DIMENSIONS))->Data()[4], 3);
  EXPECT_EQ(DefaultBody(s, R::PROTECT), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(DefaultBody(s, R::DIMENSIONS), std::vector<uint8_t>(14, 0));

  // Materialising again starts afresh from the default list.
  s.MaterializeDefaults();
  EXPECT_EQ(s.Count(), 28);
  EXPECT_EQ(s.Protect(), 1);

  // ResetDefaults brings back the class defaults.
  s.ResetDefaults();
  EXPECT_EQ(s.Count(), 0);
  EXPECT_EQ(s.Protect(), 0);
  EXPECT_EQ(s.Current(R::PROTECT), s.Defaults().EntryAt(19));
}

TEST(RecordStorage, UserNameReadAndWritten) {
  TRecordStorageGlobals g;
  EXPECT_EQ(g.UserName(), u"");
  g.SetUserName(u"Zo\u00EB \u4E2D");
  std::vector<uint8_t> expected = {5, 0, 0, 'Z', 'o', 0xEB, ' ', '?'};
  expected.resize(112, 0x20);
  EXPECT_EQ(DefaultBody(g, R::WRITEACCESS), expected);
  EXPECT_EQ(g.UserName(), u"Zo\u00EB ?");

  std::u16string longName(150, u'x');
  g.SetUserName(longName);
  EXPECT_EQ(g.Current(R::WRITEACCESS)->Length(), 112);
  EXPECT_EQ(g.FieldU16(R::WRITEACCESS, 0), 109);
  EXPECT_EQ(g.UserName(), std::u16string(109, u'x'));

  // From files: padded 8-bit names are trimmed; 16-bit names honour the flag byte.
  std::vector<uint8_t> file = {6, 0, 0, ' ', 'A', 'n', 'n', 'a', ' '};
  file.resize(112, 0x20);
  TRecordStorageGlobals read8;
  read8.SetRecord(R::WRITEACCESS, 112, file.data());
  EXPECT_EQ(read8.UserName(), u"Anna");
  std::vector<uint8_t> wide = {3, 0, 1, 'B', 0, 0x2D, 0x4E, 'o', 0};
  wide.resize(112, 0x20);
  TRecordStorageGlobals read16;
  read16.SetRecord(R::WRITEACCESS, 112, wide.data());
  EXPECT_EQ(read16.UserName(), u"B\u4E2Do");
  // A 16-bit count beyond the body is bounded by the body.
  const uint8_t shortWide[5] = {50, 0, 1, 'C', 0};
  TRecordStorageGlobals readShort;
  readShort.SetRecord(R::WRITEACCESS, 5, shortWide);
  EXPECT_EQ(readShort.UserName(), u"C");
  const uint8_t tiny[2] = {0, 0};
  TRecordStorageGlobals readTiny;
  readTiny.SetRecord(R::WRITEACCESS, 2, tiny);
  EXPECT_EQ(readTiny.UserName(), u"");
}

TEST(RecordStorage, BaseListOperations) {
  TBaseRecordStorage list;
  const uint8_t a[3] = {1, 2, 3};
  list.AddRecord(0x0001, 3, a);
  list.AddRecord(0x0002, 0, nullptr);
  list.AddRecord(0x0001, 2, nullptr);
  EXPECT_EQ(list.IndexOf(0x0001), 0);
  EXPECT_EQ(list.IndexOf(0x0002), 1);
  EXPECT_EQ(list.IndexOf(0x0003), -1);
  EXPECT_EQ(list.TotalSize(), 3u + 0u + 2u + 12u);
  EXPECT_EQ(Body(list.EntryAt(2)), (std::vector<uint8_t>{0, 0}));

  const uint8_t b[5] = {5, 4, 3, 2, 1};
  list.ResizeEntry(0, 5, b);
  EXPECT_EQ(Body(list.EntryAt(0)), std::vector<uint8_t>(b, b + 5));
  EXPECT_EQ(list.EntryAt(0)->Id(), 0x0001);

  TBaseRecordStorage copy;
  copy.AddRecord(0x0009, 0, nullptr);
  list.CopyTo(copy);
  EXPECT_EQ(Ids(copy), (std::vector<uint16_t>{0x0009, 0x0001, 0x0002, 0x0001}));
  EXPECT_NE(copy.EntryAt(1), list.EntryAt(0));
  EXPECT_EQ(Body(copy.EntryAt(1)), Body(list.EntryAt(0)));

  try {
    list.EntryAt(3);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (3)");
  }
  EXPECT_THROW(list.EntryAt(-1), EListError);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

// Records written through the record stream, split back into (id, body) pairs.
std::vector<std::pair<uint16_t, std::vector<uint8_t>>> WriteAndSplit(const TBaseRecordStorage& list,
                                                                     int only) {
  std::vector<uint8_t> out;
  TXLSStream stream;
  stream.SetDestMemory(&out);
  stream.OpenWrite("", xvExcel40);  // a plain record file: the bytes are the records themselves
  if (only < 0) {
    list.WriteAll(stream);
  } else {
    list.WriteEntry(only, stream);
  }
  stream.Close();
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> records;
  TByteReader r(out.data(), out.size());
  while (r.Remaining() > 0) {
    uint16_t id = r.GetU16();
    uint16_t length = r.GetU16();
    std::vector<uint8_t> body(length);
    if (length > 0) r.GetBytes(body.data(), length);
    records.emplace_back(id, body);
  }
  return records;
}

TEST(RecordStorage, WritesHeaderAndBodyOfEveryEntry) {
  TRecordStorageGlobals g;
  uint8_t window1[18] = {42};
  g.SetRecord(R::WINDOW1, 18, window1);
  const uint8_t raw[2] = {0xAB, 0xCD};
  g.AddRecord(0x0123, 2, raw);

  auto records = WriteAndSplit(g, -1);
  ASSERT_EQ(records.size(), 12u);
  EXPECT_EQ(records[0].first, R::BOF);
  EXPECT_EQ(records[0].second, DefaultBody(TRecordStorageGlobals(), R::BOF));
  EXPECT_EQ(records[10].first, R::WINDOW1);
  EXPECT_EQ(records[10].second, std::vector<uint8_t>(window1, window1 + 18));
  EXPECT_EQ(records[11], (std::pair<uint16_t, std::vector<uint8_t>>{0x0123, {0xAB, 0xCD}}));

  auto one = WriteAndSplit(g, 1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].first, R::WRITEACCESS);
  EXPECT_EQ(one[0].second.size(), 112u);

  // Emptied slots of the default list write nothing.
  auto rest = WriteAndSplit(g.Defaults(), -1);
  ASSERT_EQ(rest.size(), 14u);
  EXPECT_EQ(rest[0].first, R::BACKUP);
  EXPECT_EQ(rest.back().first, R::EOF_);
  EXPECT_TRUE(WriteAndSplit(g.Defaults(), 0).empty());
}

}  // namespace
}  // namespace plicato
